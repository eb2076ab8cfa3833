// POSIX backend of the file and memory operations, for native builds (tests,
// sanitizers, fuzzers and the builder's apply command). Paths arrive in
// Windows form; backslashes become slashes at the system call. Share modes
// have no POSIX counterpart and are not enforced here; the Win32 backend is
// tested under Wine for them.
#include "app/fileio.h"
#include "app/platform_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

// Fault injection for tests: the next write is cut short or fails.
PosixFaults posixFaults;

static FileHandle openPosix(const char* path, int flags) {
    char posixPath[4096];
    toPosixPath(path, posixPath, sizeof posixPath);
    int fd;
    do fd = open(posixPath, flags | O_CLOEXEC, 0644);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return NO_FILE;
    struct stat info;
    if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {   // CreateFileA refuses folders
        close(fd);
        return NO_FILE;
    }
    return fd;
}

FileHandle openExisting(const char* path, int mode) {
    if (mode == 1) return openPosix(path, O_WRONLY);
    if (mode == 2) return openPosix(path, O_RDWR);
    return openPosix(path, O_RDONLY);
}

FileHandle createAlways(const char* path) {
    return openPosix(path, O_WRONLY | O_CREAT | O_TRUNC);
}

uint32_t readSome(FileHandle file, void* buffer, uint32_t count) {
    if (file == NO_FILE) return 0;
    ssize_t got;
    do got = read(static_cast<int>(file), buffer, count);
    while (got < 0 && errno == EINTR);
    return got > 0 ? static_cast<uint32_t>(got) : 0;
}

int readExact(FileHandle file, void* buffer, uint32_t count) {
    // ReadFile returns what the file holds in one call; loop over partial
    // reads so that only a real end or error counts as short.
    uint8_t* to = static_cast<uint8_t*>(buffer);
    while (count > 0) {
        uint32_t got = readSome(file, to, count);
        if (got == 0) return READ_FAILED;
        to += got;
        count -= got;
    }
    return READ_OK;
}

int writeAll(FileHandle file, const void* buffer, uint32_t count) {
    if (file == NO_FILE) return WRITE_FAILED;
    uint32_t allowed = count;
    if (posixFaults.failNextWrite) {
        posixFaults.failNextWrite = false;
        return WRITE_FAILED;
    }
    if (posixFaults.writeBudget >= 0) {
        if (static_cast<int64_t>(allowed) > posixFaults.writeBudget)
            allowed = static_cast<uint32_t>(posixFaults.writeBudget);
        posixFaults.writeBudget -= allowed;
    }
    const uint8_t* from = static_cast<const uint8_t*>(buffer);
    uint32_t written = 0;
    while (written < allowed) {
        ssize_t put = write(static_cast<int>(file), from + written, allowed - written);
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) return written == 0 ? WRITE_FAILED : WRITE_SHORT;
        if (put == 0) break;
        written += static_cast<uint32_t>(put);
    }
    return written == count ? 0 : WRITE_SHORT;
}

uint32_t tellFile(FileHandle file) {
    return static_cast<uint32_t>(lseek(static_cast<int>(file), 0, SEEK_CUR));
}

uint32_t seekFileTo(FileHandle file, uint32_t offset) {
    return static_cast<uint32_t>(lseek(static_cast<int>(file), static_cast<off_t>(offset), SEEK_SET));
}

uint32_t seekFileBy(FileHandle file, int32_t distance) {
    return static_cast<uint32_t>(lseek(static_cast<int>(file), distance, SEEK_CUR));
}

uint32_t fileSize(FileHandle file) {
    off_t saved = lseek(static_cast<int>(file), 0, SEEK_CUR);
    off_t end = lseek(static_cast<int>(file), 0, SEEK_END);
    lseek(static_cast<int>(file), saved, SEEK_SET);
    return static_cast<uint32_t>(end);
}

bool closeFile(FileHandle file) {
    return file != NO_FILE && close(static_cast<int>(file)) == 0;
}

bool allocateBufferRaw(uint32_t size, void** buffer) {
    if (posixFaults.failAllocations > 0) {
        --posixFaults.failAllocations;
        *buffer = 0;
        return false;
    }
    *buffer = malloc(size ? size : 1);
    return *buffer != 0;
}

bool allocateZeroedRaw(uint32_t size, void** buffer) {
    if (posixFaults.failAllocations > 0) {
        --posixFaults.failAllocations;
        *buffer = 0;
        return false;
    }
    *buffer = calloc(size ? size : 1, 1);
    return *buffer != 0;
}

void releaseBufferRaw(void** buffer) {
    free(*buffer);
    *buffer = 0;
}
