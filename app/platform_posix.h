// What the POSIX backend adds for native builds and their tests.
#ifndef ZORVAT_APP_PLATFORM_POSIX_H
#define ZORVAT_APP_PLATFORM_POSIX_H

#include <stddef.h>
#include <stdint.h>

// Faults that tests inject to reach the failure paths a real disk or heap
// reaches only rarely. Reset them with `posixFaults = PosixFaults()`.
struct PosixFaults {
    int64_t writeBudget = -1;     // bytes writable before writes come up short; -1 = unlimited
    bool failNextWrite = false;   // the next writeAll fails outright
    int failAllocations = 0;      // the next N allocations fail
};
extern PosixFaults posixFaults;

// A path in Windows form as the system call takes it (backslashes to slashes).
void toPosixPath(const char* windowsPath, char* out, size_t capacity);

#endif
