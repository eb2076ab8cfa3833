// The builder's compressor: round trips through the updater's decompressor at
// every level, the size against libdeflate's raw DEFLATE, raw streams with
// codes the updater refuses (they must come out accepted), invalid raw input,
// and verification that catches bad streams.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "builder/bitwriter.h"
#include "builder/compressor.h"

namespace {

using Tokens = std::vector<Token>;

// --- Data ------------------------------------------------------------------

Bytes textData(size_t size, uint32_t seed) {
    static const char* const words[] = {"update ", "installer ", "the ", "version ", "patch ", "window ", "of ",
                                        "and ",    "folder ",    "copy ", "\r\n",     ", ",     ". ",     "Zorvat "};
    std::mt19937 random(seed);
    Bytes data;
    while (data.size() < size) {
        const char* word = words[random() % 14];
        for (; *word && data.size() < size; ++word) data.push_back(static_cast<uint8_t>(*word));
    }
    return data;
}

Bytes randomData(size_t size, uint32_t seed) {
    std::mt19937 random(seed);
    Bytes data(size);
    for (uint8_t& byte : data) byte = static_cast<uint8_t>(random());
    return data;
}

// Records of an executable-like table: a rising offset, a few flag values,
// small numbers and a name field.
Bytes structuredData(size_t size, uint32_t seed) {
    std::mt19937 random(seed);
    Bytes data;
    for (uint32_t index = 0; data.size() < size; ++index) {
        uint32_t fields[4] = {0x401000 + index * 0x24, 1u << (random() % 4), static_cast<uint32_t>(random() % 300), index};
        for (uint32_t field : fields)
            for (int shift = 0; shift < 32; shift += 8) data.push_back(static_cast<uint8_t>(field >> shift));
        for (int i = 0; i < 8; ++i) data.push_back(static_cast<uint8_t>(i < 5 ? 'a' + random() % 6 : 0));
    }
    data.resize(size);
    return data;
}

Bytes runsData(size_t size, uint32_t seed) {
    std::mt19937 random(seed);
    Bytes data;
    while (data.size() < size) data.insert(data.end(), 1 + random() % 400, static_cast<uint8_t>(random() % 4));
    data.resize(size);
    return data;
}

// Megabytes of all of the above in pieces, some repeated from far back.
Bytes mixedData(size_t size, uint32_t seed) {
    std::mt19937 random(seed);
    Bytes data;
    while (data.size() < size) {
        size_t piece = 1000 + random() % 60000;
        Bytes part;
        switch (random() % 5) {
        case 0: part = textData(piece, random()); break;
        case 1: part = randomData(piece, random()); break;
        case 2: part = structuredData(piece, random()); break;
        case 3: part = runsData(piece, random()); break;
        default:
            if (data.size() < piece) continue;
            part.assign(data.end() - piece, data.end());   // a repeat too far back for one window
            break;
        }
        data.insert(data.end(), part.begin(), part.end());
    }
    data.resize(size);
    return data;
}

struct Sample {
    const char* name;
    Bytes data;
};

const std::vector<Sample>& corpus() {
    static const std::vector<Sample> samples = {
        {"empty", {}},
        {"one byte", {0x5A}},
        {"text of 32768", textData(32768, 1)},
        {"random of 32768", randomData(32768, 2)},
        {"text of 65536", textData(65536, 3)},
        {"random of 65536", randomData(65536, 4)},
        {"structured of 65536", structuredData(65536, 5)},
        {"runs of 100000", runsData(100000, 6)},
        {"one repeated byte of 300000", Bytes(300000, 0xCC)},
        {"mixed of 2 MB", mixedData(2 << 20, 7)},
    };
    return samples;
}

// --- Round trips -----------------------------------------------------------

TEST(CompressorTest, EveryLevelRoundTripsWithinATenthOfAPercentOfRawDeflate) {
    for (const Sample& sample : corpus()) {
        for (int level = MIN_COMPRESSION_LEVEL; level <= MAX_COMPRESSION_LEVEL; ++level) {
            SCOPED_TRACE(std::string(sample.name) + ", level " + std::to_string(level));
            Bytes stream = compressStream(sample.data, level);
            EXPECT_EQ(decompressStream(stream, static_cast<uint32_t>(sample.data.size())), sample.data);
            size_t raw = rawDeflate(sample.data, level).size();
            EXPECT_LE(stream.size(), raw + raw / 1000 + 4);
        }
    }
}

TEST(CompressorTest, LevelsOutsideOneToTwelveAreRefused) {
    for (int level : {-1, 0, 13}) {
        EXPECT_THROW(compressStream(textData(100, 8), level), std::invalid_argument) << level;
    }
}

// --- Raw streams with every kind of code -----------------------------------
// Raw DEFLATE written bit by bit: RFC 1951 framing (3-bit headers, NLEN, the
// RFC's code-length order) around the token coding that both formats share.

const uint8_t RFC_CODE_LENGTH_ORDER[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

struct RawDynamic {
    std::vector<uint8_t> literalLengths;    // 257-288 entries
    std::vector<uint8_t> distanceLengths;   // 1-32 entries
    std::vector<uint8_t> codeLengthLengths = {};   // 19; empty = made for the lengths
};

class RawWriter {
public:
    void stored(const Bytes& data, bool last) {
        bits.writeBits(last, 1);
        bits.writeBits(0, 2);
        bits.alignToByte();
        bits.writeBits(static_cast<uint32_t>(data.size()), 16);
        bits.writeBits(static_cast<uint32_t>(~data.size() & 0xFFFF), 16);
        for (uint8_t byte : data) bits.writeBits(byte, 8);
    }
    void fixed(const Tokens& tokens, bool last) {
        bits.writeBits(last, 1);
        bits.writeBits(1, 2);
        bits.writeTokens(tokens, fixedLiteralCode(), fixedDistanceCode());
    }
    void dynamic(const RawDynamic& block, const Tokens& tokens, bool last) {
        dynamicHeader(block, last);
        bits.writeTokens(tokens, HuffmanCode(block.literalLengths), HuffmanCode(block.distanceLengths));
    }
    // The header and code lengths; the caller writes the symbols.
    void dynamicHeader(const RawDynamic& block, bool last) {
        std::vector<uint8_t> all = block.literalLengths;
        all.insert(all.end(), block.distanceLengths.begin(), block.distanceLengths.end());
        std::vector<CodeLengthSymbol> sequence = encodeCodeLengths(all);
        std::vector<uint8_t> lengthLengths = block.codeLengthLengths;
        if (lengthLengths.empty()) {
            std::vector<uint32_t> frequencies(19, 0);
            for (const CodeLengthSymbol& entry : sequence) ++frequencies[entry.symbol];
            lengthLengths = limitedHuffmanLengths(frequencies, 7);
        }
        unsigned count = 19;
        while (count > 4 && lengthLengths[RFC_CODE_LENGTH_ORDER[count - 1]] == 0) --count;
        bits.writeBits(last, 1);
        bits.writeBits(2, 2);
        bits.writeBits(static_cast<uint32_t>(block.literalLengths.size() - 257), 5);
        bits.writeBits(static_cast<uint32_t>(block.distanceLengths.size() - 1), 5);
        bits.writeBits(count - 4, 4);
        for (unsigned j = 0; j < count; ++j) bits.writeBits(lengthLengths[RFC_CODE_LENGTH_ORDER[j]], 3);
        HuffmanCode lengthCode(lengthLengths);
        static const unsigned EXTRA_BITS[3] = {2, 3, 7};
        for (const CodeLengthSymbol& entry : sequence) {
            bits.writeSymbol(lengthCode, entry.symbol);
            if (entry.symbol >= 16) bits.writeBits(entry.extra, EXTRA_BITS[entry.symbol - 16]);
        }
    }

    BitWriter bits;
};


// "abcd" with back-references: literal/length symbols 97-100, 256, 258
// (length 4) and 263 (length 9); distance codes 2 (3) and 3 (4).
Tokens sampleTokens() {
    Tokens tokens = literalTokens("abc");
    tokens.push_back(Token::match(9, 3));
    tokens.push_back(Token::byte('d'));
    tokens.push_back(Token::match(4, 4));
    return tokens;
}

// Lengths for count symbols, all 0 except the ones listed.
std::vector<uint8_t> lengthsOf(size_t count, std::initializer_list<std::pair<unsigned, uint8_t>> entries) {
    std::vector<uint8_t> lengths(count, 0);
    for (auto& entry : entries) lengths[entry.first] = entry.second;
    return lengths;
}

// Complete: 97, 98, 99, 100, 256, 258 and 263 with 2, 2, 3, 3, 3, 4, 4 bits.
std::vector<uint8_t> sampleLiteralLengths(size_t count = 264) {
    return lengthsOf(count, {{97, 2}, {98, 2}, {99, 3}, {100, 3}, {256, 3}, {258, 4}, {263, 4}});
}

// Thousands of tokens over many symbols, so that new dynamic codes pay off.
Tokens manyTokens() {
    std::mt19937 random(9);
    Tokens tokens;
    size_t produced = 0;
    while (produced < 20000) {
        if (produced > 100 && random() % 3 == 0) {
            unsigned length = 3 + random() % 100;
            tokens.push_back(Token::match(length, 1 + random() % std::min<size_t>(produced, 30000)));
            produced += length;
        } else {
            tokens.push_back(Token::byte(static_cast<uint8_t>('A' + random() % 40)));
            ++produced;
        }
    }
    return tokens;
}

// Literal/length lengths made for tokens, padded with zero lengths to count.
std::vector<uint8_t> literalLengthsFor(const Tokens& tokens, size_t count) {
    std::vector<uint32_t> frequencies(286, 0);
    for (const Token& token : tokens)
        ++frequencies[token.length ? lengthSymbol(token.length).symbol : token.literal];
    ++frequencies[END_OF_BLOCK];
    std::vector<uint8_t> lengths = limitedHuffmanLengths(frequencies, 15);
    lengths.resize(count, 0);
    return lengths;
}

std::vector<uint8_t> distanceLengthsFor(const Tokens& tokens, size_t count) {
    std::vector<uint32_t> frequencies(30, 0);
    for (const Token& token : tokens)
        if (token.length) ++frequencies[distanceSymbol(token.distance).symbol];
    std::vector<uint8_t> lengths = limitedHuffmanLengths(frequencies, 15);
    lengths.resize(count, 0);
    return lengths;
}

struct RawCase {
    const char* name;
    std::function<void(RawWriter&)> write;
    Tokens tokens;   // what the stream unpacks to, expanded
};

TEST(CompressorTest, RawStreamsWithAnyValidCodesComeOutAcceptedByTheUpdater) {
    const Tokens sample = sampleTokens();
    const Tokens many = manyTokens();
    const Tokens plain = literalTokens("no back-references at all");
    // The codes in the first group are taken by the updater as they are, the
    // others only after coding the block again.
    const RawCase cases[] = {
        {"complete codes", [&](RawWriter& w) {
             w.dynamic({sampleLiteralLengths(), lengthsOf(4, {{2, 1}, {3, 1}})}, sample, true);
         }, sample},
        {"distance code of one 1-bit code", [&](RawWriter& w) {
             Tokens tokens = literalTokens("abc");
             tokens.push_back(Token::match(9, 3));
             w.dynamic({lengthsOf(264, {{97, 2}, {98, 2}, {99, 2}, {256, 3}, {263, 3}}), lengthsOf(3, {{2, 1}})},
                       tokens, true);
         }, [] { Tokens t = literalTokens("abc"); t.push_back(Token::match(9, 3)); return t; }()},
        {"empty distance code", [&](RawWriter& w) {
             w.dynamic({literalLengthsFor(plain, 257), {0}}, plain, true);
         }, plain},
        {"codes of 15 bits", [&](RawWriter& w) {
             // 97..110 get 1..14 bits, then 256 and 263 share the last two 15-bit codes.
             std::vector<uint8_t> lengths(264, 0);
             for (unsigned i = 0; i < 14; ++i) lengths[97 + i] = static_cast<uint8_t>(i + 1);
             lengths[256] = lengths[263] = 15;
             Tokens tokens = literalTokens("abcn");
             tokens.push_back(Token::match(9, 3));
             w.dynamic({lengths, lengthsOf(3, {{2, 1}})}, tokens, true);
         }, [] { Tokens t = literalTokens("abcn"); t.push_back(Token::match(9, 3)); return t; }()},
        {"zero run from literal/length into distance lengths", [&](RawWriter& w) {
             w.dynamic({sampleLiteralLengths(286), lengthsOf(30, {{2, 1}, {3, 1}})}, sample, true);
         }, sample},
        {"stored blocks of 0 and 65535 bytes between coded ones", [&](RawWriter& w) {
             w.stored({}, false);
             w.fixed(literalTokens("x"), false);   // ends inside a byte
             w.stored(Bytes(65535, 0x33), false);
             w.dynamic({sampleLiteralLengths(), lengthsOf(4, {{2, 1}, {3, 1}})}, sample, false);
             w.stored({}, false);
             w.fixed({Token::match(258, 1)}, true);
         }, [] {
             Tokens t = literalTokens("x");
             Tokens run(65535, Token::byte(0x33));
             t.insert(t.end(), run.begin(), run.end());
             Tokens s = sampleTokens();
             t.insert(t.end(), s.begin(), s.end());
             t.push_back(Token::match(258, 1));
             return t;
         }()},

        {"incomplete literal/length code", [&](RawWriter& w) {
             // Seven 3-bit codes: one of the eight is free.
             w.dynamic({lengthsOf(264, {{97, 3}, {98, 3}, {99, 3}, {100, 3}, {256, 3}, {258, 3}, {263, 3}}),
                        lengthsOf(4, {{2, 1}, {3, 1}})},
                       sample, true);
         }, sample},
        {"incomplete distance code of 2 bits", [&](RawWriter& w) {
             w.dynamic({sampleLiteralLengths(), lengthsOf(4, {{2, 2}, {3, 2}})}, sample, true);
         }, sample},
        {"incomplete code-length code", [&](RawWriter& w) {
             // The lengths use code-length symbols 0-4, 16, 17 and 18: eight
             // 4-bit codes fill half the space.
             RawDynamic block{sampleLiteralLengths(), lengthsOf(4, {{2, 1}, {3, 1}})};
             block.codeLengthLengths = lengthsOf(19, {{0, 4}, {1, 4}, {2, 4}, {3, 4}, {4, 4}, {16, 4}, {17, 4}, {18, 4}});
             w.dynamicHeader(block, true);
             w.bits.writeTokens(sample, HuffmanCode(block.literalLengths), HuffmanCode(block.distanceLengths));
         }, sample},
        {"288 literal/length lengths, the last two used by the code", [&](RawWriter& w) {
             w.dynamic({lengthsOf(288, {{97, 3}, {98, 3}, {99, 3}, {100, 3}, {256, 3}, {258, 3}, {263, 3}, {287, 3}}),
                        lengthsOf(4, {{2, 1}, {3, 1}})},
                       sample, true);
         }, sample},
        {"287 literal/length lengths, many tokens", [&](RawWriter& w) {
             w.dynamic({literalLengthsFor(many, 287), distanceLengthsFor(many, 30)}, many, true);
         }, many},
        {"32 distance lengths", [&](RawWriter& w) {
             w.dynamic({sampleLiteralLengths(), std::vector<uint8_t>(32, 5)}, sample, true);
         }, sample},
        {"31 distance lengths, many tokens", [&](RawWriter& w) {
             w.dynamic({literalLengthsFor(many, 286), distanceLengthsFor(many, 31)}, many, false);
             w.stored({}, true);
         }, many},
    };
    for (const RawCase& c : cases) {
        SCOPED_TRACE(c.name);
        RawWriter raw;
        c.write(raw);
        Bytes expected = expandTokens(c.tokens);
        Bytes stream = transcodeRawDeflate(raw.bits.bytes());
        EXPECT_NO_THROW(verifyStream(stream, expected));
    }
}

TEST(CompressorTest, InvalidRawStreamsAreRefused) {
    const Tokens sample = sampleTokens();
    const std::vector<uint8_t> distances = lengthsOf(4, {{2, 1}, {3, 1}});
    const std::pair<const char*, std::function<void(RawWriter&)>> cases[] = {
        {"block type 3", [&](RawWriter& w) { w.bits.writeBits(7, 3); }},
        {"NLEN that is not the complement of LEN", [&](RawWriter& w) {
             w.bits.writeBits(1, 3);
             w.bits.alignToByte();
             w.bits.writeBits(0x0001, 16);
             w.bits.writeBits(0x0000, 16);
             w.bits.writeBits('a', 8);
         }},
        {"stored block longer than the input", [&](RawWriter& w) {
             w.bits.writeBits(1, 3);
             w.bits.alignToByte();
             w.bits.writeBits(11, 16);
             w.bits.writeBits(~11u & 0xFFFF, 16);
             for (int i = 0; i < 10; ++i) w.bits.writeBits('a', 8);
         }},
        {"no final block", [&](RawWriter& w) { w.fixed(sample, false); }},
        {"over-subscribed literal/length code", [&](RawWriter& w) {
             RawDynamic block{lengthsOf(264, {{97, 1}, {98, 1}, {256, 1}}), distances};
             w.dynamicHeader(block, true);
             w.bits.writeBits(0, 16);
         }},
        {"no end-of-block code", [&](RawWriter& w) {
             RawDynamic block{lengthsOf(264, {{97, 1}, {98, 1}}), distances};
             w.dynamicHeader(block, true);
             w.bits.writeBits(0, 16);
         }},
        {"literal/length symbol 286 in a fixed block", [&](RawWriter& w) {
             w.bits.writeBits(3, 3);
             w.bits.writeSymbol(fixedLiteralCode(), 286);
             w.bits.writeSymbol(fixedLiteralCode(), END_OF_BLOCK);
         }},
        {"distance code 30 in a fixed block", [&](RawWriter& w) {
             w.fixed(literalTokens("ab"), false);
             w.bits.writeBits(3, 3);
             w.bits.writeSymbol(fixedLiteralCode(), 258);
             w.bits.writeSymbol(fixedDistanceCode(), 30);
             w.bits.writeSymbol(fixedLiteralCode(), END_OF_BLOCK);
         }},
        {"length symbol with an empty distance code", [&](RawWriter& w) {
             RawDynamic block{sampleLiteralLengths(), {0}};
             w.dynamicHeader(block, true);
             HuffmanCode code(block.literalLengths);
             for (unsigned symbol : {97u, 98u, 99u, 263u, 256u}) w.bits.writeSymbol(code, symbol);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        RawWriter raw;
        c.second(raw);
        EXPECT_THROW(transcodeRawDeflate(raw.bits.bytes()), std::runtime_error);
    }
}

TEST(CompressorTest, RawStreamCutAnywhereIsRefused) {
    Bytes raw = rawDeflate(textData(5000, 10), 6);
    for (size_t size : {size_t(0), size_t(1), raw.size() / 2, raw.size() - 1}) {
        EXPECT_THROW(transcodeRawDeflate(Bytes(raw.begin(), raw.begin() + size)), std::runtime_error) << size;
    }
}

// --- Verification ----------------------------------------------------------

TEST(CompressorTest, VerificationCatchesStreamsThatDoNotGiveTheOriginal) {
    const Bytes original = textData(100000, 11);
    const Bytes stream = compressStream(original, 9);
    EXPECT_NO_THROW(verifyStream(stream, original));

    auto flipped = [&](size_t at) {
        Bytes bad = stream;
        bad[at] ^= 0x10;
        return bad;
    };
    auto changedOriginal = [&](size_t at) {
        Bytes other = original;
        other[at] ^= 1;
        return other;
    };
    const std::pair<const char*, std::pair<Bytes, Bytes>> cases[] = {
        {"a bit flipped early", {flipped(40), original}},
        {"a bit flipped in the middle", {flipped(stream.size() / 2), original}},
        {"cut in half", {Bytes(stream.begin(), stream.begin() + stream.size() / 2), original}},
        {"original with one byte changed", {stream, changedOriginal(original.size() - 1)}},
        {"original one byte longer", {stream, [&] { Bytes o = original; o.push_back('!'); return o; }()}},
        {"original one byte shorter", {stream, Bytes(original.begin(), original.end() - 1)}},
        {"original empty", {stream, {}}},
        {"block kind 4", {{0x0C, 0x00, 0x00}, {}}},
        {"no stream at all", {{}, {}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        EXPECT_THROW(verifyStream(c.second.first, c.second.second), std::runtime_error);
    }
}

TEST(CompressorTest, DecompressionWantsTheStatedSize) {
    const Bytes original = structuredData(70000, 12);
    const Bytes stream = compressStream(original, 4);
    EXPECT_EQ(decompressStream(stream, 70000), original);
    for (uint32_t stated : {0u, 69999u, 70001u, 140000u}) {
        EXPECT_THROW(decompressStream(stream, stated), std::runtime_error) << stated;
    }
    EXPECT_THROW(decompressStream(Bytes(stream.begin(), stream.begin() + stream.size() / 2), 70000),
                 std::runtime_error);
}

TEST(CompressorTest, FailureMessagesSayWhatWentWrong) {
    const Bytes stream = compressStream(textData(1000, 13), 6);
    auto messageOf = [](const std::function<void()>& action) {
        try {
            action();
        } catch (const std::runtime_error& error) {
            return std::string(error.what());
        }
        return std::string("no error");
    };
    EXPECT_NE(messageOf([&] { decompressStream(stream, 999); }).find("more than its stated 999 bytes"), std::string::npos);
    EXPECT_NE(messageOf([&] { decompressStream(stream, 1001); }).find("unpacks to 1000 bytes, not its stated 1001"),
              std::string::npos);
    EXPECT_NE(messageOf([&] { verifyStream(stream, textData(1000, 14)); }).find("other bytes from offset"),
              std::string::npos);
}

}  // namespace
