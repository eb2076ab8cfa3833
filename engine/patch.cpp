// Running patch items; the item, stream and script formats are in patch.h.
//
// The script comes from the payload and is trusted no further than the
// format's own limits, which are checked before any byte moves:
//   - a command byte, length word or offset field lies wholly inside the
//     script (the commands end exactly at its end);
//   - an insert lies inside what is left of the insert data;
//   - a copy is at most MAX_COPY_LENGTH bytes, the size of copyBuffer and
//     oldWindow (the u16 form could say up to 65664);
//   - a copy's source range [oldCursor + d, oldCursor + d + length) lies
//     inside the old file; the sum is taken in 64 bits, so a distance can
//     neither wrap below 0 nor past 4 GiB.
// What a broken limit reports (a package writer never makes such a patch,
// so these messages only ever name damage):
//   20, messageArg = volumePath  a command cut off by the script's end, or a
//       copy longer than MAX_COPY_LENGTH: script bytes that no writer makes
//       mean the payload was not read properly;
//   20, messageArg = destPath    a copy's source outside the old file, the
//       same message as an old file that cannot be read;
//   21, messageArg = tempPath    an insert past the end of the insert data,
//       of which an empty insert stream is the first case.
// A stream length that no heap can hold reports 14, like any allocation.
#include "engine/patch.h"

#include "app/fileio.h"
#include "app/state.h"
#include "app/userinterface.h"
#include "engine/catalogue.h"
#include "package/inflater.h"
#include "package/volumes.h"

namespace {

enum {
    RESULT_NO_MEMORY = 14,
    RESULT_CANNOT_READ = 20,
    RESULT_CANNOT_WRITE = 21,
    RESULT_DISK_FULL = 22,
};

enum { LENGTH_FIELD_SIZE = 4 };   // the u32 part length before each part's bytes
enum { PROGRESS_STEP = 10000 };   // written bytes per progress step

// Owned between applyPatch and releasePatchBuffers; null when not held.
uint8_t* scriptBytes;       // the unpacked script
uint32_t scriptLength;
uint8_t* insertBytes;       // the unpacked insert data; null when it is empty
uint32_t insertLength;
// MAX_COPY_LENGTH bytes: the new file's bytes gather here, copies read
// straight into it, and it goes to the temporary file whenever the next
// piece would not fit, and at the end. A script of many small commands so
// costs a write per 64 KiB, not one or two per command.
uint8_t* copyBuffer;
// MAX_COPY_LENGTH bytes of the old file, read in one piece from a little
// before the first copy that needs them: the copies of a script mostly
// move forward by little, so most are served without a seek and a read.
uint8_t* oldWindow;
const uint32_t WINDOW_LEAD = 4096;   // bytes the window keeps before the copy that fills it

// The script's read position while it runs.
const uint8_t* scriptCursor;
uint32_t scriptRemaining;

int failWith(int result, const char* path) {
    setMessageArg(path);
    return result;
}

int payloadFailure() { return failWith(RESULT_CANNOT_READ, updater.volumePath); }

// Reads count bytes of the payload. The reader may bring fewer than asked
// once after it moves on to the next volume; asking again goes on from
// there. A failed call, or one that brings nothing, ends the read.
bool readPayloadExact(void* buffer, uint32_t count) {
    uint8_t* to = static_cast<uint8_t*>(buffer);
    while (count != 0) {
        uint32_t got = 0;
        if (readPayload(updater.volumeHandle, to, count, &got) != 0 || got == 0 || got > count) return false;
        to += got;
        count -= got;
    }
    return true;
}

// A little-endian length field: u32 when wide, else u16.
bool readLengthField(bool wide, uint32_t* value) {
    uint8_t field[4] = {0, 0, 0, 0};
    if (!readPayloadExact(field, wide ? 4 : 2)) return false;
    *value = field[0] | field[1] << 8 | field[2] << 16 | static_cast<uint32_t>(field[3]) << 24;
    return true;
}

// The payload offset the reader stands at by its own count.
uint32_t payloadPosition() {
    return updater.partOffset + (updater.payloadLength - updater.volumeRemaining);
}

// Stands the reader at payload offset target, the end of a compressed
// stream. The decompressor reads no further than the packed length, but it
// can stop before it (a stream that ends early), and it gives its unread
// input back to the file with seekFileBy, which the reader's count does not
// see; so the file and the count are set again here. Inside the part now
// open seekPayload does it. At the part's very end seekPayload would open
// the next volume, which need not exist when the item ends the payload;
// there the file is put at the end of this part's bytes, as a read to the
// end of the part leaves it. A target before the part now open lies in a
// part already left, which the reader never visits again.
bool movePayloadTo(uint32_t target) {
    if (updater.volumeHandle == NO_FILE || target < updater.partOffset) return false;
    uint32_t intoPart = target - updater.partOffset;
    if (intoPart != updater.payloadLength) return seekPayload(target);
    uint64_t position = uint64_t(updater.volumeNumber == 0 ? updater.payloadStart : 0) + LENGTH_FIELD_SIZE + intoPart;
    if (position > 0xFFFFFFFFu || seekFileTo(updater.volumeHandle, static_cast<uint32_t>(position)) != position)
        return false;
    updater.volumeRemaining = 0;
    return true;
}

// The next count (1-3) script bytes as one number, the first byte highest;
// false when fewer remain.
bool takeScript(uint32_t count, uint32_t* value) {
    if (scriptRemaining < count) return false;
    scriptRemaining -= count;
    uint32_t number = 0;
    while (count--) number = number << 8 | *scriptCursor++;
    *value = number;
    return true;
}

// An offset field (its three forms are in patch.h); false when it is cut
// off by the script's end. The sign extensions shift the field's sign bit
// up to bit 31 and back down.
bool takeDistance(int32_t* distance) {
    uint32_t first, rest;
    if (!takeScript(1, &first)) return false;
    if ((first & 0xC0) == 0x80) {
        *distance = static_cast<int32_t>(first << 26) >> 26;
        return true;
    }
    if ((first & 0x80) == 0) {
        if (!takeScript(1, &rest)) return false;
        int32_t v = static_cast<int32_t>((first << 8 | rest) << 17) >> 17;
        *distance = v >= 0 ? v + 32 : v - 32;
        return true;
    }
    if (!takeScript(2, &rest)) return false;
    int32_t v = static_cast<int32_t>(((first & 0x3F) << 16 | rest) << 10) >> 10;
    *distance = v >= 0 ? v + 16416 : v - 16416;
    return true;
}

// A writeAll result as a patch result: a short write is a full disk.
int writeFailure(int written) {
    if (written == WRITE_SHORT) return RESULT_DISK_FULL;
    return failWith(RESULT_CANNOT_WRITE, updater.tempPath);
}

int runScript(FileEntry* entry, FileHandle oldFile, FileHandle temporaryFile, uint32_t percentBefore,
              uint32_t percentAfter) {
    scriptCursor = scriptBytes;
    scriptRemaining = scriptLength;
    const uint8_t* inserts = insertBytes;
    uint32_t insertsLeft = insertLength;
    const uint64_t oldSize = fileSize(oldFile);
    uint32_t oldCursor = 0;
    uint32_t shown = percentBefore;
    // (n + 10000) / 10000 written as n / 10000 + 1: the same number, and no
    // sum that could wrap to a zero divisor.
    const uint32_t newSteps = entry->newSize / PROGRESS_STEP + 1;

    uint32_t windowStart = 0, windowLength = 0;   // the old file's bytes that oldWindow holds
    uint32_t buffered = 0;   // bytes of copyBuffer not yet written
    uint32_t produced = 0;   // bytes of the new file made so far
    auto flush = [&]() -> int {
        int written = buffered == 0 ? 0 : writeAll(temporaryFile, copyBuffer, buffered);
        buffered = 0;
        return written == 0 ? 0 : writeFailure(written);
    };

    uint32_t command;
    while (takeScript(1, &command)) {
        uint32_t insert = 0, copy = 0;
        if (command & 0x80) {
            if ((command & 0x60) == 0) {
                insert = (command & 0x1F) + 1;
            } else {
                insert = (command >> 5) & 3;
                copy = (command & 0x1F) + 2;
            }
        } else if (command != 0) {
            copy = command + 1;
        } else {
            uint32_t word;
            if (!takeScript(2, &word)) return payloadFailure();
            copy = ((word >> 8) | (word & 0xFF) << 8) + 129;   // the u16 is little-endian
        }

        if (insert != 0) {
            if (insert > insertsLeft) return failWith(RESULT_CANNOT_WRITE, updater.tempPath);
            if (insert > MAX_COPY_LENGTH - buffered) {
                int failed = flush();
                if (failed != 0) return failed;
            }
            copyBytes(copyBuffer + buffered, inserts, insert);
            buffered += insert;
            produced += insert;
            inserts += insert;
            insertsLeft -= insert;
        }

        if (copy != 0) {
            int32_t distance;
            if (copy > MAX_COPY_LENGTH || !takeDistance(&distance)) return payloadFailure();
            int64_t source = int64_t(oldCursor) + distance;
            if (source < 0 || uint64_t(source) + copy > oldSize) return failWith(RESULT_CANNOT_READ, updater.destPath);
            uint32_t position = static_cast<uint32_t>(source);
            if (copy > MAX_COPY_LENGTH - buffered) {
                int failed = flush();
                if (failed != 0) return failed;
            }
            if (position < windowStart || uint64_t(position) + copy > uint64_t(windowStart) + windowLength) {
                uint32_t lead = position < WINDOW_LEAD ? position : WINDOW_LEAD;
                if (lead > MAX_COPY_LENGTH - copy) lead = MAX_COPY_LENGTH - copy;
                windowStart = position - lead;
                uint64_t rest = oldSize - windowStart;
                windowLength = rest < MAX_COPY_LENGTH ? static_cast<uint32_t>(rest) : uint32_t(MAX_COPY_LENGTH);
                if (seekFileTo(oldFile, windowStart) != windowStart ||
                    readExact(oldFile, oldWindow, windowLength) != READ_OK)
                    return failWith(RESULT_CANNOT_READ, updater.destPath);
            }
            uint8_t* piece = copyBuffer + buffered;
            copyBytes(piece, oldWindow + (position - windowStart), copy);
            // The patch was made from files with these regions zero-filled.
            if (entry->regionCount != 0) maskRegions(entry->regionCount, firstRegion(entry), piece, position, copy);
            buffered += copy;
            produced += copy;
            oldCursor = position + copy;
        }

        if (percentAfter != percentBefore) {
            uint32_t writtenSteps = produced / PROGRESS_STEP + 1;
            uint32_t percent = percentBefore + writtenSteps * (percentAfter - percentBefore) / newSteps;
            if (percent != shown) {
                setProgress(percent);
                shown = percent;
            }
        }
    }
    return flush();
}

}  // namespace

int readPatchStream(uint8_t** buffer, uint32_t* length) {
    *buffer = 0;
    *length = 0;
    uint8_t flags;
    uint32_t size;
    if (!readPayloadExact(&flags, 1) || !readLengthField(flags & STREAM_LONG_LENGTH, &size)) return payloadFailure();
    if (size == 0) return 0;
    // Zero-filled, so that a stream that fails to unpack leaves defined
    // bytes behind: it shows later as a wrong checksum, never as noise.
    uint8_t* bytes;
    if (!allocateZeroed(size, bytes)) return RESULT_NO_MEMORY;
    bool ok;
    if (flags & STREAM_COMPRESSED) {
        uint32_t packed;
        ok = readLengthField(flags & STREAM_LONG_PACKED, &packed);
        uint32_t start = payloadPosition();
        ok = ok && start + packed >= start;
        // The outcome is not examined: a stream that fails to unpack shows
        // later as a wrong checksum. A packed length of 0 would put the
        // decompressor out of its volume mode, reading the file without a
        // bound, so nothing is unpacked then.
        if (ok && packed != 0) inflateToMemory(bytes, size, updater.volumeHandle, packed);
        ok = ok && movePayloadTo(start + packed);
    } else {
        ok = readPayloadExact(bytes, size);
    }
    if (!ok) {
        releaseBuffer(bytes);
        return payloadFailure();
    }
    *buffer = bytes;
    *length = size;
    return 0;
}

void applyPatch(FileEntry* entry, FileHandle oldFile, FileHandle temporaryFile, uint32_t percentBefore,
                uint32_t percentAfter) {
    releasePatchBuffers();   // an earlier patch's, should its step not have ended
    int result = readPatchStream(&scriptBytes, &scriptLength);
    if (result == 0) result = readPatchStream(&insertBytes, &insertLength);
    if (result == 0 && (!allocateBuffer(MAX_COPY_LENGTH, copyBuffer) || !allocateBuffer(MAX_COPY_LENGTH, oldWindow)))
        result = RESULT_NO_MEMORY;
    if (result == 0) result = runScript(entry, oldFile, temporaryFile, percentBefore, percentAfter);
    updater.resultMessage = result;
}

void releasePatchBuffers() {
    releaseBuffer(scriptBytes);
    releaseBuffer(insertBytes);
    releaseBuffer(copyBuffer);
    releaseBuffer(oldWindow);
    scriptLength = 0;
    insertLength = 0;
}
