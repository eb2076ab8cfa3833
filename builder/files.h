// Whole files in and out of the builder.
#ifndef ZORVAT_BUILDER_FILES_H
#define ZORVAT_BUILDER_FILES_H

#include <string>

#include "builder/packagewriter.h"

// The file's bytes; throws std::runtime_error naming the file.
Bytes readWholeFile(const std::string& path);

// Writes beside the target and renames, so a failed run never leaves a
// half-written file under the target's name; throws std::runtime_error.
void writeWholeFile(const std::string& path, const Bytes& bytes);

#endif
