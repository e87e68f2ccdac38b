# Copies the native build's index for the Windows build, or stops the build saying what to do.
if(NOT EXISTS "${SRC}")
    message(FATAL_ERROR "The lookup service's index ${SRC} is missing. Build the native preset first "
                        "(cmake --preset native && cmake --build --preset native), or point "
                        "LUMENO_LOOKUP_INDEX_FILE at an index made by lumeno-mkindex.")
endif()
file(COPY_FILE "${SRC}" "${DST}" ONLY_IF_DIFFERENT)
