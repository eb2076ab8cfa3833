// The file catalogue: what the update touches, read and updated in place in
// the unpacked body of the TAG_CATALOGUE record, and the rotate-add checksum
// that every file comparison uses.
//
// Layout (all integers little-endian; the records below are packed and read
// in place, which needs a little-endian host, as both builds are):
//
//   catalogue   u32 entryCount, then entryCount FileEntry records back to back
//   FileEntry   30-byte fixed part (FileEntry below), then
//               VersionBlock (16 bytes)  when FLAG_VERSION_BLOCK is set,
//               FileTimes (24 bytes)     when FLAG_FILE_TIMES is set,
//               relativePath NUL, alternateSubfolder NUL (name strings 0, 1),
//               and somewhere after the names, at knownOffset and
//               regionOffset from the entry's start:
//               knownCount KnownVersion records (16 bytes each) and
//               regionCount PreservedRegion records (12 bytes + pattern each,
//               the next one starting right after the pattern).
//               entryLength covers all of it; the next entry follows.
//
// Invariants, checked once by catalogueIsSound when the loader takes the
// body, so that the accessors need no checks of their own:
//   - the entries end exactly at the end of the body;
//   - every entry is at least 30 bytes; its optional blocks, both name
//     strings with their terminators, the KnownVersion array and every
//     PreservedRegion with its pattern lie inside it;
//   - the KnownVersion array and the region list start after the name
//     strings, so the fields written at run time (entryFlags, entryStatus,
//     matchIndex in the fixed part, foundOffset in the regions) can never
//     change a length, offset, count or terminator that was checked;
//   - patternLength is at most MAX_PATTERN_LENGTH, which keeps the region
//     search's 32 KiB window overlap sufficient;
//   - an entry with MISSING_INSTALL has at least one KnownVersion, because a
//     missing file is installed from KnownVersion 0.
// entryStatus and matchIndex are run-time fields; their stored values are
// not checked.
#ifndef ZORVAT_ENGINE_CATALOGUE_H
#define ZORVAT_ENGINE_CATALOGUE_H

#include <stdint.h>

#include "app/fileio.h"
#include "app/platform.h"   // SHARED_FILE_IN_USE, the verdict resolveDestination reports

// destinationKind: any value other than these acts as DEST_TARGET.
enum { DEST_TARGET = 0, DEST_WINDOWS = 1, DEST_SHARED = 2 };
// missingAction: any other value acts as MISSING_SKIP.
enum { MISSING_SKIP = 0, MISSING_INSTALL = 1, MISSING_FAIL = 2 };
// unmatchedAction: any other value acts as UNMATCHED_SKIP.
enum { UNMATCHED_FAIL = 0, UNMATCHED_SKIP = 1, UNMATCHED_SEARCH = 2 };
// deleteAction: 1 deletes the file, any other value updates it.
enum { DELETE_FILE = 1 };

// entryFlags bits; the others are unused.
enum {
    FLAG_FULL_CONTENTS = 0x02,   // new version written whole from a compressed stream
    FLAG_IN_ALTERNATE = 0x04,    // run-time: the old version was found below alternateDir
    FLAG_VERSION_BLOCK = 0x10,   // a VersionBlock follows the fixed part
    FLAG_FILE_TIMES = 0x20,      // FileTimes follow; the engine applies them
};

// matchIndex outcomes besides 0 .. knownCount-1.
enum { MATCH_NONE = -1, MATCH_MISSING = -2, MATCH_CURRENT = -3 };

const uint32_t NOT_FOUND = 0xFFFFFFFFu;      // foundOffset of a region not located
enum { MAX_PATTERN_LENGTH = 16384 };         // half the search window
enum { ENTRY_FIXED_SIZE = 30, VERSION_BLOCK_SIZE = 16, FILE_TIMES_SIZE = 24 };
enum { KNOWN_VERSION_SIZE = 16, REGION_FIXED_SIZE = 12 };

#pragma pack(push, 1)
struct FileEntry {
    uint32_t entryLength;       // whole entry, this field included
    uint8_t destinationKind;    // DEST_*
    uint8_t missingAction;      // MISSING_*
    uint8_t unmatchedAction;    // UNMATCHED_*
    uint8_t deleteAction;       // DELETE_FILE or update
    uint16_t entryFlags;        // FLAG_*
    uint32_t newSize;           // size of the new version
    uint32_t newChecksum;       // its checksum, regions zero-filled; stored plain
    uint16_t knownCount;        // KnownVersion records
    uint16_t entryStatus;       // run-time: message number of the last action, 0 = none
    uint16_t knownOffset;       // KnownVersion array, from the entry's start
    int16_t matchIndex;         // run-time: known version index or MATCH_*
    uint16_t regionOffset;      // PreservedRegion list, from the entry's start
    uint16_t regionCount;       // PreservedRegion records
};

// The new version's version resource numbers, as VS_FIXEDFILEINFO orders them.
struct VersionBlock {
    uint32_t fileVersionMS;
    uint32_t fileVersionLS;
    uint32_t productVersionMS;
    uint32_t productVersionLS;
};

// Three FILETIME values in the order SetFileTime takes them.
struct FileTimes {
    uint64_t creationTime;
    uint64_t lastAccessTime;
    uint64_t lastWriteTime;
};

struct KnownVersion {
    uint32_t maskedChecksum;    // checksum of that version XOR packageKey
    uint32_t knownSize;         // its size
    uint32_t payloadOffset;     // item that yields the new version, in the whole payload
    uint32_t packedLength;      // FLAG_FULL_CONTENTS: length of the compressed stream
};

// An area that checksums treat as zeros and an update may carry over.
struct PreservedRegion {
    uint32_t regionLength;      // bytes, from the first byte of the pattern
    uint32_t foundOffset;       // run-time: file offset, NOT_FOUND; fixed when no pattern
    uint16_t carryOver;         // non-zero: copied from the old file into the new one
    uint16_t patternLength;     // 0 = no pattern; at most MAX_PATTERN_LENGTH
    // patternLength pattern bytes follow
};
#pragma pack(pop)

static_assert(sizeof(FileEntry) == ENTRY_FIXED_SIZE, "the fixed part of an entry is 30 bytes");
static_assert(sizeof(VersionBlock) == VERSION_BLOCK_SIZE, "four u32 version numbers");
static_assert(sizeof(FileTimes) == FILE_TIMES_SIZE, "three 8-byte FILETIMEs");
static_assert(sizeof(KnownVersion) == KNOWN_VERSION_SIZE, "a known version is 16 bytes");
static_assert(sizeof(PreservedRegion) == REGION_FIXED_SIZE, "a region's fixed part is 12 bytes");

// Walking: entryCount steps of entryAfter from firstEntry.
FileEntry* entryAfter(FileEntry* entry);
// Name string n: 0 (or less) relativePath, 1 alternateSubfolder. Only 0 and
// 1 are names; the check at load time guarantees those two.
const char* entryName(const FileEntry* entry, int n);
// The optional blocks; null when the entry's flag is clear.
const VersionBlock* entryVersionBlock(const FileEntry* entry);
const FileTimes* entryFileTimes(const FileEntry* entry);
KnownVersion* knownVersions(FileEntry* entry);
PreservedRegion* firstRegion(FileEntry* entry);
PreservedRegion* regionAfter(PreservedRegion* region);
const PreservedRegion* regionAfter(const PreservedRegion* region);
const uint8_t* regionPattern(const PreservedRegion* region);

// Rotate-add checksum of length bytes continuing from seed (0 = fresh):
// a = rotl(a, 1) + w for each whole little-endian u32 group w, then
// a = rotl(a, 1) + b for each remaining byte b. Since whole groups come
// first, pieces whose lengths are multiples of 4, each seeded with the
// previous result, give the value of one pass.
uint32_t checksumBlock(const void* data, uint32_t length, uint32_t seed);

// Checksum of the whole open file with the entry's preserved regions
// zero-filled, read in 16 KiB pieces. Locates the entry's regions first
// (rewriting their foundOffset for this file). Returns 0 when the buffer
// cannot be allocated; read errors go unreported (the comparison with the
// stored checksum catches them). Leaves the file at its end.
uint32_t checksumFile(FileEntry* entry, FileHandle file);

// Sets foundOffset of each of the count regions to the first occurrence of
// its pattern in the open file, or NOT_FOUND (also when no buffer can be
// had); a region without a pattern keeps its stored offset. Searches a
// 32 KiB window that moves by 16 KiB, testing the first 16384 start
// positions while more of the file remains, so any pattern of up to
// MAX_PATTERN_LENGTH bytes is found wherever it lies. Leaves the file at 0.
void locateRegions(uint32_t count, PreservedRegion* regions, FileHandle file);

// The first of the start positions 0 .. starts-1 of data at which the
// pattern's bytes occur, or NOT_FOUND. data must hold starts - 1 +
// patternLength bytes. The one pattern comparison of the system: the region
// search calls it per window, the builder over a whole file.
uint32_t findPattern(const uint8_t* data, uint32_t starts, const uint8_t* pattern, uint32_t patternLength);

// Zero-fills the bytes of buffer (length bytes taken from file offset
// position) that fall inside any located region [foundOffset, foundOffset +
// regionLength); an area running past 4 GiB ends at 0xFFFFFFFF.
void maskRegions(uint32_t count, const PreservedRegion* regions, uint8_t* buffer, uint32_t position,
                 uint32_t length);

// Writes the installed file's full path into destPath: targetDir (any
// destinationKind but DEST_WINDOWS and DEST_SHARED), the Windows folder, or
// for DEST_SHARED the folder findSharedFile decides, then relativePath (for
// DEST_SHARED found in a folder: its file name). Returns 1 when the shared
// file is reported in use, else 0; destPath then names the file in use (the
// same choice of folder as when it is not in use). Paths that would not fit
// 260 bytes are cut.
int resolveDestination(FileEntry* entry);

// Copies text into messageArg, the %s of the messages, cut to 260 bytes.
void setMessageArg(const char* text);

// Whether a whole unpacked catalogue body keeps the invariants above; the
// loader refuses a body that does not.
bool catalogueIsSound(const uint8_t* body, uint32_t size);

#endif
