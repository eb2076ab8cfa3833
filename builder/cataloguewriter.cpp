#include "builder/cataloguewriter.h"

#include <limits>
#include <stdexcept>

#include "package/format.h"

namespace {

void fail(const EntryPlan& entry, const std::string& what) {
    throw std::runtime_error("catalogue entry \"" + entry.relativePath + "\": " + what);
}

void appendU64(Bytes& out, uint64_t value) {
    appendU32(out, static_cast<uint32_t>(value));
    appendU32(out, static_cast<uint32_t>(value >> 32));
}

// The PreservedRegion records of the list, back to back.
Bytes encodeRegions(const std::vector<RegionPlan>& regions) {
    Bytes out;
    for (const RegionPlan& region : regions) {
        if (region.pattern.size() > MAX_PATTERN_LENGTH)
            throw std::runtime_error("a region's pattern is longer than 16384 bytes");
        appendU32(out, region.regionLength);
        appendU32(out, region.foundOffset);
        appendU16(out, region.carryOver);
        appendU16(out, static_cast<uint32_t>(region.pattern.size()));
        out.insert(out.end(), region.pattern.begin(), region.pattern.end());
    }
    return out;
}

void appendName(Bytes& out, const EntryPlan& entry, const std::string& name) {
    if (name.find('\0') != std::string::npos) fail(entry, "a name holds a NUL byte");
    out.insert(out.end(), name.begin(), name.end());
    out.push_back(0);
}

Bytes encodeEntry(const EntryPlan& entry) {
    if (entry.knownVersions.size() > 0xFFFF) fail(entry, "more than 65535 known versions");
    if (entry.regions.size() > 0xFFFF) fail(entry, "more than 65535 preserved regions");
    if (entry.missingAction == MISSING_INSTALL && entry.knownVersions.empty())
        fail(entry, "a file installed when missing needs known version 0 for its contents");

    Bytes out(ENTRY_FIXED_SIZE, 0);
    uint32_t flags = entry.fullContents ? FLAG_FULL_CONTENTS : 0;
    if (entry.versionBlock) {
        flags |= FLAG_VERSION_BLOCK;
        for (uint32_t number : *entry.versionBlock) appendU32(out, number);
    }
    if (entry.fileTimes) {
        flags |= FLAG_FILE_TIMES;
        for (uint64_t time : *entry.fileTimes) appendU64(out, time);
    }
    appendName(out, entry, entry.relativePath);
    appendName(out, entry, entry.alternateSubfolder);

    size_t knownOffset = out.size();
    for (const KnownVersionPlan& known : entry.knownVersions) {
        appendU32(out, known.checksum ^ PACKAGE_KEY);
        appendU32(out, known.size);
        appendU32(out, known.payloadOffset);
        appendU32(out, known.packedLength);
    }
    size_t regionOffset = out.size();
    Bytes regions;
    try {
        regions = encodeRegions(entry.regions);
    } catch (const std::runtime_error& e) {
        fail(entry, e.what());
    }
    out.insert(out.end(), regions.begin(), regions.end());
    if (knownOffset > 0xFFFF || regionOffset > 0xFFFF)
        fail(entry, "its names and known versions pass the 16-bit offset limit");
    if (out.size() > std::numeric_limits<uint32_t>::max()) fail(entry, "longer than 4 GiB");

    putU32(out, 0, static_cast<uint32_t>(out.size()));
    out[4] = entry.destinationKind;
    out[5] = entry.missingAction;
    out[6] = entry.unmatchedAction;
    out[7] = entry.deleteAction;
    putU16(out, 8, flags);
    putU32(out, 10, entry.newSize);
    putU32(out, 14, entry.newChecksum);
    putU16(out, 18, static_cast<uint32_t>(entry.knownVersions.size()));
    putU16(out, 20, 0);   // entryStatus: the finish page lists every non-zero one
    putU16(out, 22, static_cast<uint32_t>(knownOffset));
    putU16(out, 24, 0);   // matchIndex: written by the scan
    putU16(out, 26, static_cast<uint32_t>(regionOffset));
    putU16(out, 28, static_cast<uint32_t>(entry.regions.size()));
    return out;
}

}  // namespace

Bytes writeCatalogue(const std::vector<EntryPlan>& entries) {
    if (entries.size() > std::numeric_limits<uint32_t>::max()) throw std::runtime_error("too many entries");
    Bytes out;
    appendU32(out, static_cast<uint32_t>(entries.size()));
    for (const EntryPlan& entry : entries) {
        Bytes encoded = encodeEntry(entry);
        out.insert(out.end(), encoded.begin(), encoded.end());
    }
    if (out.size() > std::numeric_limits<uint32_t>::max()) throw std::runtime_error("catalogue longer than 4 GiB");
    // The limits above are the loader's; this catches a writer that drifts
    // from them before a package carries the result.
    if (!catalogueIsSound(out.data(), static_cast<uint32_t>(out.size())))
        throw std::logic_error("the catalogue writer produced a catalogue the updater refuses");
    return out;
}

// One copy of the checksum and the search: the regions are encoded as the
// catalogue holds them, located with the updater's findPattern and masked
// with its maskRegions, and the contents summed with its checksumBlock. The
// updater searches a file through a 32 KiB window, but each window tests the
// start positions that follow the previous window's in order, and a pattern
// of up to MAX_PATTERN_LENGTH bytes starting at any tested position lies
// inside the window; so it finds the first occurrence in the whole file, the
// position that findPattern over the whole contents gives here. Likewise one
// checksumBlock over the whole contents equals the updater's 16 KiB pieces.
Bytes maskedContents(const Bytes& data, const std::vector<RegionPlan>& regions) {
    if (data.size() > std::numeric_limits<uint32_t>::max()) throw std::runtime_error("a file of 4 GiB or more");
    uint32_t size = static_cast<uint32_t>(data.size());
    Bytes list = encodeRegions(regions);
    Bytes masked = data;
    PreservedRegion* first = reinterpret_cast<PreservedRegion*>(list.data());
    PreservedRegion* region = first;
    for (size_t i = 0; i < regions.size(); ++i, region = regionAfter(region)) {
        uint32_t patternLength = region->patternLength;
        if (patternLength == 0) continue;
        region->foundOffset = size < patternLength
            ? NOT_FOUND
            : findPattern(data.data(), size - patternLength + 1, regionPattern(region), patternLength);
    }
    maskRegions(static_cast<uint32_t>(regions.size()), first, masked.data(), 0, size);
    return masked;
}

uint32_t checksumBytes(const Bytes& data, const std::vector<RegionPlan>& regions) {
    Bytes masked = maskedContents(data, regions);
    return checksumBlock(masked.data(), static_cast<uint32_t>(masked.size()), 0);
}
