// `zorvat build`: planning from folders, the project file, refusals, and an
// update that brings every old folder to the new one.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "app/platform_posix.h"
#include "builder/build.h"
#include "builder/project.h"
#include "engine/catalogue.h"
#include "tests/support/testfiles.h"

namespace fs = std::filesystem;

namespace {

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes program(uint32_t seed, size_t size) {
    Bytes data(size);
    for (size_t i = 0; i < size; ++i) {
        seed = seed * 1103515245u + 12345u;
        data[i] = static_cast<uint8_t>((seed >> 16) % 7 == 0 ? seed >> 8 : i / 64);
    }
    return data;
}

struct BuildTest : ::testing::Test {
    TempFolder folder;
    std::string root = folder.path;

    void put(const std::string& relative, const Bytes& contents) {
        fs::path path = fs::path(root) / relative;
        fs::create_directories(path.parent_path());
        writeFile(path.string(), contents);
    }
    Project project() {
        Project p;
        p.newFolder = root + "/new";
        p.oldFolders = {root + "/v1", root + "/v2"};
        p.output = root + "/out/update.exe";
        p.image = root + "/stub.exe";
        p.title = "Sample";
        p.level = 6;
        return p;
    }
    void SetUp() override {
        writeFile(root + "/stub.exe", text("MZ image"));
        fs::create_directories(root + "/out");
        Bytes tool1 = program(1, 200000), tool2 = tool1, toolNew = tool1;
        tool2[1000] ^= 1;
        toolNew[5000] ^= 1;
        toolNew.insert(toolNew.begin() + 9000, 100, 7);
        for (const char* v : {"v1", "v2"}) {
            put(std::string(v) + "/same.txt", text("unchanged everywhere\n"));
            put(std::string(v) + "/removed.txt", text("only the old versions have this\n"));
            put(std::string(v) + "/Docs/Readme.txt", text(std::string("read me, version ") + v + "\n"));
        }
        put("v1/tool.exe", tool1);
        put("v2/tool.exe", tool2);
        put("v1/shared.dat", program(3, 30000));   // the same old content in both old folders
        put("v2/shared.dat", program(3, 30000));
        put("new/shared.dat", program(4, 30000));   // wholly different: written whole
        put("new/same.txt", text("unchanged everywhere\n"));
        put("new/tool.exe", toolNew);
        put("new/docs/README.TXT", text("read me, version 3, with more to read\n"));   // other case, same file
        put("new/sub/added.txt", text("new in version 3\n"));
    }
};

TEST_F(BuildTest, PlansEachKindOfFile) {
    BuildResult result = buildUpdate(project());
    std::map<std::string, std::pair<std::string, size_t>> actions;
    for (const BuildRow& row : result.rows) actions[row.path] = {row.action, row.knownVersions};
    EXPECT_EQ(result.unchanged, 1u);   // same.txt
    EXPECT_EQ(actions.count("same.txt"), 0u);
    EXPECT_EQ(actions["tool.exe"], std::make_pair(std::string("patch"), size_t(2)));
    EXPECT_EQ(actions["shared.dat"], std::make_pair(std::string("whole"), size_t(1)));
    EXPECT_EQ(actions["docs\\README.TXT"].second, 2u);   // paired with Docs\Readme.txt of both
    EXPECT_EQ(actions["sub\\added.txt"], std::make_pair(std::string("add"), size_t(0)));
    EXPECT_EQ(actions["removed.txt"], std::make_pair(std::string("delete"), size_t(1)));
    EXPECT_EQ(result.files, std::vector<std::string>{root + "/out/update.exe"});
    Bytes update = readFile(root + "/out/update.exe");
    EXPECT_EQ(Bytes(update.begin(), update.begin() + 8), text("MZ image"));
    EXPECT_EQ(update[8], 0);   // padded to 65536
}

// Built from folders, applied to a copy of each old folder: the new folder.
TEST_F(BuildTest, UpdateBringsEveryOldFolderToTheNewOne) {
    Project p = project();
    p.volumeSize = 65536 + 6000;   // the update file and several volume files
    BuildResult result = buildUpdate(p);
    EXPECT_GE(result.files.size(), 2u);   // the update file and its volumes
    for (const char* v : {"v1", "v2"}) {
        SCOPED_TRACE(v);
        std::string copy = root + "/installed-" + v;
        fs::copy(root + "/" + v, copy, fs::copy_options::recursive);
        std::string apply = std::string(ZORVAT_PATH) + " apply " + p.output + " " + copy;
        CommandRun first = runCommand(apply);
        EXPECT_EQ(first.exitCode, 0) << first.output;
        for (const auto& item : fs::recursive_directory_iterator(root + "/new")) {
            if (!item.is_regular_file()) continue;
            std::string relative = fs::relative(item.path(), root + "/new").string();
            std::string installed = copy + "/" + relative;
            // The replaced file takes the new version's name, in the folder it was in.
            if (relative == "docs/README.TXT") installed = copy + "/Docs/README.TXT";
            EXPECT_EQ(readFile(installed), readFile(item.path().string())) << relative;
        }
        EXPECT_FALSE(fs::exists(copy + "/removed.txt"));
        CommandRun again = runCommand(apply);
        EXPECT_EQ(again.exitCode, 0);
        EXPECT_NE(again.output.find("up to date already"), std::string::npos) << again.output;
    }
}

TEST_F(BuildTest, RefusesWhatTheUpdaterCannotDo) {
    struct Case {
        const char* name;
        std::function<void(Project&)> change;
        const char* message;
    } cases[] = {
        {"unreadable folder", [&](Project& p) { p.oldFolders.push_back(root + "/absent"); }, "cannot read the folder"},
        {"names differing only in case",
         [&](Project&) {
             put("new/Case.txt", text("a"));
             put("new/case.txt", text("b"));
         },
         "differ only in letter case"},
        {"path too long for the updater",
         [&](Project&) { put("new/" + std::string(120, 'd') + "/" + std::string(140, 'f'), text("x")); },
         "longer than the updater's paths allow"},
        {"volume too small", [&](Project& p) { p.volumeSize = 66000; }, "is too small"},
        {"image too large", [&](Project&) { writeFile(root + "/stub.exe", Bytes(65537, 1)); },
         "larger than the 65536-byte program image"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Project p = project();
        c.change(p);
        try {
            buildUpdate(p);
            ADD_FAILURE() << "no refusal";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
        fs::remove(root + "/new/Case.txt");
        fs::remove(root + "/new/case.txt");
        fs::remove_all(root + "/new/" + std::string(120, 'd'));
        writeFile(root + "/stub.exe", text("MZ image"));
    }
}

TEST_F(BuildTest, ProjectFileSetsEverythingRelativeToItself) {
    std::ofstream(root + "/project.toml") << R"(
title = "Sample"
new = "new"
old = ["v1", "v2"]
output = "out/sample.exe"
image = "stub.exe"
level = 9
volume_size = 0
full_screen = true
default_folder = "#Program Files#\\Sample"
[registry]
root = "HKCU"
key = "Software\\Vendor\\Sample"
value = "InstallDir"
[texts]
"6.0" = "Sample Setup"
[[rules]]
pattern = "**.dat"
missing = "fail"
unmatched = "search"
alternate_subfolder = "Old"
[[rules.regions]]
pattern = "SERIAL="
length = 24
)";
    Project p = readProject(root + "/project.toml");
    EXPECT_EQ(p.newFolder, root + "/new");
    EXPECT_EQ(p.oldFolders, (std::vector<std::string>{root + "/v1", root + "/v2"}));
    EXPECT_EQ(p.output, root + "/out/sample.exe");
    EXPECT_EQ(p.level, 9);
    EXPECT_TRUE(p.fullScreen);
    EXPECT_EQ(*p.registryRoot, uint32_t(ROOT_CURRENT_USER));
    EXPECT_EQ(p.texts.at({6, 0}), "Sample Setup");
    ASSERT_EQ(p.rules.size(), 1u);
    EXPECT_EQ(*p.rules[0].unmatchedAction, UNMATCHED_SEARCH);
    EXPECT_EQ(p.rules[0].regions[0].regionLength, 24u);
    EXPECT_TRUE(p.rules[0].regions[0].carryOver);

    for (const char* bad : {"level = 13", "[registry]\nroot = \"HKXX\"\nkey = \"x\"", "[texts]\n\"9.1\" = \"x\"",
                            "[[rules]]\npattern = \"..\\\\x\"", "title = ", "[[rules]]\npattern = \"*\"\nmissing = \"maybe\""}) {
        std::ofstream(root + "/bad.toml") << bad << "\n";
        EXPECT_THROW(readProject(root + "/bad.toml"), std::runtime_error) << bad;
    }
}

TEST(Glob, MatchesRelativePaths) {
    struct Case {
        const char* pattern;
        const char* path;
        bool matches;
    } cases[] = {
        {"*.dat", "serial.dat", true},   {"*.dat", "sub\\serial.dat", false}, {"**.dat", "sub\\serial.DAT", true},
        {"sub\\*", "SUB\\x.txt", true},  {"sub/?.txt", "sub\\x.txt", true},   {"?.txt", "xy.txt", false},
        {"**", "a\\b\\c", true},         {"a*b*c", "aXbYc", true},            {"a*b*c", "aXbY", false},
    };
    for (const Case& c : cases) EXPECT_EQ(globMatches(c.pattern, c.path), c.matches) << c.pattern << " " << c.path;
}

}  // namespace

namespace {

TEST(VersionResource, NumbersComeFromTheFixedFileInfo) {
    Bytes file(37, 0xCC);
    for (char c : std::string("VS_VERSION_INFO")) file.insert(file.end(), {static_cast<uint8_t>(c), 0});
    file.insert(file.end(), {0, 0});
    while (file.size() % 4) file.push_back(0);
    for (uint32_t field : {0xFEEF04BDu, 0x00010000u, 0x00030002u, 0x00000001u, 0x00040000u, 0x00000005u})
        appendU32(file, field);
    std::array<uint32_t, 4> version{};
    ASSERT_TRUE(readVersionNumbers(file, version));
    EXPECT_EQ(version, (std::array<uint32_t, 4>{0x00030002u, 0x00000001u, 0x00040000u, 0x00000005u}));
    file[file.size() - 24] ^= 1;   // no signature: no version
    EXPECT_FALSE(readVersionNumbers(file, version));
    EXPECT_FALSE(readVersionNumbers(Bytes(10, 0), version));
}

}  // namespace
