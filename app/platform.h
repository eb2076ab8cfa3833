// The few system services the portable updater code needs beyond files and
// memory. platform_win32.cpp and platform_posix.cpp implement them.
#ifndef ZORVAT_APP_PLATFORM_H
#define ZORVAT_APP_PLATFORM_H

#include <stdint.h>

// A zero-filled block that dialog functions accept as an in-memory template:
// on Win32 a movable global block, locked; returns the locked pointer or null.
void* allocateTemplateBlock(uint32_t size);
// Unlocks and frees a block from allocateTemplateBlock; null does nothing.
void releaseTemplateBlock(void* block);

#endif
