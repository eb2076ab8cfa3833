#include "engine/locate.h"

#include "app/paths.h"
#include "app/platform.h"
#include "app/state.h"

// Shortens targetDir one character at a time until it can be made the
// current folder (so C:\Apps falls back to C:\App when only that exists),
// then writes it with its stored names. Empty when nothing of it exists.
static void findExistingFolder() {
    char* folder = updater.targetDir;
    uint32_t length = textLength(folder);
    while (length > 0 && !enterFolder(folder)) folder[--length] = 0;
    if (length > 0) canonicalizeFolder(folder);
}

static void expandFolderMacro() {
    char* folder = updater.targetDir;
    if (folder[0] != '#') return;
    const char* close = folder + 1;
    while (*close && *close != '#') ++close;
    if (!*close) return;

    uint32_t macroLength = static_cast<uint32_t>(close - folder) + 1;
    char macro[PATH_CAPACITY];
    copyText(macro, folder, macroLength + 1);
    char expansion[PATH_CAPACITY];
    expansion[0] = 0;
    if (sameTextIgnoringCase(macro, "#Windows#")) {
        windowsFolder(expansion, PATH_CAPACITY);
    } else if (sameTextIgnoringCase(macro, "#System#")) {
        systemFolder(expansion, PATH_CAPACITY);
    } else if (sameTextIgnoringCase(macro, "#Program Files#")) {
        if (readRegistryText(ROOT_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion", "ProgramFilesDir",
                             expansion, PATH_CAPACITY) != REGISTRY_VALUE_READ)
            expansion[0] = 0;
    }

    const char* rest = close + 1;
    if (*rest == '\\') ++rest;
    copyText(updater.tempPath, rest, PATH_CAPACITY);   // the rest, before targetDir is rewritten
    copyText(folder, expansion, PATH_CAPACITY);
    addBackslash(folder, PATH_CAPACITY);
    appendText(folder, updater.tempPath, PATH_CAPACITY);
}

void locateInstalledApplication() {
    if (updater.regSubkey) {
        if (readRegistryText(updater.regRoot, updater.regSubkey, updater.regValue, updater.targetDir,
                             PATH_CAPACITY) == REGISTRY_NO_KEY) {
            expandFolderMacro();
            return;
        }
    } else if (updater.iniFile && updater.iniSection && updater.iniKey) {
        copyText(updater.tempPath, updater.targetDir, PATH_CAPACITY);
        readIniText(updater.iniFile, updater.iniSection, updater.iniKey, updater.tempPath, updater.targetDir,
                    PATH_CAPACITY);
    } else {
        expandFolderMacro();
        return;
    }
    findExistingFolder();
}

void canonicalizeFolder(char* path) {
    char work[PATH_CAPACITY];
    uint32_t length = 0;
    const char* walk = path;
    bool hasDrive = ((path[0] | 0x20) >= 'a' && (path[0] | 0x20) <= 'z') && path[1] == ':';
    if (hasDrive) {
        work[length++] = path[0];
        work[length++] = ':';
        walk += 2;
    }
    work[length] = 0;
    while (*walk == '\\') ++walk;

    char name[PATH_CAPACITY];
    for (;;) {
        const char* end = walk;
        while (*end && *end != '\\') ++end;
        bool last = *end == 0;
        // Append "\" and the component, then ask for its stored name.
        uint32_t start = length + 1;
        if (start >= PATH_CAPACITY - 1) return;   // would not fit: leave the path as it is
        work[length] = '\\';
        uint32_t componentLength = static_cast<uint32_t>(end - walk);
        if (start + componentLength >= PATH_CAPACITY) return;
        copyBytes(work + start, walk, componentLength);
        length = start + componentLength;
        work[length] = 0;
        if (last && length > 3 && work[length - 1] == '\\') work[--length] = 0;
        if (last && componentLength == 0) {
            // The path ended with a backslash: the folder before it, whose
            // name was found already, must still be found as a whole.
            if (!findStoredName(work, name, PATH_CAPACITY)) return;
            break;
        }
        if (!findStoredName(work, name, PATH_CAPACITY)) return;
        length = start + copyText(work + start, name, PATH_CAPACITY - start);
        if (last) break;
        walk = end + 1;
    }
    copyText(path, work, PATH_CAPACITY);
}
