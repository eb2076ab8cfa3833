// POSIX backend of the platform services, for native builds. What a POSIX
// system cannot answer (the registry, the Windows folders, VerFindFileA)
// comes from posixSystem, which tests and the builder fill.
#include "app/platform.h"
#include "app/platform_posix.h"

#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <time.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <string>

PosixSystem posixSystem;

void* allocateTemplateBlock(uint32_t size) { return calloc(size, 1); }

void releaseTemplateBlock(void* block) { free(block); }

static void copyOut(const std::string& text, char* out, uint32_t capacity) {
    if (!capacity) return;
    size_t length = text.size() < capacity - 1 ? text.size() : capacity - 1;
    memcpy(out, text.data(), length);
    out[length] = 0;
}

static std::string lowerCase(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

void toPosixPath(const char* windowsPath, char* out, size_t capacity) {
    std::string path(windowsPath);
    for (char& c : path)
        if (c == '\\') c = '/';
    // Match each component that does not exist as written against its
    // folder's entries without regard to case.
    std::string resolved;
    size_t position = 0;
    if (!path.empty() && path[0] == '/') {
        resolved = "/";
        position = 1;
    }
    bool matching = true;
    while (position <= path.size()) {
        size_t slash = path.find('/', position);
        if (slash == std::string::npos) slash = path.size();
        std::string component = path.substr(position, slash - position);
        std::string candidate = resolved + component;
        struct stat info;
        if (matching && !component.empty() && component != "." && component != ".." &&
            lstat(candidate.c_str(), &info) != 0) {
            matching = false;
            if (DIR* folder = opendir(resolved.empty() ? "." : resolved.c_str())) {
                while (dirent* item = readdir(folder)) {
                    if (strcasecmp(item->d_name, component.c_str()) == 0) {
                        candidate = resolved + item->d_name;
                        matching = true;
                        break;
                    }
                }
                closedir(folder);
            }
        }
        resolved = candidate;
        if (slash < path.size()) resolved += '/';
        position = slash + 1;
    }
    copyOut(resolved, out, static_cast<uint32_t>(capacity));
}

static std::string posixPathOf(const char* windowsPath) {
    char buffer[4096];
    toPosixPath(windowsPath, buffer, sizeof buffer);
    return buffer;
}

int readRegistryText(uint32_t root, const char* subkey, const char* valueName, char* out, uint32_t capacity) {
    if (root > ROOT_USERS) root = ROOT_CURRENT_USER;
    std::string wanted = lowerCase(std::to_string(root) + "\\" + subkey);
    for (const auto& [key, values] : posixSystem.registry) {
        if (lowerCase(key) != wanted) continue;
        std::string name = lowerCase(valueName ? valueName : "");
        for (const auto& [valueKey, text] : values) {
            if (lowerCase(valueKey) == name) {
                copyOut(text, out, capacity);
                return REGISTRY_VALUE_READ;
            }
        }
        return REGISTRY_NO_VALUE;
    }
    return REGISTRY_NO_KEY;
}

// Reads an INI file for real: [section] lines and key=value lines, names
// compared without regard to case, blanks around names and values dropped,
// as GetPrivateProfileStringA does.
void readIniText(const char* file, const char* section, const char* key, const char* fallback, char* out,
                 uint32_t capacity) {
    copyOut(fallback ? fallback : "", out, capacity);
    FILE* ini = fopen(posixPathOf(file).c_str(), "rb");
    if (!ini) return;
    auto trim = [](std::string text) {
        size_t first = text.find_first_not_of(" \t\r\n");
        if (first == std::string::npos) return std::string();
        size_t last = text.find_last_not_of(" \t\r\n");
        return text.substr(first, last - first + 1);
    };
    char line[4096];
    bool inSection = false;
    while (fgets(line, sizeof line, ini)) {
        std::string text = trim(line);
        if (!text.empty() && text[0] == '[') {
            size_t close = text.find(']');
            inSection = close != std::string::npos && strcasecmp(trim(text.substr(1, close - 1)).c_str(), section) == 0;
            continue;
        }
        size_t equals = text.find('=');
        if (inSection && equals != std::string::npos && strcasecmp(trim(text.substr(0, equals)).c_str(), key) == 0) {
            std::string value = trim(text.substr(equals + 1));
            if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0])
                value = value.substr(1, value.size() - 2);
            copyOut(value, out, capacity);
            break;
        }
    }
    fclose(ini);
}

bool enterFolder(const char* path) {
    if (!*path) return false;
    return chdir(posixPathOf(path).c_str()) == 0;
}

bool findStoredName(const char* path, char* name, uint32_t capacity) {
    std::string posix = posixPathOf(path);
    while (posix.size() > 1 && posix.back() == '/') posix.pop_back();
    struct stat info;
    if (posix.empty() || stat(posix.c_str(), &info) != 0) return false;
    size_t slash = posix.rfind('/');
    copyOut(slash == std::string::npos ? posix : posix.substr(slash + 1), name, capacity);
    return true;
}

uint32_t fileAttributes(const char* path) {
    struct stat info;
    if (stat(posixPathOf(path).c_str(), &info) != 0) return NO_ATTRIBUTES;
    uint32_t attributes = 0;
    if (S_ISDIR(info.st_mode)) attributes |= ATTRIBUTE_DIRECTORY;
    if (!(info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH))) attributes |= ATTRIBUTE_READONLY;
    return attributes ? attributes : 0x80;   // FILE_ATTRIBUTE_NORMAL
}

// The read-only attribute is the write permission: clearing it gives the
// owner write access back, setting it takes every write bit away.
bool setFileAttributes(const char* path, uint32_t attributes) {
    if (posixFaults.attributesStuck) return false;
    std::string posix = posixPathOf(path);
    struct stat info;
    if (stat(posix.c_str(), &info) != 0) return false;
    mode_t mode = info.st_mode & 07777;
    mode = (attributes & ATTRIBUTE_READONLY) ? mode & ~(S_IWUSR | S_IWGRP | S_IWOTH) : mode | S_IWUSR;
    return chmod(posix.c_str(), mode) == 0;
}

bool diskSpace(const char* root, DiskSpace* space) {
    if (posixSystem.diskSpaceFails) return false;
    if (posixSystem.fixedDiskSpace) {
        *space = {posixSystem.sectorsPerCluster, posixSystem.bytesPerSector, posixSystem.freeClusters,
                  posixSystem.totalClusters};
        return true;
    }
    struct statvfs info;
    if (statvfs(posixPathOf(root).c_str(), &info) != 0) return false;
    // Report 512-byte sectors per cluster of the block size, and clip the
    // cluster counts to 32 bits as old Windows clips them.
    uint64_t block = info.f_frsize ? info.f_frsize : info.f_bsize;
    space->bytesPerSector = 512;
    space->sectorsPerCluster = static_cast<uint32_t>(block >= 512 ? block / 512 : 1);
    space->freeClusters = static_cast<uint32_t>(info.f_bavail > 0xFFFFFFFFu ? 0xFFFFFFFFu : info.f_bavail);
    space->totalClusters = static_cast<uint32_t>(info.f_blocks > 0xFFFFFFFFu ? 0xFFFFFFFFu : info.f_blocks);
    return true;
}

void windowsFolder(char* out, uint32_t capacity) { copyOut(posixSystem.windowsDir, out, capacity); }

void systemFolder(char* out, uint32_t capacity) { copyOut(posixSystem.systemDir, out, capacity); }

uint32_t findSharedFile(const char* fileName, const char* windowsDir, const char* appDir, char* currentDir,
                        char* destinationDir, uint32_t capacity) {
    auto found = posixSystem.sharedFiles.find(lowerCase(fileName));
    PosixSharedFile answer;
    if (found != posixSystem.sharedFiles.end()) answer = found->second;
    copyOut(answer.currentDir, currentDir, capacity);
    copyOut(answer.destinationDir, destinationDir, capacity);
    return answer.result;
}

static bool lastDenied = false;

static bool isHeld(const char* path) {
    for (const std::string& held : posixFaults.heldFiles)
        if (strcasecmp(held.c_str(), path) == 0) return true;
    return false;
}

static bool refuse(bool denied) {
    lastDenied = denied;
    return false;
}

// DeleteFileA refuses a read-only file or one that another program holds,
// as access denied; POSIX would unlink both, so the backend refuses them.
bool deleteFile(const char* path) {
    if (isHeld(path)) return refuse(true);
    std::string posix = posixPathOf(path);
    struct stat info;
    if (lstat(posix.c_str(), &info) != 0) return refuse(false);
    if (S_ISDIR(info.st_mode) || !(info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH))) return refuse(true);
    if (unlink(posix.c_str()) != 0) return refuse(errno == EACCES || errno == EPERM);
    lastDenied = false;
    return true;
}

// MoveFileA never replaces an existing file.
bool renameFile(const char* from, const char* to) {
    if (isHeld(from)) return refuse(true);
    std::string source = posixPathOf(from), target = posixPathOf(to);
    struct stat info;
    if (lstat(target.c_str(), &info) == 0) return refuse(false);
    if (rename(source.c_str(), target.c_str()) != 0) return refuse(errno == EACCES || errno == EPERM);
    lastDenied = false;
    return true;
}

bool createFolder(const char* path) {
    if (mkdir(posixPathOf(path).c_str(), 0755) != 0) return refuse(errno == EACCES || errno == EPERM);
    lastDenied = false;
    return true;
}

bool lastFailureWasDenied() { return lastDenied; }

// FILETIME counts 100 ns since 1601; the Unix epoch is 11644473600 s later.
static timespec timespecOf(const uint8_t* bytes) {
    uint64_t ticks = 0;
    for (int i = 7; i >= 0; --i) ticks = ticks << 8 | bytes[i];
    const uint64_t epoch = 116444736000000000ull;
    timespec time;
    if (ticks < epoch) ticks = epoch;
    time.tv_sec = static_cast<time_t>((ticks - epoch) / 10000000);
    time.tv_nsec = static_cast<long>((ticks - epoch) % 10000000 * 100);
    return time;
}

bool setFileTimes(FileHandle file, const uint8_t* times) {
    timespec both[2] = {timespecOf(times + 8), timespecOf(times + 16)};   // access, write; no creation time
    return futimens(static_cast<int>(file), both) == 0;
}

bool fileVersion(const char* path, uint32_t version[4]) {
    for (const auto& [name, numbers] : posixSystem.fileVersions) {
        if (strcasecmp(name.c_str(), path) == 0) {
            for (int i = 0; i < 4; ++i) version[i] = numbers[i];
            return true;
        }
    }
    return false;
}
