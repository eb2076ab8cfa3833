// Reading the payload across the package file and its volume files.
//
// The reader itself (opening parts, moving to a payload offset, asking for
// the next disk) is not built yet. The decompressor's volume mode already
// reads through the one function it needs, reached through payloadReader so
// that the decompressor links without the reader; tests install a double.
#ifndef ZORVAT_PACKAGE_VOLUMES_H
#define ZORVAT_PACKAGE_VOLUMES_H

#include <stdint.h>
#include "app/fileio.h"

// Reads up to count bytes of the payload, starting with handle (callers pass
// volumeHandle) and moving on to the next volume file when the part ends.
// Returns 0 on success, with *countRead possibly below count after a short
// second read; 1 when no further volume can be opened. May change
// volumeHandle.
typedef int (*PayloadReadFunction)(FileHandle handle, void* buffer, uint32_t count,
                                   uint32_t* countRead);

// Null until the volume reader exists; a null reader makes every volume-mode
// refill fail.
extern PayloadReadFunction payloadReader;

#endif
