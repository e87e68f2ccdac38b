# The Windows release: one ZIP a user unpacks and starts with Lumeno-start.exe.
#   cmake --build --preset win32 --target package   (and win64)
# Binaries are stripped; the readme names the build's bits and is turned into
# GBK with CRLF line ends so that Notepad on a Chinese system shows it as written.

install(TARGETS Lumeno Lumeno-start RUNTIME DESTINATION .)
install(FILES ${CMAKE_BINARY_DIR}/src/app/Lumeno.doc DESTINATION .)

find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(_readme ${CMAKE_BINARY_DIR}/package/README.txt)
math(EXPR _lumeno_bits "${CMAKE_SIZEOF_VOID_P} * 8")
add_custom_command(OUTPUT ${_readme}
    COMMAND Python3::Interpreter -c
        "import sys; t = open(sys.argv[1], encoding='utf-8').read().replace('@BITS@', sys.argv[3]); open(sys.argv[2], 'w', encoding='gbk', newline='\\r\\n').write(t)"
        ${PROJECT_SOURCE_DIR}/docs/package/README.txt ${_readme} ${_lumeno_bits}
    DEPENDS ${PROJECT_SOURCE_DIR}/docs/package/README.txt
    COMMENT "Converting the package's readme to GBK"
    VERBATIM)
add_custom_target(lumeno_package_readme ALL DEPENDS ${_readme})
install(FILES ${_readme} DESTINATION .)

# Notices of everything inside: the boundary data, and the runtime libraries
# that the static link puts into every binary (the mingw-w64 CRT and
# winpthreads; libgcc and libstdc++ under the GCC runtime library exception).
install(FILES ${PROJECT_SOURCE_DIR}/indexer/data/NOTICE DESTINATION . RENAME NOTICE.txt)
install(FILES /usr/share/doc/mingw-w64-common/copyright DESTINATION licenses RENAME mingw-w64-runtime.txt)
install(FILES /usr/share/doc/gcc-mingw-w64-base/copyright DESTINATION licenses RENAME gcc-runtime.txt)
install(FILES /usr/share/common-licenses/GPL-3 DESTINATION licenses RENAME GPL-3.txt)

# The Windows build of the lookup service and the index it reads.
set(LUMENO_PACKAGE_INDEX "${CMAKE_BINARY_DIR}/service/lookupd.idx" CACHE FILEPATH "District index put into the package")
if(TARGET lumeno-lookupd)
    install(TARGETS lumeno-lookupd RUNTIME DESTINATION .)
    # The batch lookup console program reads the same index beside it.
    install(TARGETS lumeno-geocode RUNTIME DESTINATION .)
    install(FILES ${LUMENO_PACKAGE_INDEX} DESTINATION . RENAME lookupd.idx)
    # Boost is compiled into the service; its licence is one section of Debian's file.
    file(READ /usr/share/doc/libboost1.74-dev/copyright _boost)
    set(_head "License: BSL-1.0\n Boost Software License")
    string(FIND "${_boost}" "${_head}" _at)
    if(_at LESS 0)
        message(FATAL_ERROR "no BSL-1.0 text in /usr/share/doc/libboost1.74-dev/copyright")
    endif()
    math(EXPR _at "${_at} + 17")
    string(SUBSTRING "${_boost}" ${_at} 2000 _bsl)
    string(FIND "${_bsl}" "\n\n" _end)
    string(SUBSTRING "${_bsl}" 0 ${_end} _bsl)
    string(REGEX REPLACE "\n \\.\n" "\n\n" _bsl "${_bsl}")
    string(REGEX REPLACE "(^|\n) " "\\1" _bsl "${_bsl}")
    file(WRITE ${CMAKE_BINARY_DIR}/package/boost.txt "${_bsl}\n")
    install(FILES ${CMAKE_BINARY_DIR}/package/boost.txt DESTINATION licenses)
else()
    install(CODE "message(FATAL_ERROR \"This build tree has no Windows build of the lookup service (lumeno-lookupd.exe): the package would not run on its own.\")")
endif()

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME Lumeno)
set(CPACK_PACKAGE_VENDOR Lumeno)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME Lumeno-${PROJECT_VERSION}-win${_lumeno_bits})
set(CPACK_STRIP_FILES TRUE)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR})
include(CPack)
