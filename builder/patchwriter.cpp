#include "builder/patchwriter.h"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <string>

#include "app/fileio.h"
#include "app/state.h"
#include "builder/compressor.h"
#include "builder/files.h"
#include "engine/catalogue.h"
#include "engine/patch.h"
#include "package/volumes.h"

namespace {

void fail(const std::string& what) { throw std::runtime_error("patch: " + what); }

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

}  // namespace

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

// The updater's patch code works on the one program-wide state, so the
// builder's threads take turns to run it.
static std::mutex updaterInUse;

Bytes applyPatchItem(const Bytes& oldFile, const Bytes& item, const std::vector<RegionPlan>& regions) {
    if (item.size() > 0xFFFFFFFFu - 4) fail("an item of 4 GiB or more");
    std::lock_guard<std::mutex> turn(updaterInUse);
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
