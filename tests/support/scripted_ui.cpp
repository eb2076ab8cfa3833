#include "tests/support/scripted_ui.h"

#include "app/paths.h"
#include "app/state.h"
#include "app/userinterface.h"
#include "package/texts.h"

ScriptedUi scriptedUi;

void resetScriptedUi() { scriptedUi = ScriptedUi(); }

int showMessage(const char* text, uint32_t type) {
    scriptedUi.messages.push_back({text, lookupString(TEXT_GENERAL_TABLE, TEXT_TITLE), type});
    if (scriptedUi.onMessage) scriptedUi.onMessage();
    if (scriptedUi.answers.empty()) return ANSWER_OK;
    int answer = scriptedUi.answers.front();
    scriptedUi.answers.pop_front();
    return answer;
}

bool askForAlternateFolder(WindowHandle owner) {
    ++scriptedUi.alternateQuestions;
    if (scriptedUi.alternateFolders.empty()) return false;
    copyText(updater.alternateDir, scriptedUi.alternateFolders.front().c_str(), PATH_CAPACITY);
    addBackslash(updater.alternateDir, PATH_CAPACITY);
    scriptedUi.alternateFolders.pop_front();
    return true;
}

void setProgress(uint32_t percent) { scriptedUi.progress.push_back(percent); }

void showCurrentFile(const char* path) { scriptedUi.currentFiles.push_back(path); }

void addResultRow(WindowHandle, uint32_t status, const char* path) { scriptedUi.rows.push_back({status, path}); }

void jumpToPage(int32_t page) { scriptedUi.jumpedTo.push_back(page); }
