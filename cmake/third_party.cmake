# Header-only libraries shared by the index, the service and the batch tool.

# Boost (Geometry, Asio, Beast), headers only.
add_library(lumeno_boost INTERFACE)
if(CMAKE_CROSSCOMPILING)
    # The build machine's Boost headers, without the rest of its /usr/include: a folder holding
    # only a link to them goes on the cross compiler's include path.
    set(LUMENO_BOOST_INCLUDE /usr/include CACHE PATH "Folder that holds the boost header tree")
    if(NOT EXISTS ${LUMENO_BOOST_INCLUDE}/boost/version.hpp)
        message(FATAL_ERROR "Boost headers not found in ${LUMENO_BOOST_INCLUDE}/boost: run scripts/setup.sh "
                            "(libboost-dev) or set LUMENO_BOOST_INCLUDE")
    endif()
    set(boost_only ${CMAKE_BINARY_DIR}/boost-include)
    file(MAKE_DIRECTORY ${boost_only})
    file(CREATE_LINK ${LUMENO_BOOST_INCLUDE}/boost ${boost_only}/boost SYMBOLIC)
    target_include_directories(lumeno_boost SYSTEM INTERFACE ${boost_only})
else()
    find_package(Boost 1.74 REQUIRED)
    target_link_libraries(lumeno_boost INTERFACE Boost::headers)
endif()

# xxHash is used from its header alone (libxxhash-dev), so no build links a library of it. The
# header is copied into the build tree: a cross build must not put the build machine's
# /usr/include on its include path.
find_file(XXHASH_HEADER xxhash.h PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
configure_file(${XXHASH_HEADER} ${CMAKE_BINARY_DIR}/xxhash/xxhash.h COPYONLY)
set(XXHASH_INCLUDE_DIR ${CMAKE_BINARY_DIR}/xxhash)
