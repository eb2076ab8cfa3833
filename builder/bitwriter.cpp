#include "builder/bitwriter.h"

#include <algorithm>
#include <cassert>

// RFC 1951 3.2.5: length symbols 257-285 and distance codes 0-29.
static const uint16_t LENGTH_BASE[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                         31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
static const uint8_t LENGTH_EXTRA[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                         2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
static const uint16_t DISTANCE_BASE[30] = {1,    2,    3,    4,    5,    7,     9,     13,    17,  25,
                                           33,   49,   65,   97,   129,  193,   257,   385,   513, 769,
                                           1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
static const uint8_t DISTANCE_EXTRA[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                           6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// The order in which a dynamic header lists the code-length code lengths.
static const uint8_t CODE_LENGTH_ORDER[19] = {18, 17, 16, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

SymbolBits lengthSymbol(unsigned length) {
    assert(length >= 3 && length <= MAX_MATCH);
    unsigned i = 28;
    while (LENGTH_BASE[i] > length) --i;   // 227-257 take 284; 258 has 285 to itself
    return {257 + i, LENGTH_EXTRA[i], length - LENGTH_BASE[i]};
}

SymbolBits distanceSymbol(unsigned distance) {
    assert(distance >= 1 && distance <= MAX_DISTANCE);
    unsigned i = 29;
    while (DISTANCE_BASE[i] > distance) --i;
    return {i, DISTANCE_EXTRA[i], distance - DISTANCE_BASE[i]};
}

HuffmanCode::HuffmanCode(std::vector<uint8_t> lengthList) : lengths(std::move(lengthList)) {
    unsigned count[16] = {};
    for (uint8_t length : lengths) ++count[length];
    count[0] = 0;
    unsigned next[16] = {};
    unsigned code = 0;
    for (unsigned length = 1; length < 16; ++length) {
        code = (code + count[length - 1]) << 1;
        next[length] = code;
    }
    codes.assign(lengths.size(), 0);
    for (size_t symbol = 0; symbol < lengths.size(); ++symbol)
        if (lengths[symbol]) codes[symbol] = static_cast<uint16_t>(next[lengths[symbol]]++);
}

HuffmanCode fixedLiteralCode() {
    std::vector<uint8_t> lengths(288);
    for (unsigned i = 0; i < 288; ++i) lengths[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
    return HuffmanCode(lengths);
}

HuffmanCode fixedDistanceCode() {
    return HuffmanCode(std::vector<uint8_t>(32, 5));
}

// Package-merge: the cheapest 2n - 2 items of the merged lists of leaves and
// packages, repeated maxLength times, give each symbol as many bits as it
// appears in them.
std::vector<uint8_t> limitedHuffmanLengths(const std::vector<uint32_t>& frequencies, unsigned maxLength) {
    std::vector<uint8_t> lengths(frequencies.size(), 0);
    std::vector<unsigned> used;
    for (size_t symbol = 0; symbol < frequencies.size(); ++symbol)
        if (frequencies[symbol]) used.push_back(static_cast<unsigned>(symbol));
    if (used.empty()) return lengths;
    if (used.size() == 1) {
        lengths[used[0]] = 1;
        return lengths;
    }
    assert((size_t(1) << maxLength) >= used.size());
    std::stable_sort(used.begin(), used.end(),
                     [&](unsigned a, unsigned b) { return frequencies[a] < frequencies[b]; });
    struct Item {
        uint64_t weight;
        std::vector<uint16_t> leafCount;   // per position in used
    };
    std::vector<Item> leaves;
    for (size_t i = 0; i < used.size(); ++i) {
        Item leaf{frequencies[used[i]], std::vector<uint16_t>(used.size(), 0)};
        leaf.leafCount[i] = 1;
        leaves.push_back(std::move(leaf));
    }
    std::vector<Item> list = leaves;
    for (unsigned level = 1; level < maxLength; ++level) {
        std::vector<Item> packages;
        for (size_t i = 0; i + 1 < list.size(); i += 2) {
            Item package{list[i].weight + list[i + 1].weight, list[i].leafCount};
            for (size_t k = 0; k < used.size(); ++k) package.leafCount[k] += list[i + 1].leafCount[k];
            packages.push_back(std::move(package));
        }
        std::vector<Item> merged;
        std::merge(leaves.begin(), leaves.end(), packages.begin(), packages.end(), std::back_inserter(merged),
                   [](const Item& a, const Item& b) { return a.weight < b.weight; });
        list = std::move(merged);
    }
    for (size_t i = 0; i < 2 * used.size() - 2; ++i)
        for (size_t k = 0; k < used.size(); ++k) lengths[used[k]] += static_cast<uint8_t>(list[i].leafCount[k]);
    return lengths;
}

std::vector<CodeLengthSymbol> encodeCodeLengths(const std::vector<uint8_t>& lengths) {
    std::vector<CodeLengthSymbol> sequence;
    size_t i = 0;
    while (i < lengths.size()) {
        uint8_t value = lengths[i];
        size_t run = 1;
        while (i + run < lengths.size() && lengths[i + run] == value) ++run;
        i += run;
        if (value == 0) {
            while (run >= 11) {
                size_t n = std::min<size_t>(run, 138);
                sequence.push_back({18, static_cast<uint8_t>(n - 11)});
                run -= n;
            }
            if (run >= 3) {
                sequence.push_back({17, static_cast<uint8_t>(run - 3)});
                run = 0;
            }
        } else {
            sequence.push_back({value, 0});
            --run;
            while (run >= 3) {
                size_t n = std::min<size_t>(run, 6);
                sequence.push_back({16, static_cast<uint8_t>(n - 3)});
                run -= n;
            }
        }
        for (; run; --run) sequence.push_back({value, 0});
    }
    return sequence;
}

void BitWriter::writeBits(uint32_t value, unsigned count) {
    for (unsigned i = 0; i < count; ++i) {
        if (freeBits == 0) {
            out.push_back(0);
            freeBits = 8;
        }
        out.back() |= static_cast<uint8_t>(((value >> i) & 1) << (8 - freeBits));
        --freeBits;
    }
}

void BitWriter::writeHuffman(uint32_t code, unsigned length) {
    for (unsigned i = length; i-- > 0;) writeBits(code >> i, 1);
}

void BitWriter::writeSymbol(const HuffmanCode& code, unsigned symbol) {
    assert(symbol < code.lengths.size() && code.lengths[symbol] != 0);
    writeHuffman(code.codes[symbol], code.lengths[symbol]);
}

void BitWriter::alignToByte() {
    freeBits = 0;
}

void BitWriter::writeBlockHeader(unsigned kind, bool last) {
    writeBits(kind | (last ? 8u : 0u), 4);
}

void BitWriter::writeStoredBlock(const uint8_t* data, size_t length, bool last) {
    assert(length <= 0xFFFF);
    writeBlockHeader(BLOCK_STORED, last);
    alignToByte();
    writeBits(static_cast<uint32_t>(length), 16);
    out.insert(out.end(), data, data + length);
}

void BitWriter::writeTokens(const std::vector<Token>& tokens, const HuffmanCode& literals,
                            const HuffmanCode& distances) {
    for (const Token& token : tokens) {
        if (token.length == 0) {
            writeSymbol(literals, token.literal);
            continue;
        }
        SymbolBits length = lengthSymbol(token.length);
        writeSymbol(literals, length.symbol);
        writeBits(length.extraValue, length.extraBits);
        SymbolBits distance = distanceSymbol(token.distance);
        writeSymbol(distances, distance.symbol);
        writeBits(distance.extraValue, distance.extraBits);
    }
    writeSymbol(literals, END_OF_BLOCK);
}

void BitWriter::writeFixedBlock(const std::vector<Token>& tokens, bool last) {
    static const HuffmanCode literals = fixedLiteralCode();
    static const HuffmanCode distances = fixedDistanceCode();
    writeBlockHeader(BLOCK_FIXED, last);
    writeTokens(tokens, literals, distances);
}

HuffmanCode BitWriter::writeDynamicHeader(const DynamicHeader& header) {
    assert(header.literalLengths.size() >= 257 && header.literalLengths.size() <= 288);
    assert(header.distanceLengths.size() >= 1 && header.distanceLengths.size() <= 32);
    std::vector<CodeLengthSymbol> sequence = header.sequence;
    if (sequence.empty()) {
        std::vector<uint8_t> all = header.literalLengths;
        all.insert(all.end(), header.distanceLengths.begin(), header.distanceLengths.end());
        sequence = encodeCodeLengths(all);
    }
    std::vector<uint8_t> lengthLengths = header.codeLengthLengths;
    if (lengthLengths.empty()) {
        std::vector<uint32_t> frequencies(19, 0);
        for (const CodeLengthSymbol& entry : sequence) ++frequencies[entry.symbol];
        lengthLengths = limitedHuffmanLengths(frequencies, 7);
    }
    assert(lengthLengths.size() == 19);
    int count = header.codeLengthCount;
    if (count < 0) {
        count = 19;
        while (count > 4 && lengthLengths[CODE_LENGTH_ORDER[count - 1]] == 0) --count;
    }
    writeBits(static_cast<uint32_t>(header.literalLengths.size() - 257), 5);
    writeBits(static_cast<uint32_t>(header.distanceLengths.size() - 1), 5);
    writeBits(static_cast<uint32_t>(count - 4), 4);
    for (int j = 0; j < count; ++j) writeBits(lengthLengths[CODE_LENGTH_ORDER[j]], 3);
    HuffmanCode lengthCode(lengthLengths);
    static const unsigned EXTRA_BITS[3] = {2, 3, 7};
    for (const CodeLengthSymbol& entry : sequence) {
        writeSymbol(lengthCode, entry.symbol);
        if (entry.symbol >= 16) writeBits(entry.extra, EXTRA_BITS[entry.symbol - 16]);
    }
    return lengthCode;
}

void BitWriter::writeDynamicBlock(const std::vector<Token>& tokens, const std::vector<uint8_t>& literalLengths,
                                  const std::vector<uint8_t>& distanceLengths, bool last) {
    writeBlockHeader(BLOCK_DYNAMIC, last);
    DynamicHeader header;
    header.literalLengths = literalLengths;
    header.distanceLengths = distanceLengths;
    writeDynamicHeader(header);
    writeTokens(tokens, HuffmanCode(literalLengths), HuffmanCode(distanceLengths));
}

void BitWriter::writeDynamicBlock(const std::vector<Token>& tokens, bool last) {
    std::vector<uint32_t> literalFrequencies(286, 0), distanceFrequencies(30, 0);
    for (const Token& token : tokens) {
        if (token.length == 0) {
            ++literalFrequencies[token.literal];
        } else {
            ++literalFrequencies[lengthSymbol(token.length).symbol];
            ++distanceFrequencies[distanceSymbol(token.distance).symbol];
        }
    }
    ++literalFrequencies[END_OF_BLOCK];
    std::vector<uint8_t> literalLengths = limitedHuffmanLengths(literalFrequencies, 15);
    std::vector<uint8_t> distanceLengths = limitedHuffmanLengths(distanceFrequencies, 15);
    // Drop unused trailing symbols: at least 257 literal/length and 1 distance
    // lengths stay.
    while (literalLengths.size() > 257 && literalLengths.back() == 0) literalLengths.pop_back();
    while (distanceLengths.size() > 1 && distanceLengths.back() == 0) distanceLengths.pop_back();
    writeDynamicBlock(tokens, literalLengths, distanceLengths, last);
}

std::vector<uint8_t> expandTokens(const std::vector<Token>& tokens, std::vector<uint8_t> out) {
    for (const Token& token : tokens) {
        if (token.length == 0) {
            out.push_back(token.literal);
            continue;
        }
        for (unsigned i = 0; i < token.length; ++i)
            out.push_back(out.size() >= token.distance ? out[out.size() - token.distance] : 0);
    }
    return out;
}

std::vector<Token> literalTokens(const std::string& text) {
    std::vector<Token> tokens;
    for (char c : text) tokens.push_back(Token::byte(static_cast<uint8_t>(c)));
    return tokens;
}
