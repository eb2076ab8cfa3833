#include "engine/catalogue.h"

#include "app/paths.h"
#include "app/platform.h"
#include "app/state.h"

const uint32_t CHECKSUM_PIECE = 16384;   // a multiple of 4, so the pieces chain exactly
const uint32_t SEARCH_WINDOW = 32768;
const uint32_t SEARCH_STEP = 16384;      // the window moves by this; starts tested per full window
static_assert(SEARCH_WINDOW - SEARCH_STEP >= MAX_PATTERN_LENGTH,
              "a pattern starting at the last tested position must end inside the window");

static uint8_t* bytesOf(void* record) { return static_cast<uint8_t*>(record); }
static const uint8_t* bytesOf(const void* record) { return static_cast<const uint8_t*>(record); }

static uint32_t readU16(const uint8_t* bytes) { return bytes[0] | bytes[1] << 8; }
static uint32_t readU32(const uint8_t* bytes) {
    return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

// Where the name strings start: after the fixed part and the optional blocks.
static uint32_t namesOffset(uint32_t flags) {
    uint32_t offset = ENTRY_FIXED_SIZE;
    if (flags & FLAG_VERSION_BLOCK) offset += VERSION_BLOCK_SIZE;
    if (flags & FLAG_FILE_TIMES) offset += FILE_TIMES_SIZE;
    return offset;
}

FileEntry* entryAfter(FileEntry* entry) {
    return reinterpret_cast<FileEntry*>(bytesOf(entry) + entry->entryLength);
}

const char* entryName(const FileEntry* entry, int n) {
    const char* name = reinterpret_cast<const char*>(bytesOf(entry) + namesOffset(entry->entryFlags));
    for (; n > 0; --n) name += textLength(name) + 1;
    return name;
}

const VersionBlock* entryVersionBlock(const FileEntry* entry) {
    if (!(entry->entryFlags & FLAG_VERSION_BLOCK)) return 0;
    return reinterpret_cast<const VersionBlock*>(bytesOf(entry) + ENTRY_FIXED_SIZE);
}

const FileTimes* entryFileTimes(const FileEntry* entry) {
    if (!(entry->entryFlags & FLAG_FILE_TIMES)) return 0;
    uint32_t offset = namesOffset(entry->entryFlags) - FILE_TIMES_SIZE;
    return reinterpret_cast<const FileTimes*>(bytesOf(entry) + offset);
}

KnownVersion* knownVersions(FileEntry* entry) {
    return reinterpret_cast<KnownVersion*>(bytesOf(entry) + entry->knownOffset);
}

PreservedRegion* firstRegion(FileEntry* entry) {
    return reinterpret_cast<PreservedRegion*>(bytesOf(entry) + entry->regionOffset);
}

PreservedRegion* regionAfter(PreservedRegion* region) {
    return reinterpret_cast<PreservedRegion*>(bytesOf(region) + REGION_FIXED_SIZE + region->patternLength);
}

const PreservedRegion* regionAfter(const PreservedRegion* region) {
    return reinterpret_cast<const PreservedRegion*>(bytesOf(region) + REGION_FIXED_SIZE +
                                                    region->patternLength);
}

const uint8_t* regionPattern(const PreservedRegion* region) { return bytesOf(region) + REGION_FIXED_SIZE; }

uint32_t checksumBlock(const void* data, uint32_t length, uint32_t seed) {
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    uint32_t a = seed;
    uint32_t groups = length / 4;
    for (uint32_t i = 0; i < groups; ++i, bytes += 4) a = ((a << 1) | (a >> 31)) + readU32(bytes);
    for (uint32_t i = 0; i < (length & 3); ++i) a = ((a << 1) | (a >> 31)) + bytes[i];
    return a;
}

uint32_t findPattern(const uint8_t* data, uint32_t starts, const uint8_t* pattern, uint32_t patternLength) {
    for (uint32_t at = 0; at < starts; ++at) {
        uint32_t i = 0;
        while (i < patternLength && data[at + i] == pattern[i]) ++i;
        if (i == patternLength) return at;
    }
    return NOT_FOUND;
}

// Reads up to count bytes; a short read counts as the end of the file, so
// the caller never waits for bytes that will not come.
static uint32_t readPiece(FileHandle file, uint8_t* buffer, uint32_t count) {
    return count ? readSome(file, buffer, count) : 0;
}

// The first occurrence of the region's pattern in the file, or NOT_FOUND.
static uint32_t searchFile(const PreservedRegion* region, FileHandle file) {
    uint32_t patternLength = region->patternLength;
    seekFileTo(file, 0);
    uint32_t size = fileSize(file);
    if (size < patternLength) return NOT_FOUND;
    uint32_t capacity = size < SEARCH_WINDOW ? size : SEARCH_WINDOW;
    uint8_t* window;
    if (!allocateBuffer(capacity, window)) return NOT_FOUND;

    uint32_t found = NOT_FOUND;
    uint32_t base = 0;                                  // file offset of window[0]
    uint32_t filled = readPiece(file, window, capacity);
    uint32_t unread = filled == capacity ? size - filled : 0;
    for (;;) {
        if (unread != 0) {
            // A full window: every start below SEARCH_STEP has the whole
            // pattern inside it.
            found = findPattern(window, SEARCH_STEP, regionPattern(region), patternLength);
        } else {
            if (filled >= patternLength)
                found = findPattern(window, filled - patternLength + 1, regionPattern(region), patternLength);
        }
        if (found != NOT_FOUND) {
            found += base;
            break;
        }
        if (unread == 0) break;
        copyBytes(window, window + SEARCH_STEP, SEARCH_WINDOW - SEARCH_STEP);
        base += SEARCH_STEP;
        uint32_t wanted = unread < SEARCH_STEP ? unread : SEARCH_STEP;
        uint32_t got = readPiece(file, window + (SEARCH_WINDOW - SEARCH_STEP), wanted);
        filled = SEARCH_WINDOW - SEARCH_STEP + got;
        unread = got == wanted ? unread - got : 0;
    }
    releaseBuffer(window);
    return found;
}

void locateRegions(uint32_t count, PreservedRegion* regions, FileHandle file) {
    PreservedRegion* region = regions;
    for (uint32_t i = 0; i < count; ++i, region = regionAfter(region)) {
        if (region->patternLength != 0) region->foundOffset = searchFile(region, file);
    }
    seekFileTo(file, 0);
}

void maskRegions(uint32_t count, const PreservedRegion* regions, uint8_t* buffer, uint32_t position,
                 uint32_t length) {
    uint32_t pieceEnd = position + length;
    if (pieceEnd < position) pieceEnd = 0xFFFFFFFFu;
    const PreservedRegion* region = regions;
    for (uint32_t i = 0; i < count; ++i, region = regionAfter(region)) {
        uint32_t start = region->foundOffset;
        if (start == NOT_FOUND) continue;
        uint32_t end = start + region->regionLength;
        if (end < start) end = 0xFFFFFFFFu;
        if (position < end && pieceEnd > start) {
            uint32_t from = (start > position ? start : position) - position;
            uint32_t to = (pieceEnd < end ? pieceEnd : end) - position;
            fillBytes(buffer + from, 0, to - from);
        }
    }
}

uint32_t checksumFile(FileEntry* entry, FileHandle file) {
    uint32_t size = fileSize(file);
    uint32_t count = entry->regionCount;
    PreservedRegion* regions = firstRegion(entry);
    locateRegions(count, regions, file);
    uint8_t* piece;
    if (!allocateBuffer(CHECKSUM_PIECE, piece)) return 0;
    uint32_t checksum = 0;
    for (uint32_t position = 0; position < size;) {
        uint32_t remaining = size - position;
        uint32_t length = remaining < CHECKSUM_PIECE ? remaining : CHECKSUM_PIECE;
        readExact(file, piece, length);   // a failed read only spoils the value
        if (count != 0) maskRegions(count, regions, piece, position, length);
        checksum = checksumBlock(piece, length, checksum);
        position += length;
    }
    releaseBuffer(piece);
    return checksum;
}

void setMessageArg(const char* text) { copyText(updater.messageArg, text, PATH_CAPACITY); }

// folder, the add-backslash rule, name; cut to fit the path buffer.
static void joinPath(char* path, const char* folder, const char* name) {
    copyText(path, folder, PATH_CAPACITY);
    appendPathPart(path, name, PATH_CAPACITY);
}

static bool canOpen(const char* path) {
    FileHandle file = openExisting(path, 0);
    if (file == NO_FILE) return false;
    closeFile(file);
    return true;
}

enum { SHARED_DECIDED = 0, SHARED_IN_USE = 1, SHARED_BELOW_TARGET = 2 };

// The shared-file rule, with destPath holding targetDir on entry. Either
// decides destPath (the file where it is, else where it belongs) or leaves
// the choice to the caller (SHARED_BELOW_TARGET, destPath = targetDir).
// A file reported in use gets the same choice of folder, because the callers
// open destPath to report the file in use and must find the file there;
// when neither folder is named, that is targetDir + relativePath.
static int resolveShared(const char* relativePath) {
    char* folders;
    if (!allocateBuffer(3 * PATH_CAPACITY, folders)) return SHARED_BELOW_TARGET;
    char* windowsDir = folders;
    char* currentDir = folders + PATH_CAPACITY;
    char* destinationDir = folders + 2 * PATH_CAPACITY;
    currentDir[0] = destinationDir[0] = 0;

    char* appDir = updater.destPath;
    uint32_t length = textLength(appDir);
    if (length != 0 && appDir[length - 1] == '\\') appDir[length - 1] = 0;
    const char* fileName = relativePath;
    for (const char* c = relativePath; *c; ++c)
        if (*c == '\\') fileName = c + 1;
    windowsFolder(windowsDir, PATH_CAPACITY);
    uint32_t flags = findSharedFile(fileName, windowsDir, appDir, currentDir, destinationDir, PATH_CAPACITY);
    // Terminated inside their buffers whatever the answer was.
    currentDir[PATH_CAPACITY - 1] = destinationDir[PATH_CAPACITY - 1] = 0;

    // The file where it is (destination folder, then current folder), else
    // where it belongs, else below targetDir. windowsDir serves as scratch.
    char* path = updater.destPath;
    int outcome = SHARED_DECIDED;
    if (destinationDir[0]) joinPath(path, destinationDir, fileName);
    if (!destinationDir[0] || !canOpen(path)) {
        if (currentDir[0]) {
            joinPath(windowsDir, currentDir, fileName);
            if (canOpen(windowsDir)) copyText(path, windowsDir, PATH_CAPACITY);
            else if (!destinationDir[0]) outcome = SHARED_BELOW_TARGET;
        } else if (!destinationDir[0]) {
            outcome = SHARED_BELOW_TARGET;
        }
    }
    releaseBuffer(folders);
    if (outcome == SHARED_BELOW_TARGET) copyText(updater.destPath, updater.targetDir, PATH_CAPACITY);
    if (flags & SHARED_FILE_IN_USE) {
        if (outcome == SHARED_BELOW_TARGET) appendPathPart(updater.destPath, relativePath, PATH_CAPACITY);
        return SHARED_IN_USE;
    }
    return outcome;
}

int resolveDestination(FileEntry* entry) {
    const char* relativePath = entryName(entry, 0);
    copyText(updater.destPath, updater.targetDir, PATH_CAPACITY);
    if (entry->destinationKind == DEST_WINDOWS) {
        windowsFolder(updater.destPath, PATH_CAPACITY);
        updater.destPath[PATH_CAPACITY - 1] = 0;
    } else if (entry->destinationKind == DEST_SHARED) {
        int outcome = resolveShared(relativePath);
        if (outcome == SHARED_IN_USE) return 1;
        if (outcome == SHARED_DECIDED) return 0;
    }
    appendPathPart(updater.destPath, relativePath, PATH_CAPACITY);
    return 0;
}

// Whether the entry of length bytes (at least the fixed part, all inside
// the body) keeps the catalogue's invariants.
static bool entryIsSound(const uint8_t* entry, uint32_t length) {
    const FileEntry* fixed = reinterpret_cast<const FileEntry*>(entry);
    uint32_t at = namesOffset(fixed->entryFlags);
    if (at > length) return false;
    for (int name = 0; name < 2; ++name) {
        while (at < length && entry[at] != 0) ++at;
        if (at == length) return false;
        ++at;
    }
    uint32_t namesEnd = at;

    uint32_t knownOffset = fixed->knownOffset;
    uint32_t knownCount = fixed->knownCount;
    if (knownOffset < namesEnd || knownOffset > length) return false;
    if (knownCount * KNOWN_VERSION_SIZE > length - knownOffset) return false;   // at most 1 MiB: no overflow
    if (fixed->missingAction == MISSING_INSTALL && knownCount == 0) return false;

    uint32_t region = fixed->regionOffset;
    if (region < namesEnd || region > length) return false;
    for (uint32_t i = 0; i < fixed->regionCount; ++i) {
        if (length - region < REGION_FIXED_SIZE) return false;
        uint32_t patternLength = readU16(entry + region + 10);
        if (patternLength > MAX_PATTERN_LENGTH) return false;
        if (patternLength > length - region - REGION_FIXED_SIZE) return false;
        region += REGION_FIXED_SIZE + patternLength;
    }
    return true;
}

bool catalogueIsSound(const uint8_t* body, uint32_t size) {
    if (size < 4) return false;
    uint32_t count = readU32(body);
    uint32_t at = 4;
    // Every step consumes at least ENTRY_FIXED_SIZE bytes or fails, so a huge
    // count ends the walk at the body's end.
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t remaining = size - at;
        if (remaining < ENTRY_FIXED_SIZE) return false;
        uint32_t length = readU32(body + at);
        if (length < ENTRY_FIXED_SIZE || length > remaining) return false;
        if (!entryIsSound(body + at, length)) return false;
        at += length;
    }
    return at == size;
}
