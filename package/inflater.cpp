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

#if __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the bit buffer loads input words as little-endian"
#endif

PayloadReadFunction payloadReader = readPayload;

// The machine word (4 bytes in the image, 8 in native builds): the bit
// buffer of the decoding loops and the unit of the byte copies. Words move
// with __builtin_memcpy of a constant size, which compiles to one unaligned
// load or store (x86 allows them; no library call, no aliasing rule broken).
typedef uintptr_t Word;
enum { WORD_BYTES = sizeof(Word), WORD_BITS = 8 * sizeof(Word) };

static inline Word loadWord(const uint8_t* from) {
    Word word;
    __builtin_memcpy(&word, from, WORD_BYTES);
    return word;
}

static inline void storeWord(uint8_t* to, Word word) {
    __builtin_memcpy(to, &word, WORD_BYTES);
}

// Copies count bytes forward, first to last: a back-reference's semantics,
// where a source less than count behind the destination repeats the bytes
// just written. Whole words when the source is at least a word behind the
// destination, or anywhere ahead of it (then `to - from` wraps to a huge
// value): each word is read before any of its bytes can be overwritten, and
// every byte it reads is final. Closer sources go byte by byte.
static void copyForward(uint8_t* to, const uint8_t* from, uint32_t count) {
    if (static_cast<uintptr_t>(to - from) >= WORD_BYTES) {
        for (; count >= WORD_BYTES; count -= WORD_BYTES) {
            storeWord(to, loadWord(from));
            to += WORD_BYTES;
            from += WORD_BYTES;
        }
    }
    while (count--) *to++ = *from++;
}

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
    copyForward(destination, bytes, count);
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

// An entry as one 32-bit store: kind, bits and value in the struct's
// little-endian layout.
static_assert(sizeof(HuffmanEntry) == 4, "an entry is 4 bytes");

static inline uint32_t packEntry(uint32_t kind, uint32_t bits, uint32_t value) {
    return kind | bits << 8 | value << 16;
}

static inline void storeEntry(HuffmanEntry* at, uint32_t packed) {
    __builtin_memcpy(at, &packed, sizeof packed);
}

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
        const uint32_t invalid = packEntry(KIND_INVALID, 0, 0);
        if (table)
            for (uint32_t i = 0; i < used; ++i) storeEntry(table + i, invalid);
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
                    storeEntry(table + levelBase[depth] + ((code >> levelStart[depth]) & lowBits(levelBits[depth])),
                               packEntry(KIND_LINK + bits, levelBits[depth], used));
                    for (uint32_t i = used; i < used + (1u << bits); ++i) storeEntry(table + i, invalid);
                }
                ++depth;
                levelStart[depth] = start;
                levelBits[depth] = bits;
                levelBase[depth] = used;
                levelPrefix[depth] = code & lowBits(start);
                used += 1u << bits;
            }
            if (table) {
                uint32_t kind = symbol == 256 ? KIND_END_OF_BLOCK : KIND_LITERAL, value = symbol;
                if (symbol >= simpleCount) {
                    kind = extras[symbol - simpleCount];
                    value = bases[symbol - simpleCount];
                }
                uint32_t drop = levelStart[depth];
                uint32_t entry = packEntry(kind, length - drop, value);
                // Every index whose low bits are this code decodes to it.
                for (uint32_t i = code >> drop; i < (1u << levelBits[depth]); i += 1u << (length - drop))
                    storeEntry(table + levelBase[depth] + i, entry);
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
            copyForward(window + windowPosition, inputCursor, chunk);
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
    result = buildHuffmanTable(lengths, literalCount, 257, lengthBase, lengthExtra, 10,
                               literalCode, literalBits);
    if (result == INFLATE_OK)
        result = buildHuffmanTable(lengths + literalCount, distanceCount, 0, distanceBase,
                                   distanceExtra, 8, distanceCode, distanceBits);
    if (result == INFLATE_OK) result = decodeCodes(literalCode, literalBits, distanceCode, distanceBits);
    releaseHuffmanTable(literalCode);
    releaseHuffmanTable(distanceCode);
    return result;
}

// Fast loop margins. Each pass of the fast loop decodes one literal or one
// length/distance pair: at most 15 + 5 + 15 + 13 = 48 bits (codes of at most
// 15 bits, however many table levels their lookup walks; at most 5 length
// and 13 distance extra bits), and writes at most 258 bytes.
//
// Input: a refill loads the word at the cursor and advances the cursor over
// the bytes that now fit whole in the buffer, which then counts WORD_BITS - 8
// to WORD_BITS - 1 bits; the bits above the count are the next input bits
// (a later refill ORs the same bits over them). With P the bit position in
// the input that the decoder has consumed, the cursor is at most
// (P + WORD_BITS - 1) / 8 bytes from where P counts, and a pass moves P by
// at most 48: so a pass that starts with the cursor at byte A reads no byte
// past A + (48 + WORD_BITS - 1) / 8 + WORD_BYTES - 1. A pass starts only
// with FAST_INPUT_MARGIN buffered bytes at the cursor (21 for 8-byte words,
// 13 for 4-byte words), so every load stays inside the bytes read in.
//
// Output: a pass starts only FAST_WINDOW_ROOM bytes or more before the end
// of the window: room for the longest match and for the two words past it
// that a match copy saves and restores, so a pass never reaches the
// window's end.
enum {
    MAX_PASS_BITS = 15 + 5 + 15 + 13,
    FAST_INPUT_MARGIN = (MAX_PASS_BITS + WORD_BITS - 1) / 8 + WORD_BYTES,
    MAX_MATCH = 258,
    FAST_WINDOW_ROOM = MAX_MATCH + 2 * WORD_BYTES,
};

// Copies a back-reference of length bytes from distance bytes back, with
// deliveries, in chunks that stop where the source or the destination
// reaches the window's end. Returns the new window position.
uint32_t Inflater::copyMatch(uint32_t position, uint32_t distance, uint32_t length) {
    uint32_t source = (position - distance) & (INFLATE_WINDOW_SIZE - 1);
    while (length != 0) {
        uint32_t chunk = INFLATE_WINDOW_SIZE - (source > position ? source : position);
        if (chunk > length) chunk = length;
        copyForward(window + position, window + source, chunk);
        length -= chunk;
        position += chunk;
        source = (source + chunk) & (INFLATE_WINDOW_SIZE - 1);
        if (position == INFLATE_WINDOW_SIZE) {
            deliverWindow();
            position = 0;
        }
    }
    return position;
}

// Walks a code's table levels from the first-level entry; ends with entry
// and kind of the symbol and its code's bits dropped, or returns on a code
// that belongs to no symbol. NEED(n) makes n bits available.
#define DROP_BITS(n) (bits >>= (n), held -= (n))
#define WALK_LEVELS(table, NEED)                                          \
    while ((kind = entry->kind) > KIND_LINK) {                            \
        if (kind == KIND_INVALID) return INFLATE_BAD_DATA;                \
        DROP_BITS(entry->bits);                                           \
        kind -= KIND_LINK;                                                \
        NEED(kind);                                                       \
        entry = table + entry->value + (static_cast<uint32_t>(bits) & lowBits(kind)); \
    }                                                                     \
    DROP_BITS(entry->bits)

// The fast loop: decodes from the state in the members while the margins
// above hold, with no per-byte checks. Returns 0 at the end of the block, 1
// on a code that belongs to no symbol, -1 when a margin ran out (the state
// is then stored back for the checked loop). Called only with the margins
// met; the sticky failure cannot arise inside (no reads, no deliveries).
int Inflater::decodeFast(const HuffmanEntry* literals, uint32_t literalMask,
                         const HuffmanEntry* distances, uint32_t distanceMask) {
    // Held bits at the low end; above them the next input bits (a refill
    // puts the whole word in and counts only the bytes that fit).
    Word bits = bitBuffer;
    uint32_t held = bitCount;
    uint32_t position = windowPosition;
    uint8_t* const out = window;
    const uint8_t* in = inputCursor;
    const uint8_t* const inEnd = in + inputAvailable;
    const uint8_t* const inLast = inEnd - FAST_INPUT_MARGIN;
    const HuffmanEntry* entry;
    uint32_t kind;
    int result = -1;
// Fills the buffer to WORD_BITS - 8 bits or more (see the margins).
#define REFILL()                                                          \
    (bits |= loadWord(in) << held, in += (WORD_BITS - 1 - held) >> 3,     \
     held |= WORD_BITS - 8)
#define NO_NEED(n)

    // With 8-byte words a pass looks its first code up before refilling,
    // so that the refill does not delay the lookup: a pass starts with 15
    // bits or more held (a literal pass leaves 56 - 15, a match pass refills
    // at its end). With 4-byte words a pass refills first.
    if (WORD_BITS >= 64) REFILL();
    do {
        if (WORD_BITS < 64) REFILL();
        entry = literals + (static_cast<uint32_t>(bits) & literalMask);
        if (WORD_BITS >= 64) REFILL();
        WALK_LEVELS(literals, NO_NEED);
        if (kind == KIND_LITERAL) {
            out[position++] = static_cast<uint8_t>(entry->value);
            continue;
        }
        if (kind == KIND_END_OF_BLOCK) {
            result = INFLATE_OK;
            break;
        }
        uint32_t length = entry->value + (static_cast<uint32_t>(bits) & lowBits(kind));
        DROP_BITS(kind);
        // 4-byte words: the refill left 24 bits at least, the length code
        // and its extra bits took 20 at most; the distance code takes 15 at
        // most, its extra bits 13.
        if (WORD_BITS - 8 < 15 + 5 + 15) REFILL();
        entry = distances + (static_cast<uint32_t>(bits) & distanceMask);
        WALK_LEVELS(distances, NO_NEED);
        if (WORD_BITS - 8 < MAX_PASS_BITS && held < kind) REFILL();
        uint32_t distance = entry->value + (static_cast<uint32_t>(bits) & lowBits(kind));
        DROP_BITS(kind);
        if (WORD_BITS >= 64) REFILL();
        if (distance > position) {
            // The source starts before the window's start: it wraps to the
            // window's end.
            position = copyMatch(position, distance, length);
            continue;
        }
        // Words up to and past the match's end: the two words after it
        // (window history, room guaranteed) are saved and put back. A word
        // reads only final bytes when the source is a word or more behind;
        // the first two words go unconditionally, the rest in a loop. A
        // closer source repeats with its distance as period, and so with any
        // multiple of it: the bytes up to the first multiple of a word or
        // more go one by one, then words copy from that period back.
        uint8_t* to = out + position;
        Word after = loadWord(to + length);
        Word afterNext = loadWord(to + length + WORD_BYTES);
        uint32_t i = 2 * WORD_BYTES;
        if (distance >= WORD_BYTES) {
            storeWord(to, loadWord(to - distance));
            storeWord(to + WORD_BYTES, loadWord(to - distance + WORD_BYTES));
        } else {
            uint32_t period = distance;
            while (period < WORD_BYTES) period += distance;
            const uint8_t* from = to - distance;
            for (i = 0; i < period && i < length; ++i) to[i] = from[i];
            distance = period;
        }
        for (; i < length; i += WORD_BYTES) storeWord(to + i, loadWord(to - distance + i));
        storeWord(to + length, after);
        storeWord(to + length + WORD_BYTES, afterNext);
        position += length;
    } while (in <= inLast && position <= INFLATE_WINDOW_SIZE - FAST_WINDOW_ROOM);
#undef NO_NEED
#undef REFILL

    // Give back the whole bytes held, so that the input position is where
    // the checked loop would have it (and after the last block on the byte
    // after the stream). Only bytes still in the buffer can go back: the
    // bytes taken here are, and so are all held bits but fewer than 8
    // unless the entry state held a whole byte of the previous buffer; then
    // the bits of that byte on stay held, no more than on entry (at most 23).
    uint32_t back = held >> 3;
    uint32_t taken = static_cast<uint32_t>(in - inputBuffer);
    if (back > taken) back = taken;
    in -= back;
    held -= back << 3;
    bitBuffer = static_cast<uint32_t>(bits) & lowBits(held);
    bitCount = held;
    inputAvailable = static_cast<uint32_t>(inEnd - in);
    inputCursor = in;
    windowPosition = position;
    return result;
}

// Decodes literal/length and distance codes up to the end-of-block code.
// Returns 0 at the end of the block, 1 on an invalid code or a failure.
//
// The fast loop runs while FAST_INPUT_MARGIN input bytes are buffered and
// FAST_WINDOW_ROOM bytes of window remain; the checked loop here decodes
// one symbol at a time near the ends of the input buffer and of the window,
// reading input byte by byte only as its lookups need it.
int Inflater::decodeCodes(const HuffmanEntry* literals, uint32_t literalBits,
                          const HuffmanEntry* distances, uint32_t distanceBits) {
    const uint32_t literalMask = lowBits(literalBits);
    const uint32_t distanceMask = lowBits(distanceBits);
    uint32_t bits = bitBuffer;
    uint32_t held = bitCount;
    uint32_t position = windowPosition;
    uint8_t* const out = window;
    const HuffmanEntry* entry;
    uint32_t kind;

#define NEED_BITS(n)                                  \
    while (held < (n)) {                              \
        bits |= nextByte() << held;                   \
        held += 8;                                    \
    }

    for (;;) {
        if (failed) return INFLATE_BAD_DATA;
        if (inputAvailable >= FAST_INPUT_MARGIN && position <= INFLATE_WINDOW_SIZE - FAST_WINDOW_ROOM) {
            bitBuffer = bits;
            bitCount = held;
            windowPosition = position;
            int result = decodeFast(literals, literalMask, distances, distanceMask);
            if (result >= INFLATE_OK) return result;
            bits = bitBuffer;
            held = bitCount;
            position = windowPosition;
            continue;
        }

        NEED_BITS(literalBits);
        entry = literals + (bits & literalMask);
        WALK_LEVELS(literals, NEED_BITS);
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
        entry = distances + (bits & distanceMask);
        WALK_LEVELS(distances, NEED_BITS);
        NEED_BITS(kind);
        uint32_t distance = entry->value + (bits & lowBits(kind));
        DROP_BITS(kind);
        position = copyMatch(position, distance, length);
    }
#undef NEED_BITS
    windowPosition = position;
    bitBuffer = bits;
    bitCount = held;
    return INFLATE_OK;
}
#undef WALK_LEVELS
#undef DROP_BITS

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
