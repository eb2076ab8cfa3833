# The updater image: a 32-bit Windows program with no C or C++ runtime that
# runs on Windows 95 and NT 4 and fits, whole, in the first 65536 bytes of
# every update executable.
set(IMAGE_SOURCES
    ${PORTABLE_SOURCES}
    app/main_win32.cpp
    app/runtime_win32.cpp
    app/fileio_win32.cpp
    app/platform_win32.cpp
    ui/background_win32.cpp
    ui/messages_win32.cpp
    app/image.rc
)

set(IMAGE_COMPILE_OPTIONS
    -Os -march=i486 -mtune=i686 -fno-exceptions -fno-rtti
    -fno-asynchronous-unwind-tables -fno-unwind-tables
    -ffunction-sections -fdata-sections -fno-stack-protector
    -fno-threadsafe-statics -fomit-frame-pointer
    # Loops must stay loops: the image has no C runtime whose memset,
    # memcpy or strlen the compiler could call in their place.
    -fno-tree-loop-distribute-patterns
    -Wall -Wextra -Wno-unused-parameter)
set(IMAGE_DEFINITIONS WINVER=0x0400 _WIN32_WINNT=0x0400 _WIN32_IE=0x0400 ZORVAT_IMAGE=1)

add_executable(stub WIN32 ${IMAGE_SOURCES})
set_target_properties(stub PROPERTIES
    OUTPUT_NAME stub SUFFIX .exe RUNTIME_OUTPUT_DIRECTORY ${BIN_DIR})
target_compile_options(stub PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${IMAGE_COMPILE_OPTIONS}>)
target_compile_definitions(stub PRIVATE ${IMAGE_DEFINITIONS})
target_link_options(stub PRIVATE
    -nostartfiles -nostdlib -s -mwindows -static
    -Wl,--gc-sections -Wl,-e,_WinMainCRTStartup
    -Wl,--subsystem,windows:4.0 -Wl,--major-os-version,4 -Wl,--minor-os-version,0
    -Wl,--disable-dynamicbase,--disable-nxcompat,--disable-reloc-section
    -Wl,--file-alignment,512 -Wl,--section-alignment,4096)
# CMake adds the default Windows libraries for C++ executables; the image
# names its own, and libgcc last for the few helpers the compiler calls.
set(CMAKE_CXX_STANDARD_LIBRARIES "" CACHE STRING "" FORCE)
target_link_libraries(stub PRIVATE kernel32 user32 gdi32 comctl32 comdlg32 advapi32 version gcc)

add_custom_command(TARGET stub POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DIMAGE=$<TARGET_FILE:stub> -P ${CMAKE_SOURCE_DIR}/cmake/check-image-size.cmake
    VERBATIM)

add_test(NAME image.size_imports_and_instructions
         COMMAND bash ${CMAKE_SOURCE_DIR}/tests/image/check-image.sh
                 $<TARGET_FILE:stub> ${CMAKE_SOURCE_DIR}/tests/image/allowed-imports.txt)
