# Win32 tests: the same sources with the Win32 backend, built with the full
# runtime and GoogleTest (cross-built from Debian's sources), linked static,
# run under Wine through the emulator of the toolchain file.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
include(GoogleTest)

file(GLOB WIN32_TEST_SOURCES CONFIGURE_DEPENDS
     ${CMAKE_SOURCE_DIR}/tests/win32/*_test.cpp ${CMAKE_SOURCE_DIR}/tests/common/*.cpp)
add_executable(win32_tests
    ${WIN32_TEST_SOURCES}
    tests/win32/driver.cpp tests/win32/stored_streams.cpp
    tests/support/testfiles.cpp tests/support/scenario.cpp
    ${PORTABLE_SOURCES} ${BUILDER_CORE_SOURCES}
    app/fileio_win32.cpp app/platform_win32.cpp tests/support/scripted_ui.cpp)
target_compile_options(win32_tests PRIVATE -Wall -Wextra -Wno-unused-parameter)
target_link_libraries(win32_tests gtest gtest_main version)
target_link_options(win32_tests PRIVATE -static)
# The image tests start the real image; its path as the Wine side sees it.
target_compile_definitions(win32_tests PRIVATE STUB_IMAGE_POSIX_PATH="${BIN_DIR}/stub.exe")
add_dependencies(win32_tests stub holdfile)

# A second process that holds a file open.
add_executable(holdfile tests/win32/holdfile.cpp)
target_link_options(holdfile PRIVATE -static)
target_compile_definitions(win32_tests PRIVATE HOLDFILE_POSIX_PATH="$<TARGET_FILE:holdfile>")
gtest_discover_tests(win32_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60)
