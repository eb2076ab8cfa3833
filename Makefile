# Zorvat Update: the updater image (Win32, build/win32) and the builder and
# native tests (build/native), from one CMake tree.
#   make deps    install what the builds and tests need (Debian 12)
#   make build   both trees; prints the image size
#   make test    deps, build, native tests (plain and sanitized), Win32 tests under Wine
#   make demo    build the sample update from examples/demo and apply it
#   make bench   deps, native tree, then the stream format's benchmarks: decoding
#                speed against zlib and libdeflate, and compressed sizes, on a
#                corpus made once in build/bench-corpus (BENCH_ARGS: options for
#                Google Benchmark)
#   make bench-patch  deps, native tree, then patch sizes and times of zorvat diff
#                against xdelta3, bsdiff and zstd on real file pairs fetched with
#                npm pack into ~/.cache/zorvat-bench (bench/patch-bench.sh)
MAKEFLAGS += --no-print-directory
JOBS ?= $(shell nproc)
NATIVE := build/native
WIN32 := build/win32
BENCH_CORPUS := build/bench-corpus
BENCH_ARGS ?= --benchmark_repetitions=3 --benchmark_display_aggregates_only=true

.PHONY: all deps build test test-native test-win32 bench bench-patch clean

all: build

deps:
	@scripts/deps.sh

$(NATIVE)/CMakeCache.txt:
	cmake -S . -B $(NATIVE) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

$(WIN32)/CMakeCache.txt:
	cmake -S . -B $(WIN32) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null

build: deps $(NATIVE)/CMakeCache.txt $(WIN32)/CMakeCache.txt
	cmake --build $(WIN32) -j $(JOBS)
	cmake --build $(NATIVE) -j $(JOBS)
	@cmake -DIMAGE=build/bin/stub.exe -P cmake/check-image-size.cmake

test: build test-native test-win32

test-native:
	ctest --test-dir $(NATIVE) -j $(JOBS) --output-on-failure

test-win32:
	scripts/wine-tests.sh

bench: deps $(NATIVE)/CMakeCache.txt
	cmake --build $(NATIVE) -j $(JOBS)
	@bench/make_corpus.sh $(BENCH_CORPUS)
	$(NATIVE)/bench/decode_bench --corpus=$(BENCH_CORPUS) $(BENCH_ARGS)
	$(NATIVE)/bench/size_report --corpus=$(BENCH_CORPUS)

bench-patch: deps $(NATIVE)/CMakeCache.txt
	@command -v npm >/dev/null || scripts/deps.sh npm
	@scripts/deps.sh time
	cmake --build $(NATIVE) -j $(JOBS)
	@bench/patch-bench.sh build/bin/zorvat

demo: build
	scripts/demo.sh

clean:
	rm -rf build
