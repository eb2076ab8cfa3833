// Writes patch items (formats in engine/patch.h): a patch as a list of
// commands, its script bytes, the two patch streams, and a check that runs
// an item through the updater's own applyPatch, so that the builder and the
// updater share one patch interpreter.
//
// Encoding choices, from the command list (every choice is a valid script;
// these keep it short):
//   - an insert of 1-3 bytes followed by a copy of 2-33 becomes one
//     combined command 0xA0-0xFF; a longer insert is cut into inserts of 32
//     bytes, and a last piece of 1-3 bytes still combines with such a copy;
//   - other inserts go as 0x80-0x9F commands, copies of 2-128 bytes as
//     0x01-0x7F, longer copies with the u16 form 0x00;
//   - a copy longer than 65536 bytes (the updater's copy buffer) is cut
//     into pieces of at most 65536 and at least 2 bytes, the first at the
//     command's distance, the others at distance 0;
//   - every distance takes the one offset form whose range holds it.
//
// Errors are exceptions (std::runtime_error): a copy of 1 byte (a copy is at
// least 2; one byte must go as an insert), a distance outside
// MIN_PATCH_DISTANCE..MAX_PATCH_DISTANCE or given without a copy, insert
// lengths that do not add up to the insert data, a stream of 4 GiB or
// more, and an item that the updater does not apply.
#ifndef ZORVAT_BUILDER_PATCHWRITER_H
#define ZORVAT_BUILDER_PATCHWRITER_H

#include <cstdint>
#include <vector>

#include "builder/cataloguewriter.h"   // RegionPlan
#include "builder/packagewriter.h"     // Bytes

// One step of a patch: insertLength bytes taken next from the insert data,
// then copyLength bytes of the old file from oldCursor + distance, where
// oldCursor is the end of the previous copy (0 at the start).
struct PatchCommand {
    uint32_t insertLength = 0;
    uint32_t copyLength = 0;   // 0 = no copy; otherwise at least 2
    int64_t distance = 0;      // must be 0 when there is no copy
};

// The distances the three offset forms cover together.
constexpr int64_t MIN_PATCH_DISTANCE = -(16416 + (int64_t(1) << 21));
constexpr int64_t MAX_PATCH_DISTANCE = 16416 + (int64_t(1) << 21) - 1;

// The script bytes of commands. insertData is the data the inserts take,
// whose length their lengths must add up to.
Bytes encodeScript(const std::vector<PatchCommand>& commands, const Bytes& insertData);

// One patch stream of data: flags, length (u16 when it fits, else u32) and
// the bytes, stored raw or as a compressed stream (builder/compressor.h) at
// level 1-12, whichever is smaller; level 0 always stores raw. Empty data
// gives the 3 bytes of an empty stream.
Bytes writePatchStream(const Bytes& data, int level);

// The patch item: the script's stream, then the insert data's stream.
Bytes writePatchItem(const Bytes& script, const Bytes& insertData, int level);

// The new file that the updater's applyPatch makes of oldFile with item, as
// a one-part payload, after locating regions in oldFile as the update
// engine does (copied bytes inside them come out as zeros). Uses temporary
// files and the updater's state, which it restores. Throws
// std::runtime_error naming the updater's message number when it fails.
Bytes applyPatchItem(const Bytes& oldFile, const Bytes& item, const std::vector<RegionPlan>& regions = {});

#endif
