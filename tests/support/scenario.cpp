#include "tests/support/scenario.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "builder/cataloguewriter.h"
#include "builder/patchwriter.h"
#include "builder/volumewriter.h"
#include "engine/catalogue.h"
#include "package/format.h"
#include "tests/support/testfiles.h"

namespace {

Bytes pseudoRandom(size_t size, uint32_t seed) {
    Bytes data(size);
    for (size_t i = 0; i < size; ++i) {
        seed = seed * 1103515245u + 12345u;
        data[i] = static_cast<uint8_t>(seed >> 16);
    }
    return data;
}

// Text-like contents, so that compression has something to find.
Bytes words(size_t size, uint32_t seed) {
    static const char* vocabulary[] = {"update ", "file ", "version ", "the ", "zorvat ", "data\n", "of ", "new "};
    Bytes data;
    while (data.size() < size) {
        seed = seed * 1103515245u + 12345u;
        const char* word = vocabulary[(seed >> 16) % 8];
        data.insert(data.end(), word, word + std::strlen(word));
    }
    data.resize(size);
    return data;
}

// The simplest patch that works for any pair: copy the common start, insert
// what differs, copy the common end.
void naivePatch(const Bytes& oldFile, const Bytes& newFile, Bytes& script, Bytes& inserts) {
    size_t prefix = 0;
    while (prefix < oldFile.size() && prefix < newFile.size() && oldFile[prefix] == newFile[prefix]) ++prefix;
    size_t suffix = 0;
    while (suffix < oldFile.size() - prefix && suffix < newFile.size() - prefix &&
           oldFile[oldFile.size() - 1 - suffix] == newFile[newFile.size() - 1 - suffix])
        ++suffix;
    if (prefix < 2) prefix = 0;
    if (suffix < 2) suffix = 0;
    std::vector<PatchCommand> commands;
    if (prefix) commands.push_back({0, static_cast<uint32_t>(prefix), 0});
    inserts.assign(newFile.begin() + prefix, newFile.end() - suffix);
    if (!inserts.empty()) commands.push_back({static_cast<uint32_t>(inserts.size()), 0, 0});
    if (suffix)
        commands.push_back({0, static_cast<uint32_t>(suffix), int64_t(oldFile.size() - suffix) - int64_t(prefix)});
    script = encodeScript(commands, inserts);
}

Bytes zeroed(Bytes data, size_t offset, size_t length) {
    std::fill(data.begin() + offset, data.begin() + std::min(data.size(), offset + length), 0);
    return data;
}

const Bytes REGION_PATTERN = {'C', 'F', 'G', ':'};
const uint32_t REGION_LENGTH = 32;

}  // namespace

Bytes rawPatchItem(const Bytes& script, const Bytes& inserts) {
    Bytes item;
    for (const Bytes* stream : {&script, &inserts}) {
        item.push_back(0x02);   // raw, u32 length
        appendU32(item, static_cast<uint32_t>(stream->size()));
        item.insert(item.end(), stream->begin(), stream->end());
    }
    return item;
}

Scenario makeScenario(const std::function<Bytes(const Bytes&, const Bytes&)>& makeItem) {
    Scenario s;
    Bytes appA = pseudoRandom(150000, 1);
    Bytes appB = appA;
    appB.insert(appB.begin() + 5000, 300, 0x55);
    Bytes appNew = appA;
    std::copy_n(pseudoRandom(2000, 7).begin(), 2000, appNew.begin() + 70000);
    appNew.insert(appNew.end(), 4000, 0x11);

    Bytes configOld = words(600, 3), configNew = words(700, 4);
    s.oldRegion = Bytes(REGION_LENGTH, 0);
    for (uint32_t i = 0; i < REGION_LENGTH; ++i) s.oldRegion[i] = static_cast<uint8_t>(0xA0 + i);
    std::copy(REGION_PATTERN.begin(), REGION_PATTERN.end(), s.oldRegion.begin());
    std::copy(s.oldRegion.begin(), s.oldRegion.end(), configOld.begin() + 100);
    Bytes newRegion(REGION_LENGTH, 0x77);
    std::copy(REGION_PATTERN.begin(), REGION_PATTERN.end(), newRegion.begin());
    std::copy(newRegion.begin(), newRegion.end(), configNew.begin() + 140);

    Bytes movedOld = words(9000, 5), movedNew = movedOld;
    movedNew.insert(movedNew.begin() + 4000, {'m', 'o', 'r', 'e'});

    s.oldFiles = {{"app.exe", appA},
                  {"data\\readme.txt", words(3000, 8)},
                  {"obsolete.txt", words(100, 9)},
                  {"config.bin", configOld},
                  {"moved.dll", words(1234, 10)}};   // not a known version
    s.movedFiles = {{"moved.dll", movedOld}};
    s.newFiles = {{"app.exe", appNew},
                  {"data\\readme.txt", words(4000, 11)},
                  {"plugins\\new\\extra.dll", pseudoRandom(20000, 12)},
                  {"config.bin", configNew},
                  {"moved.dll", movedNew}};

    Bytes payload;
    std::vector<EntryPlan> entries;
    auto addItem = [&](const Bytes& item) {
        uint32_t offset = static_cast<uint32_t>(payload.size());
        payload.insert(payload.end(), item.begin(), item.end());
        return offset;
    };
    auto patchItem = [&](const Bytes& from, const Bytes& to) {
        Bytes script, inserts;
        naivePatch(from, to, script, inserts);
        return addItem(makeItem(script, inserts));
    };
    auto entryFor = [&](const std::string& path, const std::vector<RegionPlan>& regions = {}) {
        EntryPlan e;
        e.relativePath = path;
        e.regions = regions;
        const Bytes& contents = s.newFiles.count(path) ? s.newFiles[path] : Bytes();
        e.newSize = static_cast<uint32_t>(contents.size());
        e.newChecksum = checksumBytes(contents, regions);
        return e;
    };

    EntryPlan app = entryFor("app.exe");
    app.knownVersions.push_back({checksumBytes(appA), uint32_t(appA.size()), patchItem(appA, appNew), 0});
    app.knownVersions.push_back({checksumBytes(appB), uint32_t(appB.size()), patchItem(appB, appNew), 0});
    app.fileTimes = std::array<uint64_t, 3>{132000000000000000ull, 132000000000000000ull, 133000000000000000ull};
    entries.push_back(app);

    EntryPlan readme = entryFor("data\\readme.txt");
    readme.fullContents = true;
    Bytes readmeStream = packStream(s.newFiles["data\\readme.txt"]);
    readme.knownVersions.push_back({checksumBytes(s.oldFiles["data\\readme.txt"]), 3000, addItem(readmeStream),
                                    uint32_t(readmeStream.size())});
    entries.push_back(readme);

    EntryPlan extra = entryFor("plugins\\new\\extra.dll");
    extra.fullContents = true;
    extra.missingAction = MISSING_INSTALL;
    Bytes extraStream = packStream(s.newFiles["plugins\\new\\extra.dll"]);
    extra.knownVersions.push_back({0, 0, addItem(extraStream), uint32_t(extraStream.size())});
    entries.push_back(extra);

    EntryPlan obsolete = entryFor("obsolete.txt");
    obsolete.deleteAction = DELETE_FILE;
    obsolete.knownVersions.push_back({checksumBytes(s.oldFiles["obsolete.txt"]), 100, 0, 0});
    entries.push_back(obsolete);

    // The patch starts from the old file with its region zero-filled, as the
    // updater reads it, and makes the real new file, pattern included: the
    // updater finds the region there and carries the old bytes into it.
    RegionPlan region;
    region.regionLength = REGION_LENGTH;
    region.carryOver = 1;
    region.pattern = REGION_PATTERN;
    EntryPlan config = entryFor("config.bin", {region});
    config.knownVersions.push_back({checksumBytes(configOld, {region}), uint32_t(configOld.size()),
                                    patchItem(zeroed(configOld, 100, REGION_LENGTH), configNew), 0});
    entries.push_back(config);

    EntryPlan moved = entryFor("moved.dll");
    moved.unmatchedAction = UNMATCHED_SEARCH;
    moved.alternateSubfolder = s.alternateSubfolder;
    moved.versionBlock = std::array<uint32_t, 4>{0x00020000, 0, 0x00020000, 0};   // version 2.0
    moved.knownVersions.push_back({checksumBytes(movedOld), uint32_t(movedOld.size()), patchItem(movedOld, movedNew), 0});
    entries.push_back(moved);

    // Three parts: the package file's and two volume files.
    uint32_t third = static_cast<uint32_t>(payload.size() / 3 + 1);
    std::vector<Bytes> parts = splitPayload(payload, third, third);
    PackageWriter w;
    std::vector<std::vector<std::string>> tables(8);
    tables[5] = {"Finished", "", "%s", "Your files are up to date already."};
    tables[6].assign(34, "");
    tables[6][0] = "Sample Update";
    tables[6][8] = "The update cannot go on.";
    tables[6][10] = "The file %s is not a version this update knows.";
    tables[6][20] = "%s cannot be read.";
    tables[6][23] = "The new version of %s came out wrong; it was not installed.";
    tables[6][25] = "Replaced";
    tables[6][26] = "Deleted";
    tables[6][27] = "Created";
    w.addStringTables(tables);
    w.addBody(TAG_CATALOGUE, writeCatalogue(entries), true);
    w.addPayload(parts[0]);
    s.package = w.finish({});
    for (size_t k = 1; k < parts.size(); ++k) s.volumes.push_back(volumeFile(parts[k]));
    return s;
}

static void writeBelow(const std::string& folder, const std::string& relative, const Bytes& contents) {
    std::string path = relative;
    std::replace(path.begin(), path.end(), '\\', '/');
    std::filesystem::path full = std::filesystem::path(folder) / path;
    std::filesystem::create_directories(full.parent_path());
    writeFile(full.string(), contents);
}

void installOldVersion(const Scenario& scenario, const std::string& folder, const std::string& alternate) {
    for (const auto& [path, contents] : scenario.oldFiles) writeBelow(folder, path, contents);
    for (const auto& [path, contents] : scenario.movedFiles)
        writeBelow(alternate, scenario.alternateSubfolder + "\\" + path, contents);
}

Bytes expectedAfterUpdate(const Scenario& scenario, const std::string& relativePath) {
    Bytes expected = scenario.newFiles.at(relativePath);
    if (relativePath == "config.bin")
        std::copy(scenario.oldRegion.begin(), scenario.oldRegion.end(), expected.begin() + 140);
    return expected;
}
