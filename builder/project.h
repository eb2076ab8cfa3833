// What a vendor sets once for an update: the project file (TOML), with
// command-line options laid over it. Paths in the file are relative to the
// file's folder.
//
//   title = "Sample"                      # the program's title (table 6, entry 0)
//   new = "v3"                            # the new version's folder
//   old = ["v1", "v2"]                    # the old versions' folders
//   output = "update.exe"
//   level = 12                            # compression, 1-12
//   volume_size = 0                       # bytes per file; 0 = one file
//   image = "stub.exe"                    # the updater image; default beside zorvat
//   full_screen = false                   # display flag bit 0
//   default_folder = "#Program Files#\Sample"
//   [registry]  root = "HKLM", key = "Software\Vendor\Sample", value = "InstallDir"
//   [ini]       file = "sample.ini", section = "Setup", key = "Folder"
//   [texts]     "6.10" = "The file %s is not ..."   # table.entry = text
//   [[rules]]   pattern = "*.dat"                   # first matching rule wins
//               missing = "install" | "skip" | "fail"
//               unmatched = "fail" | "skip" | "search"
//               destination = "target" | "windows" | "shared"
//               alternate_subfolder = "Old"
//               [[rules.regions]] pattern = "SERIAL=", length = 32, carry_over = true
#ifndef ZORVAT_BUILDER_PROJECT_H
#define ZORVAT_BUILDER_PROJECT_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "builder/cataloguewriter.h"

struct FileRule {
    std::string pattern;                  // glob over the relative path: * ? (no slash in *), ** any
    std::optional<uint8_t> missingAction;
    std::optional<uint8_t> unmatchedAction;
    std::optional<uint8_t> destinationKind;
    std::string alternateSubfolder;
    std::vector<RegionPlan> regions;
};

struct Project {
    std::string title = "Update";
    std::string newFolder;
    std::vector<std::string> oldFolders;
    std::string output = "update.exe";
    std::string image;                    // empty: stub.exe beside the zorvat program
    int level = 12;
    uint64_t volumeSize = 0;
    bool fullScreen = false;
    std::string defaultFolder;
    std::optional<uint32_t> registryRoot;
    std::string registryKey, registryValue;
    std::string iniFile, iniSection, iniKey;
    std::map<std::pair<uint32_t, uint32_t>, std::string> texts;   // (table, entry) -> text
    std::vector<FileRule> rules;
};

// Reads a project file; throws std::runtime_error naming the file, the
// setting and what is wrong.
Project readProject(const std::string& path);

// True when the relative path (backslashes) matches the glob, letters
// compared without regard to case.
bool globMatches(const std::string& pattern, const std::string& path);

#endif
