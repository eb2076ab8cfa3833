# Native tree: the builder and the native tests, plain and sanitized.
find_package(GTest REQUIRED)
include(GoogleTest)

set(POSIX_SOURCES app/fileio_posix.cpp app/platform_posix.cpp)
set(TEST_SUPPORT_SOURCES tests/support/scripted_ui.cpp tests/support/testfiles.cpp tests/support/scenario.cpp)
file(GLOB NATIVE_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/native/*.cpp
     ${CMAKE_SOURCE_DIR}/tests/common/*.cpp)

set(WARNINGS -Wall -Wextra -Wno-unused-parameter)
set(SANITIZE -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)

# The updater's portable code with the POSIX backend, once plain and once
# with AddressSanitizer and UndefinedBehaviorSanitizer.
foreach(variant plain san)
    set(lib updater_${variant})
    add_library(${lib} STATIC ${PORTABLE_SOURCES} ${POSIX_SOURCES})
    target_compile_options(${lib} PRIVATE ${WARNINGS})
    add_library(builder_${variant} STATIC ${BUILDER_SOURCES})
    target_compile_options(builder_${variant} PRIVATE ${WARNINGS})
    target_link_libraries(builder_${variant} PUBLIC ${lib} deflate divsufsort tomlplusplus)
    target_compile_definitions(builder_${variant} PUBLIC TOML_HEADER_ONLY=0 TOML_SHARED_LIB=1)

    set(tests native_tests_${variant})
    add_executable(${tests} ${NATIVE_TEST_SOURCES} ${TEST_SUPPORT_SOURCES})
    target_compile_options(${tests} PRIVATE ${WARNINGS})
    target_link_libraries(${tests} builder_${variant} ${lib} GTest::gtest GTest::gtest_main)
    target_compile_definitions(${tests} PRIVATE ZORVAT_PATH="${BIN_DIR}/zorvat")
    add_dependencies(${tests} zorvat)
    if(variant STREQUAL san)
        foreach(target ${lib} builder_${variant} ${tests})
            target_compile_options(${target} PRIVATE ${SANITIZE} -g -O1)
            target_link_options(${target} PRIVATE ${SANITIZE})
        endforeach()
        gtest_discover_tests(${tests} TEST_PREFIX "san." DISCOVERY_MODE PRE_TEST
                             PROPERTIES ENVIRONMENT "ASAN_OPTIONS=detect_leaks=1;UBSAN_OPTIONS=print_stacktrace=1")
    else()
        gtest_discover_tests(${tests} DISCOVERY_MODE PRE_TEST)
    endif()
endforeach()

# The builder's command-line tool.
# The console user interface and the apply command link into the tool only:
# tests link their scripted user interface in its place.
add_executable(zorvat builder/main.cpp builder/apply.cpp builder/console.cpp)
target_compile_options(zorvat PRIVATE ${WARNINGS})
target_link_libraries(zorvat builder_plain updater_plain)
set_target_properties(zorvat PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${BIN_DIR})

# The benchmarks of the compressed stream format (make bench).
include(cmake/bench.cmake)
