// Patch items: how an old version becomes the new one by copies from the
// old file and inserts of new bytes.
//
// Patch item (in the payload):  patch stream of the script, then patch
// stream of the insert data.
// Patch stream:  u8 flags (0x01 compressed, 0x02 u32 length else u16,
//   0x04 u32 packed length else u16) | length | [packed length, when
//   compressed and length != 0] | bytes (none when length is 0).
// Script commands, by the command byte c:
//   0x00        copy w + 129 bytes (u16 w follows), then an offset field
//   0x01-0x7F   copy c + 1 bytes (2-128), then an offset field
//   0x80-0x9F   insert (c & 0x1F) + 1 bytes (1-32)
//   0xA0-0xFF   insert (c >> 5) & 3 bytes (1-3), then copy (c & 0x1F) + 2
//               bytes (2-33), then an offset field
// Offset field: a signed distance d from the end of the previous copy:
//   10xxxxxx            d = signed 6 bits                  -32 .. 31
//   0xxxxxxx b          v = signed 15 bits, d = v +/- 32   32 .. 16415, -16416 .. -33
//   11xxxxxx b b        v = signed 22 bits, d = v +/- 16416
// Copied bytes that lie inside the old file's located preserved regions
// are written as zeros.
#ifndef ZORVAT_ENGINE_PATCH_H
#define ZORVAT_ENGINE_PATCH_H

#include <stdint.h>

#include "app/fileio.h"

struct FileEntry;

enum { STREAM_COMPRESSED = 0x01, STREAM_LONG_LENGTH = 0x02, STREAM_LONG_PACKED = 0x04 };
enum { MAX_COPY_LENGTH = 65536 };

// Reads one patch stream at the payload's position into a new buffer
// (null and length 0 for an empty stream). Returns 0, 14 (no memory) or 20
// (the payload cannot be read; messageArg = volumePath).
int readPatchStream(uint8_t** buffer, uint32_t* length);

// Runs the patch item at the payload's position: writes the new version
// into temporaryFile (open, empty) from oldFile (open for reading, its
// regions located with the entry's list). The outcome goes to
// resultMessage (0 = the script ran to its end; 14, 20, 21 or 22 with
// messageArg as patch.cpp lists them, also for scripts that break the
// format's limits); progress moves from
// percentBefore to percentAfter in steps of 10000 written bytes.
void applyPatch(FileEntry* entry, FileHandle oldFile, FileHandle temporaryFile, uint32_t percentBefore,
                uint32_t percentAfter);

// Frees the buffers a patch holds; every update step ends with it.
void releasePatchBuffers();

#endif
