#include "builder/inspect.h"

#include <iomanip>
#include <ostream>
#include <sstream>

#include "builder/packagereader.h"
#include "package/format.h"

namespace {


std::string hex32(uint32_t value) {
    std::ostringstream text;
    text << "0x" << std::hex << std::uppercase << std::setw(8) << std::setfill('0') << value;
    return text.str();
}

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') out += '\\', out += static_cast<char>(c);
        else if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else if (c == '\t') out += "\\t";
        else if (c < 0x20) {
            std::ostringstream code;
            code << "\\x" << std::hex << std::setw(2) << std::setfill('0') << unsigned(c);
            out += code.str();
        } else out += static_cast<char>(c);
    }
    return out + "\"";
}

const RecordView* lastRecord(const PackageView& view, uint16_t tag) {
    const RecordView* found = nullptr;
    for (const RecordView& record : view.records)
        if (record.tag == tag) found = &record;
    return found;
}

void listRecords(const PackageView& view, std::ostream& out) {
    out << "records: " << view.records.size() << "\n";
    out << "  offset      tag                 flags      length    unpacked\n";
    for (const RecordView& r : view.records) {
        out << "  " << std::left << std::setw(10) << r.offset << "  " << std::setw(18) << tagName(r.tag)
            << "  " << ((r.flags & RECORD_COMPRESSED) ? "packed" : "plain ") << std::right << std::setw(12)
            << r.length << std::setw(12) << r.unpackedSize;
        if ((r.tag == TAG_DISPLAY_FLAGS || r.tag == TAG_REG_ROOT) && r.body.size() == 4)
            out << "  value " << hex32(getU32(r.body, 0));
        if (r.tag == TAG_START_PAGE && r.body.size() >= 2) out << "  page " << getU16(r.body, 0);
        out << "\n";
    }
}

void listTexts(const PackageView& view, std::ostream& out) {
    for (uint16_t tag : {TAG_DEFAULT_DIR, TAG_BANNER_TEXT, TAG_REG_SUBKEY, TAG_REG_VALUE, TAG_INI_FILE,
                         TAG_INI_SECTION, TAG_INI_KEY}) {
        const RecordView* r = lastRecord(view, tag);
        if (!r || r->body.empty()) continue;
        std::string text(r->body.begin(), r->body.end());
        text = text.substr(0, text.find('\0'));
        out << tagName(tag) << ": " << quoted(text) << "\n";
    }
    out << "string tables: " << view.stringTables.size() << "\n";
    for (size_t t = 0; t < view.stringTables.size(); ++t) {
        const StringTableView& table = view.stringTables[t];
        out << "  table " << t << ": " << table.entries.size() << " entries, " << table.unpackedSize
            << " bytes\n";
        for (size_t e = 0; e < table.entries.size(); ++e)
            out << "    " << std::setw(3) << e << "  " << quoted(table.entries[e]) << "\n";
    }
}

void listTemplates(const PackageView& view, std::ostream& out, std::ostream& err, bool& damaged) {
    const RecordView* r = lastRecord(view, TAG_DIALOGS);
    if (!r) return;
    out << "dialog templates: " << r->body.size() << " bytes\n";
    if (r->body.size() < TEMPLATE_COUNT * 4) {
        err << "the dialog template set is shorter than its offset table\n";
        damaged = true;
        return;
    }
    for (uint32_t n = 0; n < TEMPLATE_COUNT; ++n) {
        uint32_t offset = getU32(r->body, n * 4);
        out << "  template " << n << "  offset " << offset;
        if (offset < r->body.size()) out << ", " << r->body.size() - offset << " bytes to the end";
        out << "\n";
        if (n != 8 && (offset < TEMPLATE_COUNT * 4 || offset >= r->body.size() ||
                       r->body.size() - offset > TEMPLATE_BLOCK_SIZE)) {
            err << "dialog template " << n << " at offset " << offset << " lies outside the set or "
                << "exceeds the 16384-byte template block\n";
            damaged = true;
        }
    }
}

const char* destinationName(uint32_t kind) {
    return kind == 1 ? "windows" : kind == 2 ? "shared" : "target";
}
const char* missingName(uint32_t action) {
    return action == 1 ? "install" : action == 2 ? "fail" : "skip";
}
const char* unmatchedName(uint32_t action) {
    return action == 0 ? "fail" : action == 2 ? "search" : "skip";
}

// A catalogue entry's fixed part is 30 bytes: length, destination kind,
// missing/unmatched/delete actions, flags, new size and checksum, known
// count, status, known offset, match index, region offset and count.
enum { ENTRY_FIXED = 30, KNOWN_SIZE = 16, REGION_FIXED = 12 };
enum { FLAG_FULL_CONTENTS = 0x02, FLAG_VERSION_BLOCK = 0x10, FLAG_FILE_TIMES = 0x20 };

bool listEntry(const Bytes& c, size_t at, uint32_t length, uint32_t index, std::ostream& out, std::ostream& err) {
    auto fail = [&](const std::string& what) {
        err << "catalogue entry " << index << " at offset " << at << ": " << what << "\n";
        return false;
    };
    uint32_t flags = getU16(c, at + 8);
    size_t names = at + ENTRY_FIXED + ((flags & FLAG_VERSION_BLOCK) ? 16 : 0) + ((flags & FLAG_FILE_TIMES) ? 24 : 0);
    size_t end = at + length;
    std::string strings[2];
    size_t position = names;
    for (std::string& s : strings) {
        size_t stop = position;
        while (stop < end && c[stop]) ++stop;
        if (stop >= end) return fail("its name strings are not terminated inside it");
        s.assign(reinterpret_cast<const char*>(c.data() + position), stop - position);
        position = stop + 1;
    }
    out << "  entry " << index << "  " << quoted(strings[0]) << "\n";
    out << "    destination " << destinationName(c[at + 4]) << ", missing " << missingName(c[at + 5])
        << ", unmatched " << unmatchedName(c[at + 6]) << ", " << (c[at + 7] == 1 ? "delete" : "update")
        << ((flags & FLAG_FULL_CONTENTS) ? ", full contents" : ", patches");
    if (!strings[1].empty()) out << ", alternate subfolder " << quoted(strings[1]);
    out << "\n    new size " << getU32(c, at + 10) << ", checksum " << hex32(getU32(c, at + 14)) << "\n";
    if (flags & FLAG_VERSION_BLOCK) {
        uint32_t ms = getU32(c, at + 30), ls = getU32(c, at + 34);
        out << "    file version " << (ms >> 16) << "." << (ms & 0xFFFF) << "." << (ls >> 16) << "." << (ls & 0xFFFF)
            << "\n";
    }
    uint32_t knownCount = getU16(c, at + 18), knownOffset = getU16(c, at + 22);
    if (uint64_t(knownOffset) + uint64_t(knownCount) * KNOWN_SIZE > length ||
        (knownCount && knownOffset < ENTRY_FIXED))
        return fail("its known versions lie outside it");
    for (uint32_t k = 0; k < knownCount; ++k) {
        size_t p = at + knownOffset + k * KNOWN_SIZE;
        out << "    known " << k << ": checksum " << hex32(getU32(c, p) ^ PACKAGE_KEY) << ", size " << getU32(c, p + 4)
            << ", payload offset " << getU32(c, p + 8);
        if (flags & FLAG_FULL_CONTENTS) out << ", packed " << getU32(c, p + 12);
        out << "\n";
    }
    uint32_t regionCount = getU16(c, at + 28);
    size_t region = at + getU16(c, at + 26);
    for (uint32_t r = 0; r < regionCount; ++r) {
        if (region + REGION_FIXED > end) return fail("its preserved regions lie outside it");
        uint32_t patternLength = getU16(c, region + 10);
        if (patternLength > 16384 || region + REGION_FIXED + patternLength > end)
            return fail("a preserved region's pattern lies outside it");
        out << "    region " << r << ": length " << getU32(c, region) << ", "
            << (patternLength ? "pattern of " + std::to_string(patternLength) + " bytes"
                              : "fixed offset " + std::to_string(getU32(c, region + 4)))
            << (getU16(c, region + 8) ? ", carried over" : "") << "\n";
        region += REGION_FIXED + patternLength;
    }
    return true;
}

void listCatalogue(const PackageView& view, std::ostream& out, std::ostream& err, bool& damaged) {
    const RecordView* r = lastRecord(view, TAG_CATALOGUE);
    if (!r) return;
    const Bytes& c = r->body;
    if (c.size() < 4) {
        err << "the catalogue is shorter than its entry count\n";
        damaged = true;
        return;
    }
    uint32_t count = getU32(c, 0);
    out << "catalogue: " << count << " entries, " << c.size() << " bytes\n";
    size_t at = 4;
    for (uint32_t i = 0; i < count; ++i) {
        if (at + ENTRY_FIXED > c.size()) {
            err << "catalogue entry " << i << " lies outside the catalogue\n";
            damaged = true;
            return;
        }
        uint32_t length = getU32(c, at);
        if (length < ENTRY_FIXED || length > c.size() - at) {
            err << "catalogue entry " << i << " has length " << length << ", outside the catalogue\n";
            damaged = true;
            return;
        }
        if (!listEntry(c, at, length, i, out, err)) {
            damaged = true;
            return;
        }
        at += length;
    }
}

}  // namespace

int inspectPackage(const std::string& path, std::ostream& out, std::ostream& err) {
    PackageView view = readPackage(path);
    out << path << ": " << view.fileSize << " bytes, program image " << view.imageLength << " bytes\n";
    bool damaged = !view.problems.empty();
    listRecords(view, out);
    listTexts(view, out);
    listTemplates(view, out, err, damaged);
    listCatalogue(view, out, err, damaged);
    if (view.hasPayload) {
        out << "payload: part 0 at offset " << view.payloadStart + 4 << ", " << view.payloadLength
            << " bytes, ending at " << uint64_t(view.payloadStart) + 4 + view.payloadLength << " of "
            << view.fileSize << (view.complete ? "" : " (not complete)") << "\n";
    }
    for (const std::string& problem : view.problems) err << problem << "\n";
    if (damaged) err << path << ": the package is damaged\n";
    return damaged ? 1 : 0;
}
