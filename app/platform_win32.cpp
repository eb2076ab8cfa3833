// Win32 backend of the platform services: one system call each.
#include <windows.h>

#include "app/fileio.h"
#include "app/platform.h"

void* allocateTemplateBlock(uint32_t size) {
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size);
    if (!block) return 0;
    void* locked = GlobalLock(block);
    if (!locked) GlobalFree(block);
    return locked;
}

void releaseTemplateBlock(void* locked) {
    if (!locked) return;
    HGLOBAL block = GlobalHandle(locked);
    GlobalUnlock(block);
    GlobalFree(block);
}

static HKEY rootKey(uint32_t root) {
    switch (root) {
    case ROOT_CLASSES: return HKEY_CLASSES_ROOT;
    case ROOT_LOCAL_MACHINE: return HKEY_LOCAL_MACHINE;
    case ROOT_USERS: return HKEY_USERS;
    default: return HKEY_CURRENT_USER;
    }
}

int readRegistryText(uint32_t root, const char* subkey, const char* valueName, char* out, uint32_t capacity) {
    HKEY key;
    if (RegOpenKeyExA(rootKey(root), subkey, 0, KEY_READ, &key) != ERROR_SUCCESS) return REGISTRY_NO_KEY;
    // Read into a buffer of its own: a value longer than the path buffer
    // fails with ERROR_MORE_DATA and must leave the caller's text as it was.
    char value[MAX_PATH + 1];
    DWORD size = sizeof value - 1;
    LONG result = RegQueryValueExA(key, valueName, 0, 0, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS) return REGISTRY_NO_VALUE;
    value[size < sizeof value ? size : sizeof value - 1] = 0;
    copyText(out, value, capacity);
    return REGISTRY_VALUE_READ;
}

void readIniText(const char* file, const char* section, const char* key, const char* fallback, char* out,
                 uint32_t capacity) {
    GetPrivateProfileStringA(section, key, fallback, out, capacity, file);
    out[capacity - 1] = 0;
}

bool enterFolder(const char* path) { return SetCurrentDirectoryA(path) != 0; }

bool findStoredName(const char* path, char* name, uint32_t capacity) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(path, &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    FindClose(search);
    copyText(name, found.cFileName, capacity);
    return true;
}

uint32_t fileAttributes(const char* path) { return GetFileAttributesA(path); }

bool setFileAttributes(const char* path, uint32_t attributes) { return SetFileAttributesA(path, attributes) != 0; }

bool diskSpace(const char* root, DiskSpace* space) {
    DWORD sectors, bytes, freeClusters, total;
    if (!GetDiskFreeSpaceA(root, &sectors, &bytes, &freeClusters, &total)) return false;
    space->sectorsPerCluster = sectors;
    space->bytesPerSector = bytes;
    space->freeClusters = freeClusters;
    space->totalClusters = total;
    return true;
}

void windowsFolder(char* out, uint32_t capacity) {
    UINT length = GetWindowsDirectoryA(out, capacity);
    if (length == 0 || length >= capacity) out[0] = 0;
}

void systemFolder(char* out, uint32_t capacity) {
    UINT length = GetSystemDirectoryA(out, capacity);
    if (length == 0 || length >= capacity) out[0] = 0;
}

uint32_t findSharedFile(const char* fileName, const char* windowsDir, const char* appDir, char* currentDir,
                        char* destinationDir, uint32_t capacity) {
    UINT currentLength = capacity, destinationLength = capacity;
    currentDir[0] = destinationDir[0] = 0;
    DWORD result = VerFindFileA(VFFF_ISSHAREDFILE, const_cast<char*>(fileName), const_cast<char*>(windowsDir),
                                const_cast<char*>(appDir), currentDir, &currentLength, destinationDir,
                                &destinationLength);
    currentDir[capacity - 1] = destinationDir[capacity - 1] = 0;
    return result;
}

// The error of the last failed delete or rename, read at once: any later
// system call may overwrite it.
static DWORD lastFailure;

static bool remember(BOOL done) {
    lastFailure = done ? 0 : GetLastError();
    return done != 0;
}

bool deleteFile(const char* path) { return remember(DeleteFileA(path)); }

bool renameFile(const char* from, const char* to) { return remember(MoveFileA(from, to)); }

bool createFolder(const char* path) { return remember(CreateDirectoryA(path, 0)); }

bool lastFailureWasDenied() {
    return lastFailure == ERROR_ACCESS_DENIED || lastFailure == ERROR_SHARING_VIOLATION ||
           lastFailure == ERROR_LOCK_VIOLATION;
}

static FILETIME fileTimeAt(const uint8_t* bytes) {
    FILETIME time;
    time.dwLowDateTime = bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<DWORD>(bytes[3]) << 24;
    time.dwHighDateTime = bytes[4] | bytes[5] << 8 | bytes[6] << 16 | static_cast<DWORD>(bytes[7]) << 24;
    return time;
}

bool setFileTimes(FileHandle file, const uint8_t* times) {
    FILETIME created = fileTimeAt(times), accessed = fileTimeAt(times + 8), written = fileTimeAt(times + 16);
    return SetFileTime(reinterpret_cast<HANDLE>(file), &created, &accessed, &written) != 0;
}

bool fileVersion(const char* path, uint32_t version[4]) {
    DWORD ignored;
    DWORD size = GetFileVersionInfoSizeA(const_cast<char*>(path), &ignored);
    if (size == 0) return false;
    uint8_t* block;
    if (!allocateBuffer(size, block)) return false;
    bool found = false;
    VS_FIXEDFILEINFO* info;
    UINT length;
    if (GetFileVersionInfoA(const_cast<char*>(path), 0, size, block) &&
        VerQueryValueA(block, const_cast<char*>("\\"), reinterpret_cast<void**>(&info), &length) &&
        length >= sizeof(VS_FIXEDFILEINFO)) {
        version[0] = info->dwFileVersionMS;
        version[1] = info->dwFileVersionLS;
        version[2] = info->dwProductVersionMS;
        version[3] = info->dwProductVersionLS;
        found = true;
    }
    releaseBuffer(block);
    return found;
}
