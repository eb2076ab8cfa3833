// `zorvat inspect`: a readable listing of an update executable.
#ifndef ZORVAT_BUILDER_INSPECT_H
#define ZORVAT_BUILDER_INSPECT_H

#include <iosfwd>
#include <string>

// Lists the image size, every record, the string tables, the template
// offsets, the catalogue and the payload layout to out; damage goes to err.
// Returns 0 for a sound package, 1 for a damaged or incomplete one.
int inspectPackage(const std::string& path, std::ostream& out, std::ostream& err);

#endif
