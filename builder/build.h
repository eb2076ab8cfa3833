// `zorvat build`: an update executable from the new version's folder and
// the old versions' folders.
//
// Planning, per file (paths paired without regard to letter case):
//   only in the new folder        installed when missing, written whole
//   in the new and old folders    one known version per distinct old content
//                                 (a content equal to the new one needs none);
//                                 patches or the whole file, whichever makes
//                                 the smaller payload; written whole and
//                                 installed when missing if an old folder
//                                 lacks it
//   the same everywhere           left out
//   only in old folders           deleted
// Payload items follow the catalogue's order, so the updater only moves
// forward through the volumes. Every stream and patch is verified with the
// updater's own code before it is written.
#ifndef ZORVAT_BUILDER_BUILD_H
#define ZORVAT_BUILDER_BUILD_H

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "builder/project.h"

struct BuildRow {
    std::string path;
    std::string action;          // "patch", "whole", "add", "delete"
    size_t knownVersions = 0;
    uint64_t newSize = 0;
    uint64_t payloadBytes = 0;
};

struct BuildResult {
    std::vector<BuildRow> rows;  // catalogue order
    size_t unchanged = 0;        // files left out
    uint64_t payloadBytes = 0;
    uint64_t newBytes = 0;       // sizes of the new files in the catalogue
    std::vector<std::string> files;   // the update and its volumes
    bool hasDialogs = false;
};

// Builds the update; progress(done, total) is called as files are done.
// Throws std::runtime_error with a clear message on any problem.
BuildResult buildUpdate(const Project& project, const std::function<void(size_t, size_t)>& progress = {});

void printReport(const BuildResult& result, std::ostream& out);

// The new file's version numbers from its version resource (FileVersionMS,
// FileVersionLS, ProductVersionMS, ProductVersionLS); false when it has none.
bool readVersionNumbers(const Bytes& file, std::array<uint32_t, 4>& version);

#endif
