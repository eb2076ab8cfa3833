// zorvat: the builder's command-line tool.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <exception>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include <unistd.h>

#include "builder/apply.h"
#include "builder/build.h"
#include "builder/compressor.h"
#include "builder/files.h"
#include "builder/differ.h"
#include "builder/inspect.h"
#include "builder/packagewriter.h"
#include "builder/patchwriter.h"

namespace {

const char USAGE[] =
    "usage:\n"
    "  zorvat build PROJECT.toml [options]  make an update from old and new folders\n"
    "  zorvat build --new DIR --old DIR [--old DIR ...] -o UPDATE.EXE [options]\n"
    "         options: --level N, --volume-size BYTES, --title TEXT, --image STUB.EXE\n"
    "  zorvat compress IN OUT [--level N]   pack IN into one stream (level 1-12, default 12)\n"
    "  zorvat decompress IN OUT             unpack a stream made by compress\n"
    "  zorvat diff OLD NEW PATCH [--level N] make the patch item that turns OLD into NEW\n"
    "                                       (streams at level 0-12, default 12)\n"
    "  zorvat patch OLD PATCH NEW           apply a patch item made by diff\n"
    "  zorvat inspect UPDATE.EXE            list the package of an update executable\n"
    "  zorvat apply UPDATE.EXE DIR [--alternate DIR] [--yes|--no] [--volumes DIR]\n"
    "                                       run the update on the installed folder DIR\n";

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

int parseLevel(const std::string& text, int lowest = 1) {
    char* end = nullptr;
    long level = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end || level < lowest || level > 12)
        throw UsageError("--level takes a number from " + std::to_string(lowest) + " to 12");
    return static_cast<int>(level);
}

int compressCommand(const std::vector<std::string>& args) {
    std::vector<std::string> files;
    int level = 12;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--level") {
            if (i + 1 >= args.size()) throw UsageError("--level needs a number");
            level = parseLevel(args[++i]);
        } else if (args[i].rfind("--level=", 0) == 0) {
            level = parseLevel(args[i].substr(8));
        } else {
            files.push_back(args[i]);
        }
    }
    if (files.size() != 2) throw UsageError("compress takes IN and OUT");
    Bytes data = readWholeFile(files[0]);
    if (data.size() > 0xFFFFFFFFu) throw std::runtime_error(files[0] + " is larger than 4 GiB");
    Bytes out;
    appendU32(out, static_cast<uint32_t>(data.size()));
    Bytes stream = compressStream(data, level);
    out.insert(out.end(), stream.begin(), stream.end());
    writeWholeFile(files[1], out);
    std::printf("%s: %zu -> %zu bytes (%.2f%%), level %d\n", files[0].c_str(), data.size(), out.size(),
                data.empty() ? 100.0 : 100.0 * double(out.size()) / double(data.size()), level);
    return 0;
}

int decompressCommand(const std::vector<std::string>& args) {
    if (args.size() != 2) throw UsageError("decompress takes IN and OUT");
    Bytes packed = readWholeFile(args[0]);
    if (packed.size() < 4) throw std::runtime_error(args[0] + " is too short to hold an unpacked size");
    uint32_t size = packed[0] | packed[1] << 8 | packed[2] << 16 | uint32_t(packed[3]) << 24;
    Bytes stream(packed.begin() + 4, packed.end());
    writeWholeFile(args[1], decompressStream(stream, size));
    return 0;
}

// A patch item's streams are stored raw at level 0.
int diffCommand(const std::vector<std::string>& args) {
    std::vector<std::string> files;
    DiffOptions options;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--level") {
            if (i + 1 >= args.size()) throw UsageError("--level needs a number");
            options.level = parseLevel(args[++i], 0);
        } else if (args[i].rfind("--level=", 0) == 0) {
            options.level = parseLevel(args[i].substr(8), 0);
        } else if (args[i].rfind("--", 0) == 0) {
            throw UsageError("unknown option " + args[i]);
        } else {
            files.push_back(args[i]);
        }
    }
    if (files.size() != 3) throw UsageError("diff takes OLD, NEW and PATCH");
    Bytes oldFile = readWholeFile(files[0]);
    Bytes newFile = readWholeFile(files[1]);
    Bytes item = makePatchItem(oldFile, newFile, options);
    writeWholeFile(files[2], item);
    std::printf("%s: %zu -> %zu bytes (%.2f%%), level %d\n", files[1].c_str(), newFile.size(), item.size(),
                newFile.empty() ? 100.0 : 100.0 * double(item.size()) / double(newFile.size()), options.level);
    return 0;
}

int patchCommand(const std::vector<std::string>& args) {
    if (args.size() != 3) throw UsageError("patch takes OLD, PATCH and NEW");
    Bytes oldFile = readWholeFile(args[0]);
    Bytes item = readWholeFile(args[1]);
    Bytes newFile;
    try {
        checkPatchItem(oldFile, item);
        newFile = applyPatchItem(oldFile, item);
    } catch (const std::runtime_error& e) {
        throw std::runtime_error(args[1] + " is damaged or not made from " + args[0] + ": " + e.what());
    }
    writeWholeFile(args[2], newFile);
    return 0;
}

int applyCommand(const std::vector<std::string>& args) {
    ApplyOptions options;
    std::vector<std::string> files;
    for (size_t i = 0; i < args.size(); ++i) {
        auto value = [&](const char* option) {
            if (i + 1 >= args.size()) throw UsageError(std::string(option) + " needs a value");
            return args[++i];
        };
        if (args[i] == "--alternate") options.answers.alternateFolder = value("--alternate");
        else if (args[i] == "--volumes") options.volumes = value("--volumes");
        else if (args[i] == "--yes") options.answers.yes = true;
        else if (args[i] == "--no") options.answers.yes = false;
        else if (args[i].rfind("--", 0) == 0) throw UsageError("unknown option " + args[i]);
        else files.push_back(args[i]);
    }
    if (files.size() != 2) throw UsageError("apply takes UPDATE.EXE and DIR");
    options.update = files[0];
    options.folder = files[1];
    options.answers.interactive = isatty(0) && isatty(2);
    options.answers.showProgress = isatty(2);
    return applyUpdate(options, std::cout, std::cerr);
}

// The updater image beside this program, where `make build` puts both.
std::string imageBeside(const char* program) {
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
    if (self.empty()) self = std::filesystem::absolute(program);
    return (self.parent_path() / "stub.exe").string();
}

int buildCommand(const std::vector<std::string>& args, const char* program) {
    Project project;
    std::vector<std::string> olds;
    std::string projectFile;
    std::optional<std::string> newFolder, output, image, title;
    std::optional<int> level;
    std::optional<uint64_t> volumeSize;
    for (size_t i = 0; i < args.size(); ++i) {
        auto value = [&](const char* option) {
            if (i + 1 >= args.size()) throw UsageError(std::string(option) + " needs a value");
            return args[++i];
        };
        if (args[i] == "--new") newFolder = value("--new");
        else if (args[i] == "--old") olds.push_back(value("--old"));
        else if (args[i] == "-o" || args[i] == "--output") output = value("-o");
        else if (args[i] == "--image") image = value("--image");
        else if (args[i] == "--title") title = value("--title");
        else if (args[i] == "--level") level = parseLevel(value("--level"));
        else if (args[i] == "--volume-size") {
            std::string text = value("--volume-size");
            char* end = nullptr;
            unsigned long long size = std::strtoull(text.c_str(), &end, 10);
            if (text.empty() || *end) throw UsageError("--volume-size takes a number of bytes");
            volumeSize = size;
        } else if (args[i].rfind("--", 0) == 0) throw UsageError("unknown option " + args[i]);
        else if (projectFile.empty()) projectFile = args[i];
        else throw UsageError("build takes one project file");
    }
    if (!projectFile.empty()) project = readProject(projectFile);
    if (newFolder) project.newFolder = *newFolder;
    if (!olds.empty()) project.oldFolders = olds;
    if (output) project.output = *output;
    if (image) project.image = *image;
    if (title) project.title = *title;
    if (level) project.level = *level;
    if (volumeSize) project.volumeSize = *volumeSize;
    if (project.image.empty()) project.image = imageBeside(program);
    if (project.newFolder.empty()) throw UsageError("build needs a project file or --new DIR");

    bool terminal = isatty(2);
    BuildResult result = buildUpdate(project, [&](size_t done, size_t total) {
        if (!terminal) return;
        int width = 40, filled = total ? static_cast<int>(width * done / total) : width;
        std::fprintf(stderr, "\r[%s%s] %zu/%zu", std::string(filled, '#').c_str(),
                     std::string(width - filled, ' ').c_str(), done, total);
        if (done == total) std::fputs("\n", stderr);
    });
    printReport(result, std::cout);
    return 0;
}

int inspectCommand(const std::vector<std::string>& args) {
    if (args.size() != 1) throw UsageError("inspect takes one file");
    return inspectPackage(args[0], std::cout, std::cerr);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        std::fputs(USAGE, args.empty() ? stderr : stdout);
        return args.empty() ? 2 : 0;
    }
    std::string command = args[0];
    args.erase(args.begin());
    try {
        if (command == "compress") return compressCommand(args);
        if (command == "decompress") return decompressCommand(args);
        if (command == "diff") return diffCommand(args);
        if (command == "patch") return patchCommand(args);
        if (command == "inspect") return inspectCommand(args);
        if (command == "apply") return applyCommand(args);
        if (command == "build") return buildCommand(args, argv[0]);
        throw UsageError("unknown command '" + command + "'");
    } catch (const UsageError& e) {
        std::fprintf(stderr, "zorvat: %s\n%s", e.what(), USAGE);
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zorvat %s: %s\n", command.c_str(), e.what());
        return 1;
    }
}
