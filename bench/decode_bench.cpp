// Decoding speed of the updater's decompressor (package/inflater.cpp)
// against zlib and libdeflate, on every file of the bench corpus.
//
// How: each file is compressed once by libdeflate at level 12 to raw
// DEFLATE. zlib (inflate, windowBits -15) and libdeflate
// (libdeflate_deflate_decompress) decode that raw stream from memory into a
// preallocated buffer; ours decodes the same stream transcoded to our format
// (transcodeRawDeflate: the same blocks, codes and symbols) through the
// updater's real interface: the stream sits in a temporary file (page cache),
// and each iteration rewinds it with seekFileTo and calls inflateToMemory,
// so ours includes its 4 KiB file reads and its window and table
// allocations. Ours runs twice: built as the image builds it (-Os, see
// cmake/bench.cmake) and at -O2. Every decoder's output is checked against
// the file once before timing.
//
// Output: Google Benchmark's lines (bytes_per_second in MiB/s), then a
// summary of MB/s (10^6 bytes of uncompressed output per second) and the
// ratios ours/zlib and ours/libdeflate, all from this one run.
// Usage: decode_bench --corpus=DIR [--level=N] [Google Benchmark options]
#include <benchmark/benchmark.h>
#include <libdeflate.h>
#include <zlib.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/fileio.h"
#include "bench/corpus.h"
#include "builder/compressor.h"

// The two copies of the updater's decompressor (bench/inflater_entry.cpp).
extern "C" bool zorvat_bench_inflate_Os(void* destination, uint32_t capacity, FileHandle source);
extern "C" bool zorvat_bench_inflate_O2(void* destination, uint32_t capacity, FileHandle source);

namespace {

struct Subject {
    std::string name;
    Bytes data;        // the file
    Bytes raw;         // libdeflate's raw DEFLATE of it
    Bytes ours;        // raw transcoded to our format
    std::string streamPath;
    FileHandle stream = NO_FILE;   // ours, in a temporary file
};

enum Decoder { OURS_OS, OURS_O2, ZLIB, LIBDEFLATE, DECODER_COUNT };
const char* const DECODER_NAMES[DECODER_COUNT] = {"ours-Os", "ours-O2", "zlib", "libdeflate"};

std::vector<std::unique_ptr<Subject>> subjects;

// One decode of subject into output (output.size() == data.size()); true
// when the decoder reports success.
bool decodeOnce(Decoder decoder, const Subject& subject, Bytes& output, z_stream* zlib,
                libdeflate_decompressor* deflater) {
    uint32_t capacity = static_cast<uint32_t>(output.size());
    switch (decoder) {
    case OURS_OS: return zorvat_bench_inflate_Os(output.data(), capacity, subject.stream);
    case OURS_O2: return zorvat_bench_inflate_O2(output.data(), capacity, subject.stream);
    case ZLIB:
        inflateReset(zlib);
        zlib->next_in = const_cast<Bytef*>(subject.raw.data());
        zlib->avail_in = static_cast<uInt>(subject.raw.size());
        zlib->next_out = output.data();
        zlib->avail_out = capacity;
        return inflate(zlib, Z_FINISH) == Z_STREAM_END && zlib->avail_out == 0;
    case LIBDEFLATE: {
        size_t produced = 0;
        return libdeflate_deflate_decompress(deflater, subject.raw.data(), subject.raw.size(), output.data(),
                                             output.size(), &produced) == LIBDEFLATE_SUCCESS &&
               produced == output.size();
    }
    default: return false;
    }
}

void runDecoder(benchmark::State& state, Decoder decoder, const Subject* subject) {
    Bytes output(subject->data.size());
    z_stream zlib;
    std::memset(&zlib, 0, sizeof zlib);
    if (inflateInit2(&zlib, -15) != Z_OK) {
        state.SkipWithError("inflateInit2 failed");
        return;
    }
    libdeflate_decompressor* deflater = libdeflate_alloc_decompressor();
    bool ok = deflater && decodeOnce(decoder, *subject, output, &zlib, deflater) && output == subject->data;
    if (!ok) {
        state.SkipWithError("the decoder failed or gave other bytes");
    } else {
        for (auto _ : state) {
            bool decoded = decodeOnce(decoder, *subject, output, &zlib, deflater);
            benchmark::DoNotOptimize(decoded);
            benchmark::ClobberMemory();
        }
        state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                                static_cast<int64_t>(subject->data.size()));
    }
    if (deflater) libdeflate_free_decompressor(deflater);
    inflateEnd(&zlib);
}

// Keeps each benchmark's bytes per second (the median when repeated) while
// the console reporter prints as usual.
class CollectingReporter : public benchmark::ConsoleReporter {
public:
    // Colours only on a terminal, as the library's own reporter does.
    explicit CollectingReporter(bool color) : ConsoleReporter(color ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            auto counter = run.counters.find("bytes_per_second");
            if (counter == run.counters.end()) continue;
            if (run.run_type == Run::RT_Aggregate) {
                if (run.aggregate_name == "median") medians[run.run_name.function_name] = counter->second.value;
            } else {
                samples[run.run_name.function_name].push_back(counter->second.value);
            }
        }
    }
    // Bytes per second of the benchmark, 0 when it has none.
    double rate(const std::string& name) const {
        auto median = medians.find(name);
        if (median != medians.end()) return median->second;
        auto found = samples.find(name);
        if (found == samples.end() || found->second.empty()) return 0;
        std::vector<double> values = found->second;
        std::sort(values.begin(), values.end());
        return values[values.size() / 2];
    }

private:
    std::map<std::string, std::vector<double>> samples;
    std::map<std::string, double> medians;
};

std::string benchmarkName(Decoder decoder, const Subject& subject) {
    return std::string(DECODER_NAMES[decoder]) + "/" + subject.name;
}

std::string ratioText(double numerator, double denominator) {
    if (numerator <= 0 || denominator <= 0) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", numerator / denominator);
    return text;
}

// MB/s of a rate in bytes per second; "-" for a benchmark that did not run.
std::string megabytesText(double rate) {
    if (rate <= 0) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", rate / 1e6);
    return text;
}

void printSummary(const CollectingReporter& reporter, int level) {
    std::printf("\nDecoding speed, MB/s of uncompressed output (10^6 bytes/s); same libdeflate level-%d data\n"
                "for all (transcoded for ours); ours includes its 4 KiB file reads from the page cache.\n\n",
                level);
    std::printf("%-18s %10s %7s %9s %9s %9s %10s %9s %9s %9s %9s\n", "file", "bytes", "packed%", "ours-Os",
                "ours-O2", "zlib", "libdeflate", "Os/zlib", "Os/libdf", "O2/zlib", "O2/libdf");
    // Totals: all files decoded once each, as one job.
    double totalBytes = 0, totalSeconds[DECODER_COUNT] = {};
    bool complete[DECODER_COUNT] = {true, true, true, true};
    for (const auto& subject : subjects) {
        double rates[DECODER_COUNT];
        for (int d = 0; d < DECODER_COUNT; ++d) {
            rates[d] = reporter.rate(benchmarkName(static_cast<Decoder>(d), *subject));
            if (rates[d] > 0) totalSeconds[d] += subject->data.size() / rates[d];
            else complete[d] = false;
        }
        totalBytes += subject->data.size();
        std::printf("%-18s %10zu %6.1f%% %9s %9s %9s %10s %9s %9s %9s %9s\n", subject->name.c_str(),
                    subject->data.size(), 100.0 * subject->ours.size() / std::max<size_t>(1, subject->data.size()),
                    megabytesText(rates[OURS_OS]).c_str(), megabytesText(rates[OURS_O2]).c_str(),
                    megabytesText(rates[ZLIB]).c_str(), megabytesText(rates[LIBDEFLATE]).c_str(),
                    ratioText(rates[OURS_OS], rates[ZLIB]).c_str(),
                    ratioText(rates[OURS_OS], rates[LIBDEFLATE]).c_str(),
                    ratioText(rates[OURS_O2], rates[ZLIB]).c_str(),
                    ratioText(rates[OURS_O2], rates[LIBDEFLATE]).c_str());
    }
    double totals[DECODER_COUNT];
    for (int d = 0; d < DECODER_COUNT; ++d)
        totals[d] = complete[d] && totalSeconds[d] > 0 ? totalBytes / totalSeconds[d] : 0;
    std::printf("%-18s %10.0f %7s %9s %9s %9s %10s %9s %9s %9s %9s\n", "all (bytes/time)", totalBytes, "",
                megabytesText(totals[OURS_OS]).c_str(), megabytesText(totals[OURS_O2]).c_str(),
                megabytesText(totals[ZLIB]).c_str(), megabytesText(totals[LIBDEFLATE]).c_str(),
                ratioText(totals[OURS_OS], totals[ZLIB]).c_str(), ratioText(totals[OURS_OS], totals[LIBDEFLATE]).c_str(),
                ratioText(totals[OURS_O2], totals[ZLIB]).c_str(), ratioText(totals[OURS_O2], totals[LIBDEFLATE]).c_str());
    std::printf("\npacked%%: our stream's size in %% of the file. Ratios above 1 mean ours is faster.\n");
}

void removeStreamFiles() {
    for (auto& subject : subjects) {
        if (subject->stream != NO_FILE) closeFile(subject->stream);
        subject->stream = NO_FILE;
        if (!subject->streamPath.empty()) unlink(subject->streamPath.c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string corpus = takeOption(argc, argv, "corpus", "build/bench-corpus");
    int level = std::atoi(takeOption(argc, argv, "level", "12").c_str());
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    try {
        const char* tmp = std::getenv("TMPDIR");
        std::string tempDirectory = tmp && *tmp ? tmp : "/tmp";
        std::vector<CorpusEntry> entries = listCorpus(corpus);
        for (const CorpusEntry& entry : entries) {
            subjects.push_back(std::make_unique<Subject>());
            subjects.back()->name = entry.name;
        }
        // Compressing at level 12 is the slow part of the setup: all cores,
        // largest files first.
        std::atomic<size_t> next{0};
        std::mutex failureLock;
        std::string failure;
        auto prepare = [&] {
            for (size_t i; (i = next++) < entries.size();) {
                size_t f = entries.size() - 1 - i;
                Subject& subject = *subjects[f];
                try {
                    subject.data = readCorpusFile(entries[f].path);
                    if (subject.data.size() >= 0xFFFFFFFFu) throw std::runtime_error("too large");
                    subject.raw = rawDeflate(subject.data, level);
                    subject.ours = transcodeRawDeflate(subject.raw);
                } catch (const std::exception& error) {
                    std::lock_guard<std::mutex> hold(failureLock);
                    if (failure.empty()) failure = entries[f].name + ": " + error.what();
                }
            }
        };
        std::vector<std::thread> threads;
        unsigned threadCount = std::max(1u, std::min(std::thread::hardware_concurrency(), 16u));
        for (unsigned t = 0; t < threadCount; ++t) threads.emplace_back(prepare);
        for (std::thread& thread : threads) thread.join();
        if (!failure.empty()) throw std::runtime_error(failure);

        for (auto& subject : subjects) {
            std::string pattern = tempDirectory + "/zorvat-bench-XXXXXX";
            std::vector<char> name(pattern.begin(), pattern.end());
            name.push_back(0);
            int descriptor = mkstemp(name.data());
            if (descriptor < 0) throw std::runtime_error("cannot make a temporary file in " + tempDirectory);
            close(descriptor);
            subject->streamPath = name.data();
            FileHandle out = createAlways(subject->streamPath.c_str());
            bool written = out != NO_FILE &&
                           writeAll(out, subject->ours.data(), static_cast<uint32_t>(subject->ours.size())) == 0;
            if (out != NO_FILE) closeFile(out);
            subject->stream = written ? openExisting(subject->streamPath.c_str(), 0) : NO_FILE;
            if (subject->stream == NO_FILE) throw std::runtime_error("cannot write " + subject->streamPath);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "decode_bench: %s\n", error.what());
        removeStreamFiles();
        return 1;
    }

    // A file's decoders run one after the other, so that they meet the same
    // machine conditions.
    for (const auto& subject : subjects)
        for (int d = 0; d < DECODER_COUNT; ++d)
            benchmark::RegisterBenchmark(benchmarkName(static_cast<Decoder>(d), *subject).c_str(), runDecoder,
                                         static_cast<Decoder>(d), subject.get())
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime();

    const char* term = std::getenv("TERM");
    CollectingReporter reporter(isatty(STDOUT_FILENO) && !std::getenv("NO_COLOR") && term &&
                                std::strcmp(term, "dumb") != 0);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    std::fflush(stdout);
    printSummary(reporter, level);
    removeStreamFiles();
    return 0;
}
