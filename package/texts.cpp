#include "package/texts.h"

#include "app/platform.h"
#include "app/state.h"
#include "package/format.h"

const char emptyString[1] = {0};

const char* lookupString(uint32_t table, uint32_t entry) {
    if (table >= STRING_TABLE_COUNT) return emptyString;
    const uint8_t* data = updater.stringTables[table];
    uint32_t size = updater.stringTableSizes[table];
    if (!data || size < 2) return emptyString;
    uint32_t count = data[0] | data[1] << 8;
    if (entry >= count) return emptyString;
    uint32_t position = 2;
    for (; entry > 0; --entry) {
        while (position < size && data[position]) ++position;
        ++position;   // past the terminator (or the guard byte at size)
    }
    if (position >= size) return emptyString;
    return reinterpret_cast<const char*>(data + position);
}

static bool holdsTextDirective(const char* text) {
    for (; *text; ++text)
        if (text[0] == '%' && text[1] == 's') return true;
    return false;
}

// Appends to the output while room is left; room always keeps the terminator.
struct TextOutput {
    char* cursor;
    char* last;   // where the terminator goes at the latest
    void put(char c) {
        if (cursor < last) *cursor++ = c;
    }
    void putText(const char* text) {
        while (*text) put(*text++);
    }
};

void formatText(char* destination, uint32_t capacity, const char* format, const char* text,
                int32_t number) {
    if (capacity == 0) return;
    TextOutput out = {destination, destination + capacity - 1};
    while (*format) {
        char c = *format++;
        if (c != '%') {
            out.put(c);
        } else if (*format == 's') {
            out.putText(text);
            ++format;
        } else if (*format == '%') {
            out.put('%');
            ++format;
        } else if (*format == 'd') {
            char digits[12];
            int count = 0;
            uint32_t magnitude = number < 0 ? 0u - static_cast<uint32_t>(number) : number;
            do digits[count++] = static_cast<char>('0' + magnitude % 10);
            while (magnitude /= 10);
            if (number < 0) out.put('-');
            while (count) out.put(digits[--count]);
            ++format;
        } else {
            out.put('%');
        }
    }
    *out.cursor = 0;
}

void formatMessage(char* destination, uint32_t capacity, uint32_t entry) {
    const char* text = lookupString(TEXT_GENERAL_TABLE, entry);
    if (holdsTextDirective(text))
        formatText(destination, capacity, text, updater.messageArg, 0);
    else if (capacity)
        copyText(destination, text, capacity);
}

void* copyDialogTemplate(uint32_t number) {
    const uint8_t* set = updater.dialogTemplates;
    uint32_t size = updater.dialogTemplatesSize;
    if (!set || number >= TEMPLATE_COUNT || size < TEMPLATE_COUNT * 4) return 0;
    const uint8_t* field = set + number * 4;
    uint32_t offset = field[0] | field[1] << 8 | field[2] << 16 | static_cast<uint32_t>(field[3]) << 24;
    if (offset >= size) return 0;
    uint32_t length = size - offset;
    if (length > TEMPLATE_BLOCK_SIZE) length = TEMPLATE_BLOCK_SIZE;
    void* block = allocateTemplateBlock(TEMPLATE_BLOCK_SIZE);
    if (block) copyBytes(block, set + offset, length);
    return block;
}

void freeDialogTemplate(void* block) { releaseTemplateBlock(block); }
