// The path rules that recur across the updater, each bounded by the
// buffer's capacity (callers pass 260): nothing is ever written past it and
// the text always stays terminated; text that does not fit is cut.
#ifndef ZORVAT_APP_PATHS_H
#define ZORVAT_APP_PATHS_H

#include <stdint.h>

// Appends "\" unless the path is empty or already ends with one.
void addBackslash(char* path, uint32_t capacity);
// Removes one final "\" when the path is longer than 3 characters, so that
// a drive root such as C:\ keeps it.
void stripBackslash(char* path);
// Appends text, cut to the capacity.
void appendText(char* path, const char* text, uint32_t capacity);
// Appends "\" as addBackslash does, then text.
void appendPathPart(char* path, const char* text, uint32_t capacity);
// ASCII letters compared without regard to case; true when equal.
bool sameTextIgnoringCase(const char* a, const char* b);

#endif
