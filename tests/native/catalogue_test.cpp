// The file catalogue: checksum, region search and masking, accessors,
// destinations, the writer, and the check the loader makes of a catalogue.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>

#include "app/platform.h"
#include "app/platform_posix.h"
#include "app/state.h"
#include "builder/cataloguewriter.h"
#include "builder/packagewriter.h"
#include "engine/catalogue.h"
#include "package/format.h"
#include "package/loader.h"
#include "tests/support/scripted_ui.h"
#include "tests/support/testfiles.h"
#include "tests/support/windowspaths.h"

namespace {

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// A marker of non-zero bytes, so it never occurs by chance in zero filler.
Bytes marker(uint32_t length) {
    Bytes pattern(length);
    for (uint32_t i = 0; i < length; ++i) pattern[i] = static_cast<uint8_t>(1 + (i * 7 + i / 251) % 255);
    return pattern;
}

void place(Bytes& data, uint32_t at, const Bytes& what) { std::copy(what.begin(), what.end(), data.begin() + at); }

Bytes zeroed(Bytes data, uint32_t from, uint32_t to) {
    std::fill(data.begin() + from, data.begin() + std::min<size_t>(to, data.size()), 0);
    return data;
}

// Packed fields by value: gtest's macros bind references, which a field at an
// odd address must not have.
template <class T> T value(T field) { return field; }


FileEntry* firstEntryOf(Bytes& catalogue) { return reinterpret_cast<FileEntry*>(catalogue.data() + 4); }

// An entry using every part of the format.
EntryPlan fullEntry() {
    EntryPlan e;
    e.relativePath = "bin\\app.exe";
    e.alternateSubfolder = "old\\bin";
    e.missingAction = MISSING_INSTALL;
    e.unmatchedAction = UNMATCHED_SEARCH;
    e.fullContents = true;
    e.newSize = 1234;
    e.newChecksum = 0xCAFEF00D;
    e.versionBlock = {{0x00010002, 0x00030004, 0x00050006, 0x00070008}};
    e.fileTimes = {{0x0102030405060708ull, 0x1112131415161718ull, 0x2122232425262728ull}};
    e.knownVersions = {{0x11111111, 1000, 0, 321}, {0x22222222, 2000, 321, 0}};
    e.regions = {{64, NOT_FOUND, 1, text("VER")}, {8, 100, 0, {}}};
    return e;
}

// An entry whose names are its last bytes: no blocks, versions or regions.
EntryPlan namesOnlyEntry() {
    EntryPlan e;
    e.relativePath = "readme.txt";
    return e;
}

struct CatalogueTest : ::testing::Test {
    TempFolder folder;
    void SetUp() override {
        resetUpdaterState();
        resetScriptedUi();
        posixSystem = PosixSystem();
        posixFaults = PosixFaults();
    }
    void TearDown() override {
        releasePackage();
        posixSystem = PosixSystem();
        posixFaults = PosixFaults();
    }

    // The file written, opened for reading.
    FileHandle openWith(const Bytes& contents, const std::string& name = "file.bin") {
        std::string path = folder.file(name);
        writeFile(path, contents);
        return openExisting(path.c_str(), 0);
    }
};

// --- checksum ---

TEST(CatalogueChecksum, KnownValues) {
    struct Case {
        std::string data;
        uint32_t seed;
        uint32_t expected;
    } cases[] = {
        {"", 0, 0},
        {"", 0x12345678, 0x12345678},   // an empty block gives the seed back
        {"abc", 0, 0x000002AB},
        {"abcd", 0, 0x64636261},
        {"abcde", 0, 0xC8C6C527},
        {"\x80\x00\x00\x00", 0x80000000u, 0x81},   // the rotation carries the top bit round
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.data);
        EXPECT_EQ(checksumBlock(c.data.data(), static_cast<uint32_t>(c.data.size()), c.seed), c.expected);
    }
}

TEST(CatalogueChecksum, PiecesOfMultiplesOfFourChainToOnePass) {
    Bytes data(40003);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 131 + (i >> 9));
    uint32_t whole = checksumBlock(data.data(), static_cast<uint32_t>(data.size()), 0);
    for (uint32_t piece : {4u, 12u, 16384u}) {
        SCOPED_TRACE(piece);
        uint32_t chained = 0;
        for (uint32_t at = 0; at < data.size(); at += piece) {
            uint32_t length = std::min<uint32_t>(piece, static_cast<uint32_t>(data.size()) - at);
            chained = checksumBlock(data.data() + at, length, chained);
        }
        EXPECT_EQ(chained, whole);
    }
}

TEST_F(CatalogueTest, FileChecksumIsOnePassAndLeavesTheFileAtItsEnd) {
    EntryPlan planned = namesOnlyEntry();
    Bytes catalogue = writeCatalogue({planned});
    for (uint32_t size : {0u, 5u, 16384u, 16385u, 40003u}) {
        SCOPED_TRACE(size);
        Bytes data(size);
        for (uint32_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(i * 13 + 5);
        FileHandle file = openWith(data);
        ASSERT_NE(file, NO_FILE);
        EXPECT_EQ(checksumFile(firstEntryOf(catalogue), file), checksumBlock(data.data(), size, 0));
        EXPECT_EQ(tellFile(file), size);
        closeFile(file);
    }
}

TEST_F(CatalogueTest, FailedAllocationsGiveZeroAndNotFound) {
    EntryPlan planned = namesOnlyEntry();
    planned.regions = {{4, NOT_FOUND, 0, text("MARK")}};
    Bytes catalogue = writeCatalogue({planned});
    FileEntry* entry = firstEntryOf(catalogue);
    FileHandle file = openWith(text("xxMARKxx"));
    firstRegion(entry)->foundOffset = 7;
    posixFaults.failAllocations = 1;   // the search window
    locateRegions(1, firstRegion(entry), file);
    EXPECT_EQ(value(firstRegion(entry)->foundOffset), NOT_FOUND);
    posixFaults.failAllocations = 2;   // the search window and the checksum piece
    EXPECT_EQ(checksumFile(entry, file), 0u);
    closeFile(file);
}

// --- region search ---

TEST_F(CatalogueTest, RegionSearchFindsTheFirstOccurrenceAcrossWindows) {
    struct Case {
        const char* name;
        uint32_t fileSize;
        uint32_t patternLength;
        std::vector<uint32_t> placed;
        uint32_t expected;
    } cases[] = {
        {"starts 16383 bytes into the first window", 100000, 16, {16383}, 16383},
        {"longest pattern at the first window's last start", 100000, 16384, {16383}, 16383},
        {"longest pattern at the second window's last start", 100000, 16384, {32767}, 32767},
        {"straddles the 32 KiB point", 100000, 16, {32760}, 32760},
        {"straddles the 32 KiB point, file ends soon after", 32780, 16, {32760}, 32760},
        {"ends at the last byte of a window-and-a-half file", 49152, 16, {49136}, 49136},
        {"ends at the last byte of a 32 KiB file", 32768, 16, {32752}, 32752},
        {"first of two occurrences windows apart", 100000, 16, {70000, 20000}, 20000},
        {"first of two occurrences in one window", 100000, 16, {300, 100}, 100},
        {"small file read whole", 100, 16, {84}, 84},
        {"file is the pattern", 16, 16, {0}, 0},
        {"file shorter than the pattern", 15, 16, {}, NOT_FOUND},
        {"absent from a large file", 70000, 16, {}, NOT_FOUND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes pattern = marker(c.patternLength);
        Bytes data(c.fileSize, 0);
        for (uint32_t at : c.placed) place(data, at, pattern);
        EntryPlan planned = namesOnlyEntry();
        planned.regions = {{40, NOT_FOUND, 0, pattern}};
        Bytes catalogue = writeCatalogue({planned});
        FileEntry* entry = firstEntryOf(catalogue);
        firstRegion(entry)->foundOffset = 12345;   // a stale answer from another file
        FileHandle file = openWith(data);
        ASSERT_NE(file, NO_FILE);
        seekFileTo(file, 7);
        locateRegions(1, firstRegion(entry), file);
        EXPECT_EQ(value(firstRegion(entry)->foundOffset), c.expected);
        EXPECT_EQ(tellFile(file), 0u);
        // The builder's checksum of the same contents agrees with the updater's.
        EXPECT_EQ(checksumFile(entry, file), checksumBytes(data, planned.regions));
        closeFile(file);
    }
}

TEST_F(CatalogueTest, EachRegionOfAListIsLocatedByItself) {
    EntryPlan planned = namesOnlyEntry();
    planned.regions = {{4, NOT_FOUND, 0, text("BBBB")}, {2, 5, 0, {}}, {4, NOT_FOUND, 0, text("AAAA")},
                    {4, NOT_FOUND, 0, text("none")}};
    Bytes catalogue = writeCatalogue({planned});
    FileHandle file = openWith(text("..AAAA..BBBB.."));
    PreservedRegion* region = firstRegion(firstEntryOf(catalogue));
    locateRegions(4, region, file);
    uint32_t expected[] = {8, 5, 2, NOT_FOUND};
    for (uint32_t offset : expected) {
        EXPECT_EQ(value(region->foundOffset), offset);
        region = regionAfter(region);
    }
    closeFile(file);
}

// --- masking ---

TEST_F(CatalogueTest, FileChecksumZeroFillsLocatedRegions) {
    const uint32_t size = 40000;
    Bytes filler(size, 0xAA);
    struct Case {
        const char* name;
        uint32_t patternAt;   // where "MARK" is written; NOT_FOUND: nowhere
        RegionPlan region;
        uint32_t zeroFrom, zeroTo;
    } cases[] = {
        {"straddles the 16 KiB piece boundary", 16380, {10, NOT_FOUND, 0, text("MARK")}, 16380, 16390},
        {"runs past the end of the file", size - 4, {100, NOT_FOUND, 1, text("MARK")}, size - 4, size},
        {"no pattern: masked at its stored offset", NOT_FOUND, {8, 16383, 0, {}}, 16383, 16391},
        {"pattern absent: nothing masked", NOT_FOUND, {8, NOT_FOUND, 0, text("MARK")}, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes data = filler;
        if (c.patternAt != NOT_FOUND) place(data, c.patternAt, text("MARK"));
        EntryPlan planned = namesOnlyEntry();
        planned.regions = {c.region};
        Bytes catalogue = writeCatalogue({planned});
        FileEntry* entry = firstEntryOf(catalogue);
        FileHandle file = openWith(data);
        Bytes expected = zeroed(data, c.zeroFrom, c.zeroTo);
        EXPECT_EQ(checksumFile(entry, file), checksumBlock(expected.data(), size, 0));
        EXPECT_EQ(value(firstRegion(entry)->foundOffset), c.patternAt != NOT_FOUND ? c.patternAt : c.region.foundOffset);
        closeFile(file);
    }
}

TEST(CatalogueMask, ZeroesExactlyTheOverlap) {
    struct Case {
        const char* name;
        uint32_t foundOffset, regionLength, position, length;
        uint32_t zeroFrom, zeroTo;   // within the buffer
    } cases[] = {
        {"area inside the piece", 110, 5, 100, 50, 10, 15},
        {"area begins before the piece", 90, 20, 100, 50, 0, 10},
        {"area ends after the piece", 140, 100, 100, 50, 40, 50},
        {"area covers the piece", 0, 1000, 100, 50, 0, 50},
        {"area ends where the piece begins", 90, 10, 100, 50, 0, 0},
        {"area begins where the piece ends", 150, 10, 100, 50, 0, 0},
        {"empty area", 120, 0, 100, 50, 0, 0},
        {"not found", NOT_FOUND, 10, 100, 50, 0, 0},
        {"area wraps past 4 GiB", 0xFFFFFFF0u, 0x20, 0xFFFFFF00u, 0xFF, 0xF0, 0xFF},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EntryPlan planned = namesOnlyEntry();
        planned.regions = {{c.regionLength, c.foundOffset, 0, {}}};
        Bytes catalogue = writeCatalogue({planned});
        Bytes buffer(c.length, 0x5A);
        maskRegions(1, firstRegion(firstEntryOf(catalogue)), buffer.data(), c.position, c.length);
        EXPECT_EQ(buffer, zeroed(Bytes(c.length, 0x5A), c.zeroFrom, c.zeroTo));
    }
}

// --- layout and accessors ---

TEST(CatalogueLayout, WriterAndAccessorsAgree) {
    std::vector<EntryPlan> planned = {fullEntry(), namesOnlyEntry()};
    Bytes catalogue = writeCatalogue(planned);
    EXPECT_EQ(getU32(catalogue, 0), 2u);
    FileEntry* entry = firstEntryOf(catalogue);
    const uint8_t* base = reinterpret_cast<const uint8_t*>(entry);

    // Both optional blocks: the names start 30 + 16 + 24 bytes in.
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(entryName(entry, 0)), base + 70);
    EXPECT_STREQ(entryName(entry, 0), "bin\\app.exe");
    EXPECT_STREQ(entryName(entry, -1), "bin\\app.exe");
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(entryName(entry, 1)), base + 70 + 12);
    EXPECT_STREQ(entryName(entry, 1), "old\\bin");
    ASSERT_NE(entryVersionBlock(entry), nullptr);
    EXPECT_EQ(value(entryVersionBlock(entry)->productVersionLS), 0x00070008u);
    ASSERT_NE(entryFileTimes(entry), nullptr);
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(entryFileTimes(entry)), base + 46);
    EXPECT_EQ(value(entryFileTimes(entry)->lastWriteTime), 0x2122232425262728ull);

    EXPECT_EQ(value(entry->missingAction), MISSING_INSTALL);
    EXPECT_EQ(value(entry->entryFlags), FLAG_FULL_CONTENTS | FLAG_VERSION_BLOCK | FLAG_FILE_TIMES);
    EXPECT_EQ(value(entry->newChecksum), 0xCAFEF00Du);   // stored plain
    EXPECT_EQ(value(entry->entryStatus), 0);
    EXPECT_EQ(value(entry->matchIndex), 0);
    ASSERT_EQ(value(entry->knownCount), 2);
    EXPECT_EQ(value(entry->knownOffset), 70 + 12 + 8);
    EXPECT_EQ(value(knownVersions(entry)[1].maskedChecksum), 0x22222222u ^ PACKAGE_KEY);
    EXPECT_EQ(value(knownVersions(entry)[1].payloadOffset), 321u);
    ASSERT_EQ(value(entry->regionCount), 2);
    PreservedRegion* region = firstRegion(entry);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(region), reinterpret_cast<uint8_t*>(knownVersions(entry) + 2));
    EXPECT_EQ(Bytes(regionPattern(region), regionPattern(region) + region->patternLength), text("VER"));
    EXPECT_EQ(value(region->carryOver), 1);
    region = regionAfter(region);
    EXPECT_EQ(value(region->foundOffset), 100u);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(regionAfter(region)), base + entry->entryLength);

    // No optional blocks: names right after the fixed part.
    FileEntry* second = entryAfter(entry);
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(entryName(second, 0)), reinterpret_cast<uint8_t*>(second) + 30);
    EXPECT_STREQ(entryName(second, 1), "");
    EXPECT_EQ(entryVersionBlock(second), nullptr);
    EXPECT_EQ(entryFileTimes(second), nullptr);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(entryAfter(second)), catalogue.data() + catalogue.size());
}

TEST(CatalogueLayout, WriterRefusesWhatTheFormatCannotHold) {
    struct Case {
        const char* name;
        EntryPlan entry;
    };
    std::vector<Case> cases;
    EntryPlan e = namesOnlyEntry();
    e.regions = {{1, NOT_FOUND, 0, Bytes(MAX_PATTERN_LENGTH + 1, 7)}};
    cases.push_back({"pattern longer than 16384 bytes", e});
    e = namesOnlyEntry();
    e.relativePath = std::string(70000, 'a');
    cases.push_back({"names pushing the offsets past 16 bits", e});
    e = namesOnlyEntry();
    e.alternateSubfolder = std::string("a\0b", 3);
    cases.push_back({"NUL inside a name", e});
    e = namesOnlyEntry();
    e.missingAction = MISSING_INSTALL;
    cases.push_back({"installed when missing without known version 0", e});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_THROW(writeCatalogue({c.entry}), std::runtime_error);
    }
}

// --- destination ---

TEST_F(CatalogueTest, DestinationByKind) {
    posixSystem.windowsDir = "C:\\WINDOWS";
    struct Case {
        const char* name;
        uint8_t kind;
        const char* targetDir;
        const char* expected;
    } cases[] = {
        {"below the target folder", DEST_TARGET, "C:\\App", "C:\\App\\bin\\app.exe"},
        {"target folder ending with a backslash", DEST_TARGET, "C:\\", "C:\\bin\\app.exe"},
        {"empty target folder", DEST_TARGET, "", "bin\\app.exe"},
        {"below the Windows folder", DEST_WINDOWS, "C:\\App", "C:\\WINDOWS\\bin\\app.exe"},
        {"kind 3 acts as the target", 3, "C:\\App", "C:\\App\\bin\\app.exe"},
        {"kind 255 acts as the target", 255, "C:\\App", "C:\\App\\bin\\app.exe"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EntryPlan planned = namesOnlyEntry();
        planned.relativePath = "bin\\app.exe";
        planned.destinationKind = c.kind;
        Bytes catalogue = writeCatalogue({planned});
        copyText(updater.targetDir, c.targetDir, PATH_CAPACITY);
        EXPECT_EQ(resolveDestination(firstEntryOf(catalogue)), 0);
        EXPECT_STREQ(updater.destPath, c.expected);
    }
}

TEST_F(CatalogueTest, SharedFileDestination) {
    std::string target = windowsForm(folder.path + "/app");
    std::string destination = windowsForm(folder.path + "/system");
    std::string current = windowsForm(folder.path + "/elsewhere");
    std::filesystem::create_directories(folder.path + "/system");
    std::filesystem::create_directories(folder.path + "/elsewhere");
    struct Case {
        const char* name;
        uint32_t result;
        bool inDestination, inCurrent;
        bool namesDestination, namesCurrent;   // folders the lookup answers with
        std::string expected;
        int returned;
    } cases[] = {
        {"in the destination folder", 0, true, true, true, true, destination + "\\shared.dll", 0},
        {"only in the current folder", 0, false, true, true, true, current + "\\shared.dll", 0},
        {"in neither folder", 0, false, false, true, true, destination + "\\shared.dll", 0},
        {"both folders empty", 0, false, false, false, false, target + "\\lib\\shared.dll", 0},
        {"current folder only, no destination", 0, false, true, false, true, current + "\\shared.dll", 0},
        {"in use in the current folder", SHARED_FILE_IN_USE | SHARED_CURRENT_NOT_DESTINATION, false, true, true,
         true, current + "\\shared.dll", 1},
        {"in use in the destination folder", SHARED_FILE_IN_USE, true, false, true, true,
         destination + "\\shared.dll", 1},
        {"in use, both folders empty", SHARED_FILE_IN_USE, false, false, false, false,
         target + "\\lib\\shared.dll", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(folder.path + "/system/shared.dll");
        std::filesystem::remove(folder.path + "/elsewhere/shared.dll");
        if (c.inDestination) writeFile(folder.path + "/system/shared.dll", {1});
        if (c.inCurrent) writeFile(folder.path + "/elsewhere/shared.dll", {2});
        posixSystem.sharedFiles["shared.dll"] = {c.result, c.namesCurrent ? current : "",
                                                 c.namesDestination ? destination : ""};
        EntryPlan planned = namesOnlyEntry();
        planned.relativePath = "lib\\shared.dll";
        planned.destinationKind = DEST_SHARED;
        Bytes catalogue = writeCatalogue({planned});
        copyText(updater.targetDir, (target + "\\").c_str(), PATH_CAPACITY);
        EXPECT_EQ(resolveDestination(firstEntryOf(catalogue)), c.returned);
        EXPECT_EQ(std::string(updater.destPath), c.expected);
    }

    // Without memory for the lookup's folders: below the target folder.
    writeFile(folder.path + "/system/shared.dll", {1});
    posixSystem.sharedFiles["shared.dll"] = {0, current, destination};
    EntryPlan planned = namesOnlyEntry();
    planned.relativePath = "lib\\shared.dll";
    planned.destinationKind = DEST_SHARED;
    Bytes catalogue = writeCatalogue({planned});
    posixFaults.failAllocations = 1;
    EXPECT_EQ(resolveDestination(firstEntryOf(catalogue)), 0);
    EXPECT_EQ(std::string(updater.destPath), target + "\\lib\\shared.dll");
}

TEST_F(CatalogueTest, LongPathsAreCutInsideTheirBuffers) {
    const char canary[] = "canary";
    struct Case {
        const char* name;
        uint8_t kind;
        std::string targetDir, destinationDir;
        std::string expected;
    } cases[] = {
        {"target plus name too long", DEST_TARGET, "C:\\" + std::string(250, 'd'), "",
         ("C:\\" + std::string(250, 'd') + "\\bin\\app.exe").substr(0, 259)},
        {"target fills the buffer: no room for the backslash", DEST_TARGET, std::string(259, 't'), "",
         std::string(259, 't')},
        {"shared destination folder too long", DEST_SHARED, "C:\\App", std::string(300, 's'),
         std::string(259, 's')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        posixSystem.sharedFiles["app.exe"] = {0, "", c.destinationDir};
        EntryPlan planned = namesOnlyEntry();
        planned.relativePath = "bin\\app.exe";
        planned.destinationKind = c.kind;
        Bytes catalogue = writeCatalogue({planned});
        copyText(updater.targetDir, c.targetDir.c_str(), PATH_CAPACITY);
        copyText(updater.sourcePath, canary, PATH_CAPACITY);   // the buffer after destPath
        resolveDestination(firstEntryOf(catalogue));
        EXPECT_EQ(std::string(updater.destPath), c.expected);
        EXPECT_STREQ(updater.sourcePath, canary);
    }
    std::string longText(400, 'm');
    setMessageArg(longText.c_str());
    EXPECT_EQ(std::string(updater.messageArg), longText.substr(0, 259));
    setMessageArg("C:\\App\\a.dll");
    EXPECT_STREQ(updater.messageArg, "C:\\App\\a.dll");
}

// --- the check at load time ---

// The bytes alone, in a block of exactly their size, so that the sanitizer
// sees any read past the end.
bool sound(const Bytes& catalogue) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[catalogue.size() ? catalogue.size() : 1]);
    std::copy(catalogue.begin(), catalogue.end(), exact.get());
    return catalogueIsSound(exact.get(), static_cast<uint32_t>(catalogue.size()));
}

TEST(CatalogueSoundness, AcceptsWriterOutputAndHarmlessRunTimeValues) {
    EXPECT_TRUE(sound(writeCatalogue({})));
    Bytes catalogue = writeCatalogue({fullEntry(), namesOnlyEntry(), fullEntry()});
    EXPECT_TRUE(sound(catalogue));
    // Run-time fields as a previous run could have left them.
    FileEntry* entry = firstEntryOf(catalogue);
    entry->entryStatus = 27;
    entry->matchIndex = MATCH_CURRENT;
    entry->entryFlags |= FLAG_IN_ALTERNATE;
    firstRegion(entry)->foundOffset = 99;
    EXPECT_TRUE(sound(catalogue));
}

TEST(CatalogueSoundness, EveryCutIsRefused) {
    Bytes catalogue = writeCatalogue({fullEntry(), namesOnlyEntry()});
    for (size_t length = 0; length < catalogue.size(); ++length) {
        SCOPED_TRACE(length);
        EXPECT_FALSE(sound(Bytes(catalogue.begin(), catalogue.begin() + length)));
    }
}

TEST(CatalogueSoundness, RefusesDamage) {
    // Entry fields, from the entry's start (4 bytes into the body).
    const size_t LENGTH = 4, FLAGS = 4 + 8, KNOWN_COUNT = 4 + 18, KNOWN_OFFSET = 4 + 22;
    const size_t REGION_OFFSET = 4 + 26, REGION_COUNT = 4 + 28;
    const Bytes full = writeCatalogue({fullEntry()});
    const uint32_t fullLength = getU32(full, LENGTH);
    const uint32_t knownAt = getU16(full, KNOWN_OFFSET);
    const uint32_t regionAt = getU16(full, REGION_OFFSET);
    const Bytes names = writeCatalogue({namesOnlyEntry()});
    const uint32_t namesLength = getU32(names, LENGTH);

    // A region whose 16384-byte pattern ends the entry.
    EntryPlan longest = namesOnlyEntry();
    longest.regions = {{1, NOT_FOUND, 0, Bytes(MAX_PATTERN_LENGTH, 7)}};
    const Bytes longPattern = writeCatalogue({longest});
    const uint32_t longRegionAt = getU16(longPattern, REGION_OFFSET);

    struct Case {
        const char* name;
        Bytes catalogue;
    };
    std::vector<Case> cases;
    auto damage = [&](const char* name, Bytes c, auto change) {
        change(c);
        cases.push_back({name, c});
    };
    damage("no room for the count", full, [](Bytes& c) { c.resize(3); });
    damage("entry length below 30", names, [](Bytes& c) { putU32(c, LENGTH, 29); });
    damage("entry length past the body", full, [&](Bytes& c) { putU32(c, LENGTH, fullLength + 1); });
    damage("optional blocks past the entry", names, [](Bytes& c) { putU16(c, FLAGS, FLAG_FILE_TIMES); });
    damage("relative path unterminated", names, [](Bytes& c) {
        c[c.size() - 2] = 'x';
        c[c.size() - 1] = 'y';
    });
    damage("alternate subfolder unterminated", names, [](Bytes& c) { c[c.size() - 1] = 'y'; });
    damage("known versions past the entry", full, [&](Bytes& c) { putU16(c, KNOWN_OFFSET, fullLength - 31); });
    damage("known offset past the entry", names, [&](Bytes& c) { putU16(c, KNOWN_OFFSET, namesLength + 1); });
    damage("known count past the entry", full, [](Bytes& c) { putU16(c, KNOWN_COUNT, 0xFFFF); });
    damage("known versions over the names", full, [](Bytes& c) { putU16(c, KNOWN_OFFSET, 70); });
    damage("regions over the fixed part", full, [](Bytes& c) { putU16(c, REGION_OFFSET, 14); });
    damage("region offset past the entry", full, [&](Bytes& c) { putU16(c, REGION_OFFSET, fullLength + 1); });
    damage("region fixed part past the entry", full, [&](Bytes& c) { putU16(c, REGION_OFFSET, fullLength - 11); });
    damage("region count past the entry", full, [](Bytes& c) { putU16(c, REGION_COUNT, 3); });
    damage("pattern past the entry", full, [&](Bytes& c) { putU16(c, 4 + regionAt + 10, 0x1000); });
    damage("pattern longer than 16384 bytes", longPattern, [&](Bytes& c) {
        // One byte more in the entry, so only the limit is broken.
        putU16(c, 4 + longRegionAt + 10, MAX_PATTERN_LENGTH + 1);
        putU32(c, LENGTH, getU32(c, LENGTH) + 1);
        c.push_back(7);
    });
    damage("installed when missing without known versions", full, [](Bytes& c) { putU16(c, KNOWN_COUNT, 0); });
    damage("count larger than the entries", full, [](Bytes& c) { putU32(c, 0, 2); });
    damage("count huge", full, [](Bytes& c) { putU32(c, 0, 0xFFFFFFFF); });
    damage("count smaller than the entries", writeCatalogue({fullEntry(), namesOnlyEntry()}),
           [](Bytes& c) { putU32(c, 0, 1); });
    damage("no entries but bytes", names, [](Bytes& c) { putU32(c, 0, 0); });
    damage("a byte left over", full, [](Bytes& c) { c.push_back(0); });

    EXPECT_TRUE(sound(full));
    EXPECT_TRUE(sound(names));
    EXPECT_TRUE(sound(longPattern));
    EXPECT_EQ(knownAt, 90u);   // the damage above aims at this layout
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(sound(c.catalogue));
    }
}

TEST_F(CatalogueTest, LoaderRefusesADamagedCatalogue) {
    Bytes good = writeCatalogue({fullEntry(), namesOnlyEntry()});
    Bytes leftover = good;
    leftover.push_back(0);
    Bytes overlong = good;
    putU32(overlong, 4, getU32(overlong, 4) + 0x10000);
    struct Case {
        const char* name;
        Bytes catalogue;
        bool loads;
    } cases[] = {
        {"sound", good, true},
        {"a byte left over", leftover, false},
        {"entry length past the body", overlong, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        releasePackage();
        resetUpdaterState();
        PackageWriter w;
        w.addBody(TAG_CATALOGUE, c.catalogue, true);
        w.addPayload(Bytes(10, 0));
        std::string path = folder.file("update.exe");
        writeFile(path, w.finish({}));
        copyText(updater.modulePath, path.c_str(), PATH_CAPACITY);
        EXPECT_EQ(loadPackage(), c.loads);
        if (c.loads) {
            EXPECT_EQ(updater.entryCount, 2u);
            EXPECT_EQ(reinterpret_cast<uint8_t*>(updater.firstEntry), updater.catalogueData + 4);
        } else {
            EXPECT_EQ(updater.catalogueData, nullptr);
            EXPECT_EQ(updater.firstEntry, nullptr);
        }
    }
}

}  // namespace
