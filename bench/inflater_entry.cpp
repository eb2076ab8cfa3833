// The one exported function of a benchmark copy of the updater's
// decompressor. cmake/bench.cmake builds package/inflater.cpp and its
// dependencies into a shared library per optimisation level (the image's -Os,
// and -O2 for reference) with hidden visibility, so that two copies of the
// same code live in one benchmark program; ZORVAT_BENCH_ENTRY names the
// copy's entry point.
//
// Entry: rewinds source, a stream file opened with openExisting, and unpacks
// it with inflateToMemory into capacity bytes at destination, exactly as the
// updater does (file reads of INFLATE_INPUT_SIZE bytes included). Returns
// inflateToMemory's result.
#include "package/inflater.h"

#ifndef ZORVAT_BENCH_ENTRY
#error "ZORVAT_BENCH_ENTRY names this copy's entry point"
#endif

extern "C" __attribute__((visibility("default"))) bool ZORVAT_BENCH_ENTRY(void* destination, uint32_t capacity,
                                                                          FileHandle source) {
    seekFileTo(source, 0);
    return inflateToMemory(destination, capacity, source, 0);
}

// A benchmark copy decodes files in direct mode only and carries no volume
// reader: its volume mode, never used here, fails as a missing volume would.
int readPayload(FileHandle, void*, uint32_t, uint32_t* countRead) {
    *countRead = 0;
    return 1;
}
