#include "tests/support/testfiles.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

TempFolder::TempFolder() {
    static std::random_device seed;
    std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::filesystem::path candidate = base / ("zorvat-test-" + std::to_string(seed()));
        if (std::filesystem::create_directory(candidate)) {
            path = candidate.string();
            return;
        }
    }
    throw std::runtime_error("cannot make a temporary folder");
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> pieces) {
    std::vector<uint8_t> out;
    for (const auto& piece : pieces) out.insert(out.end(), piece.begin(), piece.end());
    return out;
}

std::vector<uint8_t> slice(const std::vector<uint8_t>& bytes, size_t from, size_t length) {
    return std::vector<uint8_t>(bytes.begin() + from, bytes.begin() + from + length);
}

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

#ifndef _WIN32
#include <sys/wait.h>

#include <array>
#include <cstdio>

CommandRun runCommand(const std::string& command) {
    CommandRun result{-1, ""};
    FILE* pipe = popen((command + " 2>&1 </dev/null").c_str(), "r");
    if (!pipe) return result;
    std::array<char, 4096> chunk;
    while (size_t got = fread(chunk.data(), 1, chunk.size(), pipe)) result.output.append(chunk.data(), got);
    int status = pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}
#endif
