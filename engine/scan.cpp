#include "engine/scan.h"

#include "app/paths.h"
#include "app/platform.h"
#include "app/state.h"
#include "app/userinterface.h"
#include "engine/catalogue.h"

// The drive geometry of path: a UNC path as it stands, any other path cut
// to its drive root when it has one.
static bool driveSpace(const char* path, DiskSpace* space) {
    char root[PATH_CAPACITY];
    copyText(root, path, PATH_CAPACITY);
    if (!(path[0] == '\\' && path[1] == '\\') && root[0] && root[1] == ':') {
        root[2] = '\\';
        root[3] = 0;
    }
    return diskSpace(root, space);
}

uint32_t freeSpaceKiB(const char* path) {
    DiskSpace space;
    if (!driveSpace(path, &space)) return SPACE_UNKNOWN;
    // In 64 bits: a large drive's byte count overflows 32 bits, and a
    // wrapped figure would claim too little space or too much. What does
    // not fit is reported as the largest known amount.
    uint64_t kib = ((uint64_t(space.sectorsPerCluster) * space.bytesPerSector) >> 8) * space.freeClusters >> 2;
    return kib >= SPACE_UNKNOWN ? SPACE_UNKNOWN - 1 : static_cast<uint32_t>(kib);
}

uint32_t clusterSizeKiB(const char* path) {
    DiskSpace space;
    if (!driveSpace(path, &space)) return DEFAULT_CLUSTER_KIB;
    return static_cast<uint32_t>((uint64_t(space.sectorsPerCluster) * space.bytesPerSector + 1023) >> 10);
}

// The tallies of one scan. Sizes are 64-bit: many files, or one near
// 4 GiB, must not wrap into a small need.
struct ScanTally {
    uint32_t freeKiB;
    uint64_t clusterMask;
    bool nothingToDo;
    uint64_t spaceForNewFiles;
    uint64_t largestUpdate;
    bool anyPresent;
    uint32_t ordinaryEntries;
};

static uint64_t roundToCluster(uint64_t size, uint64_t mask) { return (size + mask) & ~mask; }

static uint32_t failWith(uint32_t outcome, const char* path) {
    setMessageArg(path);
    return outcome;
}

// Index of the first known version with this checksum and size, else
// MATCH_CURRENT for the new version, else MATCH_NONE.
static int16_t classify(FileEntry* entry, uint32_t checksum, uint32_t size) {
    KnownVersion* known = knownVersions(entry);
    for (uint32_t i = 0; i < entry->knownCount; ++i)
        if ((known[i].maskedChecksum ^ updater.packageKey) == checksum && known[i].knownSize == size)
            return static_cast<int16_t>(i);
    if (checksum == entry->newChecksum && size == entry->newSize) return MATCH_CURRENT;
    return MATCH_NONE;
}

// Tests that a read-only installed file can be made writable, leaving it
// read-only again. False when it cannot.
static bool canMakeWritable(const char* path) {
    uint32_t attributes = fileAttributes(path);
    if (attributes != NO_ATTRIBUTES && !(attributes & ATTRIBUTE_READONLY)) return true;
    updater.readOnlyFound = 1;
    // Attributes that cannot be read are not written back as if they were
    // some: the second reading then fails, and so does the test.
    if (attributes != NO_ATTRIBUTES) setFileAttributes(path, attributes & ~ATTRIBUTE_READONLY);
    uint32_t cleared = fileAttributes(path);
    if (attributes != NO_ATTRIBUTES) setFileAttributes(path, attributes | ATTRIBUTE_READONLY);
    return cleared != NO_ATTRIBUTES && !(cleared & ATTRIBUTE_READONLY);
}

// Examines one entry. Returns SCAN_WORK_TO_DO to go on with the next entry,
// or the outcome that ends the scan.
static uint32_t scanEntry(FileEntry* entry, ScanTally& tally) {
    bool sharedInUse = resolveDestination(entry) != 0;
    copyText(updater.sourcePath, updater.destPath, PATH_CAPACITY);
    updater.totalKiB += static_cast<uint32_t>((uint64_t(entry->newSize) + 1024) >> 10);
    if (entry->missingAction != MISSING_INSTALL && entry->deleteAction != DELETE_FILE) ++tally.ordinaryEntries;

    FileHandle file = openExisting(updater.sourcePath, 0);
    if (file == NO_FILE) {
        if (entry->missingAction == MISSING_FAIL) return failWith(SCAN_FILE_MISSING, updater.sourcePath);
        if (entry->missingAction == MISSING_INSTALL) {
            tally.nothingToDo = false;
            tally.spaceForNewFiles += roundToCluster(entry->newSize, tally.clusterMask);
        }
        entry->matchIndex = MATCH_MISSING;
        return SCAN_WORK_TO_DO;
    }
    tally.anyPresent = true;
    if (sharedInUse) {
        closeFile(file);
        return failWith(SCAN_SHARED_IN_USE, updater.sourcePath);
    }

    for (;;) {
        uint32_t size = fileSize(file);
        uint32_t checksum = checksumFile(entry, file);
        closeFile(file);
        entry->matchIndex = classify(entry, checksum, size);
        if (entry->matchIndex == MATCH_CURRENT) return SCAN_WORK_TO_DO;
        if (entry->matchIndex >= 0) {
            tally.nothingToDo = false;
            if (entry->newSize > tally.largestUpdate) tally.largestUpdate = entry->newSize;
            break;
        }
        if (entry->unmatchedAction == UNMATCHED_FAIL) return failWith(SCAN_NOT_RECOGNISED, updater.sourcePath);
        if (entry->unmatchedAction != UNMATCHED_SEARCH) {
            if (entry->deleteAction == DELETE_FILE) break;
            return SCAN_WORK_TO_DO;
        }
        // Look for the old version where the user moved the application.
        if (!sameTextIgnoringCase(updater.sourcePath, updater.destPath))
            return failWith(SCAN_NOT_RECOGNISED, updater.sourcePath);   // the moved copy is not known either
        if (!updater.alternateDir[0] && !askForAlternateFolder(updater.hwndBackground))
            return failWith(SCAN_NOT_RECOGNISED, updater.sourcePath);
        copyText(updater.sourcePath, updater.alternateDir, PATH_CAPACITY);
        appendPathPart(updater.sourcePath, entryName(entry, 1), PATH_CAPACITY);
        appendPathPart(updater.sourcePath, entryName(entry, 0), PATH_CAPACITY);
        if (sameTextIgnoringCase(updater.sourcePath, updater.destPath))
            return failWith(SCAN_NOT_RECOGNISED, updater.sourcePath);
        file = openExisting(updater.sourcePath, 0);
        if (file == NO_FILE) return failWith(SCAN_FILE_MISSING, updater.sourcePath);
        entry->entryFlags |= FLAG_IN_ALTERNATE;
    }

    if (!canMakeWritable(updater.destPath)) return failWith(SCAN_READ_ONLY, updater.destPath);
    return SCAN_WORK_TO_DO;
}

uint32_t scanInstalledFiles() {
    ScanTally tally;
    tally.freeKiB = freeSpaceKiB(updater.targetDir);
    tally.clusterMask = uint64_t(clusterSizeKiB(updater.targetDir)) * 1024 - 1;
    tally.nothingToDo = true;
    tally.spaceForNewFiles = 0;
    tally.largestUpdate = 0;
    tally.anyPresent = false;
    tally.ordinaryEntries = 0;
    updater.readOnlyFound = 0;
    updater.totalKiB = 0;

    FileEntry* entry = updater.firstEntry;
    for (uint32_t i = 0; i < updater.entryCount; ++i, entry = entryAfter(entry)) {
        uint32_t outcome = scanEntry(entry, tally);
        if (outcome != SCAN_WORK_TO_DO) return outcome;
    }

    // One replaced file's temporary copy at a time, plus every new file.
    uint64_t neededKiB = (roundToCluster(tally.largestUpdate, tally.clusterMask) + tally.spaceForNewFiles) >> 10;
    if (tally.freeKiB != SPACE_UNKNOWN && neededKiB >= tally.freeKiB) return SCAN_NO_SPACE;
    if (!tally.anyPresent && tally.ordinaryEntries != 0) return SCAN_NONE_PRESENT;
    return tally.nothingToDo ? SCAN_NOTHING_TO_DO : SCAN_WORK_TO_DO;
}
