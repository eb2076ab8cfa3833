// Locating the application and scanning its files against the real system
// under Wine: registry values set with reg.exe, INI files read by
// GetPrivateProfileStringA, short names, read-only attributes, free space.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <filesystem>

#include "app/state.h"
#include "builder/cataloguewriter.h"
#include "engine/catalogue.h"
#include "engine/locate.h"
#include "engine/scan.h"
#include "package/format.h"
#include "tests/support/scripted_ui.h"
#include "tests/support/testfiles.h"
#include "tests/win32/driver.h"

namespace {

char* owned(const std::string& text) {
    char* copy = static_cast<char*>(malloc(text.size() + 1));
    memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

void runReg(const std::string& arguments) {
    RunningProgram reg;
    ASSERT_TRUE(startProgram("reg " + arguments, reg));
    ASSERT_EQ(waitForExit(reg, 20000), 0u) << arguments;
}

std::string lowerCase(std::string text) {
    for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

struct WineLocateTest : ::testing::Test {
    TempFolder folder;
    std::string app = folder.path + "\\Program Files Test\\Application Folder";
    void SetUp() override {
        resetUpdaterState();
        resetScriptedUi();
        std::filesystem::create_directories(app);
    }
    void TearDown() override {
        for (char** text : {&updater.regSubkey, &updater.regValue, &updater.iniFile, &updater.iniSection,
                            &updater.iniKey}) {
            free(*text);
            *text = nullptr;
        }
        releaseBuffer(updater.catalogueData);
        SetCurrentDirectoryA("C:\\");
    }
};

// A short name in lower case, as an installer may have written it, comes
// back as the folder's stored long names; the drive letter keeps its case.
TEST_F(WineLocateTest, RegistryShortNameBecomesTheStoredLongNames) {
    char shortName[MAX_PATH];
    ASSERT_GT(GetShortPathNameA(app.c_str(), shortName, MAX_PATH), 0u);
    std::string value = lowerCase(shortName);
    ASSERT_NE(value, lowerCase(app));   // really a short form
    runReg("add \"HKLM\\Software\\Zorvat Test\\Located\" /v InstallDir /d \"" + value + "\" /f");
    updater.regRoot = 2;
    updater.regSubkey = owned("Software\\Zorvat Test\\Located");
    updater.regValue = owned("InstallDir");
    locateInstalledApplication();
    EXPECT_EQ(std::string(updater.targetDir), value.substr(0, 1) + app.substr(1));
}

TEST_F(WineLocateTest, DefaultValueOfAKeyAndAMissingKey) {
    runReg("add \"HKCU\\Software\\Zorvat Test\\Default\" /ve /d \"" + app + "\\bin\" /f");
    updater.regRoot = 9;   // any other root is the current user's
    updater.regSubkey = owned("Software\\Zorvat Test\\Default");
    locateInstalledApplication();
    EXPECT_EQ(std::string(updater.targetDir), app);

    // A key that does not exist: the default folder's macro, from the
    // prefix's real ProgramFilesDir.
    free(updater.regSubkey);
    updater.regSubkey = owned("Software\\Zorvat Test\\Absent");
    copyText(updater.targetDir, "#Program Files#\\Vendor", PATH_CAPACITY);
    locateInstalledApplication();
    EXPECT_STREQ(updater.targetDir, "C:\\Program Files\\Vendor");
}

TEST_F(WineLocateTest, IniEntryThroughTheSystem) {
    std::string ini = folder.path + "\\zorvat.ini";
    ASSERT_TRUE(WritePrivateProfileStringA("Setup", "Folder", (app + "\\data").c_str(), ini.c_str()));
    WritePrivateProfileStringA(nullptr, nullptr, nullptr, ini.c_str());
    updater.iniFile = owned(ini);
    updater.iniSection = owned("setup");
    updater.iniKey = owned("FOLDER");
    locateInstalledApplication();
    EXPECT_EQ(std::string(updater.targetDir), app);
}

TEST_F(WineLocateTest, WindowsAndSystemMacros) {
    copyText(updater.targetDir, "#system#", PATH_CAPACITY);
    locateInstalledApplication();
    EXPECT_STREQ(updater.targetDir, "C:\\windows\\system32\\");
}

// One entry whose installed file is a known version and read-only.
TEST_F(WineLocateTest, ReadOnlyKnownVersionKeepsItsAttribute) {
    Bytes old(5000, 'o');
    writeFile(app + "\\tool.dll", old);
    std::string path = app + "\\tool.dll";
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));

    EntryPlan entry;
    entry.relativePath = "tool.dll";
    entry.newSize = 6000;
    entry.newChecksum = 1;
    entry.knownVersions.push_back({checksumBytes(old, {}), 5000, 0, 0});
    Bytes catalogue = writeCatalogue({entry});
    ASSERT_TRUE(allocateBuffer(static_cast<uint32_t>(catalogue.size()), updater.catalogueData));
    memcpy(updater.catalogueData, catalogue.data(), catalogue.size());
    updater.entryCount = 1;
    updater.firstEntry = reinterpret_cast<FileEntry*>(updater.catalogueData + 4);
    updater.packageKey = PACKAGE_KEY;
    copyText(updater.targetDir, app.c_str(), PATH_CAPACITY);

    EXPECT_EQ(scanInstalledFiles(), uint32_t(SCAN_WORK_TO_DO));
    EXPECT_EQ(updater.firstEntry->matchIndex, 0);
    EXPECT_EQ(updater.readOnlyFound, 1u);
    DWORD attributes = GetFileAttributesA(path.c_str());
    EXPECT_NE(attributes & FILE_ATTRIBUTE_READONLY, 0u);
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(WineLocateTest, FreeSpaceFromTheSystem) {
    DWORD sectors, bytes, freeClusters, total;
    ASSERT_TRUE(GetDiskFreeSpaceA("C:\\", &sectors, &bytes, &freeClusters, &total));
    uint64_t expected = ((uint64_t(sectors) * bytes) >> 8) * freeClusters >> 2;
    uint32_t reported = freeSpaceKiB((folder.path + "\\x").c_str());
    EXPECT_EQ(reported, expected >= SPACE_UNKNOWN ? SPACE_UNKNOWN - 1 : expected);
    EXPECT_EQ(clusterSizeKiB("C:\\anything"), (sectors * bytes + 1023) >> 10);
    EXPECT_EQ(freeSpaceKiB("Q:\\no drive"), uint32_t(SPACE_UNKNOWN));
    EXPECT_EQ(clusterSizeKiB("Q:\\no drive"), uint32_t(DEFAULT_CLUSTER_KIB));
}

}  // namespace
