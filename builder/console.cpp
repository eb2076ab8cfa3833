#include "builder/console.h"

#include <cstdio>
#include <iostream>

#include "app/paths.h"
#include "app/state.h"
#include "app/userinterface.h"

ConsoleAnswers consoleAnswers;

static bool progressShown = false;
static unsigned lastPercent = 0;
static std::string currentFile;

void finishProgressLine() {
    if (progressShown) std::fputs("\n", stderr);
    progressShown = false;
}

static void drawProgress() {
    if (!consoleAnswers.showProgress) return;
    std::fprintf(stderr, "\r%3u%%  %-60.60s", lastPercent, currentFile.c_str());
    std::fflush(stderr);
    progressShown = true;
}

static bool askYesNo(const char* text) {
    if (consoleAnswers.yes) return *consoleAnswers.yes;
    if (!consoleAnswers.interactive) return false;   // unanswered: the cautious choice
    std::fprintf(stderr, "%s [y/N] ", text);
    std::string line;
    if (!std::getline(std::cin, line)) return false;
    return !line.empty() && (line[0] == 'y' || line[0] == 'Y');
}

int showMessage(const char* text, uint32_t type) {
    finishProgressLine();
    if (type & BOX_YES_NO) return askYesNo(text) ? ANSWER_YES : ANSWER_NO;
    std::fprintf(stderr, "%s\n", text);
    if (type & BOX_OK_CANCEL) return ANSWER_CANCEL;   // no disk to insert here
    return ANSWER_OK;
}

bool askForAlternateFolder(WindowHandle) {
    std::string folder = consoleAnswers.alternateFolder;
    if (folder.empty() && consoleAnswers.interactive) {
        finishProgressLine();
        std::fprintf(stderr, "Some files are not where they were expected. Folder that holds them: ");
        std::getline(std::cin, folder);
    }
    if (folder.empty()) return false;
    for (char& c : folder)
        if (c == '/') c = '\\';
    copyText(updater.alternateDir, folder.c_str(), PATH_CAPACITY);
    addBackslash(updater.alternateDir, PATH_CAPACITY);
    return true;
}

void setProgress(uint32_t percent) {
    lastPercent = percent;
    drawProgress();
}

void showCurrentFile(const char* path) {
    currentFile = path;
    drawProgress();
}

void addResultRow(WindowHandle, uint32_t status, const char* path) {
    finishProgressLine();
    if (consoleAnswers.onRow) consoleAnswers.onRow(status, path);
}

void jumpToPage(int32_t) {}
