// Files for native tests: a fresh folder per test, whole-file reads and writes.
#ifndef ZORVAT_TESTS_TESTFILES_H
#define ZORVAT_TESTS_TESTFILES_H

#include <cstdint>
#include <string>
#include <vector>

// A new empty folder below the system's temporary folder, removed with its
// contents when the object goes.
struct TempFolder {
    std::string path;
    TempFolder();
    ~TempFolder();
    std::string file(const std::string& name) const { return path + "/" + name; }
};

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> readFile(const std::string& path);

// Runs a shell command line; its exit code and what it printed (both
// streams together). Standard input is empty.
struct CommandRun {
    int exitCode;
    std::string output;
};
CommandRun runCommand(const std::string& command);

#endif
