// Patch items: the builder's writer and the updater's applyPatch, natively
// with the POSIX backend. Items are laid out as a real payload (part 0 in a
// package file after other bytes, further parts in volume files), so the
// streams are read through the volume reader as in an update.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/fileio.h"
#include "app/platform_posix.h"
#include "app/state.h"
#include "builder/cataloguewriter.h"
#include "builder/compressor.h"
#include "builder/patchwriter.h"
#include "builder/volumewriter.h"
#include "engine/catalogue.h"
#include "engine/patch.h"
#include "package/volumes.h"
#include "tests/support/scripted_ui.h"
#include "tests/support/testfiles.h"
#include "tests/support/windowspaths.h"

namespace {

const char UNTOUCHED[] = "(messageArg before the patch)";
const uint32_t PACKAGE_LEAD = 37;   // bytes of the package file before the payload's length field

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes randomBytes(std::mt19937& random, size_t length) {
    Bytes out(length);
    for (uint8_t& b : out) b = static_cast<uint8_t>(random());
    return out;
}

// The meaning of a command list, stated directly: each command's insert,
// then its copy from the old file at the previous copy's end plus distance.
Bytes meaning(const Bytes& old, const std::vector<PatchCommand>& commands, const Bytes& inserts) {
    Bytes out;
    size_t taken = 0;
    int64_t cursor = 0;
    for (const PatchCommand& c : commands) {
        out.insert(out.end(), inserts.begin() + taken, inserts.begin() + taken + c.insertLength);
        taken += c.insertLength;
        if (c.copyLength == 0) continue;
        int64_t from = cursor + c.distance;
        out.insert(out.end(), old.begin() + from, old.begin() + from + c.copyLength);
        cursor = from + c.copyLength;
    }
    return out;
}

// A patch stream in the form flags ask for, built by hand; a compressed one
// may carry extra bytes inside its packed length after the stream's end.
Bytes handStream(uint8_t flags, const Bytes& data, const Bytes& extra = {}) {
    Bytes out{flags};
    auto field = [&out](size_t value, bool wide) {
        if (wide)
            appendU32(out, static_cast<uint32_t>(value));
        else
            appendU16(out, static_cast<uint32_t>(value));
    };
    field(data.size(), flags & STREAM_LONG_LENGTH);
    if (data.empty()) return out;
    Bytes body = flags & STREAM_COMPRESSED ? concat({compressStream(data, 6), extra}) : data;
    if (flags & STREAM_COMPRESSED) field(body.size(), flags & STREAM_LONG_PACKED);
    return concat({out, body});
}

Bytes rawItem(const Bytes& script, const Bytes& inserts) {
    return concat({handStream(0, script), handStream(0, inserts)});
}

struct Outcome {
    int result;
    std::string messageArg;
    Bytes output;
};

struct PatchTest : ::testing::Test {
    TempFolder folder;
    std::string packagePath = folder.file("update.exe");
    std::string oldPath = folder.file("old.bin");
    std::string tempPath = folder.file("new.tmp");
    Bytes catalogue;        // holds the entry applyPatch reads
    PosixFaults faults;     // put in place just before applyPatch
    PayloadReadFunction savedReader = payloadReader;

    void SetUp() override {
        resetUpdaterState();
        resetScriptedUi();
        posixFaults = PosixFaults();
        payloadReader = readPayload;
    }
    void TearDown() override {
        releasePatchBuffers();
        closePayloadFile();
        posixFaults = PosixFaults();
        payloadReader = savedReader;
    }
    void closePayloadFile() {
        if (updater.volumeHandle != NO_FILE) closeFile(updater.volumeHandle);
        updater.volumeHandle = NO_FILE;
    }

    // Lays the payload out as an update finds it: part 0 at PACKAGE_LEAD in
    // the package file, the rest in volume files cut at the given payload
    // offsets; opens it at offset 0.
    void setPayload(const Bytes& payload, std::vector<size_t> cuts = {}) {
        closePayloadFile();
        for (uint32_t k = 1; k < 10; ++k) std::filesystem::remove(volumeFileName(packagePath, k));
        cuts.push_back(payload.size());
        size_t from = 0;
        for (size_t k = 0; k < cuts.size(); ++k) {
            Bytes part = slice(payload, from, cuts[k] - from);
            if (k == 0) {
                writeFile(packagePath, concat({Bytes(PACKAGE_LEAD, 0x5A), volumeFile(part)}));
                updater.payloadLength = updater.volumeRemaining = static_cast<uint32_t>(part.size());
            } else {
                writeFile(volumeFileName(packagePath, static_cast<uint32_t>(k)), volumeFile(part));
            }
            from = cuts[k];
        }
        copyText(updater.modulePath, windowsForm(packagePath).c_str(), PATH_CAPACITY);
        updater.payloadStart = PACKAGE_LEAD;
        updater.partOffset = 0;
        ASSERT_TRUE(openPayload());
    }

    // Runs applyPatch on old with item as the payload, as the update engine
    // calls it: regions located in the old file, the temporary file empty.
    Outcome runCommand(const Bytes& old, const Bytes& item, EntryPlan plan = EntryPlan(), uint32_t before = 0,
                uint32_t after = 0, std::vector<size_t> cuts = {}) {
        setPayload(item, cuts);
        writeFile(oldPath, old);
        plan.relativePath = "file.bin";
        catalogue = writeCatalogue({plan});
        FileEntry* entry = reinterpret_cast<FileEntry*>(catalogue.data() + 4);
        copyText(updater.destPath, windowsForm(oldPath).c_str(), PATH_CAPACITY);
        copyText(updater.tempPath, windowsForm(tempPath).c_str(), PATH_CAPACITY);
        copyText(updater.messageArg, UNTOUCHED, PATH_CAPACITY);
        FileHandle oldFile = openExisting(updater.destPath, 0);
        FileHandle temporaryFile = createAlways(updater.tempPath);
        EXPECT_NE(oldFile, NO_FILE);
        EXPECT_NE(temporaryFile, NO_FILE);
        locateRegions(entry->regionCount, firstRegion(entry), oldFile);
        posixFaults = faults;
        applyPatch(entry, oldFile, temporaryFile, before, after);
        posixFaults = PosixFaults();
        closeFile(oldFile);
        closeFile(temporaryFile);
        return {updater.resultMessage, updater.messageArg, readFile(tempPath)};
    }

    std::string volumePath() { return windowsForm(packagePath); }
    // The volume a read past the package file's part goes on to, missing here.
    std::string missingVolume() { return windowsForm(volumeFileName(packagePath, 1)); }
    std::string destPath() { return windowsForm(oldPath); }
    std::string tempArg() { return windowsForm(tempPath); }
};

const Bytes ABCDEFGH = text("ABCDEFGH");

// ---------------------------------------------------------------------------
// Commands and offset fields

// Both examples run on one fixture without a release in between: applyPatch
// frees what an earlier patch left (the leak check of the sanitized run
// would report it otherwise).
TEST_F(PatchTest, WorkedExamplesRebuildTheNewFileFromBytesAndFromCommands) {
    struct Case {
        Bytes script;
        Bytes inserts;
        std::vector<PatchCommand> commands;
        std::string expected;
    };
    const Case cases[] = {
        {{0x02, 0x80, 0x81, 0x03, 0x81}, text("xy"), {{0, 3, 0}, {2, 0, 0}, {0, 4, 1}}, "ABCxyEFGH"},
        {{0x02, 0x80, 0xA2, 0x81}, text("x"), {{0, 3, 0}, {1, 4, 1}}, "ABCxEFGH"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(encodeScript(c.commands, c.inserts), c.script) << c.expected;
        Outcome outcome = runCommand(ABCDEFGH, rawItem(c.script, c.inserts));
        EXPECT_EQ(outcome.result, 0) << c.expected;
        EXPECT_EQ(outcome.output, text(c.expected));
    }
}

TEST_F(PatchTest, CommandBytesAtTheEdgesOfTheirRanges) {
    std::mt19937 random(7);
    const Bytes old = randomBytes(random, 300);
    const Bytes inserts32 = randomBytes(random, 32);
    struct Case {
        const char* what;
        std::vector<PatchCommand> commands;
        Bytes script;
        Bytes inserts;
        Bytes expected;
    };
    const Case cases[] = {
        {"0x9F inserts 32", {{32, 0, 0}}, {0x9F}, inserts32, inserts32},
        {"0x80 inserts 1", {{1, 0, 0}}, {0x80}, text("z"), text("z")},
        {"0xFF inserts 3, copies 33", {{3, 33, 0}}, {0xFF, 0x80}, text("pqr"), concat({text("pqr"), slice(old, 0, 33)})},
        {"0x01 copies 2", {{0, 2, 0}}, {0x01, 0x80}, {}, slice(old, 0, 2)},
        {"0x7F copies 128", {{0, 128, 0}}, {0x7F, 0x80}, {}, slice(old, 0, 128)},
        {"0x00 w=0 copies 129", {{0, 129, 0}}, {0x00, 0x00, 0x00, 0x80}, {}, slice(old, 0, 129)},
        {"0x00 w=1 copies 130", {{0, 130, 0}}, {0x00, 0x01, 0x00, 0x80}, {}, slice(old, 0, 130)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(encodeScript(c.commands, c.inserts), c.script) << c.what;
        Outcome outcome = runCommand(old, rawItem(c.script, c.inserts));
        EXPECT_EQ(outcome.result, 0) << c.what;
        EXPECT_EQ(outcome.output, c.expected) << c.what;
    }
}

// A first copy puts oldCursor at 20000; a second 2-byte copy carries the
// offset field, so the output's last two bytes show where it read.
TEST_F(PatchTest, OffsetFieldsInAllThreeFormsDecodeToTheirDistances) {
    std::mt19937 random(11);
    const Bytes old = randomBytes(random, 40000);
    const int64_t cursor = 20000;
    struct Case {
        Bytes field;
        int64_t distance;
    };
    const Case cases[] = {
        {{0x80}, 0},
        {{0x9F}, 31},
        {{0xA0}, -32},
        {{0xBF}, -1},
        {{0x00, 0x00}, 32},
        {{0x3F, 0xFF}, 16415},
        {{0x40, 0x00}, -16416},
        {{0x7F, 0xFF}, -33},
        {{0xC0, 0x00, 0x00}, 16416},
        {{0xFF, 0xFF, 0xFF}, -16417},
        {{0xC0, 0x00, 0x01}, 16417},
        {{0xFF, 0xFF, 0xFE}, -16418},
    };
    const Bytes setup = encodeScript({{0, 2, cursor - 2}}, {});
    for (const Case& c : cases) {
        Bytes script = concat({setup, {0x01}, c.field});
        EXPECT_EQ(encodeScript({{0, 2, cursor - 2}, {0, 2, c.distance}}, {}), script) << c.distance;
        Outcome outcome = runCommand(old, rawItem(script, {}));
        EXPECT_EQ(outcome.result, 0) << c.distance;
        EXPECT_EQ(outcome.output, concat({slice(old, cursor - 2, 2), slice(old, cursor + c.distance, 2)}))
            << c.distance;
    }
}

TEST_F(PatchTest, TheEncoderTakesTheWholeDistanceRangeAndNoMore) {
    EXPECT_EQ(encodeScript({{0, 2, MAX_PATCH_DISTANCE}}, {}), (Bytes{0x01, 0xDF, 0xFF, 0xFF}));
    EXPECT_EQ(encodeScript({{0, 2, MIN_PATCH_DISTANCE}}, {}), (Bytes{0x01, 0xE0, 0x00, 0x00}));
    struct Case {
        const char* what;
        std::vector<PatchCommand> commands;
        Bytes inserts;
    };
    const Case refused[] = {
        {"distance past the largest", {{0, 2, MAX_PATCH_DISTANCE + 1}}, {}},
        {"distance below the smallest", {{0, 2, MIN_PATCH_DISTANCE - 1}}, {}},
        {"a copy of 1 byte", {{0, 1, 0}}, {}},
        {"a distance without a copy", {{1, 0, 5}}, text("a")},
        {"inserts longer than the data", {{3, 0, 0}}, text("ab")},
        {"inserts shorter than the data", {{1, 0, 0}}, text("ab")},
    };
    for (const Case& c : refused) EXPECT_THROW(encodeScript(c.commands, c.inserts), std::runtime_error) << c.what;
}

// Long inserts go in 32-byte pieces, a last piece of 1-3 combined with a
// short copy; long copies in pieces of at most 65536 and at least 2 bytes.
TEST_F(PatchTest, TheEncoderCutsLongInsertsAndCopies) {
    std::mt19937 random(3);
    const Bytes old = randomBytes(random, 140000);
    struct Case {
        PatchCommand command;
        Bytes script;
    };
    const Case cases[] = {
        {{33, 5, 0}, {0x9F, 0xA3, 0x80}},
        {{35, 5, 0}, {0x9F, 0xE3, 0x80}},
        {{36, 5, 0}, {0x9F, 0x83, 0x04, 0x80}},
        {{64, 0, 0}, {0x9F, 0x9F}},
        {{4, 5, 0}, {0x83, 0x04, 0x80}},
        {{2, 34, 0}, {0x81, 0x21, 0x80}},
        {{0, 65536, 0}, {0x00, 0x7F, 0xFF, 0x80}},
        {{0, 65537, 0}, {0x00, 0x7E, 0xFF, 0x80, 0x01, 0x80}},
        {{0, 131072, 0}, {0x00, 0x7F, 0xFF, 0x80, 0x00, 0x7F, 0xFF, 0x80}},
        {{0, 65538, 5}, {0x00, 0x7F, 0xFF, 0x85, 0x01, 0x80}},
    };
    for (const Case& c : cases) {
        Bytes inserts = randomBytes(random, c.command.insertLength);
        Bytes script = encodeScript({c.command}, inserts);
        EXPECT_EQ(script, c.script) << c.command.insertLength << "+" << c.command.copyLength;
        Outcome outcome = runCommand(old, rawItem(script, inserts));
        EXPECT_EQ(outcome.result, 0);
        EXPECT_EQ(outcome.output, meaning(old, {c.command}, inserts));
    }
}

TEST_F(PatchTest, EmptyScriptWritesNothingAndSucceeds) {
    const Bytes items[] = {
        {0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
        {0x02, 0x00, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x00, 0x00},
    };
    for (const Bytes& item : items) {
        Outcome outcome = runCommand(ABCDEFGH, item);
        EXPECT_EQ(outcome.result, 0);
        EXPECT_TRUE(outcome.output.empty());
    }
}

// On ABCDEFGH: EFGH leaves oldCursor at 8; -8 goes back to A, -2 from 4
// to C, -5 from 5 to A once more, and +4 from 2 forward to G.
TEST_F(PatchTest, NegativeDistancesReadOldDataAgainInAnyOrder) {
    std::vector<PatchCommand> commands = {{0, 4, 4}, {0, 4, -8}, {0, 3, -2}, {0, 2, -5}, {0, 2, 4}};
    Bytes script = encodeScript(commands, {});
    EXPECT_EQ(script, (Bytes{0x03, 0x84, 0x03, 0xB8, 0x02, 0xBE, 0x01, 0xBB, 0x01, 0x84}));
    Outcome outcome = runCommand(ABCDEFGH, rawItem(script, {}));
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.output, text("EFGHABCDCDEABGH"));
}

// ---------------------------------------------------------------------------
// Preserved regions

TEST_F(PatchTest, CopiesFromALocatedRegionWriteZerosForItsBytesOnly) {
    // The region is 10 bytes from its pattern "REGN", which lies at 20.
    Bytes old = text("0123456789abcdefghijREGNklmnopqrstuvwxyz");
    RegionPlan region;
    region.regionLength = 10;
    region.pattern = text("REGN");
    EntryPlan plan;
    plan.regions = {region};
    struct Case {
        const char* what;
        uint32_t from, length;
        Bytes expected;
    };
    const Case cases[] = {
        {"inside", 22, 6, Bytes(6, 0)},
        {"over its start", 15, 10, concat({text("fghij"), Bytes(5, 0)})},
        {"over its end", 25, 10, concat({Bytes(5, 0), text("qrstu")})},
        {"over all of it", 18, 14, concat({text("ij"), Bytes(10, 0), text("qr")})},
        {"before it", 0, 20, slice(old, 0, 20)},
        {"after it", 30, 10, slice(old, 30, 10)},
    };
    for (const Case& c : cases) {
        Bytes script = encodeScript({{0, c.length, c.from}}, {});
        Outcome outcome = runCommand(old, rawItem(script, {}), plan);
        EXPECT_EQ(outcome.result, 0) << c.what;
        EXPECT_EQ(outcome.output, c.expected) << c.what;
        EXPECT_EQ(applyPatchItem(old, rawItem(script, {}), {region}), c.expected) << c.what;
    }
}

// ---------------------------------------------------------------------------
// Patch streams

TEST_F(PatchTest, StreamsInEveryFormOfStorageAndLengthAreRead) {
    std::mt19937 random(5);
    const Bytes old = randomBytes(random, 4000);
    const std::vector<PatchCommand> commands = {{40, 100, 7}, {3, 20, -50}, {0, 2000, 400}, {100, 0, 0}};
    const Bytes inserts = concat({text(std::string(60, 'i')), randomBytes(random, 83)});
    const Bytes script = encodeScript(commands, inserts);
    const Bytes expected = meaning(old, commands, inserts);
    const uint8_t forms[] = {0, STREAM_LONG_LENGTH, STREAM_COMPRESSED, STREAM_COMPRESSED | STREAM_LONG_LENGTH,
                             STREAM_COMPRESSED | STREAM_LONG_PACKED,
                             STREAM_COMPRESSED | STREAM_LONG_LENGTH | STREAM_LONG_PACKED};
    for (uint8_t scriptForm : forms)
        for (uint8_t insertForm : forms) {
            Outcome outcome = runCommand(old, concat({handStream(scriptForm, script), handStream(insertForm, inserts)}));
            EXPECT_EQ(outcome.result, 0) << int(scriptForm) << "/" << int(insertForm);
            EXPECT_EQ(outcome.output, expected) << int(scriptForm) << "/" << int(insertForm);
        }
}

TEST_F(PatchTest, TheWriterStoresEachStreamInItsSmallestForm) {
    std::mt19937 random(9);
    struct Case {
        const char* what;
        Bytes data;
        int level;
        uint8_t flags;
        size_t headerSize;   // flags, length and packed length fields
    };
    const Case cases[] = {
        {"empty", {}, 6, 0, 3},
        {"short, random", randomBytes(random, 100), 6, 0, 3},
        {"long, random", randomBytes(random, 70000), 6, STREAM_LONG_LENGTH, 5},
        {"short, repetitive", Bytes(1000, 'r'), 6, STREAM_COMPRESSED, 5},
        {"short, repetitive, level 0", Bytes(1000, 'r'), 0, 0, 3},
        {"long, repetitive", Bytes(100000, 'r'), 6, STREAM_COMPRESSED | STREAM_LONG_LENGTH, 7},
        {"long, half random", concat({randomBytes(random, 70000), Bytes(70000, 0)}), 6,
         STREAM_COMPRESSED | STREAM_LONG_LENGTH | STREAM_LONG_PACKED, 9},
    };
    for (const Case& c : cases) {
        Bytes stream = writePatchStream(c.data, c.level);
        ASSERT_GE(stream.size(), c.headerSize) << c.what;
        EXPECT_EQ(stream[0], c.flags) << c.what;
        if (!(c.flags & STREAM_COMPRESSED))
            EXPECT_EQ(Bytes(stream.begin() + c.headerSize, stream.end()), c.data) << c.what;
        else
            EXPECT_EQ(decompressStream(Bytes(stream.begin() + c.headerSize, stream.end()),
                                       static_cast<uint32_t>(c.data.size())),
                      c.data)
                << c.what;
    }
}

// The decompressor stops at its stream's last block, which may come before
// the packed length is used up (bytes after the stream, or a damaged stream
// that fails early), and gives buffered input back to the file behind the
// volume reader's count. The next stream must still be read from the byte
// after the packed length, also when the payload continues in a volume file.
TEST_F(PatchTest, TheNextStreamStartsAfterThePackedLengthWhereverTheFirstStopped) {
    std::mt19937 random(13);
    const Bytes data = concat({Bytes(3000, 'd'), text("the end")});
    Bytes damaged = compressStream(data, 6);
    damaged[0] = 0x01;   // block kind 1: the run fails at once
    Bytes damagedStream{STREAM_COMPRESSED};
    appendU16(damagedStream, static_cast<uint32_t>(data.size()));
    appendU16(damagedStream, static_cast<uint32_t>(damaged.size()));
    damagedStream.insert(damagedStream.end(), damaged.begin(), damaged.end());
    struct Case {
        const char* what;
        Bytes first;
        Bytes firstData;   // what the first stream gives; zeros where it failed
    };
    const Case cases[] = {
        {"exact", handStream(STREAM_COMPRESSED, data), data},
        {"7 bytes after it", handStream(STREAM_COMPRESSED, data, Bytes(7, 0xEE)), data},
        {"5000 bytes after it", handStream(STREAM_COMPRESSED, data, randomBytes(random, 5000)), data},
        {"damaged", damagedStream, Bytes(data.size(), 0)},
    };
    const Bytes second = handStream(0, text("second stream"));
    for (const Case& c : cases) {
        const Bytes payload = concat({c.first, second});
        const size_t firstEnd = c.first.size();
        for (size_t cut : {size_t(0), size_t(3), size_t(9), firstEnd / 2, firstEnd - 1, firstEnd, firstEnd + 2}) {
            std::vector<size_t> cuts;
            if (cut != 0) cuts.push_back(cut);
            setPayload(payload, cuts);
            uint8_t* bytes = nullptr;
            uint32_t length = 0;
            ASSERT_EQ(readPatchStream(&bytes, &length), 0) << c.what << " cut " << cut;
            EXPECT_EQ(Bytes(bytes, bytes + length), c.firstData) << c.what << " cut " << cut;
            releaseBuffer(bytes);
            ASSERT_EQ(readPatchStream(&bytes, &length), 0) << c.what << " cut " << cut;
            EXPECT_EQ(Bytes(bytes, bytes + length), text("second stream")) << c.what << " cut " << cut;
            releaseBuffer(bytes);
        }
    }
}

// The insert stream may end the payload, with bytes after its compressed
// stream: standing at the part's very end must not ask for a next volume.
TEST_F(PatchTest, ACompressedInsertStreamMayEndThePayload) {
    const Bytes inserts(500, 'q');
    const Bytes script = encodeScript({{500, 0, 0}}, inserts);
    const Bytes item =
        concat({handStream(0, script), handStream(STREAM_COMPRESSED, inserts, Bytes(6000, 0xEE))});
    for (std::vector<size_t> cuts : {std::vector<size_t>{}, {4}, {item.size() - 3000}}) {
        Outcome outcome = runCommand(ABCDEFGH, item, EntryPlan(), 0, 0, cuts);
        EXPECT_EQ(outcome.result, 0);
        EXPECT_EQ(outcome.output, inserts);
        EXPECT_EQ(updater.volumeRemaining, 0u);
    }
}

// ---------------------------------------------------------------------------
// Progress

// 12 copies of 2500 bytes make a 30000-byte file; the bar moves at each
// 10000 written bytes and is drawn only when the percentage changes.
TEST_F(PatchTest, ProgressMovesInStepsOfTenThousandBytes) {
    std::mt19937 random(17);
    const Bytes old = randomBytes(random, 2500);
    const std::vector<PatchCommand> commands(12, {0, 2500, -2500});
    std::vector<PatchCommand> firstAtZero = commands;
    firstAtZero[0].distance = 0;
    const Bytes item = rawItem(encodeScript(firstAtZero, {}), {});
    struct Case {
        uint32_t before, after;
        std::vector<uint32_t> shown;
    };
    const Case cases[] = {
        {10, 40, {17, 25, 32, 40}},
        {0, 100, {25, 50, 75, 100}},
        {0, 3, {1, 2, 3}},   // the first step computes 0, the value already shown
        {50, 50, {}},
    };
    EntryPlan plan;
    plan.newSize = 30000;
    for (const Case& c : cases) {
        resetScriptedUi();
        Outcome outcome = runCommand(old, item, plan, c.before, c.after);
        EXPECT_EQ(outcome.result, 0);
        EXPECT_EQ(outcome.output.size(), 30000u);
        EXPECT_EQ(scriptedUi.progress, c.shown) << c.before << "-" << c.after;
    }
}

// ---------------------------------------------------------------------------
// Failures

TEST_F(PatchTest, FailuresReportTheirMessageAndPath) {
    const Bytes twoCopies = rawItem({0x01, 0x80, 0x81}, text("xy"));
    struct Case {
        const char* what;
        Bytes item;
        PosixFaults faults;
        int result;
        std::string messageArg;   // "" = untouched
    };
    auto makeFaults = [](int allocations, bool failWrite, int64_t budget) {
        PosixFaults f;
        f.failAllocations = allocations;
        f.failNextWrite = failWrite;
        f.writeBudget = budget;
        return f;
    };
    const PosixFaults none;
    const Case cases[] = {
        {"no memory for the script", twoCopies, makeFaults(1, false, -1), 14, ""},
        {"no memory for the inserts", rawItem({}, text("xy")), makeFaults(1, false, -1), 14, ""},
        {"no memory for the copy buffer", rawItem({}, {}), makeFaults(1, false, -1), 14, ""},
        {"payload ends in the flags", {}, none, 20, missingVolume()},
        {"payload ends in a length", {0x00, 0x05}, none, 20, missingVolume()},
        {"payload ends in raw bytes", {0x00, 0x05, 0x00, 0x01, 0x80}, none, 20, missingVolume()},
        {"payload ends in a packed length", {0x01, 0x05, 0x00, 0x09}, none, 20, missingVolume()},
        {"packed length past the payload",
         concat({{0x01, 0x03, 0x00, 0x40, 0x00}, slice(compressStream(text("abc"), 6), 0, 3)}), none, 20,
         missingVolume()},
        {"payload ends in the insert stream", concat({handStream(0, {0x81}), {0x00, 0x02, 0x00, 'x'}}), none, 20,
         missingVolume()},
        {"copy past the old file's end", rawItem({0x08, 0x80}, {}), none, 20, destPath()},
        {"insert with no insert data", rawItem({0x01, 0x80, 0x80}, {}), none, 21, tempArg()},
        {"write fails", twoCopies, makeFaults(0, true, -1), 21, tempArg()},
        {"write comes up short", twoCopies, makeFaults(0, false, 3), 22, ""},
    };
    for (const Case& c : cases) {
        faults = c.faults;
        Outcome outcome = runCommand(ABCDEFGH, c.item);
        faults = PosixFaults();
        EXPECT_EQ(outcome.result, c.result) << c.what;
        EXPECT_EQ(outcome.messageArg, c.messageArg.empty() ? UNTOUCHED : c.messageArg) << c.what;
    }
}

// Scripts that no writer makes: each is refused before it reads or writes
// outside a buffer or the old file (the sanitized run checks the "before").
TEST_F(PatchTest, HostileScriptsAreRefused) {
    std::mt19937 random(19);
    const Bytes big = randomBytes(random, 70000);
    struct Case {
        const char* what;
        const Bytes& old;
        Bytes script;
        Bytes inserts;
        int result;
        std::string messageArg;
    };
    const Case cases[] = {
        {"a copy of 65664 bytes", big, {0x00, 0xFF, 0xFF, 0x80}, {}, 20, volumePath()},
        {"a copy of 65537 bytes", big, {0x00, 0x80, 0xFF, 0x80}, {}, 20, volumePath()},
        {"length word missing", ABCDEFGH, {0x00}, {}, 20, volumePath()},
        {"length word cut", ABCDEFGH, {0x00, 0x05}, {}, 20, volumePath()},
        {"offset field missing", ABCDEFGH, {0x01}, {}, 20, volumePath()},
        {"2-byte offset cut", ABCDEFGH, {0x01, 0x00}, {}, 20, volumePath()},
        {"3-byte offset cut", ABCDEFGH, {0x01, 0xC0, 0x00}, {}, 20, volumePath()},
        {"combined command's offset missing", ABCDEFGH, {0xA0}, text("x"), 20, volumePath()},
        {"insert past the insert data", ABCDEFGH, {0x81}, text("x"), 21, tempArg()},
        {"inserts past the insert data", ABCDEFGH, {0x9F, 0x9F}, Bytes(40, 'i'), 21, tempArg()},
        {"source before the start", ABCDEFGH, {0x01, 0xBF}, {}, 20, destPath()},
        {"source far before the start", ABCDEFGH, {0x01, 0xE0, 0x00, 0x00}, {}, 20, destPath()},
        {"source before the start after copies", ABCDEFGH, {0x03, 0x80, 0x01, 0xBB}, {}, 20, destPath()},
        {"source past the end", ABCDEFGH, {0x01, 0x9F}, {}, 20, destPath()},
        {"source far past the end", ABCDEFGH, {0x01, 0xDF, 0xFF, 0xFF}, {}, 20, destPath()},
        {"copy running past the end", ABCDEFGH, {0x05, 0x83}, {}, 20, destPath()},
    };
    for (const Case& c : cases) {
        Outcome outcome = runCommand(c.old, rawItem(c.script, c.inserts));
        EXPECT_EQ(outcome.result, c.result) << c.what;
        EXPECT_EQ(outcome.messageArg, c.messageArg) << c.what;
    }
    // The largest copy the updater takes is 65536 bytes.
    Outcome largest = runCommand(big, rawItem({0x00, 0x7F, 0xFF, 0x80}, {}));
    EXPECT_EQ(largest.result, 0);
    EXPECT_EQ(largest.output, slice(big, 0, 65536));
}

TEST_F(PatchTest, ApplyPatchItemReportsTheUpdatersMessage) {
    try {
        applyPatchItem(ABCDEFGH, rawItem({0x01, 0xBF}, {}));
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("message 20"), std::string::npos) << e.what();
    }
}

// ---------------------------------------------------------------------------
// Round trip

// Random old files and random command lists, written by the builder and
// applied by the updater's applyPatch, give what the commands mean.
TEST_F(PatchTest, RandomPatchesRoundTripThroughTheWriterAndTheUpdater) {
    std::mt19937 random(23);
    auto below = [&random](uint32_t n) { return static_cast<uint32_t>(random() % n); };
    for (int round = 0; round < 40; ++round) {
        // Some old files are long enough for 3-byte offsets and cut copies,
        // some repetitive enough for compressed streams.
        uint32_t oldSize = round % 8 == 0 ? 150000 + below(1000) : below(4000);
        Bytes old = round % 3 == 0 ? Bytes(oldSize, static_cast<uint8_t>('a' + round % 26)) : randomBytes(random, oldSize);
        std::vector<PatchCommand> commands;
        Bytes inserts;
        int64_t cursor = 0;
        uint32_t count = 1 + below(30);
        for (uint32_t i = 0; i < count; ++i) {
            PatchCommand command;
            const uint32_t insertCaps[] = {0, 4, 40, 200};
            command.insertLength = below(insertCaps[below(4)] + 1);
            const uint32_t copyCaps[] = {0, 33, 128, 2000, 140000};
            uint32_t cap = copyCaps[below(5)];
            if (cap > oldSize) cap = oldSize;
            if (cap >= 2) {
                command.copyLength = 2 + below(cap - 1);
                int64_t source = below(oldSize - command.copyLength + 1);
                command.distance = source - cursor;
                cursor = source + command.copyLength;
            }
            if (command.insertLength == 0 && command.copyLength == 0) command.insertLength = 1;
            Bytes piece = round % 2 ? randomBytes(random, command.insertLength) : Bytes(command.insertLength, 'n');
            inserts.insert(inserts.end(), piece.begin(), piece.end());
            commands.push_back(command);
        }
        int level = round % 4 == 0 ? 0 : 1 + below(12);
        Bytes item = writePatchItem(encodeScript(commands, inserts), inserts, level);
        ASSERT_EQ(applyPatchItem(old, item), meaning(old, commands, inserts)) << "round " << round;
    }
}

}  // namespace
