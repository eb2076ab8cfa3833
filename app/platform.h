// The system services the portable updater code needs beyond files and
// memory, each a thin wrapper named for what it does. platform_win32.cpp
// calls the Win32 function named beside each one; platform_posix.cpp serves
// native builds, with paths in Windows form turned into POSIX paths at the
// call and with the registry, the system folders and the shared-file lookup
// taken from a table that tests and the builder fill (platform_posix.h).
//
// Paths are narrow ANSI strings; every out-buffer has the capacity given
// (callers pass 260) and is always terminated, cut when too long.
#ifndef ZORVAT_APP_PLATFORM_H
#define ZORVAT_APP_PLATFORM_H

#include <stdint.h>

#include "app/fileio.h"

// A zero-filled block that dialog functions accept as an in-memory template:
// on Win32 a movable global block, locked; returns the locked pointer or null.
void* allocateTemplateBlock(uint32_t size);
// Unlocks and frees a block from allocateTemplateBlock; null does nothing.
void releaseTemplateBlock(void* block);

// Registry roots as the package names them; any other value is the
// current user's root.
enum { ROOT_CLASSES = 0, ROOT_CURRENT_USER = 1, ROOT_LOCAL_MACHINE = 2, ROOT_USERS = 3 };
enum { REGISTRY_VALUE_READ = 0, REGISTRY_NO_VALUE = 1, REGISTRY_NO_KEY = -1 };

// Reads the text value valueName (null: the key's default value) of subkey
// under root into out (RegOpenKeyExA with KEY_READ, RegQueryValueExA).
// Returns REGISTRY_VALUE_READ; REGISTRY_NO_VALUE when the key opened but the
// value cannot be read (out unchanged); REGISTRY_NO_KEY when the key cannot
// be opened (out unchanged). A value longer than capacity is cut.
int readRegistryText(uint32_t root, const char* subkey, const char* valueName, char* out, uint32_t capacity);

// GetPrivateProfileStringA: the key's text, or fallback when it is absent.
void readIniText(const char* file, const char* section, const char* key, const char* fallback, char* out,
                 uint32_t capacity);

// SetCurrentDirectoryA: true when the folder exists and is now current.
bool enterFolder(const char* path);

// FindFirstFileA on path (no wildcards): the name of the file or folder as
// the file system stores it (long name, stored case) into name. False when
// nothing is found.
bool findStoredName(const char* path, char* name, uint32_t capacity);

// File attributes (GetFileAttributesA / SetFileAttributesA).
enum { ATTRIBUTE_READONLY = 0x01, ATTRIBUTE_DIRECTORY = 0x10, NO_ATTRIBUTES = 0xFFFFFFFF };
uint32_t fileAttributes(const char* path);
bool setFileAttributes(const char* path, uint32_t attributes);

// GetDiskFreeSpaceA on a root ("C:\") or UNC path.
struct DiskSpace {
    uint32_t sectorsPerCluster;
    uint32_t bytesPerSector;
    uint32_t freeClusters;
    uint32_t totalClusters;
};
bool diskSpace(const char* root, DiskSpace* space);

// GetWindowsDirectoryA and GetSystemDirectoryA.
void windowsFolder(char* out, uint32_t capacity);
void systemFolder(char* out, uint32_t capacity);

// VerFindFileA with VFFF_ISSHAREDFILE: where a shared file is and where it
// belongs. Returns the result flags; each folder buffer has capacity bytes.
enum { SHARED_CURRENT_NOT_DESTINATION = 0x1, SHARED_FILE_IN_USE = 0x2, SHARED_BUFFER_TOO_SMALL = 0x4 };
uint32_t findSharedFile(const char* fileName, const char* windowsDir, const char* appDir, char* currentDir,
                        char* destinationDir, uint32_t capacity);

// DeleteFileA, MoveFileA (no replacing), CreateDirectoryA (one level).
bool deleteFile(const char* path);
bool renameFile(const char* from, const char* to);
bool createFolder(const char* path);
// True when the last failed call above was refused because access was
// denied or the file is in use (sharing or lock violation), as opposed to
// a file that is not there.
bool lastFailureWasDenied();

// SetFileTime with three FILETIMEs (creation, last access, last write), as
// a catalogue entry stores them: 24 bytes, little-endian.
bool setFileTimes(FileHandle file, const uint8_t* times);

// The file's version numbers from its version resource (GetFileVersionInfoSizeA,
// GetFileVersionInfoA, VerQueryValueA "\"): FileVersionMS, FileVersionLS,
// ProductVersionMS, ProductVersionLS. False when it has none.
bool fileVersion(const char* path, uint32_t version[4]);

#endif
