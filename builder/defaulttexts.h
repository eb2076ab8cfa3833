// The texts an update carries when its project sets none: all eight string
// tables in plain English, %s where a message names a path.
#ifndef ZORVAT_BUILDER_DEFAULTTEXTS_H
#define ZORVAT_BUILDER_DEFAULTTEXTS_H

#include <string>
#include <vector>

// Table i, entry j; title is the program's title (table 6, entry 0) and
// appears in the page texts.
std::vector<std::vector<std::string>> defaultTexts(const std::string& title);

#endif
