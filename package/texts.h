// The package's texts and dialog layouts. The image holds no user-visible
// text: every caption and message is an entry of one of eight string tables.
//
// StringTable (unpacked):  u16 count | count NUL-terminated ANSI strings.
//   Entry 0 follows the count; there is no index. The loader keeps one zero
//   byte behind every table, so a last entry without terminator still ends
//   inside the buffer; an entry that starts at or past the table's end is
//   missing.
// DialogTemplateSet:  u32 offset x 10 (template numbers 0..9) | templates.
//   A template runs from its offset to the end of the set; the loader has
//   checked that this is inside the set and at most 16384 bytes, the size
//   of the block copyDialogTemplate hands out.
#ifndef ZORVAT_PACKAGE_TEXTS_H
#define ZORVAT_PACKAGE_TEXTS_H

#include <stdint.h>

// Table 6 entries the program names itself.
enum {
    TEXT_GENERAL_TABLE = 6,
    TEXT_TITLE = 0,
    TEXT_PACKAGE_INCOMPLETE = 33,
};
enum { MESSAGE_CAPACITY = 1024 };   // the buffer callers format messages into

extern const char emptyString[1];

// Entry of a table, pointing into the table; emptyString when the table
// number is 8 or more, the table is absent or the entry is past its count.
const char* lookupString(uint32_t table, uint32_t entry);

// Writes entry of table 6 into destination (capacity bytes), with %s
// replaced by messageArg when the entry holds %s (then %% is a percent
// sign); an entry without %s is copied as it is. Never writes past capacity.
void formatMessage(char* destination, uint32_t capacity, uint32_t entry);

// The formatting that messages use instead of wsprintfA: %s takes text,
// %d takes number, %% is a percent sign; any other % sequence is copied as
// it is, so a package's text can never make the program read arguments that
// were not passed. Output is cut to capacity, terminator included.
void formatText(char* destination, uint32_t capacity, const char* format, const char* text,
                int32_t number);

// A new 16384-byte zero-filled template block holding template number, or
// null (no template set, number out of range, no memory).
void* copyDialogTemplate(uint32_t number);
void freeDialogTemplate(void* block);

#endif
