#include "package/loader.h"

#include "app/state.h"
#include "app/userinterface.h"
#include "engine/catalogue.h"
#include "package/format.h"
#include "package/inflater.h"
#include "package/texts.h"

static uint32_t readU32(const uint8_t* bytes) {
    return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

// Allocates size bytes plus the guard byte; size 0xFFFFFFFF cannot have one.
static bool allocateWithGuard(uint32_t size, uint8_t*& buffer) {
    buffer = 0;
    if (size == 0xFFFFFFFFu) return false;
    return allocateZeroed(size + 1, buffer);
}

int readRecordBody(FileHandle file, const RecordHeader& header, uint8_t** buffer, uint32_t* size) {
    *buffer = 0;
    *size = 0;
    bool compressed = (header.flags & RECORD_COMPRESSED) != 0;
    uint32_t bodySize = header.length;
    if (compressed) {
        uint8_t field[4];
        if (readExact(file, field, 4) != READ_OK) return BODY_READ_FAILED;
        bodySize = readU32(field);
    }
    uint8_t* body;
    if (!allocateWithGuard(bodySize, body)) return BODY_NO_MEMORY;
    if (compressed) {
        // The decoding's outcome is not examined: a damaged stream leaves
        // the rest of the body zero, and a stream longer than its stated
        // size is cut at the buffer's end.
        inflateToMemory(body, bodySize, file, 0);
    } else if (readExact(file, body, bodySize) != READ_OK) {
        releaseBuffer(body);
        return BODY_READ_FAILED;
    }
    *buffer = body;
    *size = bodySize;
    return BODY_OK;
}

static void replaceBody(uint8_t*& field, uint8_t* body) {
    releaseBuffer(field);
    field = body;
}

static void replaceText(char*& field, uint8_t* body) {
    releaseBuffer(field);
    field = reinterpret_cast<char*>(body);
}

static void releaseStringTables() {
    for (int i = 0; i < STRING_TABLE_COUNT; ++i) {
        releaseBuffer(updater.stringTables[i]);
        updater.stringTableSizes[i] = 0;
    }
}

// Each of the ten template numbers must point inside the set, and what runs
// from there to the set's end must fit one template block; number 8 stands
// for "no page" and is never looked up.
static bool templateSetFits(const uint8_t* set, uint32_t size) {
    if (size < TEMPLATE_COUNT * 4) return false;
    for (uint32_t number = 0; number < TEMPLATE_COUNT; ++number) {
        if (number == 8) continue;
        uint32_t offset = readU32(set + number * 4);
        if (offset < TEMPLATE_COUNT * 4 || offset >= size || size - offset > TEMPLATE_BLOCK_SIZE)
            return false;
    }
    return true;
}

static bool readStringTables(FileHandle file) {
    uint8_t field[4];
    if (readExact(file, field, 2) != READ_OK) return false;
    uint32_t count = field[0] | field[1] << 8;
    if (count > STRING_TABLE_COUNT) count = STRING_TABLE_COUNT;
    releaseStringTables();
    for (uint32_t i = 0; i < count; ++i) {
        if (readExact(file, field, 4) != READ_OK) return false;
        uint32_t size = readU32(field);
        if (!allocateWithGuard(size, updater.stringTables[i])) return false;
        updater.stringTableSizes[i] = size;
        inflateToMemory(updater.stringTables[i], size, file, 0);   // outcome not examined
    }
    return true;
}

// Handles one record whose header has been read and whose length is not 0.
// Returns false when the walk must end with failure.
static bool readRecord(FileHandle file, const RecordHeader& header, bool& complete) {
    uint8_t value[4];
    uint8_t* body = 0;
    uint32_t size = 0;
    switch (header.tag) {
    case TAG_DISPLAY_FLAGS:
    case TAG_REG_ROOT:
        if (header.length < 4 || readExact(file, value, 4) != READ_OK) return false;
        (header.tag == TAG_DISPLAY_FLAGS ? updater.displayFlags : updater.regRoot) = readU32(value);
        return true;
    case TAG_START_PAGE:
        if (header.length < 2 || readExact(file, value, 2) != READ_OK) return false;
        updater.startPage = static_cast<uint16_t>(value[0] | value[1] << 8);
        complete = true;
        return true;
    case TAG_STRING_TABLES:
        return readStringTables(file);
    case TAG_PAYLOAD: {
        updater.payloadStart = tellFile(file);
        if (readExact(file, value, 4) != READ_OK) return false;
        updater.payloadLength = readU32(value);
        updater.volumeRemaining = updater.payloadLength;
        updater.partOffset = 0;
        uint64_t partEnd = uint64_t(updater.payloadStart) + 4 + updater.payloadLength;
        if (fileSize(file) == partEnd) complete = true;
        return true;
    }
    case TAG_DEFAULT_DIR:
    case TAG_BILLBOARD:
    case TAG_BACKGROUND:
    case TAG_BANNER_TEXT:
    case TAG_BANNER_FONT:
    case TAG_REG_SUBKEY:
    case TAG_REG_VALUE:
    case TAG_INI_FILE:
    case TAG_INI_SECTION:
    case TAG_INI_KEY:
    case TAG_DIALOGS:
    case TAG_CATALOGUE:
        break;
    default:
        return true;   // a tag of a later format: skipped by its length
    }

    if (readRecordBody(file, header, &body, &size) != BODY_OK) return false;
    switch (header.tag) {
    case TAG_DEFAULT_DIR:
        copyText(updater.targetDir, reinterpret_cast<char*>(body), PATH_CAPACITY);
        releaseBuffer(body);
        return true;
    case TAG_BILLBOARD:
        replaceBody(updater.billboardImage, body);
        updater.billboardImageSize = size;
        return true;
    case TAG_BACKGROUND:
        replaceBody(updater.backgroundImage, body);
        updater.backgroundImageSize = size;
        return true;
    case TAG_BANNER_TEXT: replaceText(updater.bannerText, body); return true;
    case TAG_REG_SUBKEY: replaceText(updater.regSubkey, body); return true;
    case TAG_REG_VALUE: replaceText(updater.regValue, body); return true;
    case TAG_INI_FILE: replaceText(updater.iniFile, body); return true;
    case TAG_INI_SECTION: replaceText(updater.iniSection, body); return true;
    case TAG_INI_KEY: replaceText(updater.iniKey, body); return true;
    case TAG_BANNER_FONT:
        // A font record has one size; the face name ends inside it whatever
        // the package says.
        if (size < LOGFONT_SIZE) {
            releaseBuffer(body);
            return false;
        }
        body[LOGFONT_SIZE - 1] = 0;
        replaceBody(updater.bannerFont, body);
        return true;
    case TAG_DIALOGS:
        if (!templateSetFits(body, size)) {
            releaseBuffer(body);
            return false;
        }
        replaceBody(updater.dialogTemplates, body);
        updater.dialogTemplatesSize = size;
        return true;
    case TAG_CATALOGUE:
        // Checked once here, so that the accessors read in place unchecked.
        if (!catalogueIsSound(body, size)) {
            releaseBuffer(body);
            return false;
        }
        replaceBody(updater.catalogueData, body);
        updater.catalogueSize = size;
        updater.entryCount = readU32(body);
        updater.firstEntry = reinterpret_cast<FileEntry*>(body + 4);
        return true;
    }
    return true;
}

// Walks the records; returns false when the walk ends with failure.
static bool walkRecords(FileHandle file, bool& complete) {
    seekFileTo(file, updater.imageLength);
    for (;;) {
        uint8_t raw[RECORD_HEADER_SIZE];
        if (readExact(file, raw, RECORD_HEADER_SIZE) != READ_OK) return false;
        RecordHeader header;
        header.tag = static_cast<uint16_t>(raw[0] | raw[1] << 8);
        header.flags = raw[2];
        header.length = readU32(raw + 4);
        if (header.length == 0) {
            if (header.tag == TAG_PAYLOAD) return true;
            continue;
        }
        uint32_t start = tellFile(file);
        uint32_t end = start + header.length;
        if (end < start) return false;   // past 4 GiB: no file of ours is that long
        if (!readRecord(file, header, complete)) return false;
        if (header.tag == TAG_PAYLOAD) return true;
        seekFileTo(file, end);
    }
}

bool loadPackage() {
    if (updater.imageLength == 0) return false;
    copyText(updater.volumePath, updater.modulePath, PATH_CAPACITY);
    FileHandle file = openExisting(updater.volumePath, 0);
    if (file == NO_FILE) return false;
    updater.packageKey = PACKAGE_KEY;
    bool complete = false;
    bool walked = walkRecords(file, complete);
    closeFile(file);
    if (!walked) return false;
    if (complete) return true;
    const char* notice = lookupString(TEXT_GENERAL_TABLE, TEXT_PACKAGE_INCOMPLETE);
    if (*notice) showMessage(notice, BOX_ICON_INFORMATION);
    return false;
}

void releasePackage() {
    releaseBuffer(updater.catalogueData);
    updater.firstEntry = 0;
    updater.entryCount = 0;
    updater.catalogueSize = 0;
    releaseBuffer(updater.dialogTemplates);
    updater.dialogTemplatesSize = 0;
    releaseBuffer(updater.regSubkey);
    releaseBuffer(updater.regValue);
    releaseBuffer(updater.iniFile);
    releaseBuffer(updater.iniSection);
    releaseBuffer(updater.iniKey);
    releaseBuffer(updater.billboardImage);
    releaseBuffer(updater.backgroundImage);
    updater.billboardImageSize = updater.backgroundImageSize = 0;
    releaseBuffer(updater.bannerFont);
    releaseBuffer(updater.bannerText);
    releaseStringTables();
}
