#include "app/commandline.h"

#include "app/state.h"

static const char* skipBlanks(const char* position) {
    while (*position == ' ') ++position;
    return position;
}

static char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

const char* readArgument(const char* position, char* destination, uint32_t capacity) {
    destination[0] = 0;
    position = skipBlanks(position);
    bool quoted = *position == '"';
    if (quoted) ++position;
    uint32_t length = 0;
    for (; *position && (quoted ? *position != '"' : *position != ' '); ++position)
        if (length + 1 < capacity) destination[length++] = *position;
    destination[length] = 0;
    if (quoted && *position == '"') ++position;
    return position;
}

void parseCommandLine(const char* line) {
    if (!line || !*line) return;
    const char* position = skipBlanks(line);
    while (*position == '-' || *position == '/') {
        ++position;
        char letter = upper(*position);
        if (*position) ++position;
        if (letter == 'D') {
            if (upper(position[0]) == 'E' && position[0] && upper(position[1]) == 'L')
                updater.deleteSelf = 1;
        } else if (letter == 'S') {
            position = readArgument(position, updater.modulePath, PATH_CAPACITY);
        }
        while (*position && *position != ' ' && *position != '-' && *position != '/') ++position;
        position = skipBlanks(position);
    }
}
