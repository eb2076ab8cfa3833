// The benchmark corpus as the two bench programs see it: every regular file
// of the corpus directory (bench/make_corpus.sh makes it) whose name does not
// start with a dot, smallest first, names breaking ties.
#ifndef ZORVAT_BENCH_CORPUS_H
#define ZORVAT_BENCH_CORPUS_H

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "builder/packagewriter.h"

struct CorpusEntry {
    std::string name;   // the file name, which the tables show
    std::string path;
    uint64_t size;
};

inline std::vector<CorpusEntry> listCorpus(const std::string& directory) {
    namespace fs = std::filesystem;
    std::vector<CorpusEntry> entries;
    for (const fs::directory_entry& item : fs::directory_iterator(directory)) {
        std::string name = item.path().filename().string();
        if (name.empty() || name[0] == '.' || !item.is_regular_file()) continue;
        entries.push_back({name, item.path().string(), static_cast<uint64_t>(item.file_size())});
    }
    if (entries.empty()) throw std::runtime_error("no corpus files in " + directory + " (run bench/make_corpus.sh)");
    std::sort(entries.begin(), entries.end(), [](const CorpusEntry& a, const CorpusEntry& b) {
        return a.size != b.size ? a.size < b.size : a.name < b.name;
    });
    return entries;
}

inline Bytes readCorpusFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The value of "--name=value" among the arguments, removed from them, or
// fallback when it is not there.
inline std::string takeOption(int& argc, char** argv, const std::string& name, const std::string& fallback) {
    std::string prefix = "--" + name + "=";
    std::string value = fallback;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        if (argument.compare(0, prefix.size(), prefix) == 0) value = argument.substr(prefix.size());
        else argv[kept++] = argv[i];
    }
    argc = kept;
    return value;
}

#endif
