// The real updater image, started as a user would start it, on packages
// made by the package writer: exit codes, the incomplete-package notice,
// and the single-instance check.
#include <gtest/gtest.h>

#include "builder/cataloguewriter.h"
#include "builder/packagewriter.h"
#include "package/format.h"
#include "tests/support/testfiles.h"
#include "tests/win32/compressed_table.h"
#include "tests/win32/driver.h"

namespace {

const std::string stubPath = windowsPathOf(STUB_IMAGE_POSIX_PATH);
const char NOTICE[] = "This update file is not complete. Please download it again.";

PackageWriter samplePackage() {
    PackageWriter w;
    w.addValue32(TAG_DISPLAY_FLAGS, 0);
    w.addText(TAG_DEFAULT_DIR, "C:\\Program Files\\Sample", true);
    std::vector<std::vector<std::string>> tables(8, std::vector<std::string>{"page"});
    tables[6].assign(34, "");
    tables[6][0] = "Sample Update";
    tables[6][33] = NOTICE;
    w.addStringTables(tables);
    w.addPayload(Bytes(300, 0x5A));
    return w;
}

struct ImageTest : ::testing::Test {
    TempFolder folder;

    DWORD runWithPackage(const Bytes& package, DWORD timeoutMs = 20000) {
        std::string path = folder.file("package.exe");
        writeFile(path, package);
        RunningProgram program;
        EXPECT_TRUE(startProgram("\"" + stubPath + "\" /S \"" + path + "\"", program));
        return waitForExit(program, timeoutMs);
    }
};

TEST_F(ImageTest, CompletePackageRunsToTheEndWithZero) {
    EXPECT_EQ(runWithPackage(samplePackage().finish({})), 0u);
}

TEST_F(ImageTest, UpdateExecutableReadsItsOwnPackage) {
    // The product's form: the image padded to 64 KiB with the package behind.
    std::string path = folder.file("update.exe");
    writeFile(path, samplePackage().finish(readFile(STUB_IMAGE_POSIX_PATH)));
    RunningProgram program;
    ASSERT_TRUE(startProgram("\"" + path + "\"", program));
    EXPECT_EQ(waitForExit(program, 20000), 0u);
}

TEST_F(ImageTest, MissingOrUnreadablePackageEndsWithMinusOneSilently) {
    RunningProgram missing;
    ASSERT_TRUE(startProgram("\"" + stubPath + "\" /S \"" + folder.file("absent.exe") + "\"", missing));
    EXPECT_EQ(waitForExit(missing, 20000), DWORD(-1));

    Bytes cutBetweenRecords = samplePackage().finish({});
    cutBetweenRecords.resize(65536 + 12);   // after the first record, before any payload
    EXPECT_EQ(runWithPackage(cutBetweenRecords), DWORD(-1));

    // The image alone reads its own file: nothing follows the image.
    RunningProgram bare;
    ASSERT_TRUE(startProgram("\"" + stubPath + "\"", bare));
    EXPECT_EQ(waitForExit(bare, 20000), DWORD(-1));
}

// An appended byte or a cut-off payload: the notice, then -1.
TEST_F(ImageTest, IncompletePackageShowsTheNoticeThenEndsWithMinusOne) {
    Bytes appended = samplePackage().finish({});
    appended.push_back(0);
    Bytes cut = samplePackage().finish({});
    cut.pop_back();
    for (const Bytes& file : {appended, cut}) {
        std::string path = folder.file("incomplete.exe");
        writeFile(path, file);
        RunningProgram program;
        ASSERT_TRUE(startProgram("\"" + stubPath + "\" /S \"" + path + "\"", program));
        HWND box = waitForWindow(program.processId, "#32770", 20000);
        ASSERT_NE(box, nullptr) << "no message box";
        EXPECT_EQ(windowText(box), "Sample Update");   // the program's title as caption
        EXPECT_EQ(messageBoxText(box), NOTICE);
        EXPECT_EQ(GetWindow(box, GW_OWNER), nullptr);   // no window exists yet
        PostMessageA(box, WM_COMMAND, IDOK, 0);
        EXPECT_EQ(waitForExit(program, 20000), DWORD(-1));
    }
}

// The catalogue is checked once, at loading: a damaged one ends the run
// with -1 before any window, like any other damaged record.
TEST_F(ImageTest, CatalogueIsCheckedWhenThePackageLoads) {
    EntryPlan entry;
    entry.relativePath = "bin\\app.exe";
    entry.knownVersions.push_back({0x1234, 100, 0, 0});
    Bytes sound = writeCatalogue({entry});
    Bytes leftover = sound;
    leftover.push_back(0);
    Bytes pastTheBody = sound;
    pastTheBody[4] = 0xFF;   // the entry's length runs past the catalogue
    struct Case {
        const char* name;
        Bytes catalogue;
        DWORD exitCode;
    } cases[] = {{"sound", sound, 0}, {"a byte left over", leftover, DWORD(-1)},
                 {"an entry past the body", pastTheBody, DWORD(-1)}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PackageWriter w;
        w.addBody(TAG_CATALOGUE, c.catalogue, true);
        w.addPayload(Bytes(10, 1));
        EXPECT_EQ(runWithPackage(w.finish({})), c.exitCode);
    }
}

TEST(Image, CarriesItsIconAsResource800) {
    HMODULE image = LoadLibraryExA(stubPath.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(image, nullptr);
    EXPECT_NE(FindResourceA(image, MAKEINTRESOURCEA(800), reinterpret_cast<LPCSTR>(RT_GROUP_ICON)), nullptr);
    FreeLibrary(image);
}

// Table 6 as the builder compresses it (dynamic Huffman blocks): the image's
// decompressor, built for the 486, must give back the notice and the title.
TEST_F(ImageTest, NoticeComesFromADynamicHuffmanTable) {
    Bytes tables;
    appendU16(tables, 7);
    for (int t = 0; t < 6; ++t) {
        Bytes empty = encodeStringTable({});
        appendU32(tables, static_cast<uint32_t>(empty.size()));
        Bytes stream = storeStream(empty);
        tables.insert(tables.end(), stream.begin(), stream.end());
    }
    appendU32(tables, COMPRESSED_TABLE_UNPACKED_SIZE);
    tables.insert(tables.end(), std::begin(COMPRESSED_TABLE_STREAM), std::end(COMPRESSED_TABLE_STREAM));
    PackageWriter w;
    w.addRaw(TAG_STRING_TABLES, 0, tables);
    w.addPayload(Bytes(10, 1));
    Bytes file = w.finish({});
    file.push_back(0);

    std::string path = folder.file("dynamic.exe");
    writeFile(path, file);
    RunningProgram program;
    ASSERT_TRUE(startProgram("\"" + stubPath + "\" /S \"" + path + "\"", program));
    HWND box = waitForWindow(program.processId, "#32770", 20000);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(windowText(box), "Sample Update");
    EXPECT_EQ(messageBoxText(box), NOTICE);
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(waitForExit(program, 20000), DWORD(-1));
}

LRESULT CALLBACK plainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcA(window, message, wParam, lParam);
}

// A first instance is any top-level window of the class: the test makes one,
// minimised, and the second instance must restore it and end at once.
TEST_F(ImageTest, SecondInstanceBringsTheFirstForwardAndEnds) {
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = plainWindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "ZorvatClass";
    ASSERT_NE(RegisterClassA(&windowClass), 0);
    HWND first = CreateWindowExA(0, "ZorvatClass", "first", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200, nullptr,
                                 nullptr, windowClass.hInstance, nullptr);
    ASSERT_NE(first, nullptr);
    ShowWindow(first, SW_MINIMIZE);
    pumpMessages(50);
    ASSERT_TRUE(IsIconic(first));

    // A package that would otherwise show the notice: the second instance
    // must not get that far.
    Bytes appended = samplePackage().finish({});
    appended.push_back(0);
    EXPECT_EQ(runWithPackage(appended, 10000), 0u);
    pumpMessages(50);
    EXPECT_FALSE(IsIconic(first));

    DestroyWindow(first);
    UnregisterClassA("ZorvatClass", windowClass.hInstance);
}

}  // namespace
