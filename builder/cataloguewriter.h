// Writes the file catalogue: the unpacked body of the TAG_CATALOGUE record
// (layout in engine/catalogue.h), and computes file checksums exactly as the
// updater does, by calling the updater's own checksum and pattern search.
#ifndef ZORVAT_BUILDER_CATALOGUEWRITER_H
#define ZORVAT_BUILDER_CATALOGUEWRITER_H

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "builder/packagewriter.h"
#include "engine/catalogue.h"
#include "package/format.h"   // PACKAGE_KEY, the mask of the known checksums

// One earlier version the update recognises. The checksum is plain: the
// writer masks it with PACKAGE_KEY.
struct KnownVersionPlan {
    uint32_t checksum = 0;
    uint32_t size = 0;
    uint32_t payloadOffset = 0;
    uint32_t packedLength = 0;
};

// An area left out of every checksum, marked by the pattern at its start;
// without a pattern, foundOffset is the area's fixed offset.
struct RegionPlan {
    uint32_t regionLength = 0;
    uint32_t foundOffset = NOT_FOUND;
    uint16_t carryOver = 0;
    Bytes pattern;
};

struct EntryPlan {
    std::string relativePath;          // below the destination folder, backslashes
    std::string alternateSubfolder;    // below alternateDir; may be empty
    uint8_t destinationKind = DEST_TARGET;
    uint8_t missingAction = MISSING_SKIP;
    uint8_t unmatchedAction = UNMATCHED_FAIL;
    uint8_t deleteAction = 0;
    bool fullContents = false;
    uint32_t newSize = 0;
    uint32_t newChecksum = 0;          // plain
    // FileVersionMS, FileVersionLS, ProductVersionMS, ProductVersionLS.
    std::optional<std::array<uint32_t, 4>> versionBlock;
    // Creation, last-access, last-write FILETIMEs.
    std::optional<std::array<uint64_t, 3>> fileTimes;
    std::vector<KnownVersionPlan> knownVersions;
    std::vector<RegionPlan> regions;
};

// The catalogue body: u32 count, then per entry the fixed part, the optional
// blocks, the two names, the KnownVersion array and the regions, with
// entryStatus and matchIndex 0. Throws std::runtime_error when an entry
// breaks the format's limits: an offset beyond 16 bits, more than 65535
// known versions or regions, a pattern longer than MAX_PATTERN_LENGTH, a
// name holding a NUL, MISSING_INSTALL without a known version. Whatever it
// returns passes the updater's catalogueIsSound.
Bytes writeCatalogue(const std::vector<EntryPlan>& entries);

// The updater's checksum of a file with these contents: each region located
// as the updater locates it (first occurrence of its pattern), zero-filled,
// then the rotate-add checksum. Throws for contents of 4 GiB or more or a
// pattern longer than MAX_PATTERN_LENGTH.
uint32_t checksumBytes(const Bytes& data, const std::vector<RegionPlan>& regions = {});

// The contents as the updater reads them for checksums and patches: each
// region located as the updater locates it and zero-filled.
Bytes maskedContents(const Bytes& data, const std::vector<RegionPlan>& regions);

#endif
