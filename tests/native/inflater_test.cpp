// The decompressor: block kinds, code rules, back-references, output
// delivery, input position, the volume mode, bounded output and damaged or
// cut input. Streams are built bit by bit with the BitWriter.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "app/fileio.h"
#include "app/platform_posix.h"
#include "app/state.h"
#include "builder/bitwriter.h"
#include "package/inflater.h"
#include "package/volumes.h"
#include "tests/support/testfiles.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Tokens = std::vector<Token>;

// Keeps every write the inflater makes, with its size.
class RecordingSink : public ByteSink {
public:
    bool isValid() override { return true; }
    void write(const uint8_t* bytes, uint16_t length) override {
        writes.push_back(length);
        output.insert(output.end(), bytes, bytes + length);
    }
    std::vector<size_t> writes;
    Bytes output;
};

// The writes a run of n output bytes makes: full windows, then the rest.
std::vector<size_t> deliveries(size_t n) {
    std::vector<size_t> writes(n / 32768, 32768);
    writes.push_back(n % 32768);
    return writes;
}

Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// What tokens unpack to after history: a distance before the first byte
// reads zero.

// Stored blocks of at most 65535 bytes; the last one flagged.
void writeStored(BitWriter& w, const Bytes& data, bool last) {
    size_t pos = 0;
    do {
        size_t n = std::min<size_t>(data.size() - pos, 65535);
        w.writeStoredBlock(data.data() + pos, n, last && pos + n == data.size());
        pos += n;
    } while (pos < data.size());
}

Bytes storedStream(const Bytes& data) {
    BitWriter w;
    writeStored(w, data, true);
    return w.bytes();
}

Bytes fixedStream(const Tokens& tokens) {
    BitWriter w;
    w.writeFixedBlock(tokens, true);
    return w.bytes();
}

// Code lengths for count symbols, all 0 except the ones listed.
std::vector<uint8_t> lengthsOf(size_t count, std::initializer_list<std::pair<unsigned, uint8_t>> entries) {
    std::vector<uint8_t> lengths(count, 0);
    for (auto& entry : entries) lengths[entry.first] = entry.second;
    return lengths;
}

// Data of every kind a package holds: text, noise, runs, records, repeats
// of far earlier parts.
Bytes mixedData(size_t size, uint32_t seed) {
    static const char* const words[] = {"update ", "file ", "the ", "version ", "patch ", "window ",
                                        "of ",     "and ",  "folder ", "copy ", "\r\n", ", ", ". "};
    std::mt19937 random(seed);
    Bytes data;
    while (data.size() < size) {
        switch (random() % 5) {
        case 0:
            for (size_t n = 2000 + random() % 20000, start = data.size(); data.size() - start < n;) {
                const char* word = words[random() % 13];
                data.insert(data.end(), word, word + std::char_traits<char>::length(word));
            }
            break;
        case 1:
            for (size_t n = 500 + random() % 8000; n; --n) data.push_back(static_cast<uint8_t>(random()));
            break;
        case 2:
            data.insert(data.end(), 10 + random() % 70000, static_cast<uint8_t>(random()));
            break;
        case 3:
            for (uint32_t n = 100 + random() % 2000, i = 0; i < n; ++i) {
                uint8_t record[16] = {0x4D, 0x5A, static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8), 0, 0,
                                      static_cast<uint8_t>(random() % 4), 1, 2, 3, 4, 0, 0, 0,
                                      static_cast<uint8_t>(i * 7), 0xFF};
                data.insert(data.end(), record, record + 16);
            }
            break;
        default:
            if (data.size() > 1000) {
                size_t length = 100 + random() % 30000;
                size_t from = random() % (data.size() - 100);
                for (size_t i = 0; i < length; ++i) data.push_back(data[from + i]);
            }
        }
    }
    data.resize(size);
    return data;
}

// Greedy LZ77 over hash chains of 3-byte prefixes: positions must be
// visited in order, by tokens() or skip().
class Matcher {
public:
    explicit Matcher(const Bytes& data) : data(data), head(1 << 16, -1), previous(data.size(), -1) {}

    Tokens tokens(size_t begin, size_t end) {
        Tokens out;
        size_t pos = begin;
        while (pos < end) {
            size_t bestLength = 0, bestDistance = 0;
            if (pos + 3 <= end) {
                int32_t candidate = head[hash(pos)];
                for (int depth = 0; candidate >= 0 && depth < 48; ++depth) {
                    size_t distance = pos - static_cast<size_t>(candidate);
                    if (distance > MAX_DISTANCE) break;
                    size_t length = 0;
                    while (length < MAX_MATCH && pos + length < end && data[candidate + length] == data[pos + length])
                        ++length;
                    if (length > bestLength) {
                        bestLength = length;
                        bestDistance = distance;
                    }
                    candidate = previous[candidate];
                }
            }
            if (bestLength >= 3) {
                out.push_back(Token::match(static_cast<unsigned>(bestLength), static_cast<unsigned>(bestDistance)));
            } else {
                out.push_back(Token::byte(data[pos]));
                bestLength = 1;
            }
            skip(pos, pos + bestLength);
            pos += bestLength;
        }
        return out;
    }

    void skip(size_t begin, size_t end) {
        for (size_t pos = begin; pos < end; ++pos) {
            if (pos + 3 > data.size()) continue;
            uint32_t h = hash(pos);
            previous[pos] = head[h];
            head[h] = static_cast<int32_t>(pos);
        }
    }

private:
    uint32_t hash(size_t pos) const {
        return ((data[pos] << 16 | data[pos + 1] << 8 | data[pos + 2]) * 2654435761u) >> 16;
    }
    const Bytes& data;
    std::vector<int32_t> head, previous;
};

// One stream of dynamic, fixed and stored blocks of varied sizes; matches
// reach back across block boundaries.
Bytes compressMixed(const Bytes& data) {
    BitWriter w;
    Matcher matcher(data);
    size_t pos = 0;
    for (unsigned block = 0; pos < data.size() || block == 0; ++block) {
        size_t end = std::min(data.size(), pos + 20000 + (block * 7919) % 45000);
        bool last = end == data.size();
        switch (block % 5) {
        case 2:
            w.writeFixedBlock(matcher.tokens(pos, end), last);
            break;
        case 4:
            matcher.skip(pos, end);
            w.writeStoredBlock(data.data() + pos, end - pos, last);
            break;
        default:
            w.writeDynamicBlock(matcher.tokens(pos, end), last);
        }
        pos = end;
    }
    return w.bytes();
}

struct Outcome {
    int result;
    std::vector<size_t> writes;
    Bytes output;
    uint32_t position;   // the source's file position after the run
};

// Stands in for the volume reader: the payload continues from one volume
// file to the next, and updater.volumeHandle names the one being read.
struct VolumeDouble {
    std::vector<FileHandle> volumes;
    size_t current = 0;
    int calls = 0;
    int failAtCall = 0;          // 0 = never fail
    uint64_t requested = 0;      // bytes asked for, over all calls
    bool staleHandle = false;    // a call named a handle other than volumeHandle
    std::vector<FileHandle> handles;
};
VolumeDouble volumeDouble;

int readFromVolumes(FileHandle handle, void* buffer, uint32_t count, uint32_t* countRead) {
    VolumeDouble& v = volumeDouble;
    ++v.calls;
    v.requested += count;
    v.handles.push_back(handle);
    if (handle != updater.volumeHandle) v.staleHandle = true;
    if (v.calls == v.failAtCall) return 1;
    uint32_t got = readSome(handle, buffer, count);
    if (got < count && v.current + 1 < v.volumes.size()) {
        updater.volumeHandle = v.volumes[++v.current];
        got += readSome(updater.volumeHandle, static_cast<uint8_t*>(buffer) + got, count - got);
    }
    *countRead = got;
    return 0;
}

class InflaterTest : public ::testing::Test {
protected:
    void SetUp() override {
        resetUpdaterState();
        volumeDouble = VolumeDouble();
    }
    void TearDown() override {
        for (FileHandle handle : volumeDouble.volumes) closeFile(handle);
        posixFaults = PosixFaults();
        payloadReader = readPayload;   // the program's own reader again
        resetUpdaterState();
    }

    // Runs the stream found at offset start of a file holding fileBytes.
    Outcome run(const Bytes& fileBytes, uint32_t start = 0) {
        std::string path = folder.file("stream");
        writeFile(path, fileBytes);
        FileHandle handle = openExisting(path.c_str(), 0);
        seekFileTo(handle, start);
        Outcome outcome = runHandle(handle, 0);
        closeFile(handle);
        return outcome;
    }

    Outcome runHandle(FileHandle handle, uint32_t limit) {
        RecordingSink sink;
        Outcome outcome;
        {
            Inflater inflater;
            outcome.result = inflater.inflate(&sink, handle, limit);
        }
        outcome.position = tellFile(handle);
        outcome.writes = sink.writes;
        outcome.output = sink.output;
        return outcome;
    }

    // Splits bytes into volume files at the given cut points and makes the
    // double read them, the first one current.
    void makeVolumes(const Bytes& bytes, std::vector<size_t> cuts) {
        for (FileHandle handle : volumeDouble.volumes) closeFile(handle);
        volumeDouble = VolumeDouble();
        cuts.insert(cuts.begin(), 0);
        cuts.push_back(bytes.size());
        for (size_t i = 0; i + 1 < cuts.size(); ++i) {
            std::string path = folder.file("volume" + std::to_string(i));
            writeFile(path, Bytes(bytes.begin() + cuts[i], bytes.begin() + cuts[i + 1]));
            volumeDouble.volumes.push_back(openExisting(path.c_str(), 0));
        }
        updater.volumeHandle = volumeDouble.volumes[0];
        payloadReader = readFromVolumes;
    }

    TempFolder folder;
};

// ---------------------------------------------------------------------------
// Blocks

TEST_F(InflaterTest, ShortestStreamIsAnEmptyStoredBlock) {
    Outcome outcome = run({0x0F, 0x00, 0x00, 0xAB});
    EXPECT_EQ(outcome.result, INFLATE_OK);
    EXPECT_EQ(outcome.writes, deliveries(0));
    EXPECT_EQ(outcome.position, 3u);
}

TEST_F(InflaterTest, InvalidBlockKindsFailAfterTheWindowsDelivered) {
    for (unsigned header : {0u, 1u, 2u, 3u, 4u, 8u, 9u, 10u, 11u, 12u}) {
        SCOPED_TRACE(header);
        BitWriter alone;
        alone.writeBits(header, 4);
        Outcome outcome = run(alone.bytes());
        EXPECT_EQ(outcome.result, INFLATE_BAD_BLOCK);
        EXPECT_TRUE(outcome.writes.empty());

        BitWriter after;
        writeStored(after, Bytes(40000, 0x5A), false);
        after.writeBits(header, 4);
        outcome = run(after.bytes());
        EXPECT_EQ(outcome.result, INFLATE_BAD_BLOCK);
        EXPECT_EQ(outcome.writes, std::vector<size_t>{32768});
    }
}

TEST_F(InflaterTest, StoredBlockStartsAtTheByteAfterACodedBlock) {
    // The data begins with what RFC 1951's NLEN would be; here it is data.
    Bytes data = {0xFA, 0xFF, 0x00, 0x01, 0x02};
    struct Case {
        const char* name;
        std::function<void(BitWriter&)> codedBlock;
    };
    const Case cases[] = {
        {"fixed", [](BitWriter& w) { w.writeFixedBlock(literalTokens("ab"), false); }},
        {"dynamic", [](BitWriter& w) { w.writeDynamicBlock(literalTokens("ab"), false); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BitWriter w;
        c.codedBlock(w);
        ASSERT_NE(w.bitCount() % 8, 0u);   // the coded block ends inside a byte
        w.writeStoredBlock(data, true);
        Outcome outcome = run(w.bytes());
        EXPECT_EQ(outcome.result, INFLATE_OK);
        EXPECT_EQ(outcome.output, concat(text("ab"), data));
    }
}

TEST_F(InflaterTest, BlocksOfAllKindsFollowEachOther) {
    BitWriter w;
    w.writeStoredBlock(text("stored "), false);
    w.writeFixedBlock(literalTokens("fixed "), false);
    w.writeDynamicBlock(literalTokens("dynamic "), false);
    w.writeStoredBlock(Bytes(), false);
    w.writeFixedBlock({Token::match(12, 7)}, true);
    Outcome outcome = run(w.bytes());
    EXPECT_EQ(outcome.result, INFLATE_OK);
    EXPECT_EQ(outcome.output, expandTokens({Token::match(12, 7)}, text("stored fixed dynamic ")));
}

// ---------------------------------------------------------------------------
// Back-references and output delivery

TEST_F(InflaterTest, BackReferencesCopyThroughTheWindow) {
    Bytes noise = mixedData(40000, 7);
    struct Case {
        const char* name;
        Bytes history;   // stored ahead of the tokens
        Tokens tokens;
    };
    const Case cases[] = {
        {"distance 1 repeats the last byte", {}, {Token::byte('x'), Token::match(258, 1)}},
        {"distance past the start reads zeros", {}, {Token::byte('a'), Token::match(5, 100)}},
        {"overlapping copy repeats its own output", {}, {Token::byte('a'), Token::byte('b'), Token::byte('c'),
                                                          Token::match(10, 3)}},
        {"longest distance", noise, {Token::match(258, 32768), Token::match(3, 32768)}},
        {"destination crosses the window's end", Bytes(noise.begin(), noise.begin() + 32700),
         {Token::match(258, 1000), Token::match(200, 150)}},
        {"source crosses the window's end", Bytes(noise.begin(), noise.begin() + 32868),
         {Token::match(258, 200), Token::match(258, 32000)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BitWriter w;
        if (!c.history.empty()) writeStored(w, c.history, false);
        w.writeFixedBlock(c.tokens, true);
        Outcome outcome = run(w.bytes());
        Bytes expected = expandTokens(c.tokens, c.history);
        EXPECT_EQ(outcome.result, INFLATE_OK);
        EXPECT_EQ(outcome.output, expected);
        EXPECT_EQ(outcome.writes, deliveries(expected.size()));
    }
}

TEST_F(InflaterTest, MatchCopiesKeepTheBytesPastTheirEnd) {
    // Matches of every short distance and of lengths around word sizes,
    // each followed by a match that reads the window from just past its end
    // on (distances 32761-32768: history from a window ago, the 31 bytes
    // after the first match's end), across a window boundary: a copy may
    // move whole words, but never changes a byte beyond its length.
    Bytes history = mixedData(60000, 5);
    for (size_t i = 0; i < history.size(); ++i) history[i] ^= static_cast<uint8_t>(i * 131);
    Tokens tokens;
    for (unsigned distance = 1; distance <= 17; ++distance)
        for (unsigned length : {3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 33, 257, 258}) {
            tokens.push_back(Token::match(length, distance));
            tokens.push_back(Token::match(24, 32768 - (length + distance) % 8));
            tokens.push_back(Token::byte(static_cast<uint8_t>(length)));
        }
    BitWriter w;
    writeStored(w, history, false);
    w.writeFixedBlock(tokens, true);
    Outcome outcome = run(w.bytes());
    Bytes expected = expandTokens(tokens, history);
    ASSERT_GT(expected.size(), 65536u + 1000);
    EXPECT_EQ(outcome.result, INFLATE_OK);
    EXPECT_TRUE(outcome.output == expected);
    EXPECT_EQ(outcome.writes, deliveries(expected.size()));
}

TEST_F(InflaterTest, OutputGoesOutInFullWindowsThenTheRest) {
    for (size_t size : {0, 1, 32767, 32768, 32769, 65536, 65537, 100000}) {
        SCOPED_TRACE(size);
        Bytes data = mixedData(size, static_cast<uint32_t>(size));
        Outcome stored = run(storedStream(data));
        EXPECT_EQ(stored.result, INFLATE_OK);
        EXPECT_EQ(stored.writes, deliveries(size));
        EXPECT_EQ(stored.output, data);

        // A run of one byte: every window boundary falls inside a copy.
        Tokens run258 = {Token::byte(0x77)};
        for (size_t n = 1; n < size; n += run258.back().length)
            run258.push_back(Token::match(static_cast<unsigned>(std::min<size_t>(258, std::max<size_t>(3, size - n))), 1));
        Bytes expected = size ? expandTokens(run258) : Bytes();
        Outcome coded = run(size ? fixedStream(run258) : fixedStream({}));
        EXPECT_EQ(coded.result, INFLATE_OK);
        EXPECT_EQ(coded.writes, deliveries(expected.size()));
        EXPECT_EQ(coded.output, expected);
    }
}

TEST_F(InflaterTest, FailureDropsThePartialWindow) {
    BitWriter w;
    writeStored(w, Bytes(40000, 1), false);
    w.writeBlockHeader(BLOCK_FIXED, true);
    w.writeSymbol(fixedLiteralCode(), 'a');
    w.writeSymbol(fixedLiteralCode(), 286);
    Outcome outcome = run(w.bytes());
    EXPECT_EQ(outcome.result, INFLATE_BAD_DATA);
    EXPECT_EQ(outcome.writes, std::vector<size_t>{32768});
}

// ---------------------------------------------------------------------------
// Code rules

struct StreamCase {
    const char* name;
    std::function<Bytes()> build;
    int result;
    Bytes output;   // checked when the result is 0
};

void checkCases(const std::vector<StreamCase>& cases,
                const std::function<Outcome(const Bytes&)>& run) {
    for (const StreamCase& c : cases) {
        SCOPED_TRACE(c.name);
        Outcome outcome = run(c.build());
        EXPECT_EQ(outcome.result, c.result);
        if (c.result == INFLATE_OK) EXPECT_EQ(outcome.output, c.output);
        else EXPECT_TRUE(outcome.writes.empty());
    }
}

// A dynamic last block: header fields, then tokens or raw codes by body.
Bytes dynamicStream(const DynamicHeader& header, const std::function<void(BitWriter&)>& body) {
    BitWriter w;
    w.writeBlockHeader(BLOCK_DYNAMIC, true);
    w.writeDynamicHeader(header);
    body(w);
    return w.bytes();
}

DynamicHeader headerOf(std::vector<uint8_t> literalLengths, std::vector<uint8_t> distanceLengths) {
    DynamicHeader header;
    header.literalLengths = std::move(literalLengths);
    header.distanceLengths = std::move(distanceLengths);
    return header;
}

std::function<void(BitWriter&)> tokensFor(const DynamicHeader& header, const Tokens& tokens) {
    return [=](BitWriter& w) {
        w.writeTokens(tokens, HuffmanCode(header.literalLengths), HuffmanCode(header.distanceLengths));
    };
}

TEST_F(InflaterTest, FixedBlockSymbolsWithoutMeaningAreInvalid) {
    auto symbols = [](std::vector<std::pair<bool, unsigned>> codes) {
        return [=] {
            BitWriter w;
            w.writeBlockHeader(BLOCK_FIXED, true);
            for (auto& code : codes) w.writeSymbol(code.first ? fixedDistanceCode() : fixedLiteralCode(), code.second);
            return w.bytes();
        };
    };
    std::vector<StreamCase> cases = {
        {"literal/length 286", symbols({{false, 'a'}, {false, 286}}), INFLATE_BAD_DATA, {}},
        {"literal/length 287", symbols({{false, 287}}), INFLATE_BAD_DATA, {}},
        {"distance 30", symbols({{false, 'a'}, {false, 257}, {true, 30}}), INFLATE_BAD_DATA, {}},
        {"distance 31", symbols({{false, 257}, {true, 31}}), INFLATE_BAD_DATA, {}},
        {"distance 29 is valid", [] { return fixedStream({Token::byte('a'), Token::match(3, 24577)}); }, INFLATE_OK,
         {'a', 0, 0, 0}},
    };
    checkCases(cases, [&](const Bytes& b) { return run(b); });
}

TEST_F(InflaterTest, DynamicHeaderCountsBeyondTheSymbolsAreInvalid) {
    std::vector<uint8_t> literal = lengthsOf(257, {{'a', 1}, {256, 1}});
    auto withCounts = [=](size_t literalCount, size_t distanceCount) {
        return [=] {
            std::vector<uint8_t> lengths = literal;
            lengths.resize(literalCount, 0);
            DynamicHeader header = headerOf(lengths, std::vector<uint8_t>(distanceCount, 0));
            header.distanceLengths[0] = 1;
            return dynamicStream(header, tokensFor(header, literalTokens("a")));
        };
    };
    std::vector<StreamCase> cases = {
        {"HLIT 29, HDIST 29", withCounts(286, 30), INFLATE_OK, text("a")},
        {"HLIT 30", withCounts(287, 1), INFLATE_BAD_DATA, {}},
        {"HLIT 31", withCounts(288, 1), INFLATE_BAD_DATA, {}},
        {"HDIST 30", withCounts(257, 31), INFLATE_BAD_DATA, {}},
        {"HDIST 31", withCounts(257, 32), INFLATE_BAD_DATA, {}},
    };
    checkCases(cases, [&](const Bytes& b) { return run(b); });
}

TEST_F(InflaterTest, CodeLengthRepeats) {
    // 'a' and end of block with 1-bit codes, no distance code.
    // Two unused length symbols, so that the sequence ends in three zeros.
    std::vector<uint8_t> literal = lengthsOf(259, {{'a', 1}, {256, 1}});
    std::vector<uint8_t> all = literal;
    all.push_back(0);
    auto withSequence = [=](std::vector<CodeLengthSymbol> sequence) {
        return [=] {
            DynamicHeader header = headerOf(literal, {0});
            header.sequence = sequence;
            return dynamicStream(header, tokensFor(header, literalTokens("a")));
        };
    };
    auto joined = [](std::vector<CodeLengthSymbol> a, const std::vector<CodeLengthSymbol>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    // Everything but the last two lengths, then a repeat.
    std::vector<CodeLengthSymbol> head = encodeCodeLengths(std::vector<uint8_t>(all.begin(), all.end() - 2));
    std::vector<uint8_t> afterThree(all.begin() + 3, all.end());
    std::vector<StreamCase> cases = {
        {"16 at the start repeats length 0", withSequence(joined({{16, 0}}, encodeCodeLengths(afterThree))),
         INFLATE_OK, text("a")},
        {"exactly to the total", withSequence(joined(head, {{0, 0}, {0, 0}})), INFLATE_OK, text("a")},
        {"16 past the total", withSequence(joined(head, {{16, 0}})), INFLATE_BAD_DATA, {}},
        {"17 past the total", withSequence(joined(head, {{17, 0}})), INFLATE_BAD_DATA, {}},
        {"18 past the total", withSequence(joined(head, {{18, 0}})), INFLATE_BAD_DATA, {}},
    };
    checkCases(cases, [&](const Bytes& b) { return run(b); });

    // A zero run from the literal/length lengths into the distance lengths.
    std::vector<uint8_t> longLiteral = lengthsOf(286, {{'a', 2}, {256, 2}, {257, 1}});
    std::vector<uint8_t> distance = lengthsOf(30, {{4, 1}, {5, 1}});
    std::vector<uint8_t> both = concat(longLiteral, distance);
    std::vector<CodeLengthSymbol> sequence = encodeCodeLengths(both);
    ASSERT_TRUE(std::any_of(sequence.begin(), sequence.end(), [](CodeLengthSymbol s) { return s.symbol == 18; }));
    DynamicHeader header = headerOf(longLiteral, distance);
    Tokens tokens = {Token::byte('a'), Token::match(3, 5)};
    Outcome outcome = run(dynamicStream(header, tokensFor(header, tokens)));
    EXPECT_EQ(outcome.result, INFLATE_OK);
    EXPECT_EQ(outcome.output, expandTokens(tokens));
}

TEST_F(InflaterTest, CodesMustBeCompleteExceptOneBitCodes) {
    // A complete literal/length code: 'a', 'b', end of block, length 3.
    std::vector<uint8_t> four = lengthsOf(258, {{'a', 2}, {'b', 2}, {256, 2}, {257, 2}});
    auto stream = [](std::vector<uint8_t> literal, std::vector<uint8_t> distance, Tokens tokens) {
        return [=] {
            DynamicHeader header = headerOf(literal, distance);
            return dynamicStream(header, tokensFor(header, tokens));
        };
    };
    auto raw = [](DynamicHeader header, std::function<void(BitWriter&)> body) {
        return [=] { return dynamicStream(header, body); };
    };
    auto withLengthCode = [](std::vector<uint8_t> codeLengthLengths) {
        DynamicHeader header = headerOf(lengthsOf(257, {{'a', 1}, {256, 1}}), {0});
        header.codeLengthLengths = codeLengthLengths;
        header.sequence = {{0, 0}};   // the decoder stops before it
        return header;
    };
    std::vector<uint8_t> noDistance = lengthsOf(258, {{'a', 2}, {256, 2}, {257, 1}});

    std::vector<StreamCase> cases = {
        {"one-symbol distance code", stream(four, {1}, {Token::byte('a'), Token::byte('b'), Token::match(3, 1)}),
         INFLATE_OK, text("abbbb")},
        {"unused code of a one-symbol distance code",
         raw(headerOf(four, {1}),
             [&](BitWriter& w) {
                 HuffmanCode literal(four);
                 w.writeSymbol(literal, 'a');
                 w.writeSymbol(literal, 257);
                 w.writeHuffman(1, 1);
                 w.writeSymbol(literal, 256);
             }),
         INFLATE_BAD_DATA, {}},
        {"one-symbol literal/length code", stream(lengthsOf(257, {{256, 1}}), {0}, {}), INFLATE_OK, {}},
        {"incomplete literal/length code of 2 bits", stream(lengthsOf(257, {{'a', 2}, {256, 2}}), {0}, literalTokens("a")),
         INFLATE_BAD_DATA, {}},
        {"incomplete distance code of 2 bits", stream(four, {2, 2}, literalTokens("a")), INFLATE_BAD_DATA, {}},
        {"over-subscribed literal/length code", stream(lengthsOf(257, {{'a', 1}, {'b', 1}, {256, 1}}), {0}, {}),
         INFLATE_BAD_BLOCK, {}},
        {"over-subscribed distance code", stream(four, {1, 1, 1}, {}), INFLATE_BAD_BLOCK, {}},
        {"over-subscribed code-length code", raw(withLengthCode(lengthsOf(19, {{0, 1}, {1, 1}, {18, 1}})), [](BitWriter&) {}),
         INFLATE_BAD_BLOCK, {}},
        {"incomplete code-length code", raw(withLengthCode(lengthsOf(19, {{0, 2}, {1, 2}, {18, 2}})), [](BitWriter&) {}),
         INFLATE_BAD_DATA, {}},
        {"unused code of a one-symbol code-length code",
         [] {
             BitWriter w;
             w.writeBlockHeader(BLOCK_DYNAMIC, true);
             w.writeBits(0, 5);      // 257 literal/length lengths
             w.writeBits(0, 5);      // 1 distance length
             w.writeBits(0, 4);      // 4 code-length code lengths: 18, 17, 16, 0
             w.writeBits(1, 3);      // 18: the only code, '0'
             w.writeBits(0, 9);      // 17, 16, 0: none
             w.writeHuffman(1, 1);   // '1', which no symbol has
             w.writeBits(0, 16);
             return w.bytes();
         },
         INFLATE_BAD_DATA, {}},
        {"empty literal/length code", raw(headerOf(lengthsOf(257, {}), {0}), [](BitWriter& w) { w.writeBits(0, 16); }),
         INFLATE_BAD_DATA, {}},
        {"empty distance code with literals only", stream(noDistance, {0}, literalTokens("aa")), INFLATE_OK, text("aa")},
        {"empty distance code and a length",
         raw(headerOf(noDistance, {0}),
             [&](BitWriter& w) {
                 HuffmanCode literal(noDistance);
                 w.writeSymbol(literal, 'a');
                 w.writeSymbol(literal, 257);
                 w.writeBits(0, 16);
             }),
         INFLATE_BAD_DATA, {}},
    };
    checkCases(cases, [&](const Bytes& b) { return run(b); });
}

// ---------------------------------------------------------------------------
// Input position and the end of the input

TEST_F(InflaterTest, NextStreamFollowsWithoutASeek) {
    Bytes first = mixedData(5000, 3);
    struct Case {
        const char* name;
        Bytes stream;
    };
    BitWriter dynamicThenStored;
    dynamicThenStored.writeDynamicBlock(literalTokens("head "), false);
    dynamicThenStored.writeStoredBlock(first, true);
    // End of block in 3 bits of a code up to 7 bits long: its lookup must
    // not ask for 7. The stream ends on a byte boundary, its last literal
    // in the first level.
    std::vector<uint8_t> shortEnd = lengthsOf(257, {{'a', 2}, {'b', 2}, {'c', 3}, {'d', 3}, {256, 3}});
    for (unsigned symbol = 'e'; symbol < 'e' + 16; ++symbol) shortEnd[symbol] = 7;
    Bytes dynamicLast;
    for (size_t padding = 0; padding < 8 && dynamicLast.empty(); ++padding) {
        Tokens tokens = literalTokens("bcdefghijklmnop");
        tokens.insert(tokens.end(), padding, Token::byte('c'));   // 3 bits each
        BitWriter w;
        w.writeDynamicBlock(tokens, shortEnd, {0}, true);
        if (w.bitCount() % 8 == 0) dynamicLast = w.bytes();
    }
    const Case cases[] = {
        {"stored last block", storedStream(first)},
        {"fixed last block", fixedStream(Matcher(first).tokens(0, first.size()))},
        {"stored after dynamic", dynamicThenStored.bytes()},
        {"dynamic last block, short end-of-block code", dynamicLast},
    };
    ASSERT_FALSE(dynamicLast.empty());
    Bytes second = text("second stream, second stream");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes secondStream = fixedStream(Matcher(second).tokens(0, second.size()));
        Bytes file = concat(concat(c.stream, secondStream), text("tail"));
        std::string path = folder.file("streams");
        writeFile(path, file);
        FileHandle handle = openExisting(path.c_str(), 0);
        Outcome one = runHandle(handle, 0);
        EXPECT_EQ(one.result, INFLATE_OK);
        EXPECT_EQ(one.position, c.stream.size());
        Outcome two = runHandle(handle, 0);
        EXPECT_EQ(two.result, INFLATE_OK);
        EXPECT_EQ(two.output, second);
        EXPECT_EQ(two.position, c.stream.size() + secondStream.size());
        closeFile(handle);
    }
}

TEST_F(InflaterTest, FixedLastBlockEndsOnItsLastByteAtAnyBufferOffset) {
    // A fixed last block after a stored block whose end moves across the
    // first 4096-byte read, with few or many tokens; a second stream
    // follows in the same file, so buffered input remains after the end.
    Bytes second = text("second stream, second stream");
    Bytes secondStream = fixedStream(Matcher(second).tokens(0, second.size()));
    Bytes body = mixedData(6000, 17);
    Tokens many = Matcher(body).tokens(0, body.size());
    ASSERT_GE(many.size(), 400u);
    for (size_t storedSize = 4096 - 3 - 24; storedSize <= 4096 - 3 + 8; ++storedSize)
        for (size_t tokenCount : {0, 1, 2, 5, 40, 400}) {
            SCOPED_TRACE(storedSize);
            SCOPED_TRACE(tokenCount);
            Bytes head = mixedData(storedSize, static_cast<uint32_t>(storedSize));
            Tokens tokens(many.begin(), many.begin() + tokenCount);
            BitWriter w;
            w.writeStoredBlock(head.data(), head.size(), false);
            w.writeFixedBlock(tokens, true);
            Bytes stream = w.bytes();
            std::string path = folder.file("streams");
            writeFile(path, concat(concat(stream, secondStream), text("tail")));
            FileHandle handle = openExisting(path.c_str(), 0);
            Outcome one = runHandle(handle, 0);
            EXPECT_EQ(one.result, INFLATE_OK);
            EXPECT_TRUE(one.output == expandTokens(tokens, head));
            EXPECT_EQ(one.position, stream.size());
            Outcome two = runHandle(handle, 0);
            EXPECT_EQ(two.result, INFLATE_OK);
            EXPECT_EQ(two.output, second);
            closeFile(handle);
        }
}

TEST_F(InflaterTest, LookupMayReachPastTheLastByte) {
    // End of block has a 1-bit code, distance code 0 a 1-bit code in a
    // 6-bit table: after the last match the distance lookup asks for 4
    // bits beyond the stream, at the very end of the file.
    std::vector<uint8_t> literal = lengthsOf(258, {{'a', 2}, {256, 1}, {257, 2}});
    std::vector<uint8_t> distance = {1, 2, 3, 4, 5, 6, 6};
    for (size_t padding = 0; padding < 8; ++padding) {
        Tokens tokens(padding, Token::byte('a'));
        tokens.push_back(Token::match(3, 1));
        BitWriter w;
        w.writeDynamicBlock(tokens, literal, distance, true);
        if (w.bitCount() % 8 != 0) continue;   // the stream must end on its last bit
        Outcome outcome = run(w.bytes());
        EXPECT_EQ(outcome.result, INFLATE_OK);
        EXPECT_EQ(outcome.output, expandTokens(tokens));
        return;
    }
    FAIL() << "no padding ends the stream on a byte boundary";
}

Bytes smallMixedStream() {
    Bytes data = mixedData(6000, 11);
    BitWriter w;
    Matcher matcher(data);
    w.writeDynamicBlock(matcher.tokens(0, 2000), false);
    matcher.skip(2000, 2100);
    w.writeStoredBlock(data.data() + 2000, 100, false);
    w.writeFixedBlock(matcher.tokens(2100, 3000), false);
    w.writeDynamicBlock(matcher.tokens(3000, 6000), true);
    return w.bytes();
}

TEST_F(InflaterTest, CutStreamsFail) {
    Bytes stream = smallMixedStream();
    ASSERT_EQ(run(stream).result, INFLATE_OK);
    // Every cut through the volume mode's limit (0 would be the direct
    // mode); a sample of them, the last bytes included, as files that end
    // early.
    makeVolumes(stream, {});
    for (size_t length = 1; length < stream.size(); ++length) {
        seekFileTo(updater.volumeHandle, 0);
        ASSERT_EQ(runHandle(updater.volumeHandle, static_cast<uint32_t>(length)).result, INFLATE_BAD_DATA)
            << "limit " << length;
    }
    for (size_t length = 0; length < stream.size(); length += length + 16 < stream.size() ? 37 : 1) {
        Outcome outcome = run(Bytes(stream.begin(), stream.begin() + length));
        ASSERT_EQ(outcome.result, INFLATE_BAD_DATA) << "cut at " << length;
    }
}

TEST_F(InflaterTest, DamagedStreamsEndWithinTheirBuffers) {
    // Bit flips in a valid stream and plain noise: any result may come, but
    // every run ends, and a memory destination is never overrun (the
    // sanitized build checks the last part).
    Bytes stream = smallMixedStream();
    std::mt19937 random(99);
    std::string path = folder.file("damaged");
    for (int round = 0; round < 200; ++round) {
        Bytes damaged = stream;
        if (round % 3 == 0) {
            damaged.resize(64 + random() % 2000);
            for (uint8_t& b : damaged) b = static_cast<uint8_t>(random());
        } else {
            for (int flips = 1 + round % 4; flips; --flips) damaged[random() % damaged.size()] ^= 1 << (random() % 8);
        }
        writeFile(path, damaged);
        FileHandle handle = openExisting(path.c_str(), 0);
        std::vector<uint8_t> destination(3000);
        inflateToMemory(destination.data(), static_cast<uint32_t>(destination.size()), handle, 0);
        seekFileTo(handle, 0);
        Outcome outcome = runHandle(handle, 0);
        EXPECT_GE(outcome.result, INFLATE_OK);
        EXPECT_LE(outcome.result, INFLATE_BAD_BLOCK);
        closeFile(handle);
    }
}

// ---------------------------------------------------------------------------
// Large round trips

TEST_F(InflaterTest, LargeMixedDataRoundTrips) {
    Bytes data = mixedData(1500000, 2024);
    Bytes stream = compressMixed(data);
    ASSERT_LT(stream.size(), data.size());

    Outcome outcome = run(stream);
    EXPECT_EQ(outcome.result, INFLATE_OK);
    EXPECT_TRUE(outcome.output == data);
    EXPECT_EQ(outcome.writes, deliveries(data.size()));

    std::string streamPath = folder.file("stream");
    std::string outputPath = folder.file("output");
    FileHandle source = openExisting(streamPath.c_str(), 0);
    FileHandle destination = createAlways(outputPath.c_str());
    EXPECT_TRUE(inflateToFile(destination, source, 0));
    closeFile(destination);
    EXPECT_TRUE(readFile(outputPath) == data);

    Bytes memory(data.size());
    seekFileTo(source, 0);
    EXPECT_TRUE(inflateToMemory(memory.data(), static_cast<uint32_t>(memory.size()), source, 0));
    EXPECT_TRUE(memory == data);
    closeFile(source);
}

// ---------------------------------------------------------------------------
// Volume mode

TEST_F(InflaterTest, VolumeModeFollowsTheReaderAcrossVolumes) {
    Bytes data = mixedData(300000, 5);
    Bytes stream = compressMixed(data);
    // The last volume holds more payload after the stream.
    makeVolumes(concat(stream, text("next item")), {stream.size() / 3 + 1, stream.size() / 2 + 4097});
    Outcome outcome = runHandle(updater.volumeHandle, static_cast<uint32_t>(stream.size()));
    EXPECT_EQ(outcome.result, INFLATE_OK);
    EXPECT_TRUE(outcome.output == data);
    EXPECT_FALSE(volumeDouble.staleHandle);
    EXPECT_EQ(volumeDouble.handles.back(), volumeDouble.volumes[2]);
    EXPECT_EQ(volumeDouble.requested, stream.size());
}

TEST_F(InflaterTest, VolumeModeReadsNoMoreThanTheLimit) {
    Bytes stream = smallMixedStream();
    makeVolumes(concat(stream, Bytes(5000, 0)), {});
    uint32_t limit = static_cast<uint32_t>(stream.size() - 7);
    Outcome outcome = runHandle(updater.volumeHandle, limit);
    EXPECT_EQ(outcome.result, INFLATE_BAD_DATA);
    EXPECT_EQ(volumeDouble.requested, limit);
}

TEST_F(InflaterTest, VolumeReadFailureKeepsTheDeliveredWindows) {
    Bytes data = mixedData(100000, 8);
    // 2730 empty stored blocks of 3 bytes put output byte 32767 (the first
    // window's last) at stream offset 40960, the start of the 11th read.
    BitWriter aligned;
    for (int i = 0; i < 2730; ++i) aligned.writeStoredBlock(Bytes(), false);
    aligned.writeStoredBlock(data.data(), 40000, true);
    struct Case {
        const char* name;
        Bytes stream;
        int failAtCall;
        std::vector<size_t> writes;
    };
    const Case cases[] = {
        // Seventeen reads of 4096 bytes hold 69626 bytes of data: two windows.
        {"stored data", storedStream(data), 18, {32768, 32768}},
        {"failure on a window's last byte", aligned.bytes(), 11, {}},
        {"failure right after it", aligned.bytes(), 12, {32768}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        makeVolumes(c.stream, {});
        volumeDouble.failAtCall = c.failAtCall;
        Outcome outcome = runHandle(updater.volumeHandle, static_cast<uint32_t>(c.stream.size()));
        EXPECT_EQ(outcome.result, INFLATE_BAD_DATA);
        EXPECT_EQ(outcome.writes, c.writes);
        EXPECT_TRUE(std::equal(outcome.output.begin(), outcome.output.end(), data.begin()));
        EXPECT_EQ(volumeDouble.calls, c.failAtCall);   // a failed reader is not asked again
    }

    // Failures inside coded blocks, where one symbol may need several bytes.
    Bytes mixed = mixedData(400000, 12);
    Bytes coded = compressMixed(mixed);
    for (int failAtCall = 2; failAtCall * 4096 < static_cast<int>(coded.size()); failAtCall += 3) {
        SCOPED_TRACE(failAtCall);
        makeVolumes(coded, {});
        volumeDouble.failAtCall = failAtCall;
        Outcome outcome = runHandle(updater.volumeHandle, static_cast<uint32_t>(coded.size()));
        EXPECT_EQ(outcome.result, INFLATE_BAD_DATA);
        EXPECT_EQ(outcome.writes, std::vector<size_t>(outcome.output.size() / 32768, 32768));
        EXPECT_TRUE(std::equal(outcome.output.begin(), outcome.output.end(), mixed.begin()));
        EXPECT_EQ(volumeDouble.calls, failAtCall);
    }

    // The driver: false, and the file holds the two windows.
    Bytes stream = storedStream(data);
    uint32_t limit = static_cast<uint32_t>(stream.size());
    makeVolumes(stream, {});
    volumeDouble.failAtCall = 18;
    std::string outputPath = folder.file("output");
    FileHandle destination = createAlways(outputPath.c_str());
    EXPECT_FALSE(inflateToFile(destination, updater.volumeHandle, limit));
    closeFile(destination);
    EXPECT_EQ(readFile(outputPath).size(), 65536u);

    // No reader at all.
    payloadReader = 0;
    seekFileTo(volumeDouble.volumes[0], 0);
    EXPECT_EQ(runHandle(updater.volumeHandle, limit).result, INFLATE_BAD_DATA);
}

// ---------------------------------------------------------------------------
// Drivers

TEST_F(InflaterTest, MemoryDestinationIsNeverOverrun) {
    Bytes data = mixedData(40000, 9);
    BitWriter w;
    writeStored(w, Bytes(data.begin(), data.begin() + 20000), false);
    Matcher matcher(data);
    matcher.skip(0, 20000);
    w.writeFixedBlock(matcher.tokens(20000, 40000), true);
    std::string path = folder.file("stream");
    writeFile(path, w.bytes());
    FileHandle source = openExisting(path.c_str(), 0);
    for (uint32_t capacity : {40000u, 40001u, 39999u, 32768u, 32767u, 1u, 0u}) {
        SCOPED_TRACE(capacity);
        Bytes memory(capacity + 64, 0xCC);
        seekFileTo(source, 0);
        bool ok = inflateToMemory(memory.data(), capacity, source, 0);
        EXPECT_EQ(ok, capacity >= data.size());
        size_t filled = std::min<size_t>(capacity, data.size());
        EXPECT_TRUE(std::equal(data.begin(), data.begin() + filled, memory.begin()));
        EXPECT_TRUE(std::all_of(memory.begin() + filled, memory.end(), [](uint8_t b) { return b == 0xCC; }));
    }
    closeFile(source);
}

TEST_F(InflaterTest, DriversThatCannotStartReturnFalse) {
    std::string path = folder.file("stream");
    writeFile(path, concat(Bytes(5, 0), storedStream(text("abc"))));
    FileHandle source = openExisting(path.c_str(), 0);
    uint8_t memory[8] = {};

    seekFileTo(source, 5);
    EXPECT_FALSE(inflateToMemory(nullptr, 8, source, 0));
    EXPECT_EQ(tellFile(source), 5u);

    EXPECT_FALSE(inflateToMemory(memory, 8, NO_FILE, 0));
    EXPECT_FALSE(inflateToFile(NO_FILE, NO_FILE, 0));

    posixFaults.failAllocations = 1;
    EXPECT_FALSE(inflateToMemory(memory, 8, source, 0));
    EXPECT_EQ(tellFile(source), 5u);

    EXPECT_TRUE(inflateToMemory(memory, 8, source, 0));
    EXPECT_EQ(Bytes(memory, memory + 3), text("abc"));
    seekFileTo(source, 5);
    EXPECT_TRUE(inflateToFile(NO_FILE, source, 0));   // the output is discarded
    closeFile(source);
}

}  // namespace
