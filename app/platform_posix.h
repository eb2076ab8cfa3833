// What the POSIX backend adds for native builds and their tests.
#ifndef ZORVAT_APP_PLATFORM_POSIX_H
#define ZORVAT_APP_PLATFORM_POSIX_H

#include <stddef.h>
#include <stdint.h>

#include <array>
#include <map>
#include <string>
#include <vector>

// Faults that tests inject to reach the failure paths a real disk or heap
// reaches only rarely. Reset them with `posixFaults = PosixFaults()`.
struct PosixFaults {
    int64_t writeBudget = -1;     // bytes writable before writes come up short; -1 = unlimited
    bool failNextWrite = false;   // the next writeAll fails outright
    int failAllocations = 0;      // the next N allocations fail
    bool attributesStuck = false; // setFileAttributes fails (a file another user owns)
    // Paths (Windows form, compared without regard to case) that another
    // program holds open: deleting or renaming them is refused as denied.
    std::vector<std::string> heldFiles;
};
extern PosixFaults posixFaults;

// What a Windows machine would answer and a POSIX one cannot: the registry,
// the Windows and system folders, VerFindFileA's verdicts, and the disk's
// geometry when a test wants a particular one. Reset with
// `posixSystem = PosixSystem()`.
struct PosixSharedFile {
    uint32_t result = 0;          // flags findSharedFile returns
    std::string currentDir;       // where the file is now
    std::string destinationDir;   // where it belongs
};
struct PosixSystem {
    // Version resources by path (Windows form, compared without regard to
    // case): FileVersionMS, FileVersionLS, ProductVersionMS, ProductVersionLS.
    std::map<std::string, std::array<uint32_t, 4>> fileVersions;
    // "root\subkey" (root as its number, subkey as written, compared without
    // regard to case) -> value name ("" = default value) -> text.
    std::map<std::string, std::map<std::string, std::string>> registry;
    std::string windowsDir = "\\windows";
    std::string systemDir = "\\windows\\system";
    std::map<std::string, PosixSharedFile> sharedFiles;   // by file name, lower case
    bool fixedDiskSpace = false;  // answer diskSpace from disk below instead of statvfs
    bool diskSpaceFails = false;
    uint32_t sectorsPerCluster = 8, bytesPerSector = 512, freeClusters = 0, totalClusters = 0;
};
extern PosixSystem posixSystem;

// A path in Windows form as the system call takes it: backslashes become
// slashes, and each component that does not exist with its own letter case
// is matched without regard to case, as Windows' file systems do.
void toPosixPath(const char* windowsPath, char* out, size_t capacity);

#endif
