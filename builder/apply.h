// `zorvat apply UPDATE.EXE DIR`: runs an update's scan and update steps on
// a folder with the updater's own engine, natively.
#ifndef ZORVAT_BUILDER_APPLY_H
#define ZORVAT_BUILDER_APPLY_H

#include <iosfwd>
#include <string>

#include "builder/console.h"

struct ApplyOptions {
    std::string update;        // the update executable
    std::string folder;        // the installed application (targetDir)
    std::string volumes;       // where volume files are; empty = beside the update
    ConsoleAnswers answers;
};

// Prints each results row (status text, path relative to the folder) to
// out, and the outcome message at the end. Returns 0 when the update
// succeeded or there was nothing to do, 1 otherwise.
int applyUpdate(const ApplyOptions& options, std::ostream& out, std::ostream& err);

#endif
