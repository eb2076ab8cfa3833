// The pre-update scan: classifies every catalogued file against the folder
// in targetDir before anything is written, and returns one outcome code,
// which is also the number of the table 6 message that reports it:
//   0   work to do                                  messageArg unchanged
//   3   nothing to do                               unchanged
//   6   no catalogued file is in the folder         unchanged
//   9   a required file, or the moved copy, cannot be opened   the path
//   10  an installed file is not a recognised version          the path
//   11  a read-only file cannot be made writable               destPath
//   12  a shared file is in use                                destPath
//   13  not enough free disk space                  unchanged
// Every entry it reaches gets its matchIndex; a known version found below
// alternateDir sets FLAG_IN_ALTERNATE. Nothing is written to disk, except
// that a read-only file's attribute is cleared and set again to test it.
#ifndef ZORVAT_ENGINE_SCAN_H
#define ZORVAT_ENGINE_SCAN_H

#include <stdint.h>

enum ScanOutcome {
    SCAN_WORK_TO_DO = 0,
    SCAN_NOTHING_TO_DO = 3,
    SCAN_NONE_PRESENT = 6,
    SCAN_FILE_MISSING = 9,
    SCAN_NOT_RECOGNISED = 10,
    SCAN_READ_ONLY = 11,
    SCAN_SHARED_IN_USE = 12,
    SCAN_NO_SPACE = 13,
};

enum { SPACE_UNKNOWN = 0xFFFFFFFF, DEFAULT_CLUSTER_KIB = 32 };

uint32_t scanInstalledFiles();

// Free space in KiB on the drive that holds path (a UNC path is asked
// about as it stands, any other path by its drive root); SPACE_UNKNOWN when
// the system cannot tell.
uint32_t freeSpaceKiB(const char* path);
// The drive's allocation unit in KiB, rounded up; 32 when unknown.
uint32_t clusterSizeKiB(const char* path);

#endif
