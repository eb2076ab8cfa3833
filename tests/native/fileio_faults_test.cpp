// The POSIX backend's injected faults give the result codes a full disk and
// a failing disk give on Windows.
#include <gtest/gtest.h>

#include "app/fileio.h"
#include "app/platform_posix.h"
#include "tests/support/testfiles.h"

namespace {

TEST(FileIoFaults, ShortAndFailedWritesHaveTheirOwnCodes) {
    TempFolder folder;
    FileHandle file = createAlways(folder.file("out").c_str());
    ASSERT_NE(file, NO_FILE);
    posixFaults.writeBudget = 5;
    EXPECT_EQ(writeAll(file, "0123456789", 10), WRITE_SHORT);
    EXPECT_EQ(writeAll(file, "x", 1), WRITE_SHORT);
    posixFaults = PosixFaults();
    posixFaults.failNextWrite = true;
    EXPECT_EQ(writeAll(file, "abc", 3), WRITE_FAILED);
    EXPECT_EQ(writeAll(file, "abc", 3), 0);
    posixFaults = PosixFaults();
    closeFile(file);
    EXPECT_EQ(readFile(folder.file("out")).size(), 8u);
}

TEST(FileIoFaults, FailedAllocationLeavesNull) {
    posixFaults.failAllocations = 1;
    char* block = reinterpret_cast<char*>(1);
    EXPECT_FALSE(allocateBuffer(16, block));
    EXPECT_EQ(block, nullptr);
    EXPECT_TRUE(allocateBuffer(16, block));
    releaseBuffer(block);
    posixFaults = PosixFaults();
}

}  // namespace
