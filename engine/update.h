// Applying the update, one catalogue entry per step. Each step writes the
// new version of one file into a temporary file beside it (name: the
// destination with its extension replaced by ".$$A", or ".$$B" ... when
// that name is taken), whole from a compressed stream or by a patch of the
// old file, stamps the file times, carries the preserved regions over from
// the old file, checks the checksum, and only then puts it in the place of
// the installed file. The installed file is only ever read until that
// moment; a failure deletes the temporary file and leaves it as it was.
//
// Status of a handled file (entryStatus; table 6 entry of its row):
//   25 replaced, 26 deleted, 27 created, 28 not deleted, 29 not replaced
// Failure (resultMessage; table 6 entry the finish page shows):
//   12 shared file in use (destPath)        18 cannot open (the path)
//   14 out of memory                        19 cannot create the temporary file (tempPath)
//   17 the user gave up at a volume prompt  20 cannot read (volumePath or destPath)
//   21 cannot write (tempPath)              22 disk full
//   23 the written file's checksum is wrong (destPath)
#ifndef ZORVAT_ENGINE_UPDATE_H
#define ZORVAT_ENGINE_UPDATE_H

#include <stdint.h>

#include "app/state.h"

enum EntryStatus {
    STATUS_REPLACED = 25,
    STATUS_DELETED = 26,
    STATUS_CREATED = 27,
    STATUS_DELETE_FAILED = 28,
    STATUS_REPLACE_FAILED = 29,
};

enum UpdateFailure {
    FAIL_SHARED_IN_USE = 12,
    FAIL_NO_MEMORY = 14,
    FAIL_GAVE_UP = 17,
    FAIL_CANNOT_OPEN = 18,
    FAIL_CANNOT_CREATE = 19,
    FAIL_CANNOT_READ = 20,
    FAIL_CANNOT_WRITE = 21,
    FAIL_DISK_FULL = 22,
    FAIL_BAD_CHECKSUM = 23,
};

// Handles the next entry that needs work. Returns 1 when it handled one and
// should be called again; 0 when nothing is left (resultMessage 0) or the
// update failed (resultMessage set). The payload must be open.
int runUpdateStep(WindowHandle page);

void deleteInstalledFile(FileEntry* entry);
void replaceInstalledFile(FileEntry* entry, const char* temporaryPath);

// Creates every missing folder of the folder part of a file path. 0 when
// they all exist afterwards, 1 when creating one failed.
int createFolderChain(const char* path);

// The temporary name for destPath into tempPath. False when no free name
// fits the path buffer.
bool makeTemporaryName();

#endif
