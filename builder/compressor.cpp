#include "builder/compressor.h"

#include <libdeflate.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "app/fileio.h"
#include "builder/bitwriter.h"
#include "package/inflater.h"

namespace {

[[noreturn]] void badRaw(const std::string& what) {
    throw std::runtime_error("raw DEFLATE stream is invalid: " + what);
}

// ---------------------------------------------------------------------------
// Raw input: bits from the least significant bit of each byte on (RFC 1951
// 3.1.1). Reads past the end give zero bits; taking them is an error.

class RawBits {
public:
    explicit RawBits(const Bytes& data) : data(data), totalBits(uint64_t(data.size()) * 8) {}

    // The n bits (0-32) from bit position `at`, first bit in bit 0.
    uint32_t peekAt(uint64_t at, unsigned n) const {
        size_t index = static_cast<size_t>(at >> 3);
        uint64_t word = 0;
        if (index + 8 <= data.size()) {
            for (unsigned i = 0; i < 8; ++i) word |= uint64_t(data[index + i]) << (8 * i);
        } else {
            for (unsigned i = 0; index + i < data.size(); ++i) word |= uint64_t(data[index + i]) << (8 * i);
        }
        word >>= at & 7;   // at least 57 valid bits remain
        return static_cast<uint32_t>(word & ((uint64_t(1) << n) - 1));
    }
    uint32_t peek(unsigned n) const { return peekAt(position, n); }
    void skip(uint64_t n) {
        position += n;
        if (position > totalBits) badRaw("it ends inside a block");
    }
    uint32_t take(unsigned n) {
        uint32_t value = peek(n);
        skip(n);
        return value;
    }
    void alignToByte() { skip((8 - (position & 7)) & 7); }

    const Bytes& data;
    const uint64_t totalBits;
    uint64_t position = 0;   // next bit
};

// ---------------------------------------------------------------------------
// Output: our stream, bits packed the same way.

class StreamBits {
public:
    void writeBits(uint32_t value, unsigned count) {   // count 0-32
        pending |= uint64_t(value & (count == 32 ? 0xFFFFFFFFu : (1u << count) - 1)) << pendingBits;
        pendingBits += count;
        while (pendingBits >= 8) {
            out.push_back(static_cast<uint8_t>(pending));
            pending >>= 8;
            pendingBits -= 8;
        }
    }
    void alignToByte() {
        if (pendingBits) out.push_back(static_cast<uint8_t>(pending));
        pending = 0;
        pendingBits = 0;
    }
    void writeBytes(const uint8_t* bytes, size_t count) {   // on a byte boundary
        out.insert(out.end(), bytes, bytes + count);
    }
    // Bits [from, to) of a raw stream, unchanged.
    void copyBits(const RawBits& in, uint64_t from, uint64_t to) {
        for (uint64_t at = from; at < to;) {
            unsigned n = static_cast<unsigned>(std::min<uint64_t>(32, to - at));
            writeBits(in.peekAt(at, n), n);
            at += n;
        }
    }
    void copyBits(const BitWriter& block) {
        const Bytes& bytes = block.bytes();
        size_t bits = block.bitCount();
        for (size_t i = 0; i < bits / 8; ++i) writeBits(bytes[i], 8);
        if (bits % 8) writeBits(bytes[bits / 8], static_cast<unsigned>(bits % 8));
    }
    void writeBlockHeader(unsigned kind, bool last) { writeBits(kind | (last ? 8u : 0u), 4); }
    Bytes finish() {
        alignToByte();
        return std::move(out);
    }

private:
    Bytes out;
    uint64_t pending = 0;     // bits not yet in out, first one in bit 0
    unsigned pendingBits = 0;  // always below 8 between calls
};

// ---------------------------------------------------------------------------
// A canonical code of the raw stream, decoded through one table indexed by
// the next maxLength bits in input order.

enum { MAX_BITS = 15 };

class RawCode {
public:
    explicit RawCode(const uint8_t* lengthList, size_t count, const char* name) : lengths(lengthList, lengthList + count) {
        unsigned perLength[MAX_BITS + 1] = {};
        for (uint8_t length : lengths) ++perLength[length];
        perLength[0] = 0;
        int64_t left = 1;   // free codes at the current length
        for (unsigned length = 1; length <= MAX_BITS; ++length) {
            left = left * 2 - perLength[length];
            if (left < 0) badRaw(std::string("the ") + name + " code is over-subscribed");
            if (perLength[length]) maxLength = length;
        }
        complete = left == 0;
        if (maxLength == 0) return;   // empty: nothing may be looked up
        table.assign(size_t(1) << maxLength, 0);
        unsigned next[MAX_BITS + 2] = {};
        unsigned code = 0;
        for (unsigned length = 1; length <= MAX_BITS; ++length) {
            code = (code + perLength[length - 1]) << 1;
            next[length] = code;
        }
        for (size_t symbol = 0; symbol < lengths.size(); ++symbol) {
            unsigned length = lengths[symbol];
            if (!length) continue;
            unsigned canonical = next[length]++;
            unsigned reversed = 0;
            for (unsigned i = 0; i < length; ++i) reversed |= ((canonical >> i) & 1) << (length - 1 - i);
            for (size_t index = reversed; index < table.size(); index += size_t(1) << length)
                table[index] = static_cast<uint16_t>(symbol << 4 | length);
        }
    }

    unsigned decode(RawBits& in) const {
        if (maxLength == 0) badRaw("a symbol is read from an empty code");
        uint16_t entry = table[in.peek(maxLength)];
        if ((entry & 15) == 0) badRaw("a code belongs to no symbol");
        in.skip(entry & 15);
        return entry >> 4;
    }

    bool empty() const { return maxLength == 0; }
    // What the updater takes: complete codes, codes with one 1-bit code and
    // empty ones (into which it never looks for a well-formed stream).
    bool acceptedByUpdater() const { return complete || maxLength <= 1; }

    std::vector<uint8_t> lengths;
    unsigned maxLength = 0;
    bool complete = false;

private:
    std::vector<uint16_t> table;   // symbol << 4 | length; length 0 = no symbol
};

const RawCode& fixedLiteralRawCode() {
    static const RawCode code = [] {
        std::array<uint8_t, 288> lengths;
        for (unsigned i = 0; i < 288; ++i) lengths[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
        return RawCode(lengths.data(), lengths.size(), "fixed literal/length");
    }();
    return code;
}

const RawCode& fixedDistanceRawCode() {
    static const RawCode code = [] {
        std::array<uint8_t, 32> lengths;
        lengths.fill(5);
        return RawCode(lengths.data(), lengths.size(), "fixed distance");
    }();
    return code;
}

// RFC 1951 3.2.5.
const uint16_t LENGTH_BASE[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                  31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const uint8_t LENGTH_EXTRA[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const uint16_t DISTANCE_BASE[30] = {1,    2,    3,    4,    5,    7,    9,    13,   17,   25,
                                    33,   49,   65,   97,   129,  193,  257,  385,  513,  769,
                                    1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const uint8_t DISTANCE_EXTRA[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// Code-length code lengths in raw stream order, and in ours.
const uint8_t RAW_CODE_LENGTH_ORDER[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
const uint8_t OUR_CODE_LENGTH_ORDER[19] = {18, 17, 16, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

// Walks a block's symbols up to and including end of block, checking each
// one; the tokens are collected when asked for.
void walkBlockData(RawBits& in, const RawCode& literals, const RawCode& distances, std::vector<Token>* tokens) {
    for (;;) {
        unsigned symbol = literals.decode(in);
        if (symbol < 256) {
            if (tokens) tokens->push_back(Token::byte(static_cast<uint8_t>(symbol)));
            continue;
        }
        if (symbol == END_OF_BLOCK) return;
        if (symbol > 285) badRaw("literal/length symbol " + std::to_string(symbol) + " has no meaning");
        unsigned length = LENGTH_BASE[symbol - 257] + in.take(LENGTH_EXTRA[symbol - 257]);
        unsigned code = distances.decode(in);
        if (code > 29) badRaw("distance code " + std::to_string(code) + " has no meaning");
        unsigned distance = DISTANCE_BASE[code] + in.take(DISTANCE_EXTRA[code]);
        if (tokens) tokens->push_back(Token::match(length, distance));
    }
}

void transcodeStoredBlock(RawBits& in, StreamBits& out, bool last) {
    in.alignToByte();
    uint32_t length = in.take(16);
    uint32_t complement = in.take(16);
    if (complement != (~length & 0xFFFF)) badRaw("a stored block's NLEN does not match LEN");
    size_t start = static_cast<size_t>(in.position / 8);
    in.skip(uint64_t(length) * 8);
    out.writeBlockHeader(BLOCK_STORED, last);
    out.alignToByte();
    out.writeBits(length, 16);
    out.writeBytes(in.data.data() + start, length);
}

void transcodeFixedBlock(RawBits& in, StreamBits& out, bool last) {
    uint64_t start = in.position;
    walkBlockData(in, fixedLiteralRawCode(), fixedDistanceRawCode(), nullptr);
    out.writeBlockHeader(BLOCK_FIXED, last);
    out.copyBits(in, start, in.position);
}

// Codes a block again from its tokens, with codes the updater accepts:
// new dynamic codes or the fixed ones, whichever is shorter.
void recodeBlock(const std::vector<Token>& tokens, StreamBits& out, bool last) {
    BitWriter dynamic, fixed;
    dynamic.writeDynamicBlock(tokens, last);
    fixed.writeFixedBlock(tokens, last);
    out.copyBits(dynamic.bitCount() <= fixed.bitCount() ? dynamic : fixed);
}

void transcodeDynamicBlock(RawBits& in, StreamBits& out, bool last) {
    unsigned literalCount = in.take(5) + 257;
    unsigned distanceCount = in.take(5) + 1;
    unsigned codeLengthCount = in.take(4) + 4;
    uint8_t codeLengthLengths[19] = {};
    for (unsigned j = 0; j < codeLengthCount; ++j) codeLengthLengths[RAW_CODE_LENGTH_ORDER[j]] = static_cast<uint8_t>(in.take(3));
    RawCode codeLengthCode(codeLengthLengths, 19, "code-length");

    uint64_t sequenceStart = in.position;
    std::vector<uint8_t> lengths(literalCount + distanceCount);
    for (size_t i = 0; i < lengths.size();) {
        unsigned symbol = codeLengthCode.decode(in);
        if (symbol < 16) {
            lengths[i++] = static_cast<uint8_t>(symbol);
            continue;
        }
        uint8_t value = 0;
        size_t count;
        if (symbol == 16) {
            if (i == 0) badRaw("a code-length repeat has no previous length");
            value = lengths[i - 1];
            count = 3 + in.take(2);
        } else if (symbol == 17) {
            count = 3 + in.take(3);
        } else {
            count = 11 + in.take(7);
        }
        if (i + count > lengths.size()) badRaw("a code-length repeat runs past the lengths");
        std::fill_n(lengths.begin() + i, count, value);
        i += count;
    }
    RawCode literals(lengths.data(), literalCount, "literal/length");
    RawCode distances(lengths.data() + literalCount, distanceCount, "distance");
    if (literals.lengths[END_OF_BLOCK] == 0) badRaw("a dynamic block has no end-of-block code");

    bool copyable = literalCount <= 286 && distanceCount <= 30 && codeLengthCode.acceptedByUpdater() &&
                    literals.acceptedByUpdater() && distances.acceptedByUpdater();
    if (!copyable) {
        std::vector<Token> tokens;
        walkBlockData(in, literals, distances, &tokens);
        recodeBlock(tokens, out, last);
        return;
    }
    walkBlockData(in, literals, distances, nullptr);
    unsigned ourCount = 19;
    while (ourCount > 4 && codeLengthLengths[OUR_CODE_LENGTH_ORDER[ourCount - 1]] == 0) --ourCount;
    out.writeBlockHeader(BLOCK_DYNAMIC, last);
    out.writeBits(literalCount - 257, 5);
    out.writeBits(distanceCount - 1, 5);
    out.writeBits(ourCount - 4, 4);
    for (unsigned j = 0; j < ourCount; ++j) out.writeBits(codeLengthLengths[OUR_CODE_LENGTH_ORDER[j]], 3);
    out.copyBits(in, sequenceStart, in.position);
}

// ---------------------------------------------------------------------------
// The updater's decompressor reads from a file handle: the stream goes
// through a temporary file, removed again when this object goes.

class StreamFile {
public:
    explicit StreamFile(const Bytes& stream) {
        std::string pattern = (std::filesystem::temp_directory_path() / "zorvat-stream-XXXXXX").string();
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back(0);
        int descriptor = mkstemp(name.data());
        if (descriptor < 0) throw std::runtime_error("cannot make a temporary file in " + pattern);
        close(descriptor);
        path = name.data();
        FileHandle file = createAlways(path.c_str());
        bool written = file != NO_FILE && writeAll(file, stream.data(), static_cast<uint32_t>(stream.size())) == 0;
        if (file != NO_FILE) closeFile(file);
        if (written) handle = openExisting(path.c_str(), 0);
        if (handle == NO_FILE) {
            removeFile();
            throw std::runtime_error("cannot write the temporary file " + path);
        }
    }
    ~StreamFile() {
        closeFile(handle);
        removeFile();
    }
    StreamFile(const StreamFile&) = delete;
    StreamFile& operator=(const StreamFile&) = delete;

    FileHandle handle = NO_FILE;

private:
    void removeFile() {
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
    }
    std::string path;
};

// What one run of the updater's decompressor made of a stream.
struct Unpacked {
    int result;      // the run's result code
    bool overflow;   // the stream unpacks to more than the capacity asked for
    Bytes bytes;     // the output of a successful run without overflow
};

Unpacked unpack(const Bytes& stream, uint32_t capacity) {
    if (stream.size() > 0xFFFFFFFFu) throw std::runtime_error("a stream is larger than 4 GiB");
    StreamFile file(stream);
    // One spare byte tells "exactly capacity" from "more"; the buffer is
    // never empty, since a null destination would not start the run.
    uint64_t room = uint64_t(capacity) + 1;
    Bytes buffer(static_cast<size_t>(room));
    MemorySink sink(buffer.data(), static_cast<uint32_t>(std::min<uint64_t>(room, 0xFFFFFFFFu)));
    int result;
    {
        Inflater inflater;
        result = inflater.inflate(&sink, file.handle, 0);
    }
    Unpacked unpacked{result, sink.destination == nullptr, {}};
    if (result == INFLATE_OK && !unpacked.overflow) {
        size_t produced = static_cast<size_t>(sink.destination - buffer.data());
        unpacked.overflow = produced > capacity;
        buffer.resize(std::min<size_t>(produced, capacity));
        unpacked.bytes = std::move(buffer);
    }
    return unpacked;
}

std::string resultText(int result) {
    switch (result) {
    case INFLATE_BAD_DATA: return "bad data (result 1)";
    case INFLATE_BAD_BLOCK: return "bad block kind or over-subscribed code (result 2)";
    case INFLATE_NO_MEMORY: return "out of memory (result 3)";
    case INFLATE_NOT_STARTED: return "the decompressor did not start";
    default: return "result " + std::to_string(result);
    }
}

}  // namespace

Bytes rawDeflate(const Bytes& data, int level) {
    if (level < MIN_COMPRESSION_LEVEL || level > MAX_COMPRESSION_LEVEL)
        throw std::invalid_argument("compression level " + std::to_string(level) + " is not within 1-12");
    std::unique_ptr<libdeflate_compressor, void (*)(libdeflate_compressor*)> compressor(
        libdeflate_alloc_compressor(level), libdeflate_free_compressor);
    if (!compressor) throw std::runtime_error("libdeflate cannot make a compressor");
    Bytes raw(libdeflate_deflate_compress_bound(compressor.get(), data.size()));
    size_t size = libdeflate_deflate_compress(compressor.get(), data.data(), data.size(), raw.data(), raw.size());
    if (size == 0) throw std::runtime_error("libdeflate could not compress");
    raw.resize(size);
    return raw;
}

Bytes transcodeRawDeflate(const Bytes& raw) {
    RawBits in(raw);
    StreamBits out;
    bool last;
    do {
        last = in.take(1) != 0;
        switch (in.take(2)) {
        case 0: transcodeStoredBlock(in, out, last); break;
        case 1: transcodeFixedBlock(in, out, last); break;
        case 2: transcodeDynamicBlock(in, out, last); break;
        default: badRaw("block type 3");
        }
    } while (!last);
    return out.finish();
}

Bytes compressStream(const Bytes& data, int level) {
    Bytes stream = transcodeRawDeflate(rawDeflate(data, level));
    verifyStream(stream, data);
    return stream;
}

void verifyStream(const Bytes& stream, const Bytes& original) {
    if (original.size() > 0xFFFFFFFEu) throw std::runtime_error("data is larger than a stream can hold");
    Unpacked unpacked = unpack(stream, static_cast<uint32_t>(original.size()));
    std::string failure;
    if (unpacked.overflow) {
        failure = "it unpacks to more than the " + std::to_string(original.size()) + " bytes given";
    } else if (unpacked.result != INFLATE_OK) {
        failure = "the updater cannot unpack it: " + resultText(unpacked.result);
    } else if (unpacked.bytes.size() != original.size()) {
        failure = "it unpacks to " + std::to_string(unpacked.bytes.size()) + " bytes instead of " +
                  std::to_string(original.size());
    } else {
        auto mismatch = std::mismatch(unpacked.bytes.begin(), unpacked.bytes.end(), original.begin());
        if (mismatch.first != unpacked.bytes.end())
            failure = "it unpacks to other bytes from offset " +
                      std::to_string(mismatch.first - unpacked.bytes.begin());
    }
    if (!failure.empty()) throw std::runtime_error("compressed stream failed verification: " + failure);
}

Bytes decompressStream(const Bytes& stream, uint32_t unpackedSize) {
    if (unpackedSize == 0xFFFFFFFFu) throw std::runtime_error("an unpacked size of 4 GiB - 1 is not supported");
    Unpacked unpacked = unpack(stream, unpackedSize);
    if (unpacked.overflow)
        throw std::runtime_error("compressed stream unpacks to more than its stated " + std::to_string(unpackedSize) +
                                 " bytes");
    if (unpacked.result != INFLATE_OK)
        throw std::runtime_error("compressed stream does not unpack: " + resultText(unpacked.result));
    if (unpacked.bytes.size() != unpackedSize)
        throw std::runtime_error("compressed stream unpacks to " + std::to_string(unpacked.bytes.size()) +
                                 " bytes, not its stated " + std::to_string(unpackedSize));
    return std::move(unpacked.bytes);
}

Bytes packStream(const Bytes& data) { return compressStream(data, MAX_COMPRESSION_LEVEL); }
