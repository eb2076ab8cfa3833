// Compressed sizes of our compressor against libdeflate and gzip, on every
// file of the bench corpus.
//
// How: for each file and each level of 1, 6, 9 and 12, ours is
// compressStream (libdeflate, transcoded to our format and verified by the
// updater's decompressor) and the peer is rawDeflate, libdeflate's raw
// DEFLATE at the same level, so the difference is our format's framing
// alone. gzip is the gzip program at -9 (`gzip -9 -n -c`, fed the file on
// standard input); its 18 bytes of header (10, no name) and trailer (8) are
// taken off, leaving its DEFLATE body. The work runs on all cores, one
// (file, level) per job.
//
// Output: a table of sizes in bytes with each in % of the file, then one of
// ratios: ours/libdeflate per level and ours/gzip -9 at levels 9 and 12.
// Usage: size_report [--corpus=DIR]
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/corpus.h"
#include "builder/compressor.h"

namespace {

const int LEVELS[] = {1, 6, 9, 12};
const int LEVEL_COUNT = sizeof LEVELS / sizeof LEVELS[0];
const int LEVEL_9 = 2, LEVEL_12 = 3;   // their indexes in LEVELS, for the gzip ratios
const uint64_t GZIP_WRAPPER_BYTES = 18;

struct Sizes {
    uint64_t ours[LEVEL_COUNT] = {};
    uint64_t libdeflate[LEVEL_COUNT] = {};
    uint64_t gzip = 0;   // DEFLATE body: the gzip file less its 18 wrapper bytes
};

// Quotes text for the shell, in single quotes.
std::string shellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

uint64_t gzipBodySize(const std::string& path) {
    std::string command = "gzip -9 -n -c < " + shellQuoted(path);
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) throw std::runtime_error("cannot run gzip");
    uint64_t total = 0;
    char buffer[65536];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) total += got;
    int status = pclose(pipe);
    if (status != 0 || total < GZIP_WRAPPER_BYTES) throw std::runtime_error("gzip failed on " + path);
    return total - GZIP_WRAPPER_BYTES;
}

std::string percent(uint64_t part, uint64_t whole) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f%%", whole ? 100.0 * part / whole : 0.0);
    return text;
}

std::string ratio(uint64_t numerator, uint64_t denominator) {
    char text[32];
    std::snprintf(text, sizeof text, "%.5f", denominator ? double(numerator) / denominator : 0.0);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    std::string corpus = takeOption(argc, argv, "corpus", "build/bench-corpus");
    if (argc > 1) {
        std::fprintf(stderr, "usage: size_report [--corpus=DIR]\n");
        return 2;
    }
    try {
        std::vector<CorpusEntry> entries = listCorpus(corpus);
        std::vector<Bytes> files;
        for (const CorpusEntry& entry : entries) files.push_back(readCorpusFile(entry.path));
        std::vector<Sizes> sizes(entries.size());

        // Jobs: (file, column): columns 0 to LEVEL_COUNT - 1 are ours at
        // that level, the next LEVEL_COUNT libdeflate's, the last gzip. The
        // largest files and the slowest levels go first, so that the cores
        // finish together.
        const int GZIP_COLUMN = 2 * LEVEL_COUNT;
        std::vector<std::pair<size_t, int>> jobs;
        for (size_t f = entries.size(); f-- > 0;)
            for (int l = LEVEL_COUNT; l-- > 0;) {
                jobs.push_back({f, l});
                jobs.push_back({f, LEVEL_COUNT + l});
                if (l == LEVEL_COUNT - 1) jobs.push_back({f, GZIP_COLUMN});
            }
        std::atomic<size_t> next{0};
        std::mutex failureLock;
        std::string failure;
        auto work = [&] {
            for (size_t j; (j = next++) < jobs.size();) {
                size_t f = jobs[j].first;
                int column = jobs[j].second;
                try {
                    if (column == GZIP_COLUMN)
                        sizes[f].gzip = gzipBodySize(entries[f].path);
                    else if (column < LEVEL_COUNT)
                        sizes[f].ours[column] = compressStream(files[f], LEVELS[column]).size();
                    else
                        sizes[f].libdeflate[column - LEVEL_COUNT] =
                            rawDeflate(files[f], LEVELS[column - LEVEL_COUNT]).size();
                } catch (const std::exception& error) {
                    std::lock_guard<std::mutex> hold(failureLock);
                    if (failure.empty()) failure = entries[f].name + ": " + error.what();
                }
            }
        };
        unsigned threadCount = std::max(1u, std::min(std::thread::hardware_concurrency(), 16u));
        std::vector<std::thread> threads;
        for (unsigned t = 0; t < threadCount; ++t) threads.emplace_back(work);
        for (std::thread& thread : threads) thread.join();
        if (!failure.empty()) throw std::runtime_error(failure);

        Sizes total;
        uint64_t totalBytes = 0;
        for (size_t f = 0; f < entries.size(); ++f) {
            totalBytes += entries[f].size;
            for (int l = 0; l < LEVEL_COUNT; ++l) {
                total.ours[l] += sizes[f].ours[l];
                total.libdeflate[l] += sizes[f].libdeflate[l];
            }
            total.gzip += sizes[f].gzip;
        }

        std::printf("Compressed sizes in bytes (%% of the file). ours = compressStream; libdeflate = raw DEFLATE\n"
                    "at the same level; gzip -9 = the gzip file less its 18 wrapper bytes.\n\n");
        std::printf("%-18s %10s %5s %20s %20s %20s\n", "file", "bytes", "level", "ours", "libdeflate", "gzip -9");
        auto sizeRows = [&](const std::string& name, uint64_t bytes, const Sizes& s) {
            for (int l = 0; l < LEVEL_COUNT; ++l) {
                std::string ours = std::to_string(s.ours[l]) + " (" + percent(s.ours[l], bytes) + ")";
                std::string peer = std::to_string(s.libdeflate[l]) + " (" + percent(s.libdeflate[l], bytes) + ")";
                std::string gzip = l == LEVEL_COUNT - 1
                                       ? std::to_string(s.gzip) + " (" + percent(s.gzip, bytes) + ")"
                                       : std::string();
                std::printf("%-18s %10s %5d %20s %20s %20s\n", l == 0 ? name.c_str() : "",
                            l == 0 ? std::to_string(bytes).c_str() : "", LEVELS[l], ours.c_str(), peer.c_str(),
                            gzip.c_str());
            }
        };
        for (size_t f = 0; f < entries.size(); ++f) sizeRows(entries[f].name, entries[f].size, sizes[f]);
        sizeRows("all", totalBytes, total);

        std::printf("\nRatios (below 1: ours is smaller)\n\n");
        std::printf("%-18s", "file");
        for (int l = 0; l < LEVEL_COUNT; ++l) std::printf(" %10s%-2d", "ours/libdf ", LEVELS[l]);
        std::printf(" %13s %13s\n", "ours9/gzip9", "ours12/gzip9");
        auto ratioRow = [&](const std::string& name, const Sizes& s) {
            std::printf("%-18s", name.c_str());
            for (int l = 0; l < LEVEL_COUNT; ++l) std::printf(" %13s", ratio(s.ours[l], s.libdeflate[l]).c_str());
            std::printf(" %13s %13s\n", ratio(s.ours[LEVEL_9], s.gzip).c_str(), ratio(s.ours[LEVEL_12], s.gzip).c_str());
        };
        for (size_t f = 0; f < entries.size(); ++f) ratioRow(entries[f].name, sizes[f]);
        ratioRow("all", total);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "size_report: %s\n", error.what());
        return 1;
    }
    return 0;
}
