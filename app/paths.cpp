#include "app/paths.h"

#include "app/fileio.h"

void addBackslash(char* path, uint32_t capacity) {
    uint32_t length = textLength(path);
    if (length == 0 || path[length - 1] == '\\') return;
    if (length + 1 < capacity) {
        path[length] = '\\';
        path[length + 1] = 0;
    }
}

void stripBackslash(char* path) {
    uint32_t length = textLength(path);
    if (length > 3 && path[length - 1] == '\\') path[length - 1] = 0;
}

void appendText(char* path, const char* text, uint32_t capacity) {
    uint32_t length = textLength(path);
    if (length < capacity) copyText(path + length, text, capacity - length);
}

void appendPathPart(char* path, const char* text, uint32_t capacity) {
    addBackslash(path, capacity);
    appendText(path, text, capacity);
}

static char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool sameTextIgnoringCase(const char* a, const char* b) {
    while (*a && lower(*a) == lower(*b)) ++a, ++b;
    return lower(*a) == lower(*b);
}
