// Locating the installed application from the registry, an INI entry or
// the default folder's macro (POSIX backend, registry from its table).
#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <filesystem>
#include <fstream>

#include "app/platform_posix.h"
#include "app/state.h"
#include "engine/locate.h"
#include "tests/support/testfiles.h"
#include "tests/support/windowspaths.h"

namespace {

char* owned(const std::string& text) {
    char* copy = static_cast<char*>(malloc(text.size() + 1));
    memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

struct LocateTest : ::testing::Test {
    TempFolder folder;
    std::string base = windowsForm(folder.path);
    char savedCwd[PATH_MAX];

    void SetUp() override {
        ASSERT_NE(getcwd(savedCwd, sizeof savedCwd), nullptr);
        resetUpdaterState();
        posixSystem = PosixSystem();
        std::filesystem::create_directories(folder.path + "/Program Files/App");
        std::filesystem::create_directories(folder.path + "/Windows");
    }
    void TearDown() override {
        for (char** text : {&updater.regSubkey, &updater.regValue, &updater.iniFile, &updater.iniSection,
                            &updater.iniKey}) {
            free(*text);
            *text = nullptr;
        }
        posixSystem = PosixSystem();
        EXPECT_EQ(chdir(savedCwd), 0);
    }
    void useRegistry(uint32_t root, const char* subkey, const char* value) {
        updater.regRoot = root;
        updater.regSubkey = owned(subkey);
        if (value) updater.regValue = owned(value);
    }
    void useIni(const std::string& file, const char* section, const char* key) {
        updater.iniFile = owned(file);
        updater.iniSection = owned(section);
        updater.iniKey = owned(key);
    }
    void setDefault(const std::string& text) { copyText(updater.targetDir, text.c_str(), PATH_CAPACITY); }
};

// What the registry value says, and the folder it leads to.
TEST_F(LocateTest, RegistryValueBecomesTheExistingFolderWithItsStoredNames) {
    std::string app = base + "\\Program Files\\App";
    struct Case {
        const char* name;
        std::string value;
        std::string expected;
    } cases[] = {
        {"other letter case", base + "\\program files\\APP", app},
        {"a subfolder that does not exist", app + "\\bin", app},
        {"shortened a character at a time", base + "\\Program Files\\Apps", app},
        {"trailing backslash", app + "\\", app},
        {"nothing of it exists", "no-such-folder\\x", ""},   // relative to a folder without it
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        free(updater.regSubkey);
        free(updater.regValue);
        resetUpdaterState();
        posixSystem.registry["2\\Software\\Vendor\\App"]["InstallDir"] = c.value;
        useRegistry(2, "Software\\Vendor\\App", "InstallDir");
        setDefault("#Program Files#\\Ignored");
        ASSERT_EQ(chdir(folder.path.c_str()), 0);
        locateInstalledApplication();
        EXPECT_EQ(std::string(updater.targetDir), c.expected);
    }
}

TEST_F(LocateTest, DefaultValueAndRootSelectors) {
    std::string app = base + "\\Program Files\\App";
    posixSystem.registry["1\\Software\\Vendor"][""] = app;   // current user, default value
    useRegistry(7, "Software\\Vendor", nullptr);             // any other root is the current user's
    locateInstalledApplication();
    EXPECT_EQ(std::string(updater.targetDir), app);
}

TEST_F(LocateTest, KeyWithoutTheValueKeepsTheDefaultUnexpanded) {
    posixSystem.registry["2\\Software\\Microsoft\\Windows\\CurrentVersion"]["ProgramFilesDir"] =
        base + "\\Program Files";
    posixSystem.registry["2\\Software\\Vendor"]["Other"] = "x";
    useRegistry(2, "Software\\Vendor", "InstallDir");
    setDefault("#Program Files#\\App");
    ASSERT_EQ(chdir(folder.path.c_str()), 0);   // nothing of the text names a folder here
    locateInstalledApplication();
    EXPECT_EQ(std::string(updater.targetDir), "");
}

TEST_F(LocateTest, MissingKeyExpandsTheMacroAndIgnoresTheIni) {
    posixSystem.registry["2\\Software\\Microsoft\\Windows\\CurrentVersion"]["ProgramFilesDir"] =
        base + "\\Program Files";
    std::ofstream(folder.path + "/app.ini") << "[Setup]\nFolder=" << base << "\\Windows\n";
    useRegistry(2, "Software\\Absent", "InstallDir");
    useIni(base + "\\app.ini", "Setup", "Folder");
    setDefault("#program files#\\Vendor\\App");
    locateInstalledApplication();
    EXPECT_EQ(std::string(updater.targetDir), base + "\\Program Files\\Vendor\\App");   // no folder test
}

TEST_F(LocateTest, IniEntryOrTheDefaultAsItsFallback) {
    std::ofstream(folder.path + "/app.ini") << "; settings\n[Other]\nFolder=wrong\n[ setup ]\n folder = "
                                            << base << "\\program files\\app\\bin \n";
    useIni(base + "\\app.ini", "Setup", "Folder");
    setDefault("#Windows#");
    locateInstalledApplication();
    EXPECT_EQ(std::string(updater.targetDir), base + "\\Program Files\\App");

    // A key the file does not hold: the default is the text tested.
    free(updater.iniKey);
    updater.iniKey = owned("Absent");
    setDefault(base + "\\Windows\\");
    locateInstalledApplication();
    EXPECT_EQ(std::string(updater.targetDir), base + "\\Windows");
}

TEST_F(LocateTest, MacrosWithoutAnySource) {
    posixSystem.windowsDir = "C:\\WINDOWS";
    posixSystem.systemDir = "C:\\WINDOWS\\SYSTEM\\";
    struct Case {
        const char* given;
        const char* expected;
    } cases[] = {
        {"#Windows#", "C:\\WINDOWS\\"},
        {"#WINDOWS#Fonts", "C:\\WINDOWS\\Fonts"},
        {"#System#\\Drivers", "C:\\WINDOWS\\SYSTEM\\Drivers"},
        {"#Program Files#\\App", "App"},   // no ProgramFilesDir value: expands to nothing
        {"#Other#\\App", "App"},
        {"#Unclosed\\App", "#Unclosed\\App"},
        {"D:\\Games\\App", "D:\\Games\\App"},   // not a macro: left exactly as it is
        {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.given);
        resetUpdaterState();
        setDefault(c.given);
        locateInstalledApplication();
        EXPECT_STREQ(updater.targetDir, c.expected);
    }
}

TEST_F(LocateTest, LongExpansionIsCutToThePathBuffer) {
    posixSystem.windowsDir = std::string(250, 'w');
    setDefault("#Windows#\\" + std::string(100, 'r'));
    locateInstalledApplication();
    EXPECT_EQ(strlen(updater.targetDir), size_t(PATH_CAPACITY - 1));
    EXPECT_EQ(std::string(updater.targetDir).substr(0, 251), std::string(250, 'w') + "\\");
}

TEST_F(LocateTest, CanonicalizeLeavesUnknownPathsAlone) {
    char path[PATH_CAPACITY];
    std::string missing = base + "\\program files\\absent\\x";
    copyText(path, missing.c_str(), PATH_CAPACITY);
    canonicalizeFolder(path);
    EXPECT_EQ(std::string(path), missing);
    std::string known = base + "\\PROGRAM FILES\\app\\";
    copyText(path, known.c_str(), PATH_CAPACITY);
    canonicalizeFolder(path);
    EXPECT_EQ(std::string(path), base + "\\Program Files\\App");
}

}  // namespace
