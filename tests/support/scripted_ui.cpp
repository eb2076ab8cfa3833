#include "tests/support/scripted_ui.h"

#include "app/paths.h"
#include "app/state.h"
#include "app/userinterface.h"
#include "package/texts.h"

ScriptedUi scriptedUi;

void resetScriptedUi() { scriptedUi = ScriptedUi(); }

int showMessage(const char* text, uint32_t type) {
    scriptedUi.messages.push_back({text, lookupString(TEXT_GENERAL_TABLE, TEXT_TITLE), type});
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
