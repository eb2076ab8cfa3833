# Prints the image size after every build and fails the build when the image
# no longer fits in its 65536 bytes.
file(SIZE "${IMAGE}" size)
math(EXPR headroom "65536 - ${size}")
message(STATUS "Updater image: ${size} of 65536 bytes (${headroom} bytes free)")
if(size GREATER 65536)
    message(FATAL_ERROR "The updater image is ${size} bytes, more than 65536")
endif()
