#include "builder/packagereader.h"

#include <cstdio>
#include <stdexcept>

#include "app/fileio.h"
#include "package/format.h"
#include "package/inflater.h"

namespace {

uint32_t u32At(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

std::string hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

// Owns a file handle of the updater's file operations.
struct OpenFile {
    FileHandle handle;
    explicit OpenFile(const std::string& path) : handle(openExisting(path.c_str(), 0)) {}
    ~OpenFile() {
        if (handle != NO_FILE) closeFile(handle);
    }
};

// Unpacks the stream at the file's position into size bytes; the file is
// left behind the stream. False when it does not decode cleanly.
bool unpackStream(FileHandle file, uint32_t size, Bytes& out) {
    out.assign(size + 1, 0);   // a spare byte: an empty body still has a destination
    bool ok = inflateToMemory(out.data(), size, file, 0);
    out.resize(size);
    return ok;
}

bool isRecordBody(uint16_t tag) {
    switch (tag) {
    case TAG_DEFAULT_DIR: case TAG_BILLBOARD: case TAG_BACKGROUND: case TAG_BANNER_TEXT:
    case TAG_REG_SUBKEY: case TAG_REG_VALUE: case TAG_INI_FILE: case TAG_INI_SECTION:
    case TAG_INI_KEY: case TAG_DIALOGS: case TAG_CATALOGUE: case TAG_BANNER_FONT:
        return true;
    default:
        return false;
    }
}

}  // namespace

std::string tagName(uint16_t tag) {
    switch (tag) {
    case TAG_DISPLAY_FLAGS: return "TAG_DISPLAY_FLAGS";
    case TAG_DEFAULT_DIR: return "TAG_DEFAULT_DIR";
    case TAG_BILLBOARD: return "TAG_BILLBOARD";
    case TAG_BACKGROUND: return "TAG_BACKGROUND";
    case TAG_BANNER_TEXT: return "TAG_BANNER_TEXT";
    case TAG_STRING_TABLES: return "TAG_STRING_TABLES";
    case TAG_REG_ROOT: return "TAG_REG_ROOT";
    case TAG_REG_SUBKEY: return "TAG_REG_SUBKEY";
    case TAG_REG_VALUE: return "TAG_REG_VALUE";
    case TAG_INI_FILE: return "TAG_INI_FILE";
    case TAG_INI_SECTION: return "TAG_INI_SECTION";
    case TAG_INI_KEY: return "TAG_INI_KEY";
    case TAG_DIALOGS: return "TAG_DIALOGS";
    case TAG_CATALOGUE: return "TAG_CATALOGUE";
    case TAG_START_PAGE: return "TAG_START_PAGE";
    case TAG_BANNER_FONT: return "TAG_BANNER_FONT";
    case TAG_PAYLOAD: return "TAG_PAYLOAD";
    default: return "unknown " + hex(tag);
    }
}

std::vector<std::string> parseStringTable(const Bytes& table) {
    if (table.size() < 2) throw std::runtime_error("string table shorter than its count");
    uint32_t count = table[0] | table[1] << 8;
    std::vector<std::string> entries;
    size_t position = 2;
    for (uint32_t i = 0; i < count; ++i) {
        size_t end = position;
        while (end < table.size() && table[end]) ++end;
        if (end >= table.size())
            throw std::runtime_error("string table holds " + std::to_string(i) + " of its " +
                                     std::to_string(count) + " entries");
        entries.emplace_back(reinterpret_cast<const char*>(table.data() + position), end - position);
        position = end + 1;
    }
    return entries;
}

PackageView readPackage(const std::string& path) {
    OpenFile file(path);
    if (file.handle == NO_FILE) throw std::runtime_error("cannot open " + path);
    PackageView view;
    view.fileSize = fileSize(file.handle);
    if (view.fileSize < view.imageLength) {
        view.problems.push_back("the file is shorter than the 65536-byte program image");
        return view;
    }
    uint64_t position = view.imageLength;
    for (;;) {
        seekFileTo(file.handle, static_cast<uint32_t>(position));
        uint8_t raw[RECORD_HEADER_SIZE];
        if (position + RECORD_HEADER_SIZE > view.fileSize || readExact(file.handle, raw, sizeof raw) != READ_OK) {
            view.problems.push_back("the file ends at offset " + std::to_string(position) +
                                    " before the payload record");
            break;
        }
        RecordView record;
        record.offset = position;
        record.tag = static_cast<uint16_t>(raw[0] | raw[1] << 8);
        record.flags = raw[2];
        record.length = u32At(raw + 4);
        record.unpackedSize = record.length;
        uint64_t bodyStart = position + RECORD_HEADER_SIZE;
        uint64_t end = bodyStart + record.length;
        std::string where = tagName(record.tag) + " at offset " + std::to_string(position);
        if (record.length == 0) {
            view.records.push_back(record);
            if (record.tag == TAG_PAYLOAD) break;
            position = end;
            continue;
        }
        if (end > view.fileSize && record.tag != TAG_PAYLOAD) {
            view.records.push_back(record);
            view.problems.push_back(where + " runs past the end of the file");
            break;
        }
        if (record.tag == TAG_PAYLOAD) {
            uint8_t field[4];
            if (readExact(file.handle, field, 4) != READ_OK) {
                view.records.push_back(record);
                view.problems.push_back(where + ": the payload's part length cannot be read");
                break;
            }
            view.hasPayload = true;
            view.payloadStart = static_cast<uint32_t>(bodyStart);
            view.payloadLength = u32At(field);
            record.unpackedSize = view.payloadLength;
            view.records.push_back(record);
            break;
        }
        if (record.tag == TAG_START_PAGE) view.startPageSet = view.startPageSet || record.length >= 2;
        if (record.tag == TAG_STRING_TABLES) {
            view.stringTables.clear();
            uint8_t field[4];
            readExact(file.handle, field, 2);
            uint32_t count = field[0] | field[1] << 8;
            // The updater reads at most eight tables; the rest are skipped.
            for (uint32_t i = 0; i < count && i < 8; ++i) {
                StringTableView table;
                if (readExact(file.handle, field, 4) != READ_OK) {
                    view.problems.push_back(where + ": string table " + std::to_string(i) + " is cut off");
                    break;
                }
                table.unpackedSize = u32At(field);
                Bytes unpacked;
                if (uint64_t(table.unpackedSize) > 1032 * uint64_t(end - tellFile(file.handle)) + 1024) {
                    view.problems.push_back(where + ": string table " + std::to_string(i) +
                                            " claims more than its stream can hold");
                    break;
                }
                if (!unpackStream(file.handle, table.unpackedSize, unpacked))
                    view.problems.push_back(where + ": string table " + std::to_string(i) + " does not decode");
                try {
                    table.entries = parseStringTable(unpacked);
                } catch (const std::exception& e) {
                    view.problems.push_back(where + ": table " + std::to_string(i) + ": " + e.what());
                }
                view.stringTables.push_back(table);
                if (tellFile(file.handle) > end) {
                    view.problems.push_back(where + ": string table " + std::to_string(i) +
                                            " runs past its record");
                    break;
                }
            }
        } else if (isRecordBody(record.tag) && (record.flags & RECORD_COMPRESSED)) {
            uint8_t field[4];
            if (record.length < 4 || readExact(file.handle, field, 4) != READ_OK) {
                view.problems.push_back(where + ": the unpacked size cannot be read");
            } else {
                record.unpackedSize = u32At(field);
                // DEFLATE expands at most 258 bytes per 2 bits: a larger
                // claim cannot be true and is not allocated.
                if (uint64_t(record.unpackedSize) > 1032 * uint64_t(record.length) + 1024)
                    view.problems.push_back(where + ": the unpacked size " + std::to_string(record.unpackedSize) +
                                            " cannot come from " + std::to_string(record.length) + " bytes");
                else if (!unpackStream(file.handle, record.unpackedSize, record.body))
                    view.problems.push_back(where + ": the compressed body does not decode");
                else if (tellFile(file.handle) > end)
                    view.problems.push_back(where + ": the compressed body runs past its record");
            }
        } else if (record.tag != TAG_DISPLAY_FLAGS && record.tag != TAG_REG_ROOT && record.tag != TAG_START_PAGE) {
            record.body.resize(record.length);
            readExact(file.handle, record.body.data(), record.length);
        } else {
            record.body.resize(std::min<uint32_t>(record.length, 4));
            readExact(file.handle, record.body.data(), static_cast<uint32_t>(record.body.size()));
        }
        view.records.push_back(std::move(record));
        position = end;
    }
    if (view.hasPayload) {
        uint64_t partEnd = uint64_t(view.payloadStart) + 4 + view.payloadLength;
        view.complete = partEnd == view.fileSize;
        if (!view.complete && !view.startPageSet)
            view.problems.push_back("the payload's first part ends at offset " + std::to_string(partEnd) +
                                    ", the file at " + std::to_string(view.fileSize) +
                                    ": the file is not complete");
    }
    view.complete = view.complete || view.startPageSet;
    return view;
}
