// The pre-update scan's outcomes, natively with the POSIX backend.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <filesystem>

#include "app/platform.h"
#include "app/platform_posix.h"
#include "app/state.h"
#include "builder/cataloguewriter.h"
#include "engine/catalogue.h"
#include "engine/scan.h"
#include "package/format.h"
#include "tests/support/scripted_ui.h"
#include "tests/support/testfiles.h"
#include "tests/support/windowspaths.h"

namespace {

const Bytes OLD_A(3000, 'a');
const Bytes OLD_B(4000, 'b');
const Bytes NEW_CONTENT(5000, 'n');
const Bytes STRANGER(3000, 's');

// An entry that knows OLD_A and OLD_B and updates to NEW_CONTENT.
EntryPlan entryFor(const std::string& path) {
    EntryPlan entry;
    entry.relativePath = path;
    entry.newSize = static_cast<uint32_t>(NEW_CONTENT.size());
    entry.newChecksum = checksumBytes(NEW_CONTENT);
    entry.knownVersions.push_back({checksumBytes(OLD_A), static_cast<uint32_t>(OLD_A.size()), 0, 0});
    entry.knownVersions.push_back({checksumBytes(OLD_B), static_cast<uint32_t>(OLD_B.size()), 0, 0});
    return entry;
}

struct ScanTest : ::testing::Test {
    TempFolder folder;
    std::string target = windowsForm(folder.path) + "\\App";
    Bytes catalogue;

    void SetUp() override {
        resetUpdaterState();
        resetScriptedUi();
        posixSystem = PosixSystem();
        posixSystem.fixedDiskSpace = true;
        posixSystem.freeClusters = 0xFFFFFFF;
        std::filesystem::create_directories(folder.path + "/App/sub");
        copyText(updater.targetDir, target.c_str(), PATH_CAPACITY);
        updater.packageKey = PACKAGE_KEY;
    }
    void TearDown() override { posixSystem = PosixSystem(); }

    void install(const std::vector<EntryPlan>& entries) {
        catalogue = writeCatalogue(entries);
        updater.catalogueData = catalogue.data();
        updater.entryCount = static_cast<uint32_t>(entries.size());
        updater.firstEntry = reinterpret_cast<FileEntry*>(catalogue.data() + 4);
    }
    void put(const std::string& relative, const Bytes& content) {
        std::filesystem::path path = folder.path + "/App/" + relative;
        std::filesystem::create_directories(path.parent_path());
        writeFile(path.string(), content);
    }
    // Fields of packed records are copied out before gtest binds references.
    int16_t match(uint32_t index) { return entry(index)->matchIndex; }
    bool inAlternate(uint32_t index) { return (entry(index)->entryFlags & FLAG_IN_ALTERNATE) != 0; }
    FileEntry* entry(uint32_t index) {
        FileEntry* e = updater.firstEntry;
        while (index--) e = entryAfter(e);
        return e;
    }
};

TEST_F(ScanTest, KnownVersionsAreWorkAndTheLowerIndexWins) {
    EntryPlan twin = entryFor("twin.dll");
    twin.knownVersions.insert(twin.knownVersions.begin(), twin.knownVersions[1]);   // OLD_B at 0 and 2
    install({entryFor("a.dll"), entryFor("sub\\b.dll"), twin});
    put("a.dll", OLD_A);
    put("sub/b.dll", OLD_B);
    put("twin.dll", OLD_B);
    EXPECT_EQ(scanInstalledFiles(), uint32_t(SCAN_WORK_TO_DO));
    EXPECT_EQ(match(0), 0);
    EXPECT_EQ(match(1), 1);
    EXPECT_EQ(match(2), 0);
    EXPECT_EQ(updater.totalKiB, 3u * ((5000 + 1024) >> 10));
    EXPECT_EQ(updater.readOnlyFound, 0u);
}

// Outcomes that need no question: each case a catalogue and the files present.
TEST_F(ScanTest, OutcomesByCase) {
    auto with = [](EntryPlan e, auto change) {
        change(e);
        return e;
    };
    auto install_ = [](EntryPlan& e) { e.missingAction = MISSING_INSTALL; };
    auto fail = [](EntryPlan& e) { e.missingAction = MISSING_FAIL; };
    auto skipUnmatched = [](EntryPlan& e) { e.unmatchedAction = UNMATCHED_SKIP; };
    auto remove = [](EntryPlan& e) { e.deleteAction = DELETE_FILE; };
    struct Case {
        const char* name;
        std::vector<EntryPlan> entries;
        std::vector<std::pair<std::string, Bytes>> files;
        uint32_t outcome;
        std::string messageArg;   // relative to the folder; "" = untouched
        std::vector<int16_t> matches;
    } cases[] = {
        {"everything is new already", {entryFor("a.dll"), entryFor("b.dll")},
         {{"a.dll", NEW_CONTENT}, {"b.dll", NEW_CONTENT}}, SCAN_NOTHING_TO_DO, "", {MATCH_CURRENT, MATCH_CURRENT}},
        {"no file present, one ordinary entry", {entryFor("a.dll"), with(entryFor("b.dll"), install_)}, {},
         SCAN_NONE_PRESENT, "", {MATCH_MISSING, MATCH_MISSING}},
        {"no file present, only files to install", {with(entryFor("a.dll"), install_)}, {}, SCAN_WORK_TO_DO, "",
         {MATCH_MISSING}},
        {"no file present, only files to delete", {with(entryFor("a.dll"), remove)}, {}, SCAN_NOTHING_TO_DO, "",
         {MATCH_MISSING}},
        {"missing file to install makes work", {entryFor("a.dll"), with(entryFor("new.dll"), install_)},
         {{"a.dll", NEW_CONTENT}}, SCAN_WORK_TO_DO, "", {MATCH_CURRENT, MATCH_MISSING}},
        {"required file missing", {entryFor("a.dll"), with(entryFor("need.dll"), fail), entryFor("c.dll")},
         {{"a.dll", OLD_A}}, SCAN_FILE_MISSING, "need.dll", {0, 0, 0}},
        {"unrecognised file", {entryFor("a.dll")}, {{"a.dll", STRANGER}}, SCAN_NOT_RECOGNISED, "a.dll",
         {MATCH_NONE}},
        {"unrecognised file left alone", {with(entryFor("a.dll"), skipUnmatched), entryFor("b.dll")},
         {{"a.dll", STRANGER}, {"b.dll", OLD_A}}, SCAN_WORK_TO_DO, "", {MATCH_NONE, 0}},
        {"unrecognised file to delete, left alone", {with(with(entryFor("a.dll"), skipUnmatched), remove)},
         {{"a.dll", STRANGER}}, SCAN_NOTHING_TO_DO, "", {MATCH_NONE}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(folder.path + "/App");
        std::filesystem::create_directories(folder.path + "/App");
        for (const auto& [path, content] : c.files) put(path, content);
        install(c.entries);
        copyText(updater.messageArg, "untouched", PATH_CAPACITY);
        EXPECT_EQ(scanInstalledFiles(), c.outcome);
        EXPECT_EQ(std::string(updater.messageArg), c.messageArg.empty() ? "untouched" : target + "\\" + c.messageArg);
        for (size_t i = 0; i < c.matches.size(); ++i)
            if (c.outcome < SCAN_FILE_MISSING || i == 0) EXPECT_EQ(match(i), c.matches[i]) << i;
    }
}

TEST_F(ScanTest, MovedFilesAreSoughtBelowTheFolderTheUserNames) {
    EntryPlan a = entryFor("a.dll");
    a.unmatchedAction = UNMATCHED_SEARCH;
    a.alternateSubfolder = "Old";
    EntryPlan b = entryFor("b.dll");
    b.unmatchedAction = UNMATCHED_SEARCH;
    install({a, b});
    put("a.dll", STRANGER);
    put("b.dll", STRANGER);
    std::string moved = windowsForm(folder.path) + "\\Moved";
    std::filesystem::create_directories(folder.path + "/Moved/Old");
    writeFile(folder.path + "/Moved/Old/a.dll", OLD_A);
    writeFile(folder.path + "/Moved/b.dll", OLD_B);

    scriptedUi.alternateFolders = {moved};
    EXPECT_EQ(scanInstalledFiles(), uint32_t(SCAN_WORK_TO_DO));
    EXPECT_EQ(scriptedUi.alternateQuestions, 1);   // asked once for both
    EXPECT_EQ(match(0), 0);
    EXPECT_EQ(match(1), 1);
    EXPECT_TRUE(inAlternate(0));
    EXPECT_TRUE(inAlternate(1));

    // The moved copy is not recognised either: 10, naming the copy.
    writeFile(folder.path + "/Moved/b.dll", STRANGER);
    EXPECT_EQ(scanInstalledFiles(), uint32_t(SCAN_NOT_RECOGNISED));
    EXPECT_EQ(std::string(updater.messageArg), moved + "\\b.dll");
    EXPECT_EQ(scriptedUi.alternateQuestions, 1);

    // The moved copy is missing: 9, naming where it was sought.
    std::filesystem::remove(folder.path + "/Moved/b.dll");
    EXPECT_EQ(scanInstalledFiles(), uint32_t(SCAN_FILE_MISSING));
    EXPECT_EQ(std::string(updater.messageArg), moved + "\\b.dll");
}

TEST_F(ScanTest, CancelledOrSameFolderSearchFails) {
    EntryPlan a = entryFor("a.dll");
    a.unmatchedAction = UNMATCHED_SEARCH;
    install({a});
    put("a.dll", STRANGER);
    EXPECT_EQ(scanInstalledFiles(), uint32_t(SCAN_NOT_RECOGNISED));   // the user cancels
    EXPECT_EQ(std::string(updater.messageArg), target + "\\a.dll");
    EXPECT_EQ(scriptedUi.alternateQuestions, 1);

    scriptedUi.alternateFolders = {windowsForm(folder.path) + "\\app"};   // the same folder, other case
    EXPECT_EQ(scanInstalledFiles(), uint32_t(SCAN_NOT_RECOGNISED));
    EXPECT_FALSE(inAlternate(0));
}

TEST_F(ScanTest, ReadOnlyKnownFileKeepsItsAttribute) {
    install({entryFor("a.dll")});
    put("a.dll", OLD_A);
    std::string path = folder.path + "/App/a.dll";
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    EXPECT_EQ(scanInstalledFiles(), uint32_t(SCAN_WORK_TO_DO));
    EXPECT_EQ(updater.readOnlyFound, 1u);
    struct stat info;
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0222, 0u);
}

TEST_F(ScanTest, ReadOnlyFileThatStaysReadOnlyStopsTheScan) {
    install({entryFor("a.dll"), entryFor("b.dll")});
    put("a.dll", OLD_A);
    put("b.dll", OLD_B);
    ASSERT_EQ(chmod((folder.path + "/App/a.dll").c_str(), 0444), 0);
    posixFaults.attributesStuck = true;
    EXPECT_EQ(scanInstalledFiles(), uint32_t(SCAN_READ_ONLY));
    posixFaults = PosixFaults();
    EXPECT_EQ(std::string(updater.messageArg), target + "\\a.dll");
    EXPECT_EQ(updater.readOnlyFound, 1u);
}

TEST_F(ScanTest, SharedFileInUse) {
    EntryPlan shared = entryFor("common.dll");
    shared.destinationKind = DEST_SHARED;
    install({shared});
    std::filesystem::create_directories(folder.path + "/System");
    writeFile(folder.path + "/System/common.dll", OLD_A);
    posixSystem.sharedFiles["common.dll"] = {SHARED_FILE_IN_USE, "", windowsForm(folder.path) + "\\System"};
    EXPECT_EQ(scanInstalledFiles(), uint32_t(SCAN_SHARED_IN_USE));
    EXPECT_EQ(std::string(updater.messageArg), windowsForm(folder.path) + "\\System\\common.dll");
}

// 10 000 KiB free on a drive of 4 KiB clusters; a 6 MiB update and 4 MiB of
// new files need 10 240 KiB, which must be below what is free.
TEST_F(ScanTest, FreeSpaceMustExceedTheNeed) {
    EntryPlan update = entryFor("big.dll");
    update.newSize = 6 * 1024 * 1024;
    EntryPlan added = entryFor("added.dll");
    added.missingAction = MISSING_INSTALL;
    added.newSize = 4 * 1024 * 1024;
    install({update, added});
    put("big.dll", OLD_A);
    posixSystem.sectorsPerCluster = 8;
    posixSystem.bytesPerSector = 512;
    struct Case {
        uint32_t freeClusters;
        bool diskKnown;
        uint32_t outcome;
    } cases[] = {
        {2500, true, SCAN_NO_SPACE},   // 10 000 KiB
        {2560, true, SCAN_NO_SPACE},   // exactly the 10 240 KiB needed
        {2561, true, SCAN_WORK_TO_DO},
        {0, false, SCAN_WORK_TO_DO},   // the system cannot tell: no test
    };
    for (const Case& c : cases) {
        posixSystem.freeClusters = c.freeClusters;
        posixSystem.diskSpaceFails = !c.diskKnown;
        EXPECT_EQ(scanInstalledFiles(), c.outcome) << c.freeClusters;
    }
    posixSystem.diskSpaceFails = false;
    posixSystem.freeClusters = 2500;
    EXPECT_EQ(freeSpaceKiB(target.c_str()), 10000u);
    EXPECT_EQ(clusterSizeKiB(target.c_str()), 4u);
}

TEST_F(ScanTest, FreeSpaceOfLargeDrivesDoesNotWrap) {
    posixSystem.sectorsPerCluster = 64;
    posixSystem.bytesPerSector = 4096;
    posixSystem.freeClusters = 0xFFFFFFF0u;   // far more than 4 TiB
    EXPECT_EQ(freeSpaceKiB(target.c_str()), uint32_t(SPACE_UNKNOWN) - 1);
    EXPECT_EQ(clusterSizeKiB(target.c_str()), 256u);
}

}  // namespace
