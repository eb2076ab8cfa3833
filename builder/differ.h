// The differ: makes the patch (copies from the old file, inserts of new
// bytes; formats in engine/patch.h) that turns one version of a file into
// another, as small as the command format and the two compressed streams
// allow.
//
// How:
//   - matches: a suffix array of the old file (libdivsufsort), entered
//     through a table of where each two-byte prefix begins, gives at each
//     position of the new file the longest old matches near it in sorted
//     order; of the suffixes that match equally far, the one nearest to
//     where the files line up (the anchor), whose distance is cheapest.
//     Beside them the parse always tries the old bytes at the current
//     alignment (the end of the previous copy plus the bytes inserted
//     since), which is where a small edit inside a long match continues,
//     and at the anchor; where these give 4 bytes or more the suffix
//     array is not searched. A copy of 64 bytes, or of 12 within a 2-byte
//     offset of the anchor (code that grew or shrank a little), moves the
//     anchor;
//   - parse: a shortest-path search over the new file's positions, in
//     windows, where a step is one inserted byte or one copy, priced in
//     bits as the step will cost once encoded and compressed: the command
//     byte (or its share of a combined insert-and-copy command), the u16
//     length word of copies over 128 bytes, the 1/2/3-byte offset field of
//     the distance from the end of the previous copy, and each inserted
//     byte by its frequency, or a run of inserted bytes that repeats the
//     insert data written before the window by what the compressor's
//     match would cost. The frequencies come from a first parse of
//     one window in four (of a file under 64 KiB: of all of it, and the
//     smaller of the two patches is kept). A copy long enough is taken at
//     once (the search restarts after it);
//   - stretches: the new file is parsed in up to 8 stretches of at least
//     256 KiB, on threads, and joined; they depend on the file's size
//     alone, so that a patch is the same on every machine;
//   - limits: copies that the offset field cannot reach are not used, nor
//     short copies from beyond its reach back to the anchor (they would
//     strand the parse); the encoder splits copies over 65536 bytes and
//     inserts over 32.
//
// Memory: the old file's suffix array (4 bytes a byte), 256 KiB of prefix
// table for an old file at least that large, a window of the parse per
// thread (about 200 KiB), and the patch: the new file once for the insert
// data at most.
//
// Errors are exceptions (std::runtime_error): an old file of 2 GiB or more,
// and, from makePatchItem, a patch that the updater's applyPatch does not
// turn into the new file (never a bad patch out).
#ifndef ZORVAT_BUILDER_DIFFER_H
#define ZORVAT_BUILDER_DIFFER_H

#include <vector>

#include "builder/packagewriter.h"   // Bytes
#include "builder/patchwriter.h"     // PatchCommand

struct DiffOptions {
    int level = 12;   // compression level of the two patch streams, 0 (raw) to 12
};

// A patch as commands and the insert data they take, in order.
struct Patch {
    std::vector<PatchCommand> commands;
    Bytes insertData;
};

// The patch that makes newFile from oldFile.
Patch makePatch(const Bytes& oldFile, const Bytes& newFile, const DiffOptions& options = {});

// The patch item (script stream, then insert stream) of makePatch, applied
// with the updater's applyPatch and compared with newFile before it is
// returned.
Bytes makePatchItem(const Bytes& oldFile, const Bytes& newFile, const DiffOptions& options = {});

// Checks a patch item made for oldFile strictly, as the updater does not:
// exactly two well-formed streams that unpack to their stated lengths, a
// script of whole commands whose inserts take exactly the insert data and
// whose copies lie inside oldFile. Throws std::runtime_error naming the
// first fault.
void checkPatchItem(const Bytes& oldFile, const Bytes& item);

#endif
