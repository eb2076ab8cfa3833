#include "engine/update.h"

#include "app/paths.h"
#include "app/platform.h"
#include "app/userinterface.h"
#include "engine/catalogue.h"
#include "engine/patch.h"
#include "package/inflater.h"
#include "package/texts.h"
#include "package/volumes.h"

enum { VERSION_QUESTION_CAPACITY = 2048, TEXT_NEWER_VERSION_QUESTION = 31 };

static uint32_t percentDone() {
    if (updater.totalKiB == 0) return 0;
    return static_cast<uint32_t>(uint64_t(updater.doneKiB) * 100 / updater.totalKiB);
}

static void fail(uint32_t code, const char* path) {
    updater.resultMessage = static_cast<int32_t>(code);
    if (path) setMessageArg(path);
}

bool makeTemporaryName() {
    char* name = updater.tempPath;
    uint32_t length = copyText(name, updater.destPath, PATH_CAPACITY);
    uint32_t dot = length;
    for (uint32_t i = length; i > 0; --i) {
        if (name[i - 1] == '\\') break;
        if (name[i - 1] == '.') {
            dot = i - 1;
            break;
        }
    }
    // The whole name must fit: a name cut to the buffer could be the
    // installed file's own, which creating the temporary file would wipe.
    if (dot + 5 > PATH_CAPACITY - 1) {
        name[0] = 0;
        return false;
    }
    copyText(name + dot, ".$$A", PATH_CAPACITY - dot);
    for (char last = 'A'; last <= 'Z'; ++last) {
        name[dot + 3] = last;
        FileHandle taken = openExisting(name, 0);
        if (taken == NO_FILE) return true;
        closeFile(taken);
    }
    name[0] = 0;
    return false;
}

int createFolderChain(const char* path) {
    char folder[PATH_CAPACITY];
    uint32_t length = copyText(folder, path, PATH_CAPACITY);
    while (length > 0 && folder[length - 1] != '\\') --length;
    folder[length] = 0;   // the folder part, with its trailing backslash
    uint32_t start = 0;
    if (folder[0] == '\\' && folder[1] == '\\') start = 2;
    else if (folder[0] && folder[1] == ':' && folder[2] == '\\') start = 3;
    else if (folder[0] == '\\') start = 1;   // the current drive's root

    bool sawBackslash = false;
    for (uint32_t i = start; i < length; ++i) {
        if (folder[i] != '\\') continue;
        sawBackslash = true;
        folder[i] = 0;
        bool exists = enterFolder(folder) || (createFolder(folder) && enterFolder(folder));
        folder[i] = '\\';
        if (!exists) return 1;
    }
    if (!sawBackslash && length > 0) {
        stripBackslash(folder);
        if (!enterFolder(folder) && !(createFolder(folder) && enterFolder(folder))) return 1;
    }
    return 0;
}

void deleteInstalledFile(FileEntry* entry) {
    entry->entryStatus = STATUS_DELETE_FAILED;
    uint32_t attributes = fileAttributes(updater.destPath);
    if (attributes == NO_ATTRIBUTES || (attributes & ATTRIBUTE_READONLY))
        setFileAttributes(updater.destPath, attributes == NO_ATTRIBUTES ? 0x80 : attributes & ~ATTRIBUTE_READONLY);
    if (deleteFile(updater.destPath)) entry->entryStatus = STATUS_DELETED;
}

// The installed file is gone and the new one could not take its name: the
// verified new version stays under the temporary name, which the message
// names, and the update stops rather than lose both.
static void keepTemporaryFile(const char* temporaryPath) {
    fail(FAIL_CANNOT_WRITE, temporaryPath);
}

void replaceInstalledFile(FileEntry* entry, const char* temporaryPath) {
    entry->entryStatus = STATUS_REPLACE_FAILED;
    uint32_t attributes = fileAttributes(updater.destPath);
    if (attributes != NO_ATTRIBUTES && (attributes & ATTRIBUTE_READONLY)) {
        setFileAttributes(updater.destPath, attributes & ~ATTRIBUTE_READONLY);
        if (!deleteFile(updater.destPath)) {
            deleteFile(temporaryPath);
            return;
        }
        if (!renameFile(temporaryPath, updater.destPath)) return keepTemporaryFile(temporaryPath);
        setFileAttributes(updater.destPath, attributes);
        entry->entryStatus = STATUS_REPLACED;
        return;
    }
    bool deleted = deleteFile(updater.destPath);
    if (!deleted && lastFailureWasDenied()) {
        deleteFile(temporaryPath);
        return;
    }
    if (!renameFile(temporaryPath, updater.destPath)) {
        if (deleted) return keepTemporaryFile(temporaryPath);
        deleteFile(temporaryPath);   // something else stands at the destination: discarded
        return;
    }
    entry->entryStatus = deleted ? STATUS_REPLACED : STATUS_CREATED;
}

// True when the file installed at destPath carries a newer version than
// the entry's and the user does not want it replaced.
static bool userKeepsNewerFile(const FileEntry* entry) {
    const VersionBlock* ours = entryVersionBlock(entry);
    uint32_t installed[4];
    if (!ours || !fileVersion(updater.destPath, installed)) return false;
    // Product version first, then file version, each MS then LS.
    const uint32_t theirs[4] = {installed[2], installed[3], installed[0], installed[1]};
    const uint32_t mine[4] = {ours->productVersionMS, ours->productVersionLS, ours->fileVersionMS,
                              ours->fileVersionLS};
    int order = 0;
    for (int i = 0; i < 4 && order == 0; ++i)
        if (theirs[i] != mine[i]) order = theirs[i] > mine[i] ? 1 : -1;
    if (order <= 0) return false;
    char* question;
    if (!allocateZeroed(VERSION_QUESTION_CAPACITY, question)) return false;
    formatText(question, VERSION_QUESTION_CAPACITY, lookupString(TEXT_GENERAL_TABLE, TEXT_NEWER_VERSION_QUESTION),
               updater.destPath, 0);
    int answer = showMessage(question, BOX_ICON_QUESTION | BOX_YES_NO);
    releaseBuffer(question);
    return answer != ANSWER_YES;
}

// Size of an entry's region list: each record's fixed part and pattern.
static uint32_t regionListSize(FileEntry* entry) {
    uint32_t size = 0;
    PreservedRegion* region = firstRegion(entry);
    for (uint32_t i = 0; i < entry->regionCount; ++i, region = regionAfter(region))
        size += REGION_FIXED_SIZE + region->patternLength;
    return size;
}

// Copies each carried region's bytes from the old file to where the
// region's pattern occurs in the new one. *reopened receives the
// temporary file when it had to be opened again. False on failure
// (resultMessage set).
static bool carryRegionsOver(FileEntry* entry, FileHandle oldFile, FileHandle* reopened) {
    uint8_t* copy = 0;
    bool ok = true;
    PreservedRegion* region = firstRegion(entry);
    PreservedRegion* found = 0;
    for (uint32_t i = 0; ok && i < entry->regionCount; ++i, region = regionAfter(region)) {
        if (found) found = regionAfter(found);
        if (!region->carryOver || region->foundOffset == NOT_FOUND || region->regionLength == 0) continue;
        if (!copy) {
            uint32_t size = regionListSize(entry);
            if (!allocateBuffer(size, copy)) {
                fail(FAIL_NO_MEMORY, 0);
                return false;
            }
            copyBytes(copy, firstRegion(entry), size);
            *reopened = openExisting(updater.tempPath, 2);
            if (*reopened == NO_FILE) {
                fail(FAIL_CANNOT_OPEN, updater.tempPath);
                ok = false;
                break;
            }
            locateRegions(entry->regionCount, reinterpret_cast<PreservedRegion*>(copy), *reopened);
            found = reinterpret_cast<PreservedRegion*>(copy);
            for (uint32_t j = 0; j < i; ++j) found = regionAfter(found);
        }
        if (found->foundOffset == NOT_FOUND) continue;
        uint8_t* bytes;
        if (!allocateBuffer(region->regionLength, bytes)) {
            fail(FAIL_NO_MEMORY, 0);
            ok = false;
            break;
        }
        seekFileTo(oldFile, region->foundOffset);
        seekFileTo(*reopened, found->foundOffset);
        if (readExact(oldFile, bytes, region->regionLength) != READ_OK) {
            fail(FAIL_CANNOT_READ, updater.destPath);
            ok = false;
        } else {
            int written = writeAll(*reopened, bytes, region->regionLength);
            if (written == WRITE_SHORT) fail(FAIL_DISK_FULL, 0);
            else if (written != 0) fail(FAIL_CANNOT_WRITE, updater.tempPath);
            ok = written == 0;
        }
        releaseBuffer(bytes);
    }
    releaseBuffer(copy);
    return ok;
}

// The end of the run: no entry left, or a failure before a temporary file
// exists. Returns 0.
static int endRun() {
    if (updater.tempPath[0]) deleteFile(updater.tempPath);
    updater.tempPath[0] = 0;
    releasePatchBuffers();
    return 0;
}

// A failure once files are open: close them, drop the temporary file.
static int failStep(FileHandle oldFile, FileHandle temporary) {
    if (oldFile != NO_FILE) closeFile(oldFile);
    if (temporary != NO_FILE) closeFile(temporary);
    return endRun();
}

// Writes the new version into the temporary file and checks it. False on
// failure (resultMessage set; files closed).
static bool writeNewVersion(FileEntry* entry, const KnownVersion* known, uint32_t before, uint32_t after) {
    FileHandle oldFile = NO_FILE;
    bool full = (entry->entryFlags & FLAG_FULL_CONTENTS) != 0;
    // A file the scan found missing has no old version to read: it is
    // written whole, and has no regions of its own to carry over.
    bool hasOldFile = entry->matchIndex >= 0;
    if (hasOldFile && (!full || entry->regionCount != 0)) {
        oldFile = openExisting(updater.sourcePath, 0);
        if (oldFile == NO_FILE) {
            fail(FAIL_CANNOT_OPEN, updater.sourcePath);
            return failStep(NO_FILE, NO_FILE), false;
        }
        locateRegions(entry->regionCount, firstRegion(entry), oldFile);
    }
    if (!makeTemporaryName()) {
        fail(FAIL_CANNOT_CREATE, updater.destPath);
        return failStep(oldFile, NO_FILE), false;
    }
    if (full) createFolderChain(updater.tempPath);
    FileHandle temporary = createAlways(updater.tempPath);
    if (temporary == NO_FILE) {
        fail(FAIL_CANNOT_CREATE, updater.tempPath);
        updater.tempPath[0] = 0;   // not ours: nothing to delete
        return failStep(oldFile, NO_FILE), false;
    }

    if (full) inflateToFile(temporary, updater.volumeHandle, known->packedLength);   // checked by the checksum
    else if (oldFile != NO_FILE) applyPatch(entry, oldFile, temporary, before, after);
    else fail(FAIL_CANNOT_OPEN, updater.sourcePath);   // a patch needs its old file
    if (updater.resultMessage) return failStep(oldFile, temporary), false;

    const FileTimes* times = entryFileTimes(entry);
    if (times) setFileTimes(temporary, reinterpret_cast<const uint8_t*>(times));
    closeFile(temporary);

    FileHandle reopened = NO_FILE;
    if (entry->regionCount != 0 && oldFile != NO_FILE && !carryRegionsOver(entry, oldFile, &reopened))
        return failStep(oldFile, reopened), false;
    if (oldFile != NO_FILE) closeFile(oldFile);
    if (reopened != NO_FILE) {
        if (times) setFileTimes(reopened, reinterpret_cast<const uint8_t*>(times));
        closeFile(reopened);
    }

    FileHandle check = openExisting(updater.tempPath, 0);
    if (check == NO_FILE) {
        fail(FAIL_CANNOT_OPEN, updater.tempPath);
        return failStep(NO_FILE, NO_FILE), false;
    }
    uint32_t checksum = checksumFile(entry, check);
    bool sizeRight = fileSize(check) == entry->newSize;
    closeFile(check);
    if (checksum != entry->newChecksum || !sizeRight) {
        fail(FAIL_BAD_CHECKSUM, updater.destPath);
        return failStep(NO_FILE, NO_FILE), false;
    }
    return true;
}

// The known version that brings this entry up to date; null when the
// entry needs none (deleting) or no work at all (*needsWork false).
static KnownVersion* chooseKnownVersion(FileEntry* entry, bool* needsWork) {
    *needsWork = true;
    if (entry->deleteAction == DELETE_FILE) return 0;
    if (entry->matchIndex >= 0) return knownVersions(entry) + entry->matchIndex;
    if (entry->matchIndex == MATCH_MISSING && entry->missingAction == MISSING_INSTALL && entry->knownCount)
        return knownVersions(entry);
    *needsWork = false;
    return 0;
}

int runUpdateStep(WindowHandle page) {
    uint32_t before = updater.entryCount ? percentDone() : 0;
    if (updater.entryCount) setProgress(before);

    FileEntry* entry;
    KnownVersion* known;
    for (;;) {
        ++updater.entriesDone;
        if (updater.entriesDone < 0 || uint32_t(updater.entriesDone) >= updater.entryCount) return endRun();
        entry = updater.nextEntry;
        updater.nextEntry = entryAfter(entry);
        entry->entryStatus = 0;
        updater.tempPath[0] = 0;
        updater.doneKiB += static_cast<uint32_t>((uint64_t(entry->newSize) + 1024) >> 10);
        bool needsWork;
        known = chooseKnownVersion(entry, &needsWork);
        if (needsWork) break;
    }

    if (known && !seekPayload(known->payloadOffset)) return endRun();
    bool inUse = resolveDestination(entry) != 0;
    if (entry->entryFlags & FLAG_IN_ALTERNATE) {
        copyText(updater.sourcePath, updater.alternateDir, PATH_CAPACITY);
        appendPathPart(updater.sourcePath, entryName(entry, 1), PATH_CAPACITY);
        appendPathPart(updater.sourcePath, entryName(entry, 0), PATH_CAPACITY);
        if (userKeepsNewerFile(entry)) {
            releasePatchBuffers();
            return 1;
        }
    } else {
        copyText(updater.sourcePath, updater.destPath, PATH_CAPACITY);
    }
    uint32_t after = updater.totalKiB ? percentDone() : before;
    showCurrentFile(updater.destPath);

    if (entry->deleteAction == DELETE_FILE) {
        deleteInstalledFile(entry);
        addResultRow(page, entry->entryStatus, updater.destPath);
        setProgress(after);
        return 1;
    }
    if (inUse) {
        fail(FAIL_SHARED_IN_USE, updater.destPath);
        return endRun();
    }
    if (!writeNewVersion(entry, known, before, after)) return 0;

    replaceInstalledFile(entry, updater.tempPath);
    updater.tempPath[0] = 0;   // it has the installed name now, or was dropped, or is kept on purpose
    releasePatchBuffers();
    if (updater.resultMessage) return 0;
    addResultRow(page, entry->entryStatus, updater.destPath);
    setProgress(after);
    return 1;
}
