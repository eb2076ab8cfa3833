// The decompressor of every packed stream in the system: record bodies and
// string tables of the package, full file contents and patch streams of the
// payload.
//
// Stream format: DEFLATE (RFC 1951) blocks with these differences, all else
// as the RFC says (bit order, canonical codes, length and distance symbols):
//   - Block header of 4 bits: bits 0-2 the kind (5 fixed codes, 6 dynamic
//     codes, 7 stored; 0-4 are invalid), bit 3 the last-block flag. So the
//     header values are 5/13 fixed, 6/14 dynamic, 7/15 stored.
//   - Stored block: skip to the byte boundary, LEN as 16 bits little-endian,
//     then LEN bytes. There is no one's-complement NLEN field.
//   - The code-length code lengths of a dynamic block come in the order
//     18, 17, 16, 0, 1, 2, ..., 15.
//   - No header and no trailer around the blocks: the stream ends with the
//     block that carries the last-block flag, the rest of its byte unused.
// Accepted codes: complete ones; an incomplete one only when its longest code
// has 1 bit, and the fixed distance code with its two unused 5-bit codes.
//
// Output passes through a zero-filled 32 KiB window: a distance reaching
// before the run's first byte reads zeros. Every full window goes to the sink
// in one write of 32768 bytes; a successful run ends with one write of the
// remaining 0-32767 bytes (0 when the output is a multiple of 32768, also
// when it is empty). A failed run writes nothing more: up to 32767 decoded
// bytes are dropped and the sink keeps only whole windows.
//
// Input position: a run takes input bytes only as its bit requests need
// them, and gives unread buffered bytes back to the file when it ends. The
// literal/length tables never look ahead past the end-of-block code, so after
// a stream whose last block is stored or of fixed codes the file is
// positioned exactly on the byte that follows the stream. (After a dynamic
// last block a lookup may have taken up to two bytes past the end.)
//
// Input that ends (end of file; in the volume mode, the packed length used
// up) reads as zero bytes, because a lookup may ask for bits past the
// stream's last byte. More than PHANTOM_BYTES_ALLOWED of them fail the run at
// once, so every input ends the run; a run that reaches its end having used
// any of their bits fails too, so a cut stream never succeeds.
//
// Result codes of a run (Inflater::inflate):
//   0  the last block ended normally
//   1  bad data: a code that belongs to no symbol (including any lookup in an
//      empty code), HLIT + 257 > 286 or HDIST + 1 > 30, a code-length repeat
//      past the total, an incomplete code other than the accepted ones;
//      the stream was cut short; a volume read failed; the output went
//      past a memory destination's capacity
//   2  a block kind of 0-4; an over-subscribed code
//   3  no memory for the window or a lookup table
//  -1  the run did not start: no source handle, no input buffer, no sink,
//      or an invalid sink (a memory destination of null)
#ifndef ZORVAT_PACKAGE_INFLATER_H
#define ZORVAT_PACKAGE_INFLATER_H

#include <stddef.h>
#include <stdint.h>

#include "app/fileio.h"

enum {
    INFLATE_OK = 0,
    INFLATE_BAD_DATA = 1,
    INFLATE_BAD_BLOCK = 2,
    INFLATE_NO_MEMORY = 3,
    INFLATE_NOT_STARTED = -1,
};

enum {
    INFLATE_WINDOW_SIZE = 32768,   // the window, and every full delivery
    INFLATE_INPUT_SIZE = 4096,     // input is read in blocks of this size
    // A well-formed stream can ask for bits past its last byte: a lookup
    // requests up to 15 bits of which at least the code's first bit belongs
    // to the stream, so at most 2 bytes. Twice that is still well-formed
    // slack; any more means the input really ended inside a block.
    PHANTOM_BYTES_ALLOWED = 4,
};

// Where decoded output goes. Sinks live on the updater's heap; their
// operator new gives null when memory is short.
class ByteSink {
public:
    virtual ~ByteSink() {}
    virtual bool isValid() = 0;
    virtual void write(const uint8_t* bytes, uint16_t length) = 0;

    static void* operator new(size_t size) noexcept;
    static void operator delete(void* block) noexcept;
};

// Fills a caller's buffer of a known capacity. Bytes beyond the capacity are
// refused: the capacity is filled, the destination becomes null and the sink
// turns invalid, which fails the run that wrote them.
class MemorySink : public ByteSink {
public:
    MemorySink(void* destination, uint32_t capacity)
        : destination(static_cast<uint8_t*>(destination)), capacity(capacity) {}
    bool isValid() override;
    void write(const uint8_t* bytes, uint16_t length) override;

    uint8_t* destination;   // next byte to fill; null = none, or overflowed
    uint32_t capacity;      // bytes still free at destination
};

// Writes to an open file; NO_FILE discards the bytes. Failed writes are not
// reported: callers that need certainty check the file afterwards.
class FileSink : public ByteSink {
public:
    explicit FileSink(FileHandle file) : file(file) {}
    bool isValid() override;
    void write(const uint8_t* bytes, uint16_t length) override;

    FileHandle file;   // destination; NO_FILE = discard
};

// One lookup-table entry, 4 bytes:
//   kind   0-13  length or distance symbol with that many extra bits
//          15    end of block
//          16    literal byte (code-length code: any symbol)
//          17-25 link: 16 + w, the next w bits index a sub-table
//          100   invalid code (no symbol; also the empty code's one entry)
//   bits   the bits this level consumes
//   value  literal byte or symbol; base length or distance; for a link the
//          index of the sub-table within the code's block
struct HuffmanEntry {
    uint8_t kind;
    uint8_t bits;
    uint16_t value;
};

enum {
    KIND_END_OF_BLOCK = 15,
    KIND_LITERAL = 16,
    KIND_LINK = 16,          // plus the sub-table's width
    KIND_INVALID = 100,
};

// The decoder state of one run. Use: construct, inflate once, destroy.
class Inflater {
public:
    Inflater();
    ~Inflater();

    // Unpacks the stream at the source's file position into sink, which the
    // caller keeps. inputLimit 0 reads the source directly; a limit above 0
    // is the stream's packed length, read through payloadReader from the
    // volume file source (the volume mode). Returns the result code above.
    int inflate(ByteSink* sink, FileHandle source, uint32_t inputLimit);

private:
    bool startInput(FileHandle handle, uint32_t limit);
    void finishInput();
    void refillInput();
    uint32_t nextByteSlow();
    inline uint32_t nextByte();
    uint32_t takeBits(uint32_t count);
    void deliverWindow();
    int inflateStream();
    int inflateStoredBlock();
    int inflateFixedBlock();
    int inflateDynamicBlock();
    int decodeCodes(const HuffmanEntry* literals, uint32_t literalBits,
                    const HuffmanEntry* distances, uint32_t distanceBits);
    int decodeFast(const HuffmanEntry* literals, uint32_t literalMask,
                   const HuffmanEntry* distances, uint32_t distanceMask);
    uint32_t copyMatch(uint32_t position, uint32_t distance, uint32_t length);

    uint8_t* inputBuffer;           // INFLATE_INPUT_SIZE bytes, owned; null = no input bound
    const uint8_t* inputCursor;     // next unread byte in inputBuffer
    uint32_t inputAvailable;        // unread bytes left in inputBuffer
    FileHandle inputHandle;         // source file; NO_FILE = none
    uint32_t inputLimit;            // volume mode: packed bytes not yet read
    ByteSink* outputSink;           // where output goes, during a run
    int32_t codeLengthOrder[19];    // code-length symbols in stream order: 18, 17, 16, 0..15
    uint16_t lengthBase[32];        // base of length symbols 257 onwards
    uint16_t lengthExtra[32];       // their extra bits; KIND_INVALID for 286 and 287
    uint16_t distanceExtra[30];     // extra bits of distance codes 0-29
    uint16_t distanceBase[32];      // their base distances, 1-24577
    HuffmanEntry* fixedLiteralTable;    // fixed literal/length code, built at first use in a run
    HuffmanEntry* fixedDistanceTable;   // fixed distance code, built with it
    int32_t fixedLiteralBits;       // first-level width of fixedLiteralTable
    int32_t fixedDistanceBits;      // first-level width of fixedDistanceTable
    uint32_t windowPosition;        // next write position in window, 0-32767
    uint32_t bitBuffer;             // bits taken from the input, not yet used; next bit in bit 0
    uint32_t bitCount;              // valid bits in bitBuffer, at most 23
    uint8_t* window;                // INFLATE_WINDOW_SIZE bytes, owned during a run
    bool volumeMode;                // input comes through payloadReader, up to inputLimit
    bool failed;                    // sticky: the run must end with result 1 (failed volume
                                    // read, input ran dry, sink refused bytes); loops check it
    uint32_t phantomBytes;          // zero bytes supplied after the input ended
};

// Drivers: one Inflater run into a new sink. True when the run ended with
// result 0; false when it failed or did not start. inflateToMemory fills
// at most capacity bytes at destination: a stream that unpacks to more
// fails, the first capacity bytes written.
bool inflateToMemory(void* destination, uint32_t capacity, FileHandle source, uint32_t inputLimit);
bool inflateToFile(FileHandle destination, FileHandle source, uint32_t inputLimit);

#endif
