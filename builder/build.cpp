#include "builder/build.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <map>
#include <mutex>
#include <ostream>
#include <stdexcept>
#include <sstream>
#include <thread>

#include "builder/cataloguewriter.h"
#include "builder/compressor.h"
#include "builder/defaulttexts.h"
#include "builder/differ.h"
#include "builder/files.h"
#include "builder/volumewriter.h"
#include "app/state.h"
#include "engine/catalogue.h"
#include "package/format.h"

namespace fs = std::filesystem;

namespace {

// The updater's paths hold 259 characters; a relative path must leave room
// for a short installation folder ("C:\A\") and the temporary extension.
constexpr size_t MAX_RELATIVE_PATH = 259 - 5 - 4;
// The smallest part a volume may carry: an item's header (a patch stream's
// flags and two u32 lengths) must fit in one part.
constexpr uint64_t MIN_PART = 16;
// FILETIME counts 100 ns since 1601; the Unix epoch is this many later.
constexpr uint64_t UNIX_EPOCH_FILETIME = 116444736000000000ull;

[[noreturn]] void refuse(const std::string& what) { throw std::runtime_error(what); }

std::string lowerCase(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// The files below a folder: relative path (backslashes) -> full path.
std::map<std::string, fs::path> walkFolder(const std::string& folder) {
    std::error_code error;
    if (!fs::is_directory(folder, error)) refuse("cannot read the folder " + folder);
    std::map<std::string, fs::path> files;
    std::map<std::string, std::string> byLowerCase;
    fs::recursive_directory_iterator walk(folder, error), end;
    if (error) refuse("cannot read the folder " + folder + ": " + error.message());
    for (; walk != end; walk.increment(error)) {
        if (error) refuse("cannot read the folder " + folder + ": " + error.message());
        if (!walk->is_regular_file()) continue;
        std::string relative = fs::relative(walk->path(), folder).generic_string();
        for (const auto& part : fs::path(relative))
            if (part == "..") refuse(folder + ": the path " + relative + " holds a .. component");
        std::replace(relative.begin(), relative.end(), '/', '\\');
        if (relative.size() > MAX_RELATIVE_PATH)
            refuse(folder + ": the path " + relative + " is longer than the updater's paths allow (" +
                   std::to_string(MAX_RELATIVE_PATH) + " characters)");
        auto [other, fresh] = byLowerCase.emplace(lowerCase(relative), relative);
        if (!fresh)
            refuse(folder + ": " + other->second + " and " + relative + " differ only in letter case");
        files[relative] = walk->path();
    }
    return files;
}

// The new file's last write time for all three times the updater stamps.
std::array<uint64_t, 3> fileTimesOf(const fs::path& path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) refuse("cannot read " + path.string());
    uint64_t ticks = UNIX_EPOCH_FILETIME + uint64_t(info.st_mtim.tv_sec) * 10000000 +
                     uint64_t(info.st_mtim.tv_nsec) / 100;
    return {ticks, ticks, ticks};
}

const FileRule* ruleFor(const Project& project, const std::string& path) {
    for (const FileRule& rule : project.rules)
        if (globMatches(rule.pattern, path)) return &rule;
    return nullptr;
}

// One file's plan before its payload is placed: the entry and its items.
struct FilePlan {
    std::string path;
    std::optional<Bytes> newContents;
    fs::path newPath;
    std::vector<Bytes> oldContents;   // distinct old contents not equal to the new one
    bool missingSomewhere = false;    // an old folder lacks it
    bool unchanged = false;
    EntryPlan entry;
    std::vector<Bytes> items;         // per known version, or one shared item
    bool sharedItem = false;          // one whole stream for every known version
    std::string action;
};

void planContents(const Project& project, FilePlan& plan) {
    const FileRule* rule = ruleFor(project, plan.path);
    EntryPlan& e = plan.entry;
    e.relativePath = plan.path;
    if (rule) {
        e.regions = rule->regions;
        e.alternateSubfolder = rule->alternateSubfolder;
        if (rule->destinationKind) e.destinationKind = *rule->destinationKind;
    }
    if (!plan.newContents) {   // only old versions have it
        plan.action = "delete";
        e.deleteAction = DELETE_FILE;
        e.unmatchedAction = UNMATCHED_SKIP;
        for (const Bytes& old : plan.oldContents)
            e.knownVersions.push_back({checksumBytes(old, e.regions), static_cast<uint32_t>(old.size()), 0, 0});
        if (rule && rule->unmatchedAction) e.unmatchedAction = *rule->unmatchedAction;
        return;
    }
    const Bytes& now = *plan.newContents;
    if (now.size() > 0xFFFFFFFFu) refuse(plan.path + " is 4 GiB or larger");
    e.newSize = static_cast<uint32_t>(now.size());
    e.newChecksum = checksumBytes(now, e.regions);
    e.fileTimes = fileTimesOf(plan.newPath);
    std::array<uint32_t, 4> version;
    if (readVersionNumbers(now, version)) e.versionBlock = version;

    bool added = plan.oldContents.empty() && plan.missingSomewhere;
    e.missingAction = plan.missingSomewhere ? MISSING_INSTALL : MISSING_SKIP;
    e.unmatchedAction = added ? UNMATCHED_SKIP : UNMATCHED_FAIL;
    if (rule && rule->missingAction) e.missingAction = *rule->missingAction;
    if (rule && rule->unmatchedAction) e.unmatchedAction = *rule->unmatchedAction;

    Bytes whole = compressStream(now, project.level);
    std::vector<Bytes> patches;
    uint64_t patchBytes = 0;
    // A file installed when missing is written whole: there is no old file
    // to patch.
    bool mayPatch = e.missingAction != MISSING_INSTALL && !plan.oldContents.empty();
    if (mayPatch) {
        DiffOptions options;
        options.level = project.level;
        for (const Bytes& old : plan.oldContents) {
            // The updater reads the old file with its regions zero-filled,
            // and makes the real new file, whose regions it then finds.
            patches.push_back(makePatchItem(maskedContents(old, e.regions), now, options));
            patchBytes += patches.back().size();
        }
    }
    for (const Bytes& old : plan.oldContents)
        e.knownVersions.push_back({checksumBytes(old, e.regions), static_cast<uint32_t>(old.size()), 0, 0});
    if (mayPatch && patchBytes < whole.size()) {
        plan.items = std::move(patches);
        plan.action = "patch";
    } else {
        e.fullContents = true;
        if (e.knownVersions.empty()) e.knownVersions.push_back({0, 0, 0, 0});   // where a missing file's contents lie
        plan.items = {std::move(whole)};
        plan.sharedItem = true;
        plan.action = added ? "add" : "whole";
    }
}

}  // namespace

bool readVersionNumbers(const Bytes& file, std::array<uint32_t, 4>& version) {
    // A version resource starts with the UTF-16 key "VS_VERSION_INFO",
    // padded to 4 bytes, then VS_FIXEDFILEINFO with signature 0xFEEF04BD.
    static const char key[] = "VS_VERSION_INFO";
    Bytes wide;
    for (const char* c = key; *c; ++c) wide.insert(wide.end(), {static_cast<uint8_t>(*c), 0});
    wide.insert(wide.end(), {0, 0});
    auto found = std::search(file.begin(), file.end(), wide.begin(), wide.end());
    if (found == file.end()) return false;
    size_t at = static_cast<size_t>(found - file.begin()) + wide.size();
    at = (at + 3) & ~size_t(3);
    if (at + 24 > file.size() || getU32(file, at) != 0xFEEF04BDu) return false;
    version = {getU32(file, at + 8), getU32(file, at + 12), getU32(file, at + 16), getU32(file, at + 20)};
    return true;
}

BuildResult buildUpdate(const Project& project, const std::function<void(size_t, size_t)>& progress) {
    if (project.newFolder.empty()) refuse("no new version folder: give --new DIR or new = \"DIR\" in the project");
    auto newFiles = walkFolder(project.newFolder);
    std::vector<std::map<std::string, fs::path>> oldFiles;
    for (const std::string& folder : project.oldFolders) oldFiles.push_back(walkFolder(folder));

    // Pair by path without regard to case; the new folder's spelling wins.
    std::map<std::string, FilePlan> plans;
    for (const auto& [path, full] : newFiles) {
        FilePlan& plan = plans[lowerCase(path)];
        plan.path = path;
        plan.newPath = full;
    }
    for (const auto& folder : oldFiles)
        for (const auto& [path, full] : folder) {
            FilePlan& plan = plans[lowerCase(path)];
            if (plan.path.empty()) plan.path = path;
        }

    std::vector<FilePlan*> work;
    for (auto& [key, plan] : plans) work.push_back(&plan);
    std::atomic<size_t> next{0}, done{0};
    std::mutex failureLock;
    std::string failure;
    auto worker = [&] {
        for (size_t i; (i = next++) < work.size();) {
            FilePlan& plan = *work[i];
            try {
                std::string key = lowerCase(plan.path);
                if (!plan.newPath.empty()) plan.newContents = readWholeFile(plan.newPath.string());
                std::vector<Bytes> seen;
                for (const auto& folder : oldFiles) {
                    auto found = std::find_if(folder.begin(), folder.end(),
                                              [&](const auto& item) { return lowerCase(item.first) == key; });
                    if (found == folder.end()) {
                        plan.missingSomewhere = true;
                        continue;
                    }
                    Bytes old = readWholeFile(found->second.string());
                    if (plan.newContents && old == *plan.newContents) continue;
                    if (std::find(seen.begin(), seen.end(), old) == seen.end()) seen.push_back(std::move(old));
                }
                plan.oldContents = std::move(seen);
                if (plan.newContents) plan.missingSomewhere = plan.missingSomewhere || oldFiles.empty();
                plan.unchanged = plan.newContents && plan.oldContents.empty() && !plan.missingSomewhere;
                if (!plan.unchanged) planContents(project, plan);
            } catch (const std::exception& e) {
                std::lock_guard<std::mutex> hold(failureLock);
                if (failure.empty()) failure = plan.path + ": " + e.what();
            }
            size_t finished = ++done;
            if (progress) {
                std::lock_guard<std::mutex> hold(failureLock);
                progress(finished, work.size());
            }
        }
    };
    unsigned threads = std::max(1u, std::min(8u, std::thread::hardware_concurrency()));
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; ++t) pool.emplace_back(worker);
    for (std::thread& t : pool) t.join();
    if (!failure.empty()) refuse(failure);

    // The payload in catalogue order.
    BuildResult result;
    Bytes payload;
    std::vector<EntryPlan> entries;
    for (FilePlan* plan : work) {
        if (plan->unchanged) {
            ++result.unchanged;
            continue;
        }
        BuildRow row{plan->path, plan->action, plan->oldContents.size(), plan->entry.newSize, 0};
        for (size_t i = 0; i < plan->items.size(); ++i) {
            uint32_t offset = static_cast<uint32_t>(payload.size());
            const Bytes& item = plan->items[i];
            if (payload.size() + item.size() > 0xFFFFFFFFu) refuse("the payload would be 4 GiB or larger");
            payload.insert(payload.end(), item.begin(), item.end());
            row.payloadBytes += item.size();
            if (plan->sharedItem) {
                for (KnownVersionPlan& known : plan->entry.knownVersions) {
                    known.payloadOffset = offset;
                    known.packedLength = static_cast<uint32_t>(item.size());
                }
            } else {
                plan->entry.knownVersions[i].payloadOffset = offset;
            }
        }
        result.payloadBytes += row.payloadBytes;
        result.newBytes += row.newSize;
        result.rows.push_back(row);
        entries.push_back(plan->entry);
    }

    // The package's records, then the payload record last.
    PackageWriter writer;
    writer.encode = [&](const Bytes& data) { return compressStream(data, project.level); };
    writer.addValue32(TAG_DISPLAY_FLAGS, project.fullScreen ? 1 : 0);
    if (!project.defaultFolder.empty()) writer.addText(TAG_DEFAULT_DIR, project.defaultFolder);
    if (project.registryRoot) {
        writer.addValue32(TAG_REG_ROOT, *project.registryRoot);
        writer.addText(TAG_REG_SUBKEY, project.registryKey);
        if (!project.registryValue.empty()) writer.addText(TAG_REG_VALUE, project.registryValue);
    }
    if (!project.iniFile.empty()) {
        writer.addText(TAG_INI_FILE, project.iniFile);
        writer.addText(TAG_INI_SECTION, project.iniSection);
        writer.addText(TAG_INI_KEY, project.iniKey);
    }
    std::vector<std::vector<std::string>> texts = defaultTexts(project.title);
    for (const auto& [where, text] : project.texts) {
        auto& table = texts[where.first];
        if (table.size() <= where.second) table.resize(where.second + 1);
        table[where.second] = text;
    }
    writer.addStringTables(texts);
    writer.addBody(TAG_CATALOGUE, writeCatalogue(entries), true);

    std::string imagePath = project.image;
    Bytes image = readWholeFile(imagePath);
    if (image.size() > IMAGE_LENGTH) refuse(imagePath + " is larger than the 65536-byte program image");

    std::vector<Bytes> parts{payload};
    if (project.volumeSize) {
        uint64_t header = IMAGE_LENGTH + writer.records.size() + 8 + 4;
        if (project.volumeSize < header + MIN_PART || project.volumeSize < 4 + MIN_PART)
            refuse("volume size " + std::to_string(project.volumeSize) + " is too small: the update file needs " +
                   std::to_string(header + MIN_PART) + " bytes for the program, its records and an item's header");
        uint64_t later = std::min<uint64_t>(project.volumeSize - 4, 0xFFFFFFFFu);
        parts = splitPayload(payload, static_cast<uint32_t>(std::min<uint64_t>(project.volumeSize - header, 0xFFFFFFFFu)),
                             static_cast<uint32_t>(later));
    }
    writer.addPayload(parts[0]);
    writeWholeFile(project.output, writer.finish(image));
    result.files.push_back(project.output);
    for (size_t k = 1; k < parts.size(); ++k) {
        std::string name = volumeFileName(project.output, static_cast<uint32_t>(k));
        writeWholeFile(name, volumeFile(parts[k]));
        result.files.push_back(name);
    }
    return result;
}

void printReport(const BuildResult& result, std::ostream& out) {
    auto ratio = [](uint64_t part, uint64_t whole) {
        std::ostringstream text;
        text << std::fixed << std::setprecision(1) << (whole ? 100.0 * double(part) / double(whole) : 0.0) << "%";
        return text.str();
    };
    out << std::left << std::setw(40) << "file" << std::setw(8) << "action" << std::right << std::setw(6) << "old"
        << std::setw(12) << "new size" << std::setw(12) << "payload" << std::setw(9) << "ratio" << "\n";
    for (const BuildRow& row : result.rows)
        out << std::left << std::setw(40) << row.path << std::setw(8) << row.action << std::right << std::setw(6)
            << row.knownVersions << std::setw(12) << row.newSize << std::setw(12) << row.payloadBytes << std::setw(9)
            << ratio(row.payloadBytes, row.newSize) << "\n";
    out << result.rows.size() << " files in the update, " << result.unchanged << " unchanged and left out; payload "
        << result.payloadBytes << " bytes for " << result.newBytes << " bytes of new files ("
        << ratio(result.payloadBytes, result.newBytes) << ")\n";
    std::vector<BuildRow> largest = result.rows;
    std::sort(largest.begin(), largest.end(),
              [](const BuildRow& a, const BuildRow& b) { return a.payloadBytes > b.payloadBytes; });
    if (largest.size() > 5) largest.resize(5);
    if (!largest.empty()) {
        out << "largest in the payload:";
        for (const BuildRow& row : largest) out << "  " << row.path << " (" << row.payloadBytes << ")";
        out << "\n";
    }
    if (!result.hasDialogs) out << "note: no dialog templates yet; the wizard's default layouts come with the wizard\n";
    for (const std::string& file : result.files) out << "wrote " << file << "\n";
}
