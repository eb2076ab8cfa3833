// Writes packages: the tagged records that follow the 64 KiB program image
// (layout in package/format.h). Used by the tests to make packages of every
// shape, good and damaged, and by the builder to write real updates.
#ifndef ZORVAT_BUILDER_PACKAGEWRITER_H
#define ZORVAT_BUILDER_PACKAGEWRITER_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// Turns bytes into one compressed stream of the updater's format.
using StreamEncoder = std::function<Bytes(const Bytes&)>;

// The encoder a writer uses unless told otherwise: the builder's compressor
// at its best level (builder/compressor.cpp). Programs built without the
// compressor (the Win32 tests have no libdeflate) link storeStream in its
// place.
Bytes packStream(const Bytes& data);

// The simplest valid stream: stored blocks of at most 65535 bytes, the last
// one flagged (an empty input gives one empty stored block).
Bytes storeStream(const Bytes& data);

// u16 count, then each entry with its terminator.
Bytes encodeStringTable(const std::vector<std::string>& entries);

// Ten u32 offsets (template numbers 0..9), then the templates back to back;
// a number without a template (empty) points at the first one.
Bytes encodeTemplateSet(const std::vector<Bytes>& templates);

// Little-endian fields, appended or at a given offset of bytes.
void appendU16(Bytes& out, uint32_t value);
void appendU32(Bytes& out, uint32_t value);
void putU16(Bytes& out, size_t at, uint32_t value);
void putU32(Bytes& out, size_t at, uint32_t value);
uint32_t getU16(const Bytes& in, size_t at);
uint32_t getU32(const Bytes& in, size_t at);

struct PackageWriter {
    Bytes records;                        // the package, without the image
    StreamEncoder encode = packStream;   // used for compressed bodies and tables

    // A record as it stands: header (tag, flags, length) and body.
    void addRaw(uint16_t tag, uint8_t flags, const Bytes& body);
    void addValue32(uint16_t tag, uint32_t value);
    void addValue16(uint16_t tag, uint16_t value);
    // A record body, compressed (u32 unpacked size + stream) when asked.
    void addBody(uint16_t tag, const Bytes& body, bool compressed);
    void addText(uint16_t tag, const std::string& text, bool compressed = false);
    // The string-tables record: each table compressed by itself.
    void addStringTables(const std::vector<std::vector<std::string>>& tables);
    // The payload record with part 0; it must be the last record.
    void addPayload(const Bytes& part);

    // The whole file: image padded with zeros to imageLength, then records.
    Bytes finish(const Bytes& image, uint32_t imageLength = 65536) const;
};

#endif
