// The differ: every patch it makes turns the old file into the new one when
// the updater's applyPatch runs it, stays within the command format's
// limits, and is small where the files are alike.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "builder/compressor.h"
#include "builder/differ.h"
#include "builder/patchwriter.h"
#include "engine/patch.h"
#include "tests/support/testfiles.h"

namespace {

Bytes randomBytes(uint32_t seed, size_t length) {
    std::mt19937 random(seed);
    Bytes out(length);
    for (uint8_t& b : out) b = static_cast<uint8_t>(random());
    return out;
}

// old's blocks of blockSize in reverse order.
Bytes reversedBlocks(const Bytes& old, size_t blockSize) {
    Bytes out;
    for (size_t end = old.size(); end > 0;) {
        size_t begin = end >= blockSize ? end - blockSize : 0;
        out.insert(out.end(), old.begin() + begin, old.begin() + end);
        end = begin;
    }
    return out;
}

// A made-up x86 image section: instructions of 2-7 bytes, every third with
// a 32-bit absolute address into the image after it, so that moving the
// image by delta changes one to three bytes in every 10 to 20.
Bytes relocatedCode(uint32_t seed, size_t instructions, uint32_t delta) {
    std::mt19937 random(seed);
    Bytes out;
    for (size_t i = 0; i < instructions; ++i) {
        uint32_t length = 2 + random() % 6;
        for (uint32_t k = 0; k < length; ++k) out.push_back(static_cast<uint8_t>(random()));
        if (random() % 3 != 0) continue;
        uint32_t address = 0x00401000 + (random() % 0x40000) + delta;
        for (int k = 0; k < 4; ++k) out.push_back(static_cast<uint8_t>(address >> 8 * k));
    }
    return out;
}

// Makes the item, checks its commands against the format's limits, and
// returns the item after running it through the updater.
Bytes roundTrip(const Bytes& old, const Bytes& updated) {
    Patch patch = makePatch(old, updated);
    uint64_t inserted = 0;
    for (const PatchCommand& c : patch.commands) {
        EXPECT_NE(c.copyLength, 1u);
        EXPECT_GE(c.distance, MIN_PATCH_DISTANCE);
        EXPECT_LE(c.distance, MAX_PATCH_DISTANCE);
        EXPECT_TRUE(c.copyLength != 0 || c.distance == 0);
        inserted += c.insertLength;
    }
    EXPECT_EQ(inserted, patch.insertData.size());
    Bytes item = makePatchItem(old, updated);
    EXPECT_NO_THROW(checkPatchItem(old, item));
    EXPECT_EQ(applyPatchItem(old, item), updated);
    return item;
}

struct Pair {
    const char* name;
    std::function<Bytes()> old;
    std::function<Bytes()> updated;
};

TEST(Differ, RoundTripsEdgeCases) {
    const Bytes text = randomBytes(1, 50000);
    const Bytes other = randomBytes(2, 30000);
    // Larger than the offset field reaches: the new file starts with the
    // old one's last block, which no copy can reach from position 0.
    const size_t beyond = static_cast<size_t>(MAX_PATCH_DISTANCE) + 300000;
    const Pair pairs[] = {
        {"both empty", [] { return Bytes{}; }, [] { return Bytes{}; }},
        {"empty old", [] { return Bytes{}; }, [&] { return slice(text, 0, 1000); }},
        {"empty new", [&] { return slice(text, 0, 1000); }, [] { return Bytes{}; }},
        {"one byte each", [] { return Bytes{7}; }, [] { return Bytes{9}; }},
        {"one byte old", [] { return Bytes{7}; }, [&] { return slice(text, 0, 300); }},
        {"one byte new", [&] { return slice(text, 0, 300); }, [] { return Bytes{7}; }},
        {"identical", [&] { return text; }, [&] { return text; }},
        {"completely different", [&] { return text; }, [&] { return other; }},
        {"blocks reversed", [&] { return text; }, [&] { return reversedBlocks(text, 4096); }},
        {"longer than a copy", [&] { return concat({text, text, text}); },
         [&] { return concat({text, Bytes{1}, text, text}); }},
        {"old beyond the offset range", [&] { return randomBytes(3, beyond); },
         [&] {
             Bytes old = randomBytes(3, beyond);
             return concat({slice(old, beyond - 70000, 70000), slice(old, 0, 70000)});
         }},
    };
    for (const Pair& pair : pairs) {
        SCOPED_TRACE(pair.name);
        roundTrip(pair.old(), pair.updated());
    }
}

// A new file of several stretches, parsed apart and joined: the second
// stretch's copies lie in the old file's far end, beyond what an offset
// reaches from where the first stretch's path ends, and go as inserts;
// the first stretch's stay copies.
TEST(Differ, JoinsStretchesWhoseSeamTheOffsetCannotSpan) {
    const size_t oldSize = static_cast<size_t>(MAX_PATCH_DISTANCE) + 900000;
    const Bytes old = randomBytes(11, oldSize);
    const Bytes updated = concat({slice(old, 0, 300000), slice(old, oldSize - 300000, 300000)});
    Bytes item = roundTrip(old, updated);
    EXPECT_GT(item.size(), 300000u);
    EXPECT_LT(item.size(), 300000u + 4000);
}

TEST(Differ, PatchesOfAlikeFilesAreSmall) {
    const Bytes text = randomBytes(4, 65536);
    Bytes edited = text;
    for (size_t at = 1000; at < edited.size(); at += 3000) edited[at] ^= 0x5A;   // scattered byte edits
    Bytes grown = concat({slice(text, 0, 20000), randomBytes(5, 500), slice(text, 20000, text.size() - 20000)});
    const Bytes code = relocatedCode(6, 20000, 0);
    const Bytes shifted = relocatedCode(6, 20000, 0x3000);
    const Bytes moved = concat({slice(shifted, 0, 40000), relocatedCode(7, 300, 0x3000),
                                slice(shifted, 40000, shifted.size() - 40000)});
    struct Case {
        const char* name;
        const Bytes& old;
        const Bytes& updated;
        size_t mostBytes;   // a loose bound: a small fraction of what compressing the new file gives
    };
    const Case cases[] = {
        {"identical", text, text, 64},
        {"byte edits", text, edited, 400},
        {"an insert", text, grown, 700},
        {"blocks reversed", text, reversedBlocks(text, 4096), 200},
        {"relocated code", code, moved, compressStream(moved, 12).size() / 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes item = roundTrip(c.old, c.updated);
        EXPECT_LE(item.size(), c.mostBytes);
    }
}

// Small edits inside a long match go as short inserts followed by copies
// at the same alignment, not as copies from elsewhere in the old file.
TEST(Differ, KeepsTheAlignmentAcrossSmallEdits) {
    const Bytes old = randomBytes(8, 40000);
    Bytes updated = old;
    for (size_t at = 500; at < updated.size(); at += 700) updated[at] = static_cast<uint8_t>(~updated[at]);
    Patch patch = makePatch(old, updated);
    for (size_t i = 1; i < patch.commands.size(); ++i) {
        const PatchCommand& c = patch.commands[i];
        if (c.copyLength != 0) {
            EXPECT_EQ(c.distance, int64_t(c.insertLength)) << "command " << i;
        }
    }
    EXPECT_EQ(patch.insertData.size(), updated.size() / 700);
}

// A phrase that the old file holds in many places is copied from the place
// nearest to where the files line up, whose distance is the shortest.
TEST(Differ, CopiesARepeatedPhraseFromItsNearestPlace) {
    const Bytes phrase = randomBytes(9, 100);
    Bytes old = randomBytes(10, 200000);
    // Each copy is followed by its number and the phrase in the new file by
    // 0xFF, so that the copies sort in file order and the nearest one lies
    // several places away from where the new file's phrase sorts.
    for (size_t at = 5000, k = 0; at + phrase.size() < old.size(); at += 10000, ++k) {
        std::copy(phrase.begin(), phrase.end(), old.begin() + static_cast<std::ptrdiff_t>(at));
        old[at + phrase.size()] = static_cast<uint8_t>(k);
    }
    old[133000] = 0xFF;
    const Bytes updated = concat({slice(old, 131000, 2000), phrase, slice(old, 133000, 2000)});
    Patch patch = makePatch(old, updated);
    int64_t cursor = 0;
    bool seen = false;
    for (const PatchCommand& c : patch.commands) {
        if (c.copyLength == 0) continue;
        int64_t source = cursor + c.distance;
        if (c.copyLength >= phrase.size() && c.copyLength < 2000) {
            EXPECT_EQ(source, 135000);
            seen = true;
        }
        cursor = source + c.copyLength;
    }
    EXPECT_TRUE(seen);
    roundTrip(old, updated);
}

// A phrase that the new file repeats, and that the old file holds only far
// from where the files line up and with every fourth byte changed, is
// inserted, never pieced together from afar: the first time byte by byte,
// then as whole runs that the compressor finds in the insert data before
// them (the round trip checks that such runs come out right).
TEST(Differ, RepeatsOfAnInsertedPhraseAreInsertedAgainNotCopiedFromAfar) {
    const Bytes phrase = randomBytes(12, 40);
    Bytes old = randomBytes(13, 200000);
    std::copy(phrase.begin(), phrase.end(), old.begin() + 150000);
    for (size_t i = 3; i < phrase.size(); i += 4) old[150000 + i] ^= 0x55;
    Bytes updated;
    for (size_t at = 0; at < 50000; at += 5000) updated = concat({updated, slice(old, at, 5000), phrase});
    Patch patch = makePatch(old, updated);
    int64_t cursor = 0;
    size_t position = 0;
    int farCopiesOfRepeats = 0;
    for (const PatchCommand& c : patch.commands) {
        position += c.insertLength;
        if (c.copyLength == 0) continue;
        int64_t source = cursor + c.distance;
        farCopiesOfRepeats += position > 5040 && source >= 150000 && source < 150040;
        cursor = source + c.copyLength;
        position += c.copyLength;
    }
    EXPECT_EQ(farCopiesOfRepeats, 0);
    roundTrip(old, updated);
}

TEST(DifferCli, DiffThenPatchRebuildsTheNewFileAndDamageIsRefused) {
    TempFolder folder;
    const std::string zorvat = ZORVAT_PATH;
    const Bytes old = relocatedCode(9, 5000, 0);
    const Bytes updated = concat({relocatedCode(9, 5000, 0x1000), relocatedCode(10, 100, 0)});
    writeFile(folder.file("old"), old);
    writeFile(folder.file("new"), updated);

    CommandRun diff = runCommand(zorvat + " diff " + folder.file("old") + " " + folder.file("new") + " " +
                          folder.file("patch") + " --level 9");
    ASSERT_EQ(diff.exitCode, 0) << diff.output;
    CommandRun patch = runCommand(zorvat + " patch " + folder.file("old") + " " + folder.file("patch") + " " +
                           folder.file("out"));
    ASSERT_EQ(patch.exitCode, 0) << patch.output;
    EXPECT_EQ(readFile(folder.file("out")), updated);

    const Bytes item = readFile(folder.file("patch"));
    struct Damage {
        const char* name;
        Bytes item;
    };
    Bytes misstated = item;
    misstated[1] ^= 0x01;   // the script stream's length field
    const Damage damages[] = {
        {"cut short", slice(item, 0, item.size() - 5)},
        {"extra bytes", concat({item, Bytes{0}})},
        {"a stream's length misstated", misstated},
    };
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.name);
        writeFile(folder.file("bad"), damage.item);
        CommandRun bad = runCommand(zorvat + " patch " + folder.file("old") + " " + folder.file("bad") + " " +
                             folder.file("bad-out"));
        EXPECT_EQ(bad.exitCode, 1) << bad.output;
        EXPECT_NE(bad.output.find("damaged"), std::string::npos) << bad.output;
    }
    EXPECT_EQ(runCommand(zorvat + " diff " + folder.file("old")).exitCode, 2);
    EXPECT_EQ(runCommand(zorvat + " patch " + folder.file("old") + " " + folder.file("patch")).exitCode, 2);
}

}  // namespace
