# Benchmarks of the compressed stream format (native tree; `make bench` runs
# them on the corpus that bench/make_corpus.sh makes):
#   decode_bench  decoding speed of the updater's decompressor against zlib
#                 and libdeflate on the same data (Google Benchmark)
#   size_report   compressed sizes of our compressor against libdeflate and
#                 gzip -9
find_package(benchmark REQUIRED)
find_package(ZLIB REQUIRED)
find_package(Threads REQUIRED)

# The decompressor as the image compiles it: the image's optimisation and
# code-generation options (cmake/image.cmake) less its i486 target and its
# section and unwind-table options, which do not change the code's speed.
# These come after the build type's flags (-O2 -g), so -Os is the one that
# counts. An -O2 copy is the reference. Each copy is a shared library with
# hidden symbols: its own inflater, file and memory functions, and only its
# entry point (bench/inflater_entry.cpp) exported, so both copies and the
# builder's own (for the transcoder) share one program.
#
# Sources: the decompressor, what it calls (memory helpers, the updater's
# state) and the POSIX backend as cmake/native.cmake lists it.
set(BENCH_DECODER_SOURCES
    package/inflater.cpp
    app/memory.cpp
    app/state.cpp
    ${POSIX_SOURCES}
    bench/inflater_entry.cpp
)
set(BENCH_IMAGE_CODEGEN -fno-exceptions -fno-rtti -fno-stack-protector
    -fno-threadsafe-statics -fomit-frame-pointer)
set(BENCH_DIR ${CMAKE_BINARY_DIR}/bench)

foreach(level Os O2)
    set(lib bench_inflater_${level})
    add_library(${lib} SHARED ${BENCH_DECODER_SOURCES})
    target_compile_options(${lib} PRIVATE -${level} ${BENCH_IMAGE_CODEGEN} ${WARNINGS})
    target_compile_definitions(${lib} PRIVATE ZORVAT_BENCH_ENTRY=zorvat_bench_inflate_${level})
    target_link_options(${lib} PRIVATE -Wl,--no-undefined)
    set_target_properties(${lib} PROPERTIES
        CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON
        LIBRARY_OUTPUT_DIRECTORY ${BENCH_DIR})
endforeach()

# The programs link the updater's decompressor through the builder, and with
# it the volume reader, which speaks through a user interface: the console's.
add_executable(decode_bench bench/decode_bench.cpp builder/console.cpp)
target_compile_options(decode_bench PRIVATE ${WARNINGS})
target_link_libraries(decode_bench builder_plain updater_plain bench_inflater_Os bench_inflater_O2
                      benchmark::benchmark ZLIB::ZLIB deflate Threads::Threads)

add_executable(size_report bench/size_report.cpp builder/console.cpp)
target_compile_options(size_report PRIVATE ${WARNINGS})
target_link_libraries(size_report builder_plain updater_plain Threads::Threads)

set_target_properties(decode_bench size_report PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${BENCH_DIR})
