// The command line: switches introduced by '-' or '/', letters in any case.
//   /S path   the package is read from path instead of the program's own
//             file; the path may follow at once or after blanks, and may be
//             quoted (then it may hold blanks; no escape for quotes)
//   /DEL      this is a temporary copy that removes itself; only D, E, L
//             are tested, so a longer word beginning with them counts too
// Any other letter is skipped with the rest of its word. Parsing stops at
// the first word without '-' or '/' in front. Blanks are spaces only.
#ifndef ZORVAT_APP_COMMANDLINE_H
#define ZORVAT_APP_COMMANDLINE_H

#include <stdint.h>

// Sets modulePath (/S) and deleteSelf (/DEL) from the arguments (the
// program's name not included). A null or empty line changes nothing.
void parseCommandLine(const char* line);

// Reads one argument at position into destination (capacity bytes, cut to
// fit with its terminator); returns the position behind it: behind the
// closing quote, or at the blank or end that ended an unquoted argument.
const char* readArgument(const char* position, char* destination, uint32_t capacity);

#endif
