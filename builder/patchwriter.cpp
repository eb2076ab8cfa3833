#include "builder/patchwriter.h"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "app/fileio.h"
#include "app/state.h"
#include "builder/compressor.h"
#include "engine/catalogue.h"
#include "engine/patch.h"
#include "package/volumes.h"

namespace {

enum {
    MAX_INSERT_PIECE = 32,         // 0x80-0x9F
    MAX_COMBINED_INSERT = 3,       // 0xA0-0xFF: insert 1-3, then copy 2-33
    MIN_COPY = 2,
    MAX_COMBINED_COPY = 33,
    MAX_SHORT_COPY = 128,          // 0x01-0x7F; the u16 form starts at 129
    LONG_COPY_BASE = 129,
};

void fail(const std::string& what) { throw std::runtime_error("patch: " + what); }

// The offset field of a distance (forms in engine/patch.h).
void appendDistance(Bytes& out, int64_t d) {
    if (d >= -32 && d <= 31) {
        out.push_back(static_cast<uint8_t>(0x80 | (d & 0x3F)));
    } else if (d >= -16416 && d <= 16415) {
        uint32_t v = static_cast<uint32_t>(d >= 0 ? d - 32 : d + 32) & 0x7FFF;
        out.push_back(static_cast<uint8_t>(v >> 8));
        out.push_back(static_cast<uint8_t>(v));
    } else {
        uint32_t v = static_cast<uint32_t>(d >= 0 ? d - 16416 : d + 16416) & 0x3FFFFF;
        out.push_back(static_cast<uint8_t>(0xC0 | v >> 16));
        out.push_back(static_cast<uint8_t>(v >> 8));
        out.push_back(static_cast<uint8_t>(v));
    }
}

// One copy of 2..MAX_COPY_LENGTH bytes without an insert.
void appendCopy(Bytes& out, uint32_t length, int64_t distance) {
    if (length <= MAX_SHORT_COPY) {
        out.push_back(static_cast<uint8_t>(length - 1));
    } else {
        uint32_t w = length - LONG_COPY_BASE;
        out.push_back(0x00);
        out.push_back(static_cast<uint8_t>(w));
        out.push_back(static_cast<uint8_t>(w >> 8));
    }
    appendDistance(out, distance);
}

void appendLengthField(Bytes& out, uint32_t value, bool wide) {
    if (wide)
        appendU32(out, value);
    else
        appendU16(out, value);
}

// Restores the updater's state, the decompressor's reader and the patch
// buffers however applyPatchItem ends.
struct UpdaterSnapshot {
    UpdaterState saved = updater;
    PayloadReadFunction savedReader = payloadReader;
    std::filesystem::path folder;
    ~UpdaterSnapshot() {
        releasePatchBuffers();
        updater = saved;
        payloadReader = savedReader;
        std::error_code ignored;
        if (!folder.empty()) std::filesystem::remove_all(folder, ignored);
    }
};

void writeWholeFile(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) fail("cannot write " + path.string());
}

}  // namespace

Bytes encodeScript(const std::vector<PatchCommand>& commands, const Bytes& insertData) {
    Bytes out;
    uint64_t inserted = 0;
    for (const PatchCommand& command : commands) {
        if (command.copyLength == 1) fail("a copy of 1 byte (copies are at least 2 bytes; insert it)");
        if (command.copyLength == 0 && command.distance != 0) fail("a distance without a copy");
        if (command.distance < MIN_PATCH_DISTANCE || command.distance > MAX_PATCH_DISTANCE)
            fail("distance " + std::to_string(command.distance) + " is out of range");
        inserted += command.insertLength;

        // Inserts go in pieces of 32 bytes and a last piece of 1-32; a last
        // piece of 1-3 goes in one command with a copy of 2-33 after it.
        uint32_t insert = command.insertLength;
        bool combinable = command.copyLength >= MIN_COPY && command.copyLength <= MAX_COMBINED_COPY;
        uint32_t lastPiece = insert == 0 ? 0 : (insert - 1) % MAX_INSERT_PIECE + 1;
        uint32_t combined = combinable && lastPiece <= MAX_COMBINED_INSERT ? lastPiece : 0;
        for (uint32_t alone = insert - combined; alone != 0;) {
            uint32_t piece = alone < MAX_INSERT_PIECE ? alone : MAX_INSERT_PIECE;
            out.push_back(static_cast<uint8_t>(0x80 | (piece - 1)));
            alone -= piece;
        }
        if (combined != 0) {
            out.push_back(static_cast<uint8_t>(0x80 | combined << 5 | (command.copyLength - MIN_COPY)));
            appendDistance(out, command.distance);
            continue;
        }

        uint32_t copy = command.copyLength;
        int64_t distance = command.distance;
        while (copy != 0) {
            uint32_t piece = copy <= MAX_COPY_LENGTH ? copy : MAX_COPY_LENGTH;
            if (copy - piece == 1) --piece;   // leave at least 2 for the next piece
            appendCopy(out, piece, distance);
            copy -= piece;
            distance = 0;   // the next piece goes on where this one ended
        }
    }
    if (inserted != insertData.size())
        fail("the inserts take " + std::to_string(inserted) + " bytes, the insert data has " +
             std::to_string(insertData.size()));
    return out;
}

Bytes writePatchStream(const Bytes& data, int level) {
    if (data.size() > 0xFFFFFFFFu) fail("a stream of 4 GiB or more");
    uint32_t length = static_cast<uint32_t>(data.size());
    uint8_t lengthFlag = length > 0xFFFF ? STREAM_LONG_LENGTH : 0;

    Bytes raw{lengthFlag};
    appendLengthField(raw, length, lengthFlag != 0);
    raw.insert(raw.end(), data.begin(), data.end());
    if (level == 0 || length == 0) return raw;

    Bytes packed = compressStream(data, level);
    if (packed.size() > 0xFFFFFFFFu) return raw;
    uint8_t packedFlag = packed.size() > 0xFFFF ? STREAM_LONG_PACKED : 0;
    Bytes compressed{static_cast<uint8_t>(STREAM_COMPRESSED | lengthFlag | packedFlag)};
    appendLengthField(compressed, length, lengthFlag != 0);
    appendLengthField(compressed, static_cast<uint32_t>(packed.size()), packedFlag != 0);
    compressed.insert(compressed.end(), packed.begin(), packed.end());
    return compressed.size() < raw.size() ? compressed : raw;
}

Bytes writePatchItem(const Bytes& script, const Bytes& insertData, int level) {
    Bytes item = writePatchStream(script, level);
    Bytes inserts = writePatchStream(insertData, level);
    item.insert(item.end(), inserts.begin(), inserts.end());
    return item;
}

Bytes applyPatchItem(const Bytes& oldFile, const Bytes& item, const std::vector<RegionPlan>& regions) {
    if (item.size() > 0xFFFFFFFFu - 4) fail("an item of 4 GiB or more");
    UpdaterSnapshot snapshot;
    std::string folderTemplate = (std::filesystem::temp_directory_path() / "zorvat-patch-XXXXXX").string();
    if (!mkdtemp(folderTemplate.data())) fail("cannot make a temporary folder");
    snapshot.folder = folderTemplate;
    std::filesystem::path oldPath = snapshot.folder / "old", itemPath = snapshot.folder / "item.exe",
                          newPath = snapshot.folder / "new";

    // The item as part 0 of a payload that starts at file offset 0.
    Bytes part;
    appendU32(part, static_cast<uint32_t>(item.size()));
    part.insert(part.end(), item.begin(), item.end());
    writeWholeFile(itemPath, part);
    writeWholeFile(oldPath, oldFile);

    EntryPlan plan;
    plan.relativePath = "patched";
    plan.regions = regions;
    Bytes catalogue = writeCatalogue({plan});
    FileEntry* entry = reinterpret_cast<FileEntry*>(catalogue.data() + 4);

    resetUpdaterState();
    payloadReader = readPayload;
    copyText(updater.modulePath, itemPath.c_str(), PATH_CAPACITY);
    copyText(updater.destPath, oldPath.c_str(), PATH_CAPACITY);
    copyText(updater.tempPath, newPath.c_str(), PATH_CAPACITY);
    updater.payloadStart = 0;
    updater.payloadLength = updater.volumeRemaining = static_cast<uint32_t>(item.size());
    updater.partOffset = 0;
    if (!openPayload()) fail("cannot open " + itemPath.string());

    FileHandle old = openExisting(updater.destPath, 0);
    FileHandle out = createAlways(updater.tempPath);
    if (old != NO_FILE && out != NO_FILE) {
        locateRegions(entry->regionCount, firstRegion(entry), old);
        applyPatch(entry, old, out, 0, 0);
    } else {
        updater.resultMessage = -1;
    }
    if (old != NO_FILE) closeFile(old);
    if (out != NO_FILE) closeFile(out);
    if (updater.volumeHandle != NO_FILE) closeFile(updater.volumeHandle);
    updater.volumeHandle = NO_FILE;

    if (updater.resultMessage == -1) fail("cannot open the temporary files");
    if (updater.resultMessage != 0)
        fail("the updater rejects the item with message " + std::to_string(updater.resultMessage) + " (" +
             updater.messageArg + ")");
    std::ifstream in(newPath, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
