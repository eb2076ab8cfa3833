// The Win32 backend's access and sharing, which decide whether the updater
// can read a file another program holds and whether it may replace it.
#include <gtest/gtest.h>
#include <windows.h>

#include "app/fileio.h"
#include "builder/packagewriter.h"
#include "tests/support/testfiles.h"

namespace {

struct ShareTest : ::testing::Test {
    TempFolder folder;
    std::string path = folder.file("held.bin");
    void SetUp() override { writeFile(path, Bytes(16, 1)); }

    HANDLE hold(DWORD access, DWORD sharing) {
        return CreateFileA(path.c_str(), access, sharing, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
};

// Reading shares only reading: a file that another program is writing, even
// one that shares reading, is refused rather than read half-written; one
// that another program only reads is opened.
TEST_F(ShareTest, ReadingWaitsForWritersButNotForReaders) {
    HANDLE writer = hold(GENERIC_WRITE, FILE_SHARE_READ);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(openExisting(path.c_str(), 0), NO_FILE);
    CloseHandle(writer);

    HANDLE reader = hold(GENERIC_READ, FILE_SHARE_READ);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    FileHandle mine = openExisting(path.c_str(), 0);
    EXPECT_NE(mine, NO_FILE);
    if (mine != NO_FILE) closeFile(mine);
    CloseHandle(reader);
}

TEST_F(ShareTest, ModesRefuseWhatTheyDoNotShare) {
    HANDLE reader = hold(GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_EQ(openExisting(path.c_str(), 1), NO_FILE);   // writing grants no sharing
    EXPECT_EQ(createAlways(path.c_str()), NO_FILE);
    FileHandle both = openExisting(path.c_str(), 2);   // the reader shares writing: allowed
    EXPECT_NE(both, NO_FILE);
    if (both != NO_FILE) closeFile(both);
    CloseHandle(reader);

    FileHandle exclusive = openExisting(path.c_str(), 1);
    ASSERT_NE(exclusive, NO_FILE);
    EXPECT_EQ(hold(GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE), INVALID_HANDLE_VALUE);
    closeFile(exclusive);

    FileHandle mine = openExisting(path.c_str(), 0);   // read, shares reading only
    ASSERT_NE(mine, NO_FILE);
    EXPECT_EQ(hold(GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE), INVALID_HANDLE_VALUE);
    HANDLE second = hold(GENERIC_READ, FILE_SHARE_READ);
    EXPECT_NE(second, INVALID_HANDLE_VALUE);
    CloseHandle(second);
    closeFile(mine);
}

TEST_F(ShareTest, CloseReportsTheSystemResult) {
    FileHandle file = openExisting(path.c_str(), 0);
    ASSERT_NE(file, NO_FILE);
    EXPECT_TRUE(closeFile(file));
}

}  // namespace
