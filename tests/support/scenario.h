// A whole update for end-to-end tests: an old installation in two known
// versions, a new version, and the update package made from them, with
// every kind of entry the engine handles:
//   app.exe            patched; two known old versions (A installed)
//   data\readme.txt    written whole
//   plugins\new\extra.dll  missing, installed whole into new folders
//   obsolete.txt       deleted
//   config.bin         patched; a preserved region carried over from offset
//                      100 in the old file to offset 140 in the new one
//   moved.dll          not recognised where it is; its old version is found
//                      below the folder the user names, and patched from there
// The payload is split over part 0 and two volume files.
#ifndef ZORVAT_TESTS_SCENARIO_H
#define ZORVAT_TESTS_SCENARIO_H

#include <functional>
#include <map>
#include <string>

#include "builder/packagewriter.h"

struct Scenario {
    std::map<std::string, Bytes> oldFiles;    // relative path (backslashes) -> installed contents
    std::map<std::string, Bytes> newFiles;    // what the update must leave
    std::map<std::string, Bytes> movedFiles;  // below the alternate folder
    std::string alternateSubfolder = "Old";   // moved.dll lies in <alternate>\Old
    Bytes package;                            // the update file (image zeros + package)
    std::vector<Bytes> volumes;               // volume files 1, 2, ...
    Bytes oldRegion;                          // the installation's bytes in config.bin's region
};

// Makes the scenario. makeItem turns a patch script and its insert data into
// a patch item (so native tests may compress and Win32 tests store raw).
Scenario makeScenario(const std::function<Bytes(const Bytes& script, const Bytes& inserts)>& makeItem);

// A patch item with both streams stored raw.
Bytes rawPatchItem(const Bytes& script, const Bytes& inserts);

// Writes the old installation below folder (files in Windows-style relative
// paths become subfolders) and the moved files below alternate.
void installOldVersion(const Scenario& scenario, const std::string& folder, const std::string& alternate);

// The file's expected contents after the update.
Bytes expectedAfterUpdate(const Scenario& scenario, const std::string& relativePath);

#endif
