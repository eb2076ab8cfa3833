// Writes compressed streams of the updater's format bit by bit: the tests
// build exact streams with it, well-formed and damaged, and the builder's
// compressor writes its blocks through it.
//
// Format (package/inflater.h has the full statement): DEFLATE blocks with a
// 4-bit header (bits 0-2 kind: 5 fixed, 6 dynamic, 7 stored; bit 3 last),
// stored blocks of LEN (16 bits) and data without a complement field, and the
// code-length code lengths in the order 18, 17, 16, 0, 1, ..., 15.
// Fields are written least significant bit first; Huffman codes most
// significant bit first, as RFC 1951 orders them.
#ifndef ZORVAT_BUILDER_BITWRITER_H
#define ZORVAT_BUILDER_BITWRITER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum BlockKind : unsigned { BLOCK_FIXED = 5, BLOCK_DYNAMIC = 6, BLOCK_STORED = 7 };

enum { END_OF_BLOCK = 256, MAX_MATCH = 258, MAX_DISTANCE = 32768 };

// A canonical code (RFC 1951 3.2.2): lengths per symbol (0 = unused) and
// the codes computed from them, most significant bit first. Lengths that
// over-subscribe the code space still get codes (they collide); that is for
// writing damaged streams.
struct HuffmanCode {
    std::vector<uint8_t> lengths;
    std::vector<uint16_t> codes;

    HuffmanCode() = default;
    explicit HuffmanCode(std::vector<uint8_t> lengths);
};

HuffmanCode fixedLiteralCode();    // 288 symbols, 286 and 287 included
HuffmanCode fixedDistanceCode();   // 32 symbols of 5 bits, 30 and 31 included

// Code lengths for the given symbol frequencies, none longer than
// maxLength (package-merge, so optimal under that limit). Unused symbols get
// 0; a single used symbol gets length 1.
std::vector<uint8_t> limitedHuffmanLengths(const std::vector<uint32_t>& frequencies,
                                           unsigned maxLength);

// One literal (length 0) or one back-reference (length 3-258, distance
// 1-32768).
struct Token {
    uint16_t length;
    uint16_t distance;
    uint8_t literal;

    static Token byte(uint8_t value) { return {0, 0, value}; }
    static Token match(unsigned length, unsigned distance) {
        return {static_cast<uint16_t>(length), static_cast<uint16_t>(distance), 0};
    }
};

// What tokens unpack to after the bytes already in out, as the decoder
// does it: a distance reaching before the first byte reads zero. The
// reference the tests compare streams against.
std::vector<uint8_t> expandTokens(const std::vector<Token>& tokens, std::vector<uint8_t> out = {});

// One literal token per character.
std::vector<Token> literalTokens(const std::string& text);

// A code-length symbol (0-18) and the value of its extra bits (16: 2 bits,
// repeat 3 + extra; 17: 3 bits, 3 + extra zeros; 18: 7 bits, 11 + extra zeros).
struct CodeLengthSymbol {
    uint8_t symbol;
    uint8_t extra;
};

// Run-length codes a sequence of code lengths with 16, 17 and 18.
std::vector<CodeLengthSymbol> encodeCodeLengths(const std::vector<uint8_t>& lengths);

// The header of a dynamic block after its 4 header bits. Every field can be
// set to what a damaged stream needs; left empty or -1 it is derived.
struct DynamicHeader {
    std::vector<uint8_t> literalLengths;    // HLIT + 257 entries, 257-288
    std::vector<uint8_t> distanceLengths;   // HDIST + 1 entries, 1-32
    // The lengths as code-length symbols; empty = encodeCodeLengths of both
    // length lists joined.
    std::vector<CodeLengthSymbol> sequence;
    // Code-length code lengths by symbol (19, each 0-7); empty = computed
    // from the sequence's symbol frequencies.
    std::vector<uint8_t> codeLengthLengths;
    // HCLEN + 4 (4-19); -1 = as few as the lengths allow.
    int codeLengthCount = -1;
};

class BitWriter {
public:
    // value's low count bits (count 0-32), least significant first.
    void writeBits(uint32_t value, unsigned count);
    // A Huffman code of length bits, most significant bit first.
    void writeHuffman(uint32_t code, unsigned length);
    void writeSymbol(const HuffmanCode& code, unsigned symbol);
    // Pads the current byte with zero bits.
    void alignToByte();
    // The stream so far, a partial last byte padded with zero bits.
    const std::vector<uint8_t>& bytes() const { return out; }
    size_t bitCount() const { return out.size() * 8 - freeBits; }

    void writeBlockHeader(unsigned kind, bool last);
    // Header, padding to the byte boundary, LEN, the data (at most 65535 bytes).
    void writeStoredBlock(const uint8_t* data, size_t length, bool last);
    void writeStoredBlock(const std::vector<uint8_t>& data, bool last) {
        writeStoredBlock(data.data(), data.size(), last);
    }
    // The tokens' codes and extra bits, then the end-of-block code.
    void writeTokens(const std::vector<Token>& tokens, const HuffmanCode& literals,
                     const HuffmanCode& distances);
    void writeFixedBlock(const std::vector<Token>& tokens, bool last);
    // Writes the header fields and returns the code-length code used.
    HuffmanCode writeDynamicHeader(const DynamicHeader& header);
    // A dynamic block with the given code lengths.
    void writeDynamicBlock(const std::vector<Token>& tokens, const std::vector<uint8_t>& literalLengths,
                           const std::vector<uint8_t>& distanceLengths, bool last);
    // A dynamic block with codes made for the tokens' frequencies.
    void writeDynamicBlock(const std::vector<Token>& tokens, bool last);

private:
    std::vector<uint8_t> out;
    unsigned freeBits = 0;   // unused high bits of the last byte
};

// Length symbol 257-285 and distance code 0-29 of a token, with the value
// and width of their extra bits.
struct SymbolBits {
    unsigned symbol;
    unsigned extraBits;
    unsigned extraValue;
};
SymbolBits lengthSymbol(unsigned length);
SymbolBits distanceSymbol(unsigned distance);

#endif
