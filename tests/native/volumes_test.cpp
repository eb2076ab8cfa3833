// The payload reader over the package file and its volume files, and the
// builder's side of the same layout (splitting, names, volume files).
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/fileio.h"
#include "app/state.h"
#include "app/userinterface.h"
#include "builder/compressor.h"
#include "builder/packagewriter.h"
#include "builder/volumewriter.h"
#include "package/inflater.h"
#include "package/loader.h"
#include "package/texts.h"
#include "package/volumes.h"
#include "tests/support/scripted_ui.h"
#include "tests/support/testfiles.h"
#include "tests/support/windowspaths.h"

namespace {

const char* const INSERT_DISK = "Insert disk %d, then press OK.";
const char* const CONFIRM_CANCEL = "Stop the update?";
const char* const CANCELLED = "The update was stopped.";

std::vector<std::vector<std::string>> stringTables(const std::string& insertDisk = INSERT_DISK) {
    std::vector<std::vector<std::string>> tables(8, std::vector<std::string>{"unused"});
    tables[6].assign(34, "");
    tables[6][0] = "Disk Update";
    tables[6][15] = CONFIRM_CANCEL;
    tables[6][17] = CANCELLED;
    tables[6][32] = insertDisk;
    return tables;
}

// Bytes without a period, so that a byte read twice or skipped shows.
Bytes payloadBytes(size_t size) {
    Bytes bytes(size);
    uint32_t state = 12345;
    for (uint8_t& b : bytes) {
        state = state * 1103515245u + 12345u;
        b = static_cast<uint8_t>(state >> 16);
    }
    return bytes;
}

Bytes slice(const Bytes& bytes, size_t from, size_t count) {
    return Bytes(bytes.begin() + from, bytes.begin() + from + count);
}

struct VolumeTest : ::testing::Test {
    TempFolder folder;
    std::string packageFile;          // the package's path for the test's own file calls
    std::string packagePath;          // the same in Windows form, as the updater holds it
    std::vector<Bytes> parts;

    void SetUp() override { restart(); }
    void TearDown() override {
        restart();
        payloadReader = 0;
    }

    // Back to the start between the cases of a table.
    void restart() {
        if (updater.volumeHandle != NO_FILE) closeFile(updater.volumeHandle);
        releasePackage();
        resetUpdaterState();
        resetScriptedUi();
        whenAsked([] {});
    }

    // Runs action at every message box. A reader that asks again and again
    // whatever the answer ends the test instead of hanging it.
    void whenAsked(std::function<void()> action) {
        scriptedUi.onMessage = [action] {
            if (scriptedUi.messages.size() > 10) throw std::runtime_error("the reader keeps asking");
            action();
        };
    }

    // Writes the package (part 0 and the texts) and one volume file per
    // further part, then loads the package.
    void makeSet(const Bytes& payload, uint32_t firstPart, uint32_t volumePart,
                 const std::string& name = "DISK.EXE", const std::string& insertDisk = INSERT_DISK) {
        parts = splitPayload(payload, firstPart, volumePart);
        packageFile = folder.file(name);
        packagePath = windowsForm(packageFile);
        PackageWriter w;
        w.addStringTables(stringTables(insertDisk));
        w.addPayload(parts[0]);
        writeFile(packageFile, w.finish({}));
        for (uint32_t k = 1; k < parts.size(); ++k) writeVolume(k);
        copyText(updater.modulePath, packagePath.c_str(), PATH_CAPACITY);
        ASSERT_TRUE(loadPackage());
    }

    // Volume k's path as the updater names it, and as the test opens it.
    std::string volumeName(uint32_t k) const { return volumeFileName(packagePath, k); }
    std::string volumeFileOf(uint32_t k) const { return volumeFileName(packageFile, k); }
    void writeVolume(uint32_t k) { writeFile(volumeFileOf(k), volumeFile(parts[k])); }
    void removeVolume(uint32_t k) { std::filesystem::remove(volumeFileOf(k)); }

    // Reads count bytes from where the payload stands, one readPayload call.
    Bytes read(uint32_t count, int expectedResult = 0) {
        Bytes bytes(count);
        uint32_t got = 12345;
        EXPECT_EQ(readPayload(updater.volumeHandle, bytes.data(), count, &got), expectedResult);
        EXPECT_LE(got, count);
        bytes.resize(got <= count ? got : 0);
        return bytes;
    }

    // Reads count bytes however many calls that takes; stops when a call
    // fails or brings nothing.
    Bytes readAll(uint32_t count, uint32_t chunk) {
        Bytes all;
        while (all.size() < count) {
            Bytes more = read(std::min<uint32_t>(chunk, count - static_cast<uint32_t>(all.size())));
            if (more.empty()) break;
            all.insert(all.end(), more.begin(), more.end());
        }
        return all;
    }

    uint32_t partEnd(size_t k) const {
        uint32_t end = 0;
        for (size_t i = 0; i <= k; ++i) end += static_cast<uint32_t>(parts[i].size());
        return end;
    }

    std::vector<std::string> messageTexts() const {
        std::vector<std::string> texts;
        for (const ShownMessage& m : scriptedUi.messages) texts.push_back(m.text);
        return texts;
    }
    std::vector<uint32_t> messageTypes() const {
        std::vector<uint32_t> types;
        for (const ShownMessage& m : scriptedUi.messages) types.push_back(m.type);
        return types;
    }
};

// ---------------------------------------------------------------------------
// Opening, the single-file package

TEST_F(VolumeTest, SingleFilePackageServesEveryOffsetFromItself) {
    Bytes payload = payloadBytes(300);
    makeSet(payload, 300, 100);
    ASSERT_EQ(parts.size(), 1u);
    updater.resultMessage = 20;
    updater.entriesDone = 7;
    updater.doneKiB = 9;

    ASSERT_TRUE(openPayload());
    EXPECT_EQ(updater.payloadOpen, 1u);
    EXPECT_EQ(updater.resultMessage, 0);
    EXPECT_EQ(updater.entriesDone, -1);
    EXPECT_EQ(updater.doneKiB, 0u);
    EXPECT_EQ(updater.nextEntry, updater.firstEntry);
    EXPECT_EQ(read(5), slice(payload, 0, 5)) << "opens at part 0's first data byte";

    for (uint32_t offset : {0u, 1u, 150u, 299u}) {
        SCOPED_TRACE(offset);
        ASSERT_TRUE(seekPayload(offset));
        EXPECT_EQ(updater.volumeRemaining, 300 - offset);
        EXPECT_EQ(read(300 - offset), slice(payload, offset, 300 - offset));
        EXPECT_EQ(updater.volumeRemaining, 0u);
    }
    EXPECT_EQ(updater.volumeNumber, 0);
    EXPECT_EQ(updater.volumePath, packagePath);
    EXPECT_TRUE(scriptedUi.messages.empty());
}

TEST_F(VolumeTest, PackageThatCannotBeOpenedFailsWithItsPath) {
    makeSet(payloadBytes(10), 10, 10);
    std::filesystem::remove(packageFile);
    EXPECT_FALSE(openPayload());
    EXPECT_EQ(updater.resultMessage, 18);
    EXPECT_EQ(updater.messageArg, packagePath);
    EXPECT_EQ(updater.volumeHandle, NO_FILE);
    EXPECT_EQ(updater.payloadOpen, 0u);
}

// ---------------------------------------------------------------------------
// Moving to an offset

TEST_F(VolumeTest, SeekMovesForwardToThePartHoldingTheOffset) {
    Bytes payload = payloadBytes(100);
    struct Case {
        uint32_t offset;
        int32_t volume;
        uint32_t filePosition;
    } cases[] = {
        {40, 1, 4},         // exactly the end of part 0: volume 1's first data byte
        {45, 1, 9},
        {60, 2, 4},         // two parts ahead of part 0
        {99, 3, 4 + 19},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.offset);
        restart();
        makeSet(payload, 40, 20);
        ASSERT_TRUE(openPayload());
        ASSERT_TRUE(seekPayload(c.offset));
        EXPECT_EQ(updater.volumeNumber, c.volume);
        EXPECT_EQ(updater.volumePath, volumeName(c.volume));
        EXPECT_EQ(tellFile(updater.volumeHandle), c.filePosition);
        EXPECT_EQ(updater.partOffset, partEnd(c.volume - 1));
        EXPECT_EQ(updater.volumeRemaining, partEnd(c.volume) - c.offset);
        EXPECT_EQ(read(1), slice(payload, c.offset, 1));
    }
}

TEST_F(VolumeTest, SeekPastAPartReadsOnlyItsLengthField) {
    Bytes payload = payloadBytes(90);
    makeSet(payload, 30, 30);
    // Volume 1 keeps its length field but loses its data: skipping it must
    // not need the data.
    Bytes lengthOnly = volumeFile(parts[1]);
    lengthOnly.resize(4);
    writeFile(volumeFileOf(1), lengthOnly);
    ASSERT_TRUE(openPayload());
    ASSERT_TRUE(seekPayload(65));
    EXPECT_EQ(updater.volumeNumber, 2);
    EXPECT_EQ(read(25), slice(payload, 65, 25));
}

TEST_F(VolumeTest, OffsetInAPartAlreadyLeftFailsWithoutGoingBack) {
    makeSet(payloadBytes(60), 30, 30);
    ASSERT_TRUE(openPayload());
    ASSERT_TRUE(seekPayload(35));
    for (uint32_t offset : {29u, 0u}) {
        SCOPED_TRACE(offset);
        updater.resultMessage = 0;
        EXPECT_FALSE(seekPayload(offset));
        EXPECT_EQ(updater.resultMessage, 20);
        EXPECT_EQ(updater.messageArg, volumeName(1));
        EXPECT_EQ(updater.volumeNumber, 1);
    }
    EXPECT_TRUE(seekPayload(59)) << "the part now open is still read";
    EXPECT_EQ(read(1), slice(payloadBytes(60), 59, 1));
}

TEST_F(VolumeTest, PartReachingPast4GiBIsAddressedWithoutWrapping) {
    // The part now open is volume 3, the last of the payload offsets: its
    // end, partOffset + payloadLength, lies past 4 GiB.
    Bytes data = payloadBytes(0x200);
    writeFile(folder.file("BIG.D03"), volumeFile(data));
    writeFile(folder.file("BIG.D04"), volumeFile(Bytes(16, 0xEE)));
    copyText(updater.volumePath, windowsForm(folder.file("BIG.D03")).c_str(), PATH_CAPACITY);
    updater.volumeNumber = 3;
    updater.volumeHandle = openExisting(updater.volumePath, 0);
    updater.partOffset = 0xFFFFFF00u;
    updater.payloadLength = 0x200;
    updater.volumeRemaining = 0x200;

    ASSERT_TRUE(seekPayload(0xFFFFFFF0u));
    EXPECT_EQ(tellFile(updater.volumeHandle), 4u + 0xF0);
    EXPECT_EQ(updater.volumeRemaining, 0x110u);
    // Running off its end: no payload offset can name a further part.
    EXPECT_EQ(read(0x120, 1), slice(data, 0xF0, 0x110));
    EXPECT_EQ(updater.volumeNumber, 3);
    EXPECT_EQ(updater.volumeHandle, NO_FILE);
}

// ---------------------------------------------------------------------------
// Reading across parts

TEST_F(VolumeTest, ReadRunningIntoThePartEndGoesOnInTheNextVolume) {
    Bytes payload = payloadBytes(100);
    makeSet(payload, 40, 25);
    ASSERT_TRUE(openPayload());
    ASSERT_TRUE(seekPayload(37));
    EXPECT_EQ(read(10), slice(payload, 37, 10));
    EXPECT_EQ(updater.volumeNumber, 1);
    EXPECT_EQ(updater.volumePath, volumeName(1));
    EXPECT_EQ(updater.volumeRemaining, 25u - 7);

    // The rest, in requests that straddle every later boundary.
    EXPECT_EQ(readAll(53, 7), slice(payload, 47, 53));
    EXPECT_EQ(updater.volumeNumber, 3);
    EXPECT_EQ(updater.volumeRemaining, 0u);
}

TEST_F(VolumeTest, VolumeNamesReplaceTheLastExtensionOfTheFileName) {
    struct Case {
        const char* package;        // relative to the test's folder
        int32_t fromVolume;         // the part now open
        const char* fromName;
        const char* expected;
    } cases[] = {
        {"DISK.EXE", 0, "DISK.EXE", "DISK.D01"},
        {"UPD.V2/DISK", 0, "UPD.V2/DISK", "UPD.V2/DISK.D01"},   // full stop in a folder name
        {"DISK.EXE", 9, "DISK.D09", "DISK.D10"},
        {"DISK.EXE", 99, "DISK.D99", "DISK.D100"},
    };
    std::filesystem::create_directory(folder.file("UPD.V2"));
    Bytes data = {1, 2, 3};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        restart();
        writeFile(folder.file(c.expected), volumeFile(data));
        copyText(updater.volumePath, windowsForm(folder.file(c.fromName)).c_str(), PATH_CAPACITY);
        updater.volumeNumber = c.fromVolume;
        updater.partOffset = 1000;
        updater.payloadLength = 5;
        FileHandle handle = nextVolume();
        ASSERT_NE(handle, NO_FILE);
        EXPECT_EQ(handle, updater.volumeHandle);
        EXPECT_EQ(updater.volumePath, windowsForm(folder.file(c.expected)));
        EXPECT_EQ(updater.volumeNumber, c.fromVolume + 1);
        EXPECT_EQ(updater.partOffset, 1005u);
        EXPECT_EQ(updater.payloadLength, 3u);
        EXPECT_EQ(updater.volumeRemaining, 3u);
        std::filesystem::remove(folder.file(c.expected));
    }
}

TEST_F(VolumeTest, PartFileLengthDifferingFromItsFieldIsReadToTheFileEnd) {
    // Volume 1 says 20 bytes; its file holds `held` of them (or more).
    Bytes payload = payloadBytes(90);
    for (size_t held : {10u, 27u}) {
        SCOPED_TRACE(held);
        restart();
        makeSet(payload, 30, 20);
        Bytes damaged = volumeFile(parts[1]);
        damaged.resize(4 + held, 0xEE);
        writeFile(volumeFileOf(1), damaged);
        ASSERT_TRUE(openPayload());

        Bytes expected = parts[0];
        expected.insert(expected.end(), damaged.begin() + 4, damaged.end());
        expected.insert(expected.end(), parts[2].begin(), parts[2].end());
        expected.insert(expected.end(), parts[3].begin(), parts[3].end());
        EXPECT_EQ(readAll(static_cast<uint32_t>(expected.size()), 8), expected);
        EXPECT_EQ(updater.volumeNumber, 3);
        EXPECT_EQ(updater.partOffset, 70u) << "offsets still go by the length fields";
    }
}

// ---------------------------------------------------------------------------
// Missing volumes

TEST_F(VolumeTest, MissingVolumeOutsideTheTemporaryCopyFailsWithoutAsking) {
    Bytes payload = payloadBytes(60);
    makeSet(payload, 30, 30);
    removeVolume(1);
    ASSERT_TRUE(openPayload());
    ASSERT_TRUE(seekPayload(25));
    EXPECT_EQ(read(10, 1), slice(payload, 25, 5)) << "the bytes before the end still arrive";
    EXPECT_EQ(updater.volumeHandle, NO_FILE);
    EXPECT_EQ(read(10, 1), Bytes()) << "the reader stays closed";

    restart();
    makeSet(payload, 30, 30);
    removeVolume(1);
    ASSERT_TRUE(openPayload());
    EXPECT_FALSE(seekPayload(30));
    EXPECT_EQ(updater.resultMessage, 20);
    EXPECT_EQ(updater.messageArg, volumeName(1));
    EXPECT_TRUE(scriptedUi.messages.empty());
}

TEST_F(VolumeTest, MissingVolumeInTheTemporaryCopyAsksUntilItComesOrTheUserGivesUp) {
    const std::string insert = "Insert disk 2, then press OK.";   // volume 1 is on disk 2
    const uint32_t ASK = BOX_OK_CANCEL | BOX_ICON_INFORMATION;
    const uint32_t CONFIRM = BOX_YES_NO | BOX_ICON_QUESTION;
    const uint32_t NOTICE = BOX_ICON_INFORMATION;
    struct Case {
        const char* name;
        std::vector<int> answers;
        size_t appearsAtMessage;    // the volume is back when this message shows; 0 = never
        std::vector<std::string> texts;
        std::vector<uint32_t> types;
        bool found;
    } cases[] = {
        {"OK tries again", {ANSWER_OK, ANSWER_OK}, 2, {insert, insert}, {ASK, ASK}, true},
        {"Cancel then No tries again", {ANSWER_CANCEL, ANSWER_NO}, 2, {insert, CONFIRM_CANCEL}, {ASK, CONFIRM}, true},
        {"Cancel then Yes gives up", {ANSWER_CANCEL, ANSWER_YES}, 0, {insert, CONFIRM_CANCEL, CANCELLED},
         {ASK, CONFIRM, NOTICE}, false},
    };
    Bytes payload = payloadBytes(60);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        restart();
        makeSet(payload, 30, 30);
        removeVolume(1);
        updater.deleteSelf = 1;
        scriptedUi.answers.assign(c.answers.begin(), c.answers.end());
        whenAsked([&] {
            if (scriptedUi.messages.size() == c.appearsAtMessage) writeVolume(1);
        });
        ASSERT_TRUE(openPayload());

        EXPECT_EQ(seekPayload(40), c.found);
        EXPECT_EQ(messageTexts(), c.texts);
        EXPECT_EQ(messageTypes(), c.types);
        if (c.found) {
            EXPECT_EQ(read(20), slice(payload, 40, 20));
            EXPECT_EQ(updater.pageResult, 0);
        } else {
            EXPECT_EQ(updater.resultMessage, 17);
            EXPECT_EQ(updater.pageResult, PAGE_CANCEL);
            EXPECT_EQ(updater.volumeHandle, NO_FILE);
        }
    }
}

TEST_F(VolumeTest, DiskPromptIsCutToItsBuffer) {
    makeSet(payloadBytes(60), 30, 30, "DISK.EXE", std::string(190, 'x') + " disk %d of the set");
    removeVolume(1);
    updater.deleteSelf = 1;
    scriptedUi.answers = {ANSWER_CANCEL, ANSWER_YES};
    ASSERT_TRUE(openPayload());
    EXPECT_FALSE(seekPayload(30));
    ASSERT_FALSE(scriptedUi.messages.empty());
    std::string whole = std::string(190, 'x') + " disk 2 of the set";
    EXPECT_EQ(scriptedUi.messages[0].text, whole.substr(0, 199));
}

TEST_F(VolumeTest, UnreadableLengthFieldCountsAsAMissingVolume) {
    Bytes payload = payloadBytes(60);
    for (uint32_t deleteSelf : {0u, 1u}) {
        SCOPED_TRACE(deleteSelf);
        restart();
        makeSet(payload, 30, 30);
        writeFile(volumeFileOf(1), Bytes{30, 0});
        updater.deleteSelf = deleteSelf;
        whenAsked([&] { writeVolume(1); });
        ASSERT_TRUE(openPayload());
        if (deleteSelf) {
            ASSERT_TRUE(seekPayload(30));
            EXPECT_EQ(messageTexts(), std::vector<std::string>{"Insert disk 2, then press OK."});
            EXPECT_EQ(read(30), slice(payload, 30, 30));
        } else {
            EXPECT_FALSE(seekPayload(30));
            EXPECT_EQ(updater.resultMessage, 20);
            EXPECT_EQ(updater.messageArg, volumeName(1));
            EXPECT_TRUE(scriptedUi.messages.empty());
        }
    }
}

TEST_F(VolumeTest, ReadStoppedInsideAPartGoesOnAtTheSameByteOnceTheDiskIsBack) {
    // The disk is taken out while part k is being read: the open file ends
    // early (cut in place, then gone from its folder). The prompt asks for
    // disk k + 1; the file returns before OK.
    Bytes payload = payloadBytes(120);
    for (uint32_t k : {0u, 1u}) {
        SCOPED_TRACE(k);
        restart();
        makeSet(payload, 40, 40);
        std::string path = k == 0 ? packageFile : volumeFileOf(k);
        Bytes whole = readFile(path);
        updater.deleteSelf = 1;
        ASSERT_TRUE(openPayload());
        uint32_t start = partEnd(k) - 40 + 5;
        ASSERT_TRUE(seekPayload(start));
        ASSERT_EQ(updater.volumeNumber, static_cast<int32_t>(k));

        std::filesystem::resize_file(path, whole.size() - 40 + 15);   // 10 bytes left after the position
        std::filesystem::remove(path);
        whenAsked([&] { writeFile(path, whole); });
        EXPECT_EQ(read(30), slice(payload, start, 30));
        EXPECT_EQ(messageTexts(), std::vector<std::string>{"Insert disk " + std::to_string(k + 1) + ", then press OK."});
        EXPECT_EQ(updater.volumeNumber, static_cast<int32_t>(k));
        EXPECT_EQ(updater.volumeRemaining, 40u - 35);
        EXPECT_EQ(read(15), slice(payload, start + 30, 15)) << "and on into the next part";
    }
}

// ---------------------------------------------------------------------------
// The decompressor's volume mode, and closing

TEST_F(VolumeTest, CompressedStreamSpanningThreeVolumesUnpacksThroughTheReader) {
    Bytes data;
    Bytes noise = payloadBytes(15000);
    for (int i = 0; i < 200; ++i) {
        std::string line = "line " + std::to_string(i * i) + " of the new contents\n";
        data.insert(data.end(), line.begin(), line.end());
        data.insert(data.end(), noise.begin() + i * 70, noise.begin() + i * 70 + 150);
    }
    Bytes stream = compressStream(data, 6);
    ASSERT_GT(stream.size(), 4096u * 2) << "the stream needs several refills";
    Bytes payload = payloadBytes(100);   // another item before the stream
    payload.insert(payload.end(), stream.begin(), stream.end());
    uint32_t third = static_cast<uint32_t>(stream.size() / 3);

    for (bool diskMissing : {false, true}) {
        SCOPED_TRACE(diskMissing ? "the last disk comes on request" : "every volume present");
        restart();
        makeSet(payload, 100 + third, third + 1);
        ASSERT_EQ(parts.size(), 3u);
        if (diskMissing) {
            removeVolume(2);
            updater.deleteSelf = 1;
            whenAsked([&] { writeVolume(2); });
        }
        payloadReader = readPayload;
        ASSERT_TRUE(openPayload());
        ASSERT_TRUE(seekPayload(100));
        Bytes out(data.size());
        EXPECT_TRUE(inflateToMemory(out.data(), static_cast<uint32_t>(out.size()), updater.volumeHandle,
                                    static_cast<uint32_t>(stream.size())));
        EXPECT_EQ(out, data);
        EXPECT_EQ(updater.volumeNumber, 2);
        EXPECT_EQ(scriptedUi.messages.size(), diskMissing ? 1u : 0u);
        closePayload();
    }
}

TEST_F(VolumeTest, ClosingGoesToTheFinishPageOnlyInTheWizard) {
    for (uint16_t startPage : {uint16_t(START_PAGE_WIZARD), uint16_t(3)}) {
        SCOPED_TRACE(startPage);
        restart();
        makeSet(payloadBytes(10), 10, 10);
        updater.startPage = startPage;
        ASSERT_TRUE(openPayload());
        closePayload();
        EXPECT_EQ(updater.volumeHandle, NO_FILE);
        EXPECT_EQ(updater.payloadOpen, 0u);
        EXPECT_EQ(scriptedUi.jumpedTo, startPage == START_PAGE_WIZARD ? std::vector<int32_t>{5} : std::vector<int32_t>{});
    }
}

// ---------------------------------------------------------------------------
// The builder's side

TEST(VolumeWriterTest, SplitFillsPartZeroThenWholeVolumes) {
    struct Case {
        size_t size;
        uint32_t first, volume;
        std::vector<size_t> parts;
    } cases[] = {
        {0, 10, 10, {0}},
        {10, 10, 4, {10}},
        {11, 10, 4, {10, 1}},
        {19, 10, 4, {10, 4, 4, 1}},
        {8, 0, 4, {0, 4, 4}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        Bytes payload = payloadBytes(c.size);
        std::vector<Bytes> parts = splitPayload(payload, c.first, c.volume);
        std::vector<size_t> sizes;
        Bytes joined;
        for (const Bytes& p : parts) {
            sizes.push_back(p.size());
            joined.insert(joined.end(), p.begin(), p.end());
        }
        EXPECT_EQ(sizes, c.parts);
        EXPECT_EQ(joined, payload);
    }
    EXPECT_THROW(splitPayload(Bytes(5), 4, 0), std::invalid_argument);
    EXPECT_EQ(splitPayload(Bytes(4), 4, 0).size(), 1u);
}

TEST(VolumeWriterTest, NamesAndFilesMatchWhatTheUpdaterReads) {
    struct Case {
        const char* package;
        uint32_t k;
        const char* expected;
    } cases[] = {
        {"C:\\UPD\\DISK.EXE", 1, "C:\\UPD\\DISK.D01"},
        {"C:\\UPD.V2\\DISK", 1, "C:\\UPD.V2\\DISK.D01"},
        {"/tmp/upd.v2/disk", 2, "/tmp/upd.v2/disk.D02"},
        {"DISK.EXE", 100, "DISK.D100"},
        {"A.B.C", 7, "A.B.D07"},
    };
    for (const Case& c : cases) EXPECT_EQ(volumeFileName(c.package, c.k), c.expected) << c.package;

    EXPECT_EQ(volumeFile(Bytes{9, 8, 7}), (Bytes{3, 0, 0, 0, 9, 8, 7}));
    EXPECT_EQ(volumeFile(Bytes(0x10203, 1)).size(), 4u + 0x10203);
    EXPECT_EQ(slice(volumeFile(Bytes(0x10203, 1)), 0, 4), (Bytes{3, 2, 1, 0}));
}

}  // namespace
