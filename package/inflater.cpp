// The decompressor; the stream format and result codes are in inflater.h.
//
// Safety rests on three rules: every table index is masked to its table's
// width, every window index is kept below INFLATE_WINDOW_SIZE, and every loop
// either consumes input bits toward a bound or checks the sticky `failed`
// flag, which input that has run dry raises after PHANTOM_BYTES_ALLOWED
// zero bytes. A run that used any of those zero bytes fails at its end.
#include "package/inflater.h"

#include "app/state.h"
#include "package/volumes.h"

PayloadReadFunction payloadReader = readPayload;

void* ByteSink::operator new(size_t size) noexcept {
    void* block = 0;
    allocateBufferRaw(static_cast<uint32_t>(size), &block);
    return block;
}

void ByteSink::operator delete(void* block) noexcept {
    releaseBufferRaw(&block);
}

bool MemorySink::isValid() {
    return destination != 0;
}

void MemorySink::write(const uint8_t* bytes, uint16_t length) {
    if (!destination) return;
    uint32_t count = length <= capacity ? length : capacity;
    copyBytes(destination, bytes, count);
    destination += count;
    capacity -= count;
    if (count < length) destination = 0;   // refused bytes: the sink is spent
}

bool FileSink::isValid() {
    return true;
}

void FileSink::write(const uint8_t* bytes, uint16_t length) {
    if (file != NO_FILE) writeAll(file, bytes, length);
}

// ---------------------------------------------------------------------------
// Lookup tables

static inline uint32_t lowBits(uint32_t count) {
    return (1u << count) - 1;
}

enum { MAX_CODE_LENGTH = 15, MAX_SYMBOLS = 288, MAX_TABLE_ENTRIES = 0xFFFF };

// Builds the lookup tables of one canonical code from the code lengths of
// symbolCount symbols. Symbols below simpleCount decode to themselves (kind
// 16), symbol 256 among them to end of block (kind 15); symbol m from
// simpleCount on takes kind extras[m - simpleCount] and value
// bases[m - simpleCount].
//
// All levels of a code share one allocation: the first table at index 0,
// each sub-table after it, linked by index. A level starting at bit w after
// its first code of length n is the narrowest width, from n - w up, that the
// codes not yet placed fill completely (zlib's rule), at most requestedBits
// and at most the longest length less w. End-of-block rule: with symbol 256
// coded in L bits, no level starting at w < L is wider than L - w, so the
// lookup of the end-of-block code never asks for bits past that code and a
// stream ends at a known input position. An empty code gets a one-entry
// table of width 0 whose entry is invalid, so a lookup in it fails like any
// unused code.
//
// Result: 0; 1 when the code is incomplete and its longest code is longer
// than 1 bit (tables built, the caller decides and releases); 2 when a length
// is over-subscribed, 3 when no memory (no tables in both cases).
static int buildHuffmanTable(const uint8_t* lengths, uint32_t symbolCount, uint32_t simpleCount,
                             const uint16_t* bases, const uint16_t* extras,
                             uint32_t requestedBits, HuffmanEntry*& table, int32_t& tableBits) {
    table = 0;
    tableBits = 0;
    uint16_t count[MAX_CODE_LENGTH + 1];
    uint16_t offsets[MAX_CODE_LENGTH + 2];
    uint16_t sorted[MAX_SYMBOLS];
    fillBytes(count, 0, sizeof count);
    for (uint32_t symbol = 0; symbol < symbolCount; ++symbol) ++count[lengths[symbol]];

    uint32_t longest = MAX_CODE_LENGTH;
    while (longest > 0 && count[longest] == 0) --longest;
    uint32_t shortest = 1;
    while (shortest < longest && count[shortest] == 0) ++shortest;

    // Code space left after each length; below 0 is over-subscribed.
    int32_t left = 1;
    offsets[1] = 0;
    for (uint32_t length = 1; length <= MAX_CODE_LENGTH; ++length) {
        left = (left << 1) - count[length];
        if (left < 0) return INFLATE_BAD_BLOCK;
        offsets[length + 1] = offsets[length] + count[length];
    }
    for (uint32_t symbol = 0; symbol < symbolCount; ++symbol)
        if (lengths[symbol]) sorted[offsets[lengths[symbol]]++] = static_cast<uint16_t>(symbol);
    uint32_t codedCount = offsets[MAX_CODE_LENGTH + 1];

    uint32_t rootBits = requestedBits;
    if (rootBits < shortest) rootBits = shortest;
    if (rootBits > longest) rootBits = longest;
    uint32_t endLength = symbolCount > 256 ? lengths[256] : 0;
    if (endLength && rootBits > endLength) rootBits = endLength;

    // Pass 0 sizes the block, pass 1 fills it: both walk the same levels.
    uint32_t used = 0;
    for (int pass = 0; pass < 2; ++pass) {
        if (pass == 1) {
            if (used > MAX_TABLE_ENTRIES) return INFLATE_BAD_DATA;   // only sparse, incomplete codes get here
            if (!allocateBuffer(used * sizeof(HuffmanEntry), table)) return INFLATE_NO_MEMORY;
        }
        uint16_t remaining[MAX_CODE_LENGTH + 1];
        copyBytes(remaining, count, sizeof remaining);
        // The open levels: first bit, width, index of the table, and the
        // low start bits that every code in it begins with.
        uint32_t levelStart[MAX_CODE_LENGTH + 1], levelBits[MAX_CODE_LENGTH + 1];
        uint32_t levelBase[MAX_CODE_LENGTH + 1], levelPrefix[MAX_CODE_LENGTH + 1];
        uint32_t depth = 0;
        levelStart[0] = 0;
        levelBits[0] = rootBits;
        levelBase[0] = 0;
        levelPrefix[0] = 0;
        used = 1u << rootBits;
        uint32_t code = 0;   // the canonical code, bit-reversed (input order)
        // Entries that no code claims stay invalid.
        const HuffmanEntry invalid = {KIND_INVALID, 0, 0};
        if (table)
            for (uint32_t i = 0; i < used; ++i) table[i] = invalid;
        for (uint32_t index = 0; index < codedCount; ++index) {
            uint32_t symbol = sorted[index];
            uint32_t length = lengths[symbol];
            while (depth > 0 && (code & lowBits(levelStart[depth])) != levelPrefix[depth]) --depth;
            while (length > levelStart[depth] + levelBits[depth]) {
                uint32_t start = levelStart[depth] + levelBits[depth];
                uint32_t bits = length - start;
                int32_t room = 1 << bits;
                while (start + bits < longest) {
                    room -= remaining[start + bits];
                    if (room <= 0) break;
                    ++bits;
                    room <<= 1;
                }
                if (bits > requestedBits) bits = requestedBits;
                if (start < endLength && bits > endLength - start) bits = endLength - start;
                if (table) {
                    HuffmanEntry link = {static_cast<uint8_t>(KIND_LINK + bits),
                                         static_cast<uint8_t>(levelBits[depth]),
                                         static_cast<uint16_t>(used)};
                    table[levelBase[depth] + ((code >> levelStart[depth]) & lowBits(levelBits[depth]))] = link;
                    for (uint32_t i = used; i < used + (1u << bits); ++i) table[i] = invalid;
                }
                ++depth;
                levelStart[depth] = start;
                levelBits[depth] = bits;
                levelBase[depth] = used;
                levelPrefix[depth] = code & lowBits(start);
                used += 1u << bits;
            }
            if (table) {
                HuffmanEntry entry;
                if (symbol < simpleCount) {
                    entry.kind = symbol == 256 ? KIND_END_OF_BLOCK : KIND_LITERAL;
                    entry.value = static_cast<uint16_t>(symbol);
                } else {
                    entry.kind = static_cast<uint8_t>(extras[symbol - simpleCount]);
                    entry.value = bases[symbol - simpleCount];
                }
                uint32_t drop = levelStart[depth];
                entry.bits = static_cast<uint8_t>(length - drop);
                // Every index whose low bits are this code decodes to it.
                for (uint32_t i = code >> drop; i < (1u << levelBits[depth]); i += 1u << (length - drop))
                    table[levelBase[depth] + i] = entry;
            }
            --remaining[length];
            // Next canonical code, incremented in reversed bit order.
            uint32_t increment = 1u << (length - 1);
            while (code & increment) increment >>= 1;
            code = increment ? (code & (increment - 1)) + increment : 0;
        }
    }
    tableBits = static_cast<int32_t>(rootBits);
    return left > 0 && longest > 1 ? INFLATE_BAD_DATA : INFLATE_OK;
}

static void releaseHuffmanTable(HuffmanEntry*& table) {
    releaseBuffer(table);   // one block holds every level of the code
}

// ---------------------------------------------------------------------------
// Input

Inflater::Inflater()
    : inputBuffer(0), inputCursor(0), inputAvailable(0), inputHandle(NO_FILE), inputLimit(0),
      outputSink(0), window(0) {}

Inflater::~Inflater() {
    finishInput();
}

bool Inflater::startInput(FileHandle handle, uint32_t limit) {
    if (handle == NO_FILE || !allocateZeroed(INFLATE_INPUT_SIZE, inputBuffer)) return false;
    inputCursor = inputBuffer;
    inputAvailable = 0;
    inputHandle = handle;
    inputLimit = limit;
    volumeMode = limit != 0;
    failed = false;
    phantomBytes = 0;
    return true;
}

// Gives the unread buffered bytes back to the file, so that what follows the
// stream can be read from its first byte. Bits held in bitBuffer, and zero
// bytes supplied after the input ended, stay taken.
void Inflater::finishInput() {
    releaseBuffer(inputBuffer);
    if (inputHandle != NO_FILE && inputAvailable != 0)
        seekFileBy(inputHandle, -static_cast<int32_t>(inputAvailable));
    inputCursor = 0;
    inputAvailable = 0;
    inputHandle = NO_FILE;
}

// In the volume mode the stream's packed length bounds every read, and once
// it is used up the input has ended: nothing past the stream is read.
void Inflater::refillInput() {
    inputCursor = inputBuffer;
    inputAvailable = 0;
    if (!volumeMode) {
        inputAvailable = readSome(inputHandle, inputBuffer, INFLATE_INPUT_SIZE);
        return;
    }
    uint32_t request = INFLATE_INPUT_SIZE;
    if (inputLimit < request) request = inputLimit;
    if (request == 0) return;
    // The reader may move on to the next volume file; follow it.
    bool onVolume = inputHandle == updater.volumeHandle;
    uint32_t got = 0;
    int status = payloadReader ? payloadReader(inputHandle, inputBuffer, request, &got) : 1;
    if (onVolume) inputHandle = updater.volumeHandle;
    if (status != 0) {
        failed = true;
        return;
    }
    if (got > request) got = request;
    inputAvailable = got;
    inputLimit -= got;
}

uint32_t Inflater::nextByteSlow() {
    // Once the input has ended or a read failed, nothing more is read: a
    // failed reader is not asked again.
    if (!failed && phantomBytes == 0) refillInput();
    if (inputAvailable == 0) {
        if (++phantomBytes > PHANTOM_BYTES_ALLOWED) failed = true;
        return 0;
    }
    --inputAvailable;
    return *inputCursor++;
}

inline uint32_t Inflater::nextByte() {
    if (inputAvailable == 0) return nextByteSlow();
    --inputAvailable;
    return *inputCursor++;
}

// A fixed-width field of count bits (at most 16), least significant first.
uint32_t Inflater::takeBits(uint32_t count) {
    while (bitCount < count) {
        bitBuffer |= nextByte() << bitCount;
        bitCount += 8;
    }
    uint32_t value = bitBuffer & lowBits(count);
    bitBuffer >>= count;
    bitCount -= count;
    return value;
}

// ---------------------------------------------------------------------------
// Output

// Hands the full window to the sink. After a failure nothing more is written;
// a sink that refuses bytes fails the run.
void Inflater::deliverWindow() {
    if (failed) return;
    outputSink->write(window, static_cast<uint16_t>(INFLATE_WINDOW_SIZE));
    if (!outputSink->isValid()) failed = true;
}

// ---------------------------------------------------------------------------
// Blocks

int Inflater::inflate(ByteSink* sink, FileHandle source, uint32_t limit) {
    int result = INFLATE_NOT_STARTED;
    if (startInput(source, limit) && sink && sink->isValid()) {
        outputSink = sink;
        result = inflateStream();
        outputSink = 0;
    }
    finishInput();
    return result;
}

int Inflater::inflateStream() {
    fixedLiteralTable = 0;
    fixedDistanceTable = 0;
    fixedLiteralBits = 0;
    fixedDistanceBits = 0;
    windowPosition = 0;
    bitBuffer = 0;
    bitCount = 0;

    // Constant tables (RFC 1951 3.2.5), computed: cheaper than storing them.
    for (uint32_t j = 0; j < 19; ++j) codeLengthOrder[j] = j < 3 ? 18 - j : j - 3;
    uint32_t base = 3;
    for (uint32_t i = 0; i < 32; ++i) {
        uint32_t extra = i < 8 ? 0 : (i >> 2) - 1;
        if (i >= 28) extra = i == 29 || i == 30 ? KIND_INVALID : 0;
        lengthBase[i] = static_cast<uint16_t>(i == 28 ? 258 : i > 28 ? 0 : base);
        lengthExtra[i] = static_cast<uint16_t>(extra);
        base += 1u << (extra & 15);
    }
    base = 1;
    for (uint32_t i = 0; i < 32; ++i) {
        uint32_t extra = i < 4 ? 0 : (i >> 1) - 1;
        distanceBase[i] = static_cast<uint16_t>(i < 30 ? base : 0);
        if (i < 30) distanceExtra[i] = static_cast<uint16_t>(extra);
        base += 1u << extra;
    }

    if (!allocateZeroed(INFLATE_WINDOW_SIZE, window)) return INFLATE_NO_MEMORY;
    int result;
    uint32_t header;
    do {
        header = takeBits(4);
        switch (header & 7) {
        case 5: result = inflateFixedBlock(); break;
        case 6: result = inflateDynamicBlock(); break;
        case 7: result = inflateStoredBlock(); break;
        default: result = INFLATE_BAD_BLOCK; break;
        }
        if (failed) result = INFLATE_BAD_DATA;
    } while (result == INFLATE_OK && !(header & 8));

    // Zero bytes supplied past the end must all still be unused in
    // bitBuffer: a stream that consumed any of them was cut short, whatever
    // those zeros then seemed to say.
    if (result != INFLATE_NO_MEMORY && phantomBytes * 8 > bitCount) result = INFLATE_BAD_DATA;
    if (result == INFLATE_OK) {
        outputSink->write(window, static_cast<uint16_t>(windowPosition));
        if (!outputSink->isValid()) result = INFLATE_BAD_DATA;
    }
    releaseHuffmanTable(fixedLiteralTable);
    releaseHuffmanTable(fixedDistanceTable);
    releaseBuffer(window);
    return result;
}

int Inflater::inflateStoredBlock() {
    takeBits(bitCount & 7);
    uint32_t length = takeBits(16);
    while (length != 0 && !failed) {
        if (bitCount == 0 && inputAvailable != 0) {
            // Aligned and nothing held in bitBuffer: copy straight from the
            // input buffer.
            uint32_t chunk = INFLATE_WINDOW_SIZE - windowPosition;
            if (chunk > inputAvailable) chunk = inputAvailable;
            if (chunk > length) chunk = length;
            copyBytes(window + windowPosition, inputCursor, chunk);
            inputCursor += chunk;
            inputAvailable -= chunk;
            windowPosition += chunk;
            length -= chunk;
        } else {
            window[windowPosition++] = static_cast<uint8_t>(takeBits(8));
            --length;
        }
        if (windowPosition == INFLATE_WINDOW_SIZE) {
            deliverWindow();
            windowPosition = 0;
        }
    }
    return INFLATE_OK;
}

int Inflater::inflateFixedBlock() {
    if (!fixedLiteralTable) {
        uint8_t lengths[MAX_SYMBOLS];
        for (uint32_t i = 0; i < MAX_SYMBOLS; ++i)
            lengths[i] = static_cast<uint8_t>(i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8);
        int result = buildHuffmanTable(lengths, 288, 257, lengthBase, lengthExtra, 7,
                                       fixedLiteralTable, fixedLiteralBits);
        if (result != INFLATE_OK) {
            releaseHuffmanTable(fixedLiteralTable);
            return result;
        }
        fillBytes(lengths, 5, 30);
        // Distance codes 30 and 31 have no symbol: the code is incomplete
        // by design and their entries stay invalid.
        result = buildHuffmanTable(lengths, 30, 0, distanceBase, distanceExtra, 5,
                                   fixedDistanceTable, fixedDistanceBits);
        if (result > INFLATE_BAD_DATA) {
            releaseHuffmanTable(fixedLiteralTable);
            return result;
        }
    }
    return decodeCodes(fixedLiteralTable, fixedLiteralBits, fixedDistanceTable, fixedDistanceBits);
}

int Inflater::inflateDynamicBlock() {
    uint32_t literalCount = takeBits(5) + 257;
    uint32_t distanceCount = takeBits(5) + 1;
    uint32_t lengthCodeCount = takeBits(4) + 4;
    if (literalCount > 286 || distanceCount > 30) return INFLATE_BAD_DATA;

    uint8_t lengths[286 + 30];
    for (uint32_t j = 0; j < 19; ++j)
        lengths[codeLengthOrder[j]] = static_cast<uint8_t>(j < lengthCodeCount ? takeBits(3) : 0);
    HuffmanEntry* lengthCode;
    int32_t lengthBits;
    int result = buildHuffmanTable(lengths, 19, 19, 0, 0, 7, lengthCode, lengthBits);
    // Code-length codes are at most 7 bits long: one level, no links.
    uint32_t total = literalCount + distanceCount;
    uint32_t previous = 0;
    for (uint32_t i = 0; result == INFLATE_OK && i < total;) {
        while (bitCount < static_cast<uint32_t>(lengthBits)) {
            bitBuffer |= nextByte() << bitCount;
            bitCount += 8;
        }
        HuffmanEntry entry = lengthCode[bitBuffer & lowBits(lengthBits)];
        if (entry.kind == KIND_INVALID) {
            result = INFLATE_BAD_DATA;
            break;
        }
        bitBuffer >>= entry.bits;
        bitCount -= entry.bits;
        uint32_t symbol = entry.value;
        if (symbol < 16) {
            lengths[i++] = static_cast<uint8_t>(previous = symbol);
            continue;
        }
        // 16: previous length 3-6 times; 17: 3-10 zeros; 18: 11-138 zeros.
        uint32_t repeat = symbol == 16 ? 3 + takeBits(2) : symbol == 17 ? 3 + takeBits(3) : 11 + takeBits(7);
        if (symbol != 16) previous = 0;
        if (repeat > total - i) result = INFLATE_BAD_DATA;
        else for (; repeat; --repeat) lengths[i++] = static_cast<uint8_t>(previous);
    }
    releaseHuffmanTable(lengthCode);
    if (result != INFLATE_OK) return result;

    HuffmanEntry* literalCode;
    HuffmanEntry* distanceCode = 0;
    int32_t literalBits, distanceBits;
    result = buildHuffmanTable(lengths, literalCount, 257, lengthBase, lengthExtra, 9,
                               literalCode, literalBits);
    if (result == INFLATE_OK)
        result = buildHuffmanTable(lengths + literalCount, distanceCount, 0, distanceBase,
                                   distanceExtra, 6, distanceCode, distanceBits);
    if (result == INFLATE_OK) result = decodeCodes(literalCode, literalBits, distanceCode, distanceBits);
    releaseHuffmanTable(literalCode);
    releaseHuffmanTable(distanceCode);
    return result;
}

// Decodes literal/length and distance codes up to the end-of-block code.
// Returns 0 at the end of the block, 1 on an invalid code or a failure.
int Inflater::decodeCodes(const HuffmanEntry* literals, uint32_t literalBits,
                          const HuffmanEntry* distances, uint32_t distanceBits) {
    uint32_t bits = bitBuffer;
    uint32_t held = bitCount;
    uint32_t position = windowPosition;
    uint8_t* const out = window;

#define NEED_BITS(n)                                  \
    while (held < (n)) {                              \
        bits |= nextByte() << held;                   \
        held += 8;                                    \
    }
#define DROP_BITS(n) (bits >>= (n), held -= (n))

    for (;;) {
        if (failed) return INFLATE_BAD_DATA;
        NEED_BITS(literalBits);
        const HuffmanEntry* entry = literals + (bits & lowBits(literalBits));
        uint32_t kind;
        while ((kind = entry->kind) > KIND_LINK) {
            if (kind == KIND_INVALID) return INFLATE_BAD_DATA;
            DROP_BITS(entry->bits);
            kind -= KIND_LINK;
            NEED_BITS(kind);
            entry = literals + entry->value + (bits & lowBits(kind));
        }
        DROP_BITS(entry->bits);
        if (kind == KIND_LITERAL) {
            out[position++] = static_cast<uint8_t>(entry->value);
            if (position == INFLATE_WINDOW_SIZE) {
                deliverWindow();
                position = 0;
            }
            continue;
        }
        if (kind == KIND_END_OF_BLOCK) break;

        NEED_BITS(kind);
        uint32_t length = entry->value + (bits & lowBits(kind));
        DROP_BITS(kind);

        NEED_BITS(distanceBits);
        entry = distances + (bits & lowBits(distanceBits));
        while ((kind = entry->kind) > KIND_LINK) {
            if (kind == KIND_INVALID) return INFLATE_BAD_DATA;
            DROP_BITS(entry->bits);
            kind -= KIND_LINK;
            NEED_BITS(kind);
            entry = distances + entry->value + (bits & lowBits(kind));
        }
        DROP_BITS(entry->bits);
        NEED_BITS(kind);
        uint32_t distance = entry->value + (bits & lowBits(kind));
        DROP_BITS(kind);

        // Copy in chunks that stop where the source or the destination
        // reaches the window's end. A chunk whose source lies at least its
        // length behind the destination (or ahead of it) moves as a block;
        // otherwise the copy reads bytes it has just written, byte by byte.
        uint32_t source = (position - distance) & (INFLATE_WINDOW_SIZE - 1);
        while (length != 0) {
            uint32_t chunk = INFLATE_WINDOW_SIZE - (source > position ? source : position);
            if (chunk > length) chunk = length;
            if (position - source >= chunk) {
                moveBytes(out + position, out + source, chunk);
            } else {
                uint8_t* to = out + position;
                const uint8_t* from = out + source;
                for (uint32_t i = 0; i < chunk; ++i) to[i] = from[i];
            }
            length -= chunk;
            position += chunk;
            source = (source + chunk) & (INFLATE_WINDOW_SIZE - 1);
            if (position == INFLATE_WINDOW_SIZE) {
                deliverWindow();
                position = 0;
            }
        }
    }
#undef NEED_BITS
#undef DROP_BITS
    windowPosition = position;
    bitBuffer = bits;
    bitCount = held;
    return INFLATE_OK;
}

// ---------------------------------------------------------------------------
// Drivers

static bool inflateInto(ByteSink* sink, FileHandle source, uint32_t inputLimit) {
    bool ok;
    {
        Inflater inflater;
        ok = inflater.inflate(sink, source, inputLimit) == INFLATE_OK;
    }
    delete sink;
    return ok;
}

bool inflateToMemory(void* destination, uint32_t capacity, FileHandle source, uint32_t inputLimit) {
    return inflateInto(new MemorySink(destination, capacity), source, inputLimit);
}

bool inflateToFile(FileHandle destination, FileHandle source, uint32_t inputLimit) {
    return inflateInto(new FileSink(destination), source, inputLimit);
}
