// Applying whole updates with the engine, natively: every kind of entry,
// three volumes, and the failures where users would lose data.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "app/platform_posix.h"
#include "app/state.h"
#include "app/userinterface.h"
#include "builder/patchwriter.h"
#include "builder/volumewriter.h"
#include "engine/catalogue.h"
#include "engine/patch.h"
#include "engine/scan.h"
#include "engine/update.h"
#include "package/loader.h"
#include "package/volumes.h"
#include "tests/support/scenario.h"
#include "tests/support/scripted_ui.h"
#include "tests/support/testfiles.h"
#include "tests/support/windowspaths.h"

namespace {

Bytes compressedItem(const Bytes& script, const Bytes& inserts) { return writePatchItem(script, inserts, 9); }

const Scenario& scenario() {
    static Scenario made = makeScenario(compressedItem);
    return made;
}

struct UpdateTest : ::testing::Test {
    TempFolder folder;
    std::string app = folder.path + "/App";
    std::string moved = folder.path + "/Moved";
    std::string updatePath = folder.path + "/update.exe";
    Scenario s = scenario();

    void SetUp() override {
        posixSystem = PosixSystem();
        posixFaults = PosixFaults();
        resetScriptedUi();
        installOldVersion(s, app, moved);
    }
    void TearDown() override {
        releasePatchBuffers();
        releasePackage();
        if (updater.volumeHandle != NO_FILE) closeFile(updater.volumeHandle);
        posixFaults = PosixFaults();
        posixSystem = PosixSystem();
    }
    void writeUpdate() {
        writeFile(updatePath, s.package);
        for (size_t k = 0; k < s.volumes.size(); ++k)
            writeFile(volumeFileName(updatePath, static_cast<uint32_t>(k + 1)), s.volumes[k]);
    }
    // Loads the update and scans the installation; the scan's outcome.
    uint32_t loadAndScan() {
        releasePackage();
        resetUpdaterState();
        copyText(updater.modulePath, windowsForm(updatePath).c_str(), PATH_CAPACITY);
        EXPECT_TRUE(loadPackage());
        copyText(updater.targetDir, windowsForm(app).c_str(), PATH_CAPACITY);
        scriptedUi.alternateFolders = {windowsForm(moved)};
        return scanInstalledFiles();
    }
    // Runs every step; the number of steps that handled an entry.
    int runSteps() {
        EXPECT_TRUE(openPayload());
        int steps = 0;
        while (runUpdateStep(nullptr)) ++steps;
        closePayload();
        return steps;
    }
    std::string installed(const std::string& relative) { return app + "/" + relative; }
    std::vector<std::string> leftovers() {
        std::vector<std::string> found;
        for (const auto& item : std::filesystem::recursive_directory_iterator(folder.path))
            if (item.path().filename().string().find(".$$") != std::string::npos) found.push_back(item.path());
        return found;
    }
    // Flips one byte in the middle of the payload item of an entry's first
    // known version, in whichever part file holds it.
    void flipPayloadByteOf(const std::string& relative) {
        FileEntry* entry = updater.firstEntry;
        while (entryName(entry, 0) != relative) entry = entryAfter(entry);
        const KnownVersion& known = knownVersions(entry)[0];
        uint64_t at = known.payloadOffset + (known.packedLength ? known.packedLength / 2 : 40);
        uint64_t part0 = updater.payloadLength;
        if (at < part0) {
            s.package[updater.payloadStart + 4 + at] ^= 0x10;
            return;
        }
        at -= part0;
        for (Bytes& volume : s.volumes) {
            if (at < volume.size() - 4) {
                volume[4 + at] ^= 0x10;
                return;
            }
            at -= volume.size() - 4;
        }
        FAIL() << "offset beyond the payload";
    }
    uint16_t statusOf(const std::string& relative) {
        FileEntry* entry = updater.firstEntry;
        for (uint32_t i = 0; i < updater.entryCount; ++i, entry = entryAfter(entry))
            if (entryName(entry, 0) == relative) return entry->entryStatus;
        return 0xFFFF;
    }
};

std::string forwardSlashes(std::string path) {
    for (char& c : path)
        if (c == '\\') c = '/';
    return path;
}

TEST_F(UpdateTest, WholeUpdateAcrossThreeVolumesThenNothingLeftToDo) {
    ASSERT_EQ(s.volumes.size(), 2u);
    writeUpdate();
    ASSERT_EQ(loadAndScan(), uint32_t(SCAN_WORK_TO_DO));
    EXPECT_EQ(runSteps(), 6) << updater.resultMessage << " " << updater.messageArg;
    EXPECT_EQ(updater.resultMessage, 0);
    for (const auto& [path, contents] : s.newFiles)
        EXPECT_EQ(readFile(installed(forwardSlashes(path))), expectedAfterUpdate(s, path)) << path;
    EXPECT_FALSE(std::filesystem::exists(installed("obsolete.txt")));
    EXPECT_EQ(readFile(moved + "/Old/moved.dll"), s.movedFiles.at("moved.dll"));   // the copy stays
    EXPECT_TRUE(leftovers().empty());

    std::vector<std::pair<uint32_t, std::string>> expectedRows = {
        {STATUS_REPLACED, "app.exe"},        {STATUS_REPLACED, "data\\readme.txt"},
        {STATUS_CREATED, "plugins\\new\\extra.dll"}, {STATUS_DELETED, "obsolete.txt"},
        {STATUS_REPLACED, "config.bin"},     {STATUS_REPLACED, "moved.dll"}};
    ASSERT_EQ(scriptedUi.rows.size(), expectedRows.size());
    for (size_t i = 0; i < expectedRows.size(); ++i) {
        EXPECT_EQ(scriptedUi.rows[i].status, expectedRows[i].first);
        EXPECT_EQ(scriptedUi.rows[i].path, windowsForm(app) + "\\" + expectedRows[i].second);
    }
    EXPECT_EQ(scriptedUi.progress.back(), 100u);
    EXPECT_EQ(scriptedUi.jumpedTo, std::vector<int32_t>{5});

    // The file times of app.exe were stamped (last write time).
    struct stat info;
    ASSERT_EQ(stat(installed("app.exe").c_str(), &info), 0);
    EXPECT_EQ(info.st_mtime, time_t((133000000000000000ull - 116444736000000000ull) / 10000000));

    resetScriptedUi();
    EXPECT_EQ(loadAndScan(), uint32_t(SCAN_NOTHING_TO_DO));
}

TEST_F(UpdateTest, SecondKnownVersionIsPatchedToo) {
    // app.exe installed as version B.
    Bytes appB = s.oldFiles.at("app.exe");
    appB.insert(appB.begin() + 5000, 300, 0x55);
    writeFile(installed("app.exe"), appB);
    writeUpdate();
    ASSERT_EQ(loadAndScan(), uint32_t(SCAN_WORK_TO_DO));
    runSteps();
    EXPECT_EQ(updater.resultMessage, 0);
    EXPECT_EQ(readFile(installed("app.exe")), s.newFiles.at("app.exe"));
}

// moved.dll's old version is found below the alternate folder; the file at
// the destination says it is newer than the update's 2.0.
TEST_F(UpdateTest, NewerInstalledFileIsKeptWhenTheUserSaysSo) {
    writeUpdate();
    std::string destination = windowsForm(installed("moved.dll"));
    struct Case {
        std::array<uint32_t, 4> installedVersion;   // file MS, LS, product MS, LS
        std::deque<int> answers;
        bool asked;
        bool replaced;
    } cases[] = {
        {{0x00010000, 0, 0x00030000, 0}, {ANSWER_NO}, true, false},    // product 3.0 beats 2.0
        {{0x00030000, 0, 0x00030000, 0}, {ANSWER_YES}, true, true},
        {{0x00030000, 0, 0x00020000, 0}, {}, true, false},              // file 3.0 with equal product; unanswered is No
        {{0x00020000, 0, 0x00020000, 0}, {}, false, true},              // the same version: no question
        {{0x00010000, 5, 0x00010000, 9}, {}, false, true},
    };
    for (const Case& c : cases) {
        std::filesystem::remove_all(app);
        installOldVersion(s, app, moved);
        posixSystem.fileVersions = {{destination, c.installedVersion}};
        ASSERT_EQ(loadAndScan(), uint32_t(SCAN_WORK_TO_DO));
        scriptedUi.answers = c.answers;
        if (c.answers.empty()) scriptedUi.answers = {ANSWER_NO};
        runSteps();
        EXPECT_EQ(updater.resultMessage, 0);
        bool asked = false;
        for (const ShownMessage& m : scriptedUi.messages) asked = asked || m.type == (BOX_ICON_QUESTION | BOX_YES_NO);
        EXPECT_EQ(asked, c.asked);
        EXPECT_EQ(readFile(installed("moved.dll")) == s.newFiles.at("moved.dll"), c.replaced);
        bool rowForIt = false;
        for (const ResultRow& row : scriptedUi.rows) rowForIt = rowForIt || row.path == destination;
        EXPECT_EQ(rowForIt, c.replaced);
        EXPECT_EQ(statusOf("moved.dll"), c.replaced ? STATUS_REPLACED : 0);
        resetScriptedUi();
    }
}

TEST_F(UpdateTest, ReadOnlyFileIsReplacedAndReadOnlyAgain) {
    writeUpdate();
    ASSERT_EQ(chmod(installed("app.exe").c_str(), 0444), 0);
    ASSERT_EQ(loadAndScan(), uint32_t(SCAN_WORK_TO_DO));
    EXPECT_EQ(updater.readOnlyFound, 1u);
    runSteps();
    EXPECT_EQ(updater.resultMessage, 0);
    EXPECT_EQ(statusOf("app.exe"), STATUS_REPLACED);
    EXPECT_EQ(readFile(installed("app.exe")), s.newFiles.at("app.exe"));
    struct stat info;
    ASSERT_EQ(stat(installed("app.exe").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0222, 0u);
}

TEST_F(UpdateTest, FileHeldOpenIsNotReplacedAndTheUpdateGoesOn) {
    writeUpdate();
    ASSERT_EQ(loadAndScan(), uint32_t(SCAN_WORK_TO_DO));
    posixFaults.heldFiles = {windowsForm(installed("app.exe"))};
    runSteps();
    EXPECT_EQ(updater.resultMessage, 0);
    EXPECT_EQ(statusOf("app.exe"), STATUS_REPLACE_FAILED);
    EXPECT_EQ(readFile(installed("app.exe")), s.oldFiles.at("app.exe"));
    EXPECT_EQ(statusOf("moved.dll"), STATUS_REPLACED);   // the next entries were handled
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(UpdateTest, MissingFileToDeleteGetsItsStatus) {
    writeUpdate();
    ASSERT_EQ(loadAndScan(), uint32_t(SCAN_WORK_TO_DO));
    std::filesystem::remove(installed("obsolete.txt"));
    runSteps();
    EXPECT_EQ(updater.resultMessage, 0);
    EXPECT_EQ(statusOf("obsolete.txt"), STATUS_DELETE_FAILED);
}

// Each failure leaves the failing file as it was and no temporary file.
TEST_F(UpdateTest, FailuresStopWithTheirCodeAndLoseNothing) {
    struct Case {
        const char* name;
        std::function<void(UpdateTest&)> damage;   // before the steps run
        int32_t code;
        std::string messageArg;                    // "" = not checked
        std::string untouched;                     // a file that must keep its old contents
    } cases[] = {
        {"full contents item bit-flipped",
         [](UpdateTest& t) { t.flipPayloadByteOf("data\\readme.txt"); }, 23,
         "data\\readme.txt", "data\\readme.txt"},
        {"patch item bit-flipped", [](UpdateTest& t) { t.flipPayloadByteOf("app.exe"); }, -1, "", "app.exe"},
        {"disk full during a patch", [](UpdateTest&) { posixFaults.writeBudget = 70000; }, 22, "", "app.exe"},
        {"disk full during a whole write",
         [](UpdateTest& t) {
             // app.exe is written; readme.txt meets the full disk.
             posixFaults.writeBudget = int64_t(t.s.newFiles.at("app.exe").size()) + 1000;
         },
         23, "data\\readme.txt", "data\\readme.txt"},
        {"old file vanished before its patch",
         [](UpdateTest& t) { std::filesystem::remove(t.installed("app.exe")); }, 18, "app.exe", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(app);
        installOldVersion(s, app, moved);
        resetScriptedUi();
        s = scenario();
        writeUpdate();
        ASSERT_EQ(loadAndScan(), uint32_t(SCAN_WORK_TO_DO));
        c.damage(*this);
        writeUpdate();
        runSteps();
        posixFaults = PosixFaults();
        if (c.code >= 0) EXPECT_EQ(updater.resultMessage, c.code);
        else EXPECT_TRUE(updater.resultMessage == 20 || updater.resultMessage == 21 || updater.resultMessage == 23)
            << updater.resultMessage;
        if (!c.messageArg.empty()) EXPECT_EQ(std::string(updater.messageArg), windowsForm(app) + "\\" + c.messageArg);
        if (!c.untouched.empty())
            EXPECT_EQ(readFile(installed(forwardSlashes(c.untouched))), s.oldFiles.at(c.untouched));
        EXPECT_TRUE(leftovers().empty()) << (leftovers().empty() ? "" : leftovers()[0]);
    }
}

TEST_F(UpdateTest, MissingVolumeWithoutAndWithThePrompt) {
    writeUpdate();
    std::filesystem::remove(volumeFileName(updatePath, 2));
    ASSERT_EQ(loadAndScan(), uint32_t(SCAN_WORK_TO_DO));
    runSteps();
    EXPECT_EQ(updater.resultMessage, 20);
    EXPECT_EQ(std::string(updater.messageArg), windowsForm(volumeFileName(updatePath, 2)));
    EXPECT_TRUE(scriptedUi.messages.empty());
    EXPECT_TRUE(leftovers().empty());

    // The temporary copy started for removable media asks for the disk; the
    // user gives up: Cancel, then Yes.
    std::filesystem::remove_all(app);
    installOldVersion(s, app, moved);
    ASSERT_EQ(loadAndScan(), uint32_t(SCAN_WORK_TO_DO));
    updater.deleteSelf = 1;
    scriptedUi.answers = {ANSWER_CANCEL, ANSWER_YES};
    runSteps();
    EXPECT_EQ(updater.resultMessage, 17);
    EXPECT_EQ(updater.pageResult, PAGE_CANCEL);
    EXPECT_TRUE(leftovers().empty());
}

// The last volume, which holds most of the items, ends halfway.
TEST_F(UpdateTest, VolumeCutShortInsideAPart) {
    Bytes cut = s.volumes[1];
    cut.resize(cut.size() / 2);
    writeUpdate();
    writeFile(volumeFileName(updatePath, 2), cut);
    ASSERT_EQ(loadAndScan(), uint32_t(SCAN_WORK_TO_DO));
    runSteps();
    EXPECT_NE(updater.resultMessage, 0);
    EXPECT_TRUE(leftovers().empty());
    for (const auto& [path, contents] : s.oldFiles) {
        std::string file = installed(forwardSlashes(path));
        if (!std::filesystem::exists(file)) continue;   // deleted by its own entry
        Bytes now = readFile(file);
        EXPECT_TRUE(now == contents || now == expectedAfterUpdate(s, path)) << path;
    }
}

}  // namespace

namespace {

// Temporary names beside the installed file, and never one that a cut
// could make equal to the installed file's own.
TEST(TemporaryName, ReplacesTheExtensionAndSkipsTakenNames) {
    TempFolder folder;
    std::string base = windowsForm(folder.path);
    std::filesystem::create_directories(folder.path + "/App.old");
    writeFile(folder.path + "/prog.$$A", {1});
    struct Case {
        std::string destination;
        std::string expected;   // "" = no name
    } cases[] = {
        {base + "\\prog.exe", base + "\\prog.$$B"},   // .$$A is taken
        {base + "\\README", base + "\\README.$$A"},
        {base + "\\App.old\\README", base + "\\App.old\\README.$$A"},
        {base + "\\" + std::string(250 - base.size(), 'n'), base + "\\" + std::string(250 - base.size(), 'n') + ".$$A"},
        {base + "\\" + std::string(256 - base.size(), 'n'), ""},   // the name would not fit
        {base + "\\" + std::string(251 - base.size(), 'n') + ".longext", base + "\\" + std::string(251 - base.size(), 'n') + ".$$A"},
    };
    for (const Case& c : cases) {
        resetUpdaterState();
        copyText(updater.destPath, c.destination.c_str(), PATH_CAPACITY);
        EXPECT_EQ(makeTemporaryName(), !c.expected.empty()) << c.destination;
        EXPECT_EQ(std::string(updater.tempPath), c.expected);
    }
}

}  // namespace
