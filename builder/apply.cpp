#include "builder/apply.h"

#include <filesystem>
#include <ostream>

#include "app/paths.h"
#include "app/state.h"
#include "engine/catalogue.h"
#include "engine/scan.h"
#include "engine/update.h"
#include "package/loader.h"
#include "package/texts.h"
#include "package/volumes.h"

namespace {

// Table 6 entries the outcome uses.
enum { TEXT_SCAN_PROBLEM = 8, TEXT_SOME_NOT_REPLACED = 24 };
enum { TEXT_FINISH_TABLE = 5, TEXT_FINISH_NOTHING_TO_DO = 3 };

std::string windowsForm(const std::string& path) {
    std::string absolute = std::filesystem::absolute(path).lexically_normal().string();
    for (char& c : absolute)
        if (c == '/') c = '\\';
    while (absolute.size() > 1 && absolute.back() == '\\') absolute.pop_back();
    return absolute;
}

std::string message(uint32_t entry) {
    char text[MESSAGE_CAPACITY];
    formatMessage(text, sizeof text, entry);
    return text;
}

// The status's text from the package, or a plain word when the package
// has none.
std::string statusText(uint32_t status) {
    std::string text = lookupString(TEXT_GENERAL_TABLE, status);
    if (!text.empty()) return text;
    switch (status) {
    case STATUS_REPLACED: return "replaced";
    case STATUS_DELETED: return "deleted";
    case STATUS_CREATED: return "created";
    case STATUS_DELETE_FAILED: return "not deleted";
    case STATUS_REPLACE_FAILED: return "not replaced (in use)";
    default: return "status " + std::to_string(status);
    }
}

std::string relativeTo(const std::string& folder, const std::string& path) {
    if (path.size() > folder.size() && sameTextIgnoringCase(path.substr(0, folder.size()).c_str(), folder.c_str()) &&
        path[folder.size()] == '\\')
        return path.substr(folder.size() + 1);
    return path;
}

// The message for an outcome, or a plain sentence when the package has none.
std::string outcomeText(uint32_t entry) {
    std::string text = message(entry);
    return text.empty() ? "outcome " + std::to_string(entry) + (updater.messageArg[0] ? std::string(": ") + updater.messageArg : "")
                        : text;
}

}  // namespace

int applyUpdate(const ApplyOptions& options, std::ostream& out, std::ostream& err) {
    releasePackage();
    resetUpdaterState();
    std::string update = windowsForm(options.update);
    std::string folder = windowsForm(options.folder);
    if (!std::filesystem::is_directory(options.folder)) {
        err << options.folder << " is not a folder\n";
        return 1;
    }
    copyText(updater.modulePath, update.c_str(), PATH_CAPACITY);
    if (!loadPackage()) {
        err << options.update << ": the package cannot be loaded (damaged or not complete)\n";
        return 1;
    }
    copyText(updater.targetDir, folder.c_str(), PATH_CAPACITY);
    consoleAnswers = options.answers;
    consoleAnswers.onRow = [&](unsigned status, const std::string& path) {
        out << statusText(status) << "  " << relativeTo(folder, path) << "\n";
    };

    uint32_t scan = scanInstalledFiles();
    int code = 0;
    if (scan == SCAN_NOTHING_TO_DO) {
        // The finish page's own text for this outcome (table 6's entry 3 is
        // a label of the folder dialog).
        std::string nothing = lookupString(TEXT_FINISH_TABLE, TEXT_FINISH_NOTHING_TO_DO);
        out << (nothing.empty() ? "Nothing to do: the files are up to date." : nothing) << "\n";
    } else if (scan != SCAN_WORK_TO_DO) {
        std::string first = message(TEXT_SCAN_PROBLEM);
        err << (first.empty() ? "" : first + "\n\n") << outcomeText(scan) << "\n";
        code = 1;
    } else if (!openPayload()) {
        err << outcomeText(static_cast<uint32_t>(updater.resultMessage)) << "\n";
        code = 1;
    } else {
        if (!options.volumes.empty()) {
            // Volumes are named after the package; look for them elsewhere.
            std::string base = windowsForm(options.volumes) + "\\" +
                               std::filesystem::path(options.update).filename().string();
            copyText(updater.volumePath, base.c_str(), PATH_CAPACITY);
        }
        while (runUpdateStep(nullptr)) {
        }
        closePayload();
        finishProgressLine();
        bool someInUse = false;
        FileEntry* entry = updater.firstEntry;
        for (uint32_t i = 0; i < updater.entryCount; ++i, entry = entryAfter(entry))
            someInUse = someInUse || entry->entryStatus == STATUS_REPLACE_FAILED;
        if (updater.resultMessage) {
            err << outcomeText(static_cast<uint32_t>(updater.resultMessage)) << "\n";
            code = 1;
        } else if (someInUse) {
            err << outcomeText(TEXT_SOME_NOT_REPLACED) << "\n";
            code = 1;
        } else {
            out << "The update is complete.\n";
        }
    }
    releasePackage();
    return code;
}
