// The file and memory operations, on whichever backend this test is built
// with: natively the POSIX one, under Wine the Win32 one.
#include <gtest/gtest.h>

#include <cstring>

#include "app/fileio.h"
#include "builder/packagewriter.h"
#include "tests/support/testfiles.h"

namespace {

struct FileIoTest : ::testing::Test {
    TempFolder folder;
    std::string path = folder.file("data.bin");
    void SetUp() override { writeFile(path, Bytes{'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'}); }
};

TEST_F(FileIoTest, ReadsTellShortAndExactApart) {
    FileHandle file = openExisting(path.c_str(), 0);
    ASSERT_NE(file, NO_FILE);
    char buffer[8] = {};
    EXPECT_EQ(seekFileTo(file, 7), 7u);
    EXPECT_EQ(readExact(file, buffer, 4), READ_FAILED);   // 3 bytes left, asked for 4
    seekFileTo(file, 7);
    EXPECT_EQ(readSome(file, buffer, 4), 3u);
    EXPECT_EQ(std::memcmp(buffer, "789", 3), 0);
    EXPECT_EQ(readSome(file, buffer, 4), 0u);              // at the end
    seekFileTo(file, 2);
    EXPECT_EQ(readExact(file, buffer, 4), READ_OK);
    EXPECT_EQ(std::memcmp(buffer, "2345", 4), 0);
    EXPECT_EQ(tellFile(file), 6u);
    EXPECT_EQ(seekFileBy(file, -3), 3u);
    EXPECT_TRUE(closeFile(file));
}

TEST_F(FileIoTest, FileSizeLeavesThePositionWhereItWas) {
    FileHandle file = openExisting(path.c_str(), 0);
    seekFileTo(file, 4);
    EXPECT_EQ(fileSize(file), 10u);
    EXPECT_EQ(tellFile(file), 4u);
    closeFile(file);
}

TEST_F(FileIoTest, CreateAlwaysTruncatesAndWriteAllWrites) {
    FileHandle file = createAlways(path.c_str());
    ASSERT_NE(file, NO_FILE);
    EXPECT_EQ(fileSize(file), 0u);
    EXPECT_EQ(writeAll(file, "abc", 3), 0);
    closeFile(file);
    EXPECT_EQ(readFile(path), (Bytes{'a', 'b', 'c'}));
}

TEST_F(FileIoTest, OpenModesAndMissingFiles) {
    EXPECT_EQ(openExisting(folder.file("absent").c_str(), 0), NO_FILE);
    EXPECT_EQ(openExisting(folder.file("absent").c_str(), 2), NO_FILE);
    EXPECT_EQ(createAlways(folder.file("no-such-folder/x").c_str()), NO_FILE);
    FileHandle readWrite = openExisting(path.c_str(), 2);
    ASSERT_NE(readWrite, NO_FILE);
    EXPECT_EQ(writeAll(readWrite, "XY", 2), 0);
    seekFileTo(readWrite, 0);
    char buffer[3] = {};
    EXPECT_EQ(readExact(readWrite, buffer, 2), READ_OK);
    EXPECT_EQ(std::memcmp(buffer, "XY", 2), 0);
    closeFile(readWrite);
    FileHandle writeOnly = openExisting(path.c_str(), 1);
    ASSERT_NE(writeOnly, NO_FILE);
    EXPECT_EQ(readSome(writeOnly, buffer, 2), 0u);   // not opened for reading
    closeFile(writeOnly);
}

TEST(Memory, AllocationsAndReleaseTwice) {
    uint8_t* zeroed = nullptr;
    ASSERT_TRUE(allocateZeroed(4096, zeroed));
    for (int i = 0; i < 4096; ++i) ASSERT_EQ(zeroed[i], 0);
    releaseBuffer(zeroed);
    EXPECT_EQ(zeroed, nullptr);
    releaseBuffer(zeroed);   // a null variable: nothing happens
    char* plain = nullptr;
    ASSERT_TRUE(allocateBuffer(10, plain));
    releaseBuffer(plain);
    EXPECT_EQ(plain, nullptr);
}

TEST(Memory, MoveHandlesOverlapBothWays) {
    char forward[] = "abcdefgh";
    moveBytes(forward + 2, forward, 5);
    EXPECT_STREQ(forward, "ababcdeh");
    char backward[] = "abcdefgh";
    moveBytes(backward, backward + 2, 5);
    EXPECT_STREQ(backward, "cdefgfgh");
    char text[4];
    EXPECT_EQ(copyText(text, "longer", sizeof text), 3u);
    EXPECT_STREQ(text, "lon");
}

}  // namespace
