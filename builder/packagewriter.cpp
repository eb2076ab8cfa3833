#include "builder/packagewriter.h"

#include <stdexcept>

#include "package/format.h"

void appendU16(Bytes& out, uint32_t value) {
    out.push_back(value & 0xFF);
    out.push_back((value >> 8) & 0xFF);
}

void appendU32(Bytes& out, uint32_t value) {
    appendU16(out, value & 0xFFFF);
    appendU16(out, value >> 16);
}

void putU16(Bytes& out, size_t at, uint32_t value) {
    out[at] = value & 0xFF;
    out[at + 1] = (value >> 8) & 0xFF;
}

void putU32(Bytes& out, size_t at, uint32_t value) {
    putU16(out, at, value & 0xFFFF);
    putU16(out, at + 2, value >> 16);
}

uint32_t getU16(const Bytes& in, size_t at) { return in[at] | in[at + 1] << 8; }

uint32_t getU32(const Bytes& in, size_t at) { return getU16(in, at) | getU16(in, at + 2) << 16; }

Bytes storeStream(const Bytes& data) {
    // A stored block: a 4-bit header (kind 7, bit 3 = last) whose byte's
    // other bits are skipped, then LEN (u16) and LEN bytes, no complement.
    Bytes out;
    size_t position = 0;
    do {
        size_t length = std::min<size_t>(data.size() - position, 0xFFFF);
        bool last = position + length == data.size();
        out.push_back(last ? 0x0F : 0x07);
        appendU16(out, static_cast<uint32_t>(length));
        out.insert(out.end(), data.begin() + position, data.begin() + position + length);
        position += length;
    } while (position < data.size());
    return out;
}

Bytes encodeStringTable(const std::vector<std::string>& entries) {
    if (entries.size() > 0xFFFF) throw std::runtime_error("a string table holds at most 65535 entries");
    Bytes out;
    appendU16(out, static_cast<uint32_t>(entries.size()));
    for (const std::string& entry : entries) {
        out.insert(out.end(), entry.begin(), entry.end());
        out.push_back(0);
    }
    return out;
}

Bytes encodeTemplateSet(const std::vector<Bytes>& templates) {
    if (templates.size() > TEMPLATE_COUNT) throw std::runtime_error("at most ten dialog templates");
    Bytes out(TEMPLATE_COUNT * 4, 0);
    std::vector<uint32_t> offsets(TEMPLATE_COUNT, 0);
    uint32_t first = 0;
    for (size_t number = 0; number < templates.size(); ++number) {
        if (templates[number].empty()) continue;
        offsets[number] = static_cast<uint32_t>(out.size());
        if (!first) first = offsets[number];
        out.insert(out.end(), templates[number].begin(), templates[number].end());
    }
    if (!first) throw std::runtime_error("a template set needs at least one template");
    for (size_t number = 0; number < TEMPLATE_COUNT; ++number) {
        uint32_t offset = offsets[number] ? offsets[number] : first;
        putU32(out, number * 4, offset);
    }
    return out;
}

void PackageWriter::addRaw(uint16_t tag, uint8_t flags, const Bytes& body) {
    appendU16(records, tag);
    records.push_back(flags);
    records.push_back(0);
    appendU32(records, static_cast<uint32_t>(body.size()));
    records.insert(records.end(), body.begin(), body.end());
}

void PackageWriter::addValue32(uint16_t tag, uint32_t value) {
    Bytes body;
    appendU32(body, value);
    addRaw(tag, 0, body);
}

void PackageWriter::addValue16(uint16_t tag, uint16_t value) {
    Bytes body;
    appendU16(body, value);
    addRaw(tag, 0, body);
}

void PackageWriter::addBody(uint16_t tag, const Bytes& body, bool compressed) {
    if (!compressed) return addRaw(tag, 0, body);
    Bytes packed;
    appendU32(packed, static_cast<uint32_t>(body.size()));
    Bytes stream = encode(body);
    packed.insert(packed.end(), stream.begin(), stream.end());
    addRaw(tag, RECORD_COMPRESSED, packed);
}

void PackageWriter::addText(uint16_t tag, const std::string& text, bool compressed) {
    Bytes body(text.begin(), text.end());
    body.push_back(0);
    addBody(tag, body, compressed);
}

void PackageWriter::addStringTables(const std::vector<std::vector<std::string>>& tables) {
    Bytes body;
    appendU16(body, static_cast<uint32_t>(tables.size()));
    for (const auto& table : tables) {
        Bytes unpacked = encodeStringTable(table);
        appendU32(body, static_cast<uint32_t>(unpacked.size()));
        Bytes stream = encode(unpacked);
        body.insert(body.end(), stream.begin(), stream.end());
    }
    addRaw(TAG_STRING_TABLES, 0, body);
}

void PackageWriter::addPayload(const Bytes& part) {
    Bytes body;
    appendU32(body, static_cast<uint32_t>(part.size()));
    body.insert(body.end(), part.begin(), part.end());
    addRaw(TAG_PAYLOAD, 0, body);
}

Bytes PackageWriter::finish(const Bytes& image, uint32_t imageLength) const {
    if (image.size() > imageLength) throw std::runtime_error("the program image is larger than its 64 KiB");
    Bytes out = image;
    out.resize(imageLength, 0);
    out.insert(out.end(), records.begin(), records.end());
    return out;
}
