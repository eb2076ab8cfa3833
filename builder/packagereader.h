// Reads an update executable's package for inspection: every record with
// its header and unpacked body, the string tables, and where the payload
// lies. Compressed bodies are unpacked by the updater's own decompressor,
// so what this reader accepts is what the updater reads.
#ifndef ZORVAT_BUILDER_PACKAGEREADER_H
#define ZORVAT_BUILDER_PACKAGEREADER_H

#include <cstdint>
#include <string>
#include <vector>

#include "builder/packagewriter.h"

struct RecordView {
    uint64_t offset = 0;           // file offset of the record's header
    uint16_t tag = 0;
    uint8_t flags = 0;
    uint32_t length = 0;           // body bytes in the file
    uint32_t unpackedSize = 0;     // compressed bodies: the stated size; plain: length
    Bytes body;                    // unpacked body (plain values and payload: empty)
};

struct StringTableView {
    uint32_t unpackedSize = 0;
    std::vector<std::string> entries;
};

struct PackageView {
    uint64_t fileSize = 0;
    uint32_t imageLength = 65536;
    std::vector<RecordView> records;
    std::vector<StringTableView> stringTables;   // of the last string-tables record
    bool hasPayload = false;
    uint32_t payloadStart = 0;     // offset of part 0's length field
    uint32_t payloadLength = 0;    // part 0's length
    bool startPageSet = false;
    bool complete = false;         // part 0 ends at the end of the file, or a start page
    std::vector<std::string> problems;   // damage found; empty for a sound package
};

// Reads the package behind the image of the file at path. Damage does not
// throw: it is listed in problems, and the walk stops where it cannot go
// on. Throws std::runtime_error only when the file cannot be read at all.
PackageView readPackage(const std::string& path);

// The name of a record tag ("TAG_CATALOGUE"), or "unknown 0x1234".
std::string tagName(uint16_t tag);

// The entries of an unpacked string table; throws std::runtime_error when
// the table is shorter than its count says or its last entry is open.
std::vector<std::string> parseStringTable(const Bytes& table);

#endif
