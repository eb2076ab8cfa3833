// The script encoder, apart from the rest of the patch writer so that
// programs without the compressor (the Win32 tests) can make patches too.
#include <stdexcept>
#include <string>

#include "builder/patchwriter.h"
#include "engine/patch.h"

namespace {

void fail(const std::string& what) { throw std::runtime_error("patch: " + what); }

constexpr uint32_t MAX_INSERT_PIECE = 32;      // 0x80-0x9F
constexpr uint32_t MAX_COMBINED_INSERT = 3;    // 0xA0-0xFF: insert 1-3, then copy 2-33
constexpr uint32_t MIN_COPY = 2;
constexpr uint32_t MAX_COMBINED_COPY = 33;
constexpr uint32_t MAX_SHORT_COPY = 128;       // 0x01-0x7F; the u16 form starts at 129
constexpr uint32_t LONG_COPY_BASE = 129;
constexpr uint32_t LARGEST_COPY = MAX_COPY_LENGTH;

// The offset field of a distance (forms in engine/patch.h).
void appendDistance(Bytes& out, int64_t d) {
    if (d >= -32 && d <= 31) {
        out.push_back(static_cast<uint8_t>(0x80 | (d & 0x3F)));
    } else if (d >= -16416 && d <= 16415) {
        uint32_t v = static_cast<uint32_t>(d >= 0 ? d - 32 : d + 32) & 0x7FFF;
        out.push_back(static_cast<uint8_t>(v >> 8));
        out.push_back(static_cast<uint8_t>(v));
    } else {
        uint32_t v = static_cast<uint32_t>(d >= 0 ? d - 16416 : d + 16416) & 0x3FFFFF;
        out.push_back(static_cast<uint8_t>(0xC0 | v >> 16));
        out.push_back(static_cast<uint8_t>(v >> 8));
        out.push_back(static_cast<uint8_t>(v));
    }
}

// One copy of 2..MAX_COPY_LENGTH bytes without an insert.
void appendCopy(Bytes& out, uint32_t length, int64_t distance) {
    if (length <= MAX_SHORT_COPY) {
        out.push_back(static_cast<uint8_t>(length - 1));
    } else {
        uint32_t w = length - LONG_COPY_BASE;
        out.push_back(0x00);
        out.push_back(static_cast<uint8_t>(w));
        out.push_back(static_cast<uint8_t>(w >> 8));
    }
    appendDistance(out, distance);
}

}  // namespace

Bytes encodeScript(const std::vector<PatchCommand>& commands, const Bytes& insertData) {
    Bytes out;
    uint64_t inserted = 0;
    for (const PatchCommand& command : commands) {
        if (command.copyLength == 1) fail("a copy of 1 byte (copies are at least 2 bytes; insert it)");
        if (command.copyLength == 0 && command.distance != 0) fail("a distance without a copy");
        if (command.distance < MIN_PATCH_DISTANCE || command.distance > MAX_PATCH_DISTANCE)
            fail("distance " + std::to_string(command.distance) + " is out of range");
        inserted += command.insertLength;

        // Inserts go in pieces of 32 bytes and a last piece of 1-32; a last
        // piece of 1-3 goes in one command with a copy of 2-33 after it.
        uint32_t insert = command.insertLength;
        bool combinable = command.copyLength >= MIN_COPY && command.copyLength <= MAX_COMBINED_COPY;
        uint32_t lastPiece = insert == 0 ? 0 : (insert - 1) % MAX_INSERT_PIECE + 1;
        uint32_t combined = combinable && lastPiece <= MAX_COMBINED_INSERT ? lastPiece : 0;
        for (uint32_t alone = insert - combined; alone != 0;) {
            uint32_t piece = alone < MAX_INSERT_PIECE ? alone : MAX_INSERT_PIECE;
            out.push_back(static_cast<uint8_t>(0x80 | (piece - 1)));
            alone -= piece;
        }
        if (combined != 0) {
            out.push_back(static_cast<uint8_t>(0x80 | combined << 5 | (command.copyLength - MIN_COPY)));
            appendDistance(out, command.distance);
            continue;
        }

        uint32_t copy = command.copyLength;
        int64_t distance = command.distance;
        while (copy != 0) {
            uint32_t piece = copy <= LARGEST_COPY ? copy : LARGEST_COPY;
            if (copy - piece == 1) --piece;   // leave at least 2 for the next piece
            appendCopy(out, piece, distance);
            copy -= piece;
            distance = 0;   // the next piece goes on where this one ended
        }
    }
    if (inserted != insertData.size())
        fail("the inserts take " + std::to_string(inserted) + " bytes, the insert data has " +
             std::to_string(insertData.size()));
    return out;
}
