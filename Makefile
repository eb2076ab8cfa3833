# Zorvat Update: the updater image (Win32, build/win32) and the builder and
# native tests (build/native), from one CMake tree.
#   make deps    install what the builds and tests need (Debian 12)
#   make build   both trees; prints the image size
#   make test    deps, build, native tests (plain and sanitized), Win32 tests under Wine
MAKEFLAGS += --no-print-directory
JOBS ?= $(shell nproc)
NATIVE := build/native
WIN32 := build/win32

.PHONY: all deps build test test-native test-win32 clean

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

clean:
	rm -rf build
