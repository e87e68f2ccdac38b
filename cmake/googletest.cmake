# GoogleTest for every test suite of the tree, built from the distribution's sources with the
# toolchain of the code under test (natively, or with mingw-w64 for Wine). No installed copy is
# looked for: a fresh machine has the sources only, and a suite must never drop out silently.
set(GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources (Debian package googletest)")
if(NOT EXISTS ${GTEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest sources not found in ${GTEST_SOURCE_DIR}: run scripts/setup.sh "
                        "(package googletest), set GTEST_SOURCE_DIR, or configure with -DLUMENO_BUILD_TESTS=OFF")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(${GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)


# Every test program's main: a suite whose set-up failed fails its cases (GoogleTest would
# report them skipped, and CTest count them so).
add_library(lumeno_gtest_main STATIC ${PROJECT_SOURCE_DIR}/tests/gtest_strict_main.cpp)
target_include_directories(lumeno_gtest_main PUBLIC ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(lumeno_gtest_main PUBLIC gtest PRIVATE lumeno_warnings)
