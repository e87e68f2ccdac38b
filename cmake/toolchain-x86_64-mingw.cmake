# Cross build for 64-bit Windows with mingw-w64.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MINGW_PREFIX x86_64-w64-mingw32)
# x86-64 computes doubles in SSE2 already.
set(LUMENO_MINGW_FP_FLAGS "")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
