# Writes the page's files into a C++ source as raw string literals, so that the service carries
# its page and needs nothing beside the index. Run by the build: -DOUT=file -DDIR=service/page.
# u8 literals: the Windows builds turn plain literals into GBK, and the page is UTF-8.
# name, route, content type (charset added below), in step.
set(names index.html app.js style.css)
set(routes / /app.js /style.css)
set(types text/html text/javascript text/css)
set(text "// Made by service/embed_page.cmake from service/page/: edit those files.\n#include \"service/page.h\"\n\nnamespace lookupd {\n\nconst PageFile kPageFiles[] = {\n")
foreach(name route type IN ZIP_LISTS names routes types)
    file(READ "${DIR}/${name}" body)
    string(FIND "${body}" ")lumeno_page\"" clash)
    if(NOT clash EQUAL -1)
        message(FATAL_ERROR "${name} holds the raw string's end marker")
    endif()
    string(APPEND text "    {\"${route}\", \"${type}; charset=utf-8\", u8R\"lumeno_page(${body})lumeno_page\"},\n")
endforeach()
list(LENGTH names count)
string(APPEND text "};\nconst size_t kPageFileCount = ${count};\n\n}  // namespace lookupd\n")
file(WRITE "${OUT}.tmp" "${text}")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
