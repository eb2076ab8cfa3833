// Files for native tests: a fresh folder per test, whole-file reads and writes.
#ifndef ZORVAT_TESTS_TESTFILES_H
#define ZORVAT_TESTS_TESTFILES_H

#include <cstdint>
#include <initializer_list>
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

// Byte strings for fixtures: pieces joined, and a piece of one.
std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> pieces);
std::vector<uint8_t> slice(const std::vector<uint8_t>& bytes, size_t from, size_t length);
std::vector<uint8_t> readFile(const std::string& path);

// Runs a shell command line; its exit code and what it printed (both
// streams together). Standard input is empty.
struct CommandRun {
    int exitCode;
    std::string output;
};
CommandRun runCommand(const std::string& command);

#endif
