// The update engine on real files in the Wine drive: the whole scenario
// across three volumes, a file held open by another program, a read-only
// file, and a disk that fills up.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>

#include "app/state.h"
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
#include "tests/win32/driver.h"

namespace {

const Scenario& scenario() {
    static Scenario made = makeScenario(rawPatchItem);
    return made;
}

struct WineUpdateTest : ::testing::Test {
    TempFolder folder;
    std::string root = folder.path;
    Scenario s = scenario();

    void TearDown() override {
        releasePatchBuffers();
        releasePackage();
        if (updater.volumeHandle != NO_FILE) closeFile(updater.volumeHandle);
        SetCurrentDirectoryA("C:\\");
    }
    std::string app() const { return root + "\\App"; }
    std::string moved() const { return root + "\\Moved"; }
    std::string update() const { return folder.path + "\\update.exe"; }   // always on C:

    void prepare() {
        installOldVersion(s, app(), moved());
        writeFile(update(), s.package);
        for (size_t k = 0; k < s.volumes.size(); ++k)
            writeFile(volumeFileName(update(), static_cast<uint32_t>(k + 1)), s.volumes[k]);
    }
    uint32_t loadAndScan() {
        releasePackage();
        resetUpdaterState();
        resetScriptedUi();
        copyText(updater.modulePath, update().c_str(), PATH_CAPACITY);
        EXPECT_TRUE(loadPackage());
        copyText(updater.targetDir, app().c_str(), PATH_CAPACITY);
        scriptedUi.alternateFolders = {moved()};
        return scanInstalledFiles();
    }
    void runSteps() {
        ASSERT_TRUE(openPayload());
        while (runUpdateStep(nullptr)) {
        }
        closePayload();
    }
    Bytes installed(const std::string& relative) { return readFile(app() + "\\" + relative); }
    bool temporaryFilesLeft() {
        for (const auto& item : std::filesystem::recursive_directory_iterator(root))
            if (item.path().filename().string().find(".$$") != std::string::npos) return true;
        return false;
    }
};

TEST_F(WineUpdateTest, WholeUpdateOnTheWineDriveThenNothingLeftToDo) {
    prepare();
    ASSERT_EQ(loadAndScan(), uint32_t(SCAN_WORK_TO_DO));
    runSteps();
    EXPECT_EQ(updater.resultMessage, 0) << updater.messageArg;
    for (const auto& [path, contents] : s.newFiles) EXPECT_EQ(installed(path), expectedAfterUpdate(s, path)) << path;
    EXPECT_FALSE(std::filesystem::exists(app() + "\\obsolete.txt"));
    EXPECT_EQ(readFile(moved() + "\\Old\\moved.dll"), s.movedFiles.at("moved.dll"));
    EXPECT_FALSE(temporaryFilesLeft());
    std::vector<uint32_t> statuses;
    for (const ResultRow& row : scriptedUi.rows) statuses.push_back(row.status);
    EXPECT_EQ(statuses, (std::vector<uint32_t>{STATUS_REPLACED, STATUS_REPLACED, STATUS_CREATED, STATUS_DELETED,
                                                 STATUS_REPLACED, STATUS_REPLACED}));

    // app.exe got its stored last write time.
    WIN32_FILE_ATTRIBUTE_DATA data;
    ASSERT_TRUE(GetFileAttributesExA((app() + "\\app.exe").c_str(), GetFileExInfoStandard, &data));
    uint64_t written = uint64_t(data.ftLastWriteTime.dwHighDateTime) << 32 | data.ftLastWriteTime.dwLowDateTime;
    EXPECT_EQ(written, 133000000000000000ull);

    EXPECT_EQ(loadAndScan(), uint32_t(SCAN_NOTHING_TO_DO));
}

TEST_F(WineUpdateTest, FileHeldByAnotherProgramIsNotReplaced) {
    prepare();
    ASSERT_EQ(loadAndScan(), uint32_t(SCAN_WORK_TO_DO));
    std::string held = app() + "\\app.exe";
    RunningProgram holder;
    ASSERT_TRUE(startProgram("\"" + windowsPathOf(HOLDFILE_POSIX_PATH) + "\" \"" + held + "\" 20000", holder));
    for (int i = 0; i < 200 && !std::filesystem::exists(held + ".held"); ++i) Sleep(25);
    ASSERT_TRUE(std::filesystem::exists(held + ".held"));
    runSteps();
    TerminateProcess(holder.process, 0);
    WaitForSingleObject(holder.process, 5000);
    std::filesystem::remove(held + ".held");
    EXPECT_EQ(updater.resultMessage, 0);
    ASSERT_FALSE(scriptedUi.rows.empty());
    EXPECT_EQ(scriptedUi.rows[0].status, uint32_t(STATUS_REPLACE_FAILED));
    EXPECT_EQ(installed("app.exe"), s.oldFiles.at("app.exe"));
    EXPECT_EQ(installed("moved.dll"), s.newFiles.at("moved.dll"));   // the update went on
    EXPECT_FALSE(temporaryFilesLeft());
}

TEST_F(WineUpdateTest, ReadOnlyFileIsReplacedAndStaysReadOnly) {
    prepare();
    std::string path = app() + "\\config.bin";
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_EQ(loadAndScan(), uint32_t(SCAN_WORK_TO_DO));
    EXPECT_EQ(updater.readOnlyFound, 1u);
    runSteps();
    EXPECT_EQ(updater.resultMessage, 0);
    EXPECT_EQ(installed("config.bin"), expectedAfterUpdate(s, "config.bin"));
    EXPECT_NE(GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
}

// Drive S: is a small tmpfs (scripts/wine-tests.sh). The scan runs while
// the disk has room; a filler then leaves too little for the new file.
struct SmallDiskTest : WineUpdateTest {
    void SetUp() override {
        if (GetFileAttributesA("S:\\") == INVALID_FILE_ATTRIBUTES) GTEST_SKIP() << "no small drive S: here";
        root = "S:\\zorvat";
        std::filesystem::remove_all(root);
        std::filesystem::create_directories(root);
    }
    void TearDown() override {
        WineUpdateTest::TearDown();
        std::error_code ignored;
        std::filesystem::remove_all("S:\\zorvat", ignored);
        std::filesystem::remove("S:\\filler", ignored);
    }
    // Fills the drive until about `left` bytes remain.
    void fillLeaving(uint64_t left) {
        ULARGE_INTEGER available, total, free;
        ASSERT_TRUE(GetDiskFreeSpaceExA("S:\\", &available, &total, &free));
        uint64_t size = available.QuadPart > left ? available.QuadPart - left : 0;
        HANDLE filler = CreateFileA("S:\\filler", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(filler, INVALID_HANDLE_VALUE);
        std::vector<char> block(4096, 0);
        for (uint64_t done = 0; done + block.size() <= size; done += block.size()) {
            DWORD put = 0;
            if (!WriteFile(filler, block.data(), static_cast<DWORD>(block.size()), &put, nullptr) || put == 0) break;
        }
        CloseHandle(filler);
    }
};

TEST_F(SmallDiskTest, DiskFullDuringAPatch) {
    prepare();
    ASSERT_EQ(loadAndScan(), uint32_t(SCAN_WORK_TO_DO));
    fillLeaving(40 * 1024);   // app.exe's new version is about 158 KB
    runSteps();
    EXPECT_EQ(updater.resultMessage, 22);
    EXPECT_EQ(installed("app.exe"), s.oldFiles.at("app.exe"));
    EXPECT_FALSE(temporaryFilesLeft());
}

TEST_F(SmallDiskTest, DiskFullDuringAWholeWrite) {
    s.oldFiles["app.exe"] = s.newFiles["app.exe"];   // nothing to do for app.exe: readme.txt comes first
    prepare();
    ASSERT_EQ(loadAndScan(), uint32_t(SCAN_WORK_TO_DO));
    fillLeaving(0);   // readme.txt's new version, 4000 bytes, finds no room at all
    runSteps();
    EXPECT_EQ(updater.resultMessage, 23);
    EXPECT_EQ(std::string(updater.messageArg), app() + "\\data\\readme.txt");
    EXPECT_EQ(installed("data\\readme.txt"), s.oldFiles.at("data\\readme.txt"));
    EXPECT_FALSE(temporaryFilesLeft());
}

}  // namespace
