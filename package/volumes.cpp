// The payload reader: one forward-only view of the payload over the package
// file (part 0) and its volume files (parts 1, 2, ...). Layout and naming
// are stated in volumes.h.
//
// Invariants kept between calls while the payload is open:
//   - volumeHandle stands at payload offset
//     partOffset + payloadLength - volumeRemaining, in file volumePath;
//   - volumeRemaining <= payloadLength (a file longer than its length field
//     says is read to its end, but volumeRemaining stops at 0);
//   - partOffset + payloadLength is compared in 64 bits and never stored
//     when it passes 4 GiB, so no position wraps.
//
// Choices of our own where the format leaves room:
//   - A length field that cannot be read is tried LENGTH_FIELD_ATTEMPTS
//     times in a row without asking; then the volume counts as missing
//     (the temporary copy asks for the disk, any other run fails). Every
//     loop that opens files is bounded by that count or by the user.
//   - A part whose file ends before its length field says: the reader goes
//     by the file's end. When a short read is resumed and the reopened file
//     holds nothing past the resume position, the part is taken as ended and
//     the next volume follows.
//   - An offset below partOffset lies in a part already left: seekPayload
//     fails with 20 naming the file now open; the reader never goes back.
//   - A prompt whose answer is neither OK nor No (a message box that could
//     not be shown answers 0) gives up, so a broken display cannot loop.
//   - A volume name longer than the path buffer is cut to fit, as every
//     path rule of the updater does.
#include "package/volumes.h"

#include "app/fileio.h"
#include "app/paths.h"
#include "app/state.h"
#include "app/userinterface.h"
#include "engine/catalogue.h"
#include "package/texts.h"

namespace {

// Table 6 entries and result numbers of this module.
enum {
    TEXT_INSERT_DISK = 32,      // asks for a disk; %d is its number
    TEXT_CONFIRM_CANCEL = 15,   // asks whether to give up the update
    TEXT_CANCELLED = 17,        // tells that the update was given up
    RESULT_GAVE_UP = 17,
    RESULT_CANNOT_OPEN = 18,
    RESULT_CANNOT_READ = 20,
};

enum {
    LENGTH_FIELD_SIZE = 4,
    LENGTH_FIELD_ATTEMPTS = 3,
    PROMPT_CAPACITY = 200,      // the prompt for a disk, terminator included
    PAGE_FINISH = 5,
};

const uint64_t LARGEST_POSITION = 0xFFFFFFFFu;

void failWith(int32_t message, const char* path) {
    updater.resultMessage = message;
    if (path) setMessageArg(path);
}

// Replaces the extension of volumePath by ".D" and number written with at
// least two digits: the text from the last full stop on, when no backslash
// follows it; otherwise the extension is appended.
void nameVolume(uint32_t number) {
    char extension[2 + 10 + 1];   // ".D", the ten digits of a u32, terminator
    char digits[10];
    uint32_t count = 0;
    do digits[count++] = static_cast<char>('0' + number % 10);
    while ((number /= 10) != 0);
    if (count < 2) digits[count++] = '0';
    uint32_t at = 0;
    extension[at++] = '.';
    extension[at++] = 'D';
    while (count) extension[at++] = digits[--count];
    extension[at] = 0;

    char* path = updater.volumePath;
    uint32_t end = textLength(path);
    for (uint32_t i = end; i-- > 0;) {
        if (path[i] == '\\') break;
        if (path[i] == '.') {
            end = i;
            break;
        }
    }
    path[end] = 0;
    appendText(path, extension, PATH_CAPACITY);
}

// File offset of the part's length field: payloadStart in the package file,
// 0 in a volume file.
uint32_t lengthFieldOffset() { return updater.volumeNumber == 0 ? updater.payloadStart : 0; }

// Reads the length field of the file just opened into payloadLength; the
// file then stands at the part's first data byte.
bool readLengthField(FileHandle file) {
    uint32_t offset = lengthFieldOffset();
    if (seekFileTo(file, offset) != offset) return false;
    uint8_t field[LENGTH_FIELD_SIZE];
    if (readExact(file, field, LENGTH_FIELD_SIZE) != READ_OK) return false;
    updater.payloadLength = field[0] | field[1] << 8 | field[2] << 16 | static_cast<uint32_t>(field[3]) << 24;
    return true;
}

// Asks for the disk that holds volumePath. True to try again; false when
// the user gave up (pageResult PAGE_CANCEL).
bool askForDisk() {
    char prompt[PROMPT_CAPACITY];
    formatText(prompt, PROMPT_CAPACITY, lookupString(TEXT_GENERAL_TABLE, TEXT_INSERT_DISK), emptyString,
               updater.volumeNumber + 1);
    if (showMessage(prompt, BOX_OK_CANCEL | BOX_ICON_INFORMATION) == ANSWER_OK) return true;
    if (showMessage(lookupString(TEXT_GENERAL_TABLE, TEXT_CONFIRM_CANCEL), BOX_YES_NO | BOX_ICON_QUESTION) ==
        ANSWER_NO)
        return true;
    showMessage(lookupString(TEXT_GENERAL_TABLE, TEXT_CANCELLED), BOX_ICON_INFORMATION);
    updater.pageResult = PAGE_CANCEL;
    return false;
}

// Opens volumePath into volumeHandle and reads its length field. A missing
// file fails at once unless this is the temporary copy, which asks for the
// disk until it opens or the user gives up.
bool openVolume() {
    uint32_t attempts = 0;
    for (;;) {
        FileHandle file = openExisting(updater.volumePath, 0);
        if (file != NO_FILE) {
            if (readLengthField(file)) {
                updater.volumeHandle = file;
                return true;
            }
            closeFile(file);
            updater.payloadLength = 0;
            if (++attempts < LENGTH_FIELD_ATTEMPTS) continue;
        }
        attempts = 0;
        if (!updater.deleteSelf || !askForDisk()) return false;
    }
}

void closeVolume() {
    if (updater.volumeHandle != NO_FILE) closeFile(updater.volumeHandle);
    updater.volumeHandle = NO_FILE;
}

// Counts bytes read off the part; bytes past its length field's end (a file
// longer than it says) leave volumeRemaining at 0.
void takeFromPart(uint32_t count) {
    updater.volumeRemaining -= count < updater.volumeRemaining ? count : updater.volumeRemaining;
}

}  // namespace

bool openPayload() {
    updater.resultMessage = 0;
    updater.nextEntry = updater.firstEntry;
    updater.entriesDone = -1;
    updater.doneKiB = 0;
    updater.volumeNumber = 0;
    closeVolume();
    copyText(updater.volumePath, updater.modulePath, PATH_CAPACITY);
    updater.volumeHandle = openExisting(updater.volumePath, 0);
    uint64_t first = uint64_t(updater.payloadStart) + LENGTH_FIELD_SIZE;
    if (updater.volumeHandle == NO_FILE || first > LARGEST_POSITION ||
        seekFileTo(updater.volumeHandle, static_cast<uint32_t>(first)) != first) {
        closeVolume();
        failWith(RESULT_CANNOT_OPEN, updater.volumePath);
        return false;
    }
    updater.payloadOpen = 1;
    return true;
}

bool seekPayload(uint32_t offset) {
    if (updater.volumeHandle == NO_FILE || offset < updater.partOffset) {
        failWith(RESULT_CANNOT_READ, updater.volumePath);
        return false;
    }
    while (offset >= uint64_t(updater.partOffset) + updater.payloadLength) {
        updater.volumeRemaining = 0;
        if (nextVolume() == NO_FILE) {
            if (updater.deleteSelf && updater.pageResult == PAGE_CANCEL)
                failWith(RESULT_GAVE_UP, 0);
            else
                failWith(RESULT_CANNOT_READ, updater.volumePath);
            return false;
        }
    }
    uint32_t intoPart = offset - updater.partOffset;
    uint64_t position = uint64_t(lengthFieldOffset()) + LENGTH_FIELD_SIZE + intoPart;
    if (position > LARGEST_POSITION || seekFileTo(updater.volumeHandle, static_cast<uint32_t>(position)) != position) {
        failWith(RESULT_CANNOT_READ, updater.volumePath);
        return false;
    }
    updater.volumeRemaining = updater.payloadLength - intoPart;
    return true;
}

int readPayload(FileHandle handle, void* buffer, uint32_t count, uint32_t* countRead) {
    *countRead = 0;
    if (handle == NO_FILE) return 1;   // a reader that gave up stays closed
    uint8_t* bytes = static_cast<uint8_t*>(buffer);
    uint32_t got = readSome(handle, bytes, count);
    if (got > count) got = count;
    takeFromPart(got);
    *countRead = got;
    if (got == count) return 0;
    if (nextVolume() == NO_FILE) return 1;
    // One more read only: when it too comes short the caller asks again.
    uint32_t more = readSome(updater.volumeHandle, bytes + got, count - got);
    if (more > count - got) more = count - got;
    takeFromPart(more);
    *countRead = got + more;
    return 0;
}

FileHandle nextVolume() {
    closeVolume();
    // Runs twice at most: the second round follows a part whose file ended
    // before its length field said.
    for (;;) {
        uint32_t resume = 0;   // read position within the part
        if (updater.volumeRemaining == 0) {
            uint64_t next = uint64_t(updater.partOffset) + updater.payloadLength;
            if (next > LARGEST_POSITION) return NO_FILE;   // no payload offset reaches a further part
            ++updater.volumeNumber;
            nameVolume(static_cast<uint32_t>(updater.volumeNumber));
            updater.partOffset = static_cast<uint32_t>(next);
        } else {
            resume = updater.payloadLength - updater.volumeRemaining;
        }
        if (!openVolume()) return NO_FILE;
        if (resume == 0) {
            updater.volumeRemaining = updater.payloadLength;
            return updater.volumeHandle;
        }
        // The same file again, after a read stopped inside it: go on at the
        // byte where it stopped. A file whose length field now says less
        // than was read already is not the one that was being read.
        uint64_t position = uint64_t(lengthFieldOffset()) + LENGTH_FIELD_SIZE + resume;
        if (updater.payloadLength < resume || position > LARGEST_POSITION ||
            seekFileTo(updater.volumeHandle, static_cast<uint32_t>(position)) != position) {
            closeVolume();
            updater.payloadLength = 0;
            updater.volumeRemaining = 0;
            return NO_FILE;
        }
        updater.volumeRemaining = updater.payloadLength - resume;
        if (fileSize(updater.volumeHandle) > position) return updater.volumeHandle;
        // Nothing past the resume position: the file ends short of its
        // length field, and the reader goes by the file's end.
        closeVolume();
        updater.volumeRemaining = 0;
    }
}

void closePayload() {
    closeVolume();
    if (updater.startPage == START_PAGE_WIZARD) jumpToPage(PAGE_FINISH);
    updater.payloadOpen = 0;
}
