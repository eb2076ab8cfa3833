// The small memory and text helpers, for every build. The image links no C
// runtime, so these loops stand in for memcpy, memset and strlen.
#include "app/fileio.h"

void copyBytes(void* destination, const void* source, uint32_t count) {
    uint8_t* to = static_cast<uint8_t*>(destination);
    const uint8_t* from = static_cast<const uint8_t*>(source);
    while (count--) *to++ = *from++;
}

void moveBytes(void* destination, const void* source, uint32_t count) {
    uint8_t* to = static_cast<uint8_t*>(destination);
    const uint8_t* from = static_cast<const uint8_t*>(source);
    if (to <= from || to >= from + count) {
        while (count--) *to++ = *from++;
    } else {
        to += count;
        from += count;
        while (count--) *--to = *--from;
    }
}

void fillBytes(void* destination, uint8_t value, uint32_t count) {
    uint8_t* to = static_cast<uint8_t*>(destination);
    while (count--) *to++ = value;
}

uint32_t textLength(const char* text) {
    uint32_t length = 0;
    while (text[length]) ++length;
    return length;
}

uint32_t copyText(char* destination, const char* text, uint32_t capacity) {
    uint32_t length = 0;
    while (length + 1 < capacity && text[length]) {
        destination[length] = text[length];
        ++length;
    }
    destination[length] = 0;
    return length;
}
