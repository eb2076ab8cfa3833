// File and memory operations: the one place where the updater touches files
// and the heap. Two backends implement this header: fileio_win32.cpp (the
// image and the Win32 tests) and fileio_posix.cpp (native builds).
//
// Files: a FileHandle holds a system handle or NO_FILE (-1). Positions are
// unsigned 32-bit offsets; no call passes a high part.
//   openExisting mode 1: write, no sharing; mode 2: read+write, share read;
//   any other mode (0): read, share read. Result: the handle or NO_FILE.
//   createAlways: write, no sharing, replaces an existing file.
// Result codes of reads and writes (callers map them to user messages):
//   readExact  0 = all n bytes came, 1 = the read failed or came up short
//   writeAll   0 = all n bytes written, 2 = the write failed, 3 = it came up short
//   readSome   the count read; 0 at the end of the file or on failure
//
// Memory: every allocation retries once after compacting the heap. The out
// variable receives the block or null; releaseBuffer frees a non-null block
// and nulls the variable, so releasing twice frees once.
#ifndef ZORVAT_APP_FILEIO_H
#define ZORVAT_APP_FILEIO_H

#include <stdint.h>

typedef intptr_t FileHandle;
const FileHandle NO_FILE = -1;

enum { READ_OK = 0, READ_FAILED = 1, WRITE_FAILED = 2, WRITE_SHORT = 3 };

FileHandle openExisting(const char* path, int mode);
FileHandle createAlways(const char* path);
int readExact(FileHandle file, void* buffer, uint32_t count);
uint32_t readSome(FileHandle file, void* buffer, uint32_t count);
int writeAll(FileHandle file, const void* buffer, uint32_t count);
uint32_t tellFile(FileHandle file);
uint32_t seekFileTo(FileHandle file, uint32_t offset);
uint32_t seekFileBy(FileHandle file, int32_t distance);
uint32_t fileSize(FileHandle file);
bool closeFile(FileHandle file);

bool allocateBufferRaw(uint32_t size, void** buffer);
bool allocateZeroedRaw(uint32_t size, void** buffer);
void releaseBufferRaw(void** buffer);

template <class T> inline bool allocateBuffer(uint32_t size, T*& buffer) {
    void* block = 0;
    bool ok = allocateBufferRaw(size, &block);
    buffer = static_cast<T*>(block);
    return ok;
}
template <class T> inline bool allocateZeroed(uint32_t size, T*& buffer) {
    void* block = 0;
    bool ok = allocateZeroedRaw(size, &block);
    buffer = static_cast<T*>(block);
    return ok;
}
template <class T> inline void releaseBuffer(T*& buffer) {
    void* block = const_cast<void*>(static_cast<const void*>(buffer));
    releaseBufferRaw(&block);
    buffer = 0;
}

// Small memory helpers. The image has no C runtime, so these are ours on
// every build (the compiler may still emit memcpy/memset calls, which the
// image's runtime file provides).
void copyBytes(void* destination, const void* source, uint32_t count);
void moveBytes(void* destination, const void* source, uint32_t count);
void fillBytes(void* destination, uint8_t value, uint32_t count);
uint32_t textLength(const char* text);
// Copies text into a buffer of capacity bytes, cutting it to keep the
// terminator; returns the length copied. capacity must be at least 1.
uint32_t copyText(char* destination, const char* text, uint32_t capacity);

#endif
