// Reading the payload: one byte sequence laid end to end over parts, part 0
// at the end of the package file, part k (k >= 1) in volume file k.
//
// Volume file:  u32 part length | part length bytes of payload, to its end.
// Part 0:       at payloadStart in the package file, the same layout.
// Volume k's name is the package file's path (modulePath) with its
// extension replaced by ".D%2.2d" of k (".D01", ".D02", ... ".D100"); a path
// whose last full stop is followed by a backslash gets it appended. Nothing
// else ties a volume to its package: a file of that name whose length field
// can be read is taken.
//
// The reader moves forward only. A volume that is missing ends the read,
// except in the temporary copy started for removable media (deleteSelf),
// which asks for the disk (table 6 entry 32, formatted with the disk number
// volumeNumber + 1) until it comes or the user gives up (entry 15, then the
// notice entry 17; pageResult becomes PAGE_CANCEL).
#ifndef ZORVAT_PACKAGE_VOLUMES_H
#define ZORVAT_PACKAGE_VOLUMES_H

#include <stdint.h>

#include "app/fileio.h"

// Opens part 0 at its first data byte and resets the engine's cursor
// (nextEntry, entriesDone -1, doneKiB 0, resultMessage 0). False with
// resultMessage 18 and messageArg the package file's path.
bool openPayload();

// Positions volumeHandle at payload offset (moving on through the volumes
// as needed). False with resultMessage 20 (messageArg the missing volume)
// or 17 (the user gave up). An offset in a part already left is never
// visited again: 20, messageArg the file now open.
bool seekPayload(uint32_t offset);

// Reads up to count bytes of the payload from handle (callers pass
// volumeHandle), going on into the next volume when the part ends.
// Returns 0 with *countRead possibly below count (one further short read
// is not repeated); 1 when no further volume could be opened.
int readPayload(FileHandle handle, void* buffer, uint32_t count, uint32_t* countRead);

// Closes the part now open and opens the next (or reopens the same one
// when a read stopped inside it, going on at that byte; when that file
// holds nothing past it, the part ended early and the next one follows).
// The new volumeHandle, or NO_FILE.
FileHandle nextVolume();

// Closes the payload; in the normal wizard the finish page comes next.
void closePayload();

// The decompressor's volume mode reads through this pointer, which is
// readPayload in every program; tests of the decompressor alone put a
// double in its place.
typedef int (*PayloadReadFunction)(FileHandle handle, void* buffer, uint32_t count, uint32_t* countRead);
extern PayloadReadFunction payloadReader;

#endif
