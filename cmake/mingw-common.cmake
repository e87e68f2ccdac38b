# What both Windows cross builds share; the toolchain file of each names the
# target (MINGW_PREFIX, CMAKE_SYSTEM_PROCESSOR) and includes this. The posix
# thread model lets the tests use std::thread. Executables run here through
# Wine: scripts/wine-run.sh picks the 32-bit or 64-bit loader by the program.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Windows XP is the oldest system whose headers declare everything we call.
add_compile_definitions(_WIN32_WINNT=0x0501 WINVER=0x0501)

# Every double operation must round to a double, and no fused multiply-add.
set(CMAKE_C_FLAGS_INIT "${LUMENO_MINGW_FP_FLAGS} -ffp-contract=off")
set(CMAKE_CXX_FLAGS_INIT "${LUMENO_MINGW_FP_FLAGS} -ffp-contract=off")
# No MinGW runtime DLLs: the program and the tests run on a bare Windows.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
