// Win32 backend of the file and memory operations: one system call each,
// with the access and sharing that every caller relies on (see fileio.h).
#include <windows.h>

#include "app/fileio.h"

static FileHandle openFile(const char* path, DWORD access, DWORD sharing, DWORD disposition) {
    HANDLE file = CreateFileA(path, access, sharing, 0, disposition, FILE_ATTRIBUTE_NORMAL, 0);
    if (file == INVALID_HANDLE_VALUE) {
        GetLastError();   // fetched and dropped: callers learn only that it failed
        return NO_FILE;
    }
    return reinterpret_cast<FileHandle>(file);
}

FileHandle openExisting(const char* path, int mode) {
    if (mode == 1) return openFile(path, GENERIC_WRITE, 0, OPEN_EXISTING);
    if (mode == 2) return openFile(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING);
    return openFile(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
}

FileHandle createAlways(const char* path) {
    return openFile(path, GENERIC_WRITE, 0, CREATE_ALWAYS);
}

static HANDLE systemHandle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

int readExact(FileHandle file, void* buffer, uint32_t count) {
    DWORD got = 0;
    if (!ReadFile(systemHandle(file), buffer, count, &got, 0) || got != count) return READ_FAILED;
    return READ_OK;
}

uint32_t readSome(FileHandle file, void* buffer, uint32_t count) {
    DWORD got = 0;
    if (!ReadFile(systemHandle(file), buffer, count, &got, 0)) return 0;
    return got;
}

int writeAll(FileHandle file, const void* buffer, uint32_t count) {
    DWORD written = 0;
    if (!WriteFile(systemHandle(file), buffer, count, &written, 0)) return WRITE_FAILED;
    return written == count ? 0 : WRITE_SHORT;
}

uint32_t tellFile(FileHandle file) {
    return SetFilePointer(systemHandle(file), 0, 0, FILE_CURRENT);
}

uint32_t seekFileTo(FileHandle file, uint32_t offset) {
    return SetFilePointer(systemHandle(file), static_cast<LONG>(offset), 0, FILE_BEGIN);
}

uint32_t seekFileBy(FileHandle file, int32_t distance) {
    return SetFilePointer(systemHandle(file), distance, 0, FILE_CURRENT);
}

uint32_t fileSize(FileHandle file) {
    DWORD saved = SetFilePointer(systemHandle(file), 0, 0, FILE_CURRENT);
    DWORD end = SetFilePointer(systemHandle(file), 0, 0, FILE_END);
    SetFilePointer(systemHandle(file), static_cast<LONG>(saved), 0, FILE_BEGIN);
    return end;
}

bool closeFile(FileHandle file) {
    return CloseHandle(systemHandle(file)) != 0;
}

// Every allocation retries once after giving the heap's free memory back.
static bool allocate(uint32_t size, DWORD flags, void** buffer) {
    HANDLE heap = GetProcessHeap();
    void* block = HeapAlloc(heap, flags, size);
    if (!block) {
        HeapCompact(heap, 0);
        block = HeapAlloc(heap, flags, size);
    }
    *buffer = block;
    return block != 0;
}

bool allocateBufferRaw(uint32_t size, void** buffer) { return allocate(size, 0, buffer); }
bool allocateZeroedRaw(uint32_t size, void** buffer) { return allocate(size, HEAP_ZERO_MEMORY, buffer); }

void releaseBufferRaw(void** buffer) {
    if (*buffer) HeapFree(GetProcessHeap(), 0, *buffer);
    *buffer = 0;
}
