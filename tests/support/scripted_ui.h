// The user interface for native tests: records what the updater shows and
// answers its questions from a script the test sets.
#ifndef ZORVAT_TESTS_SCRIPTED_UI_H
#define ZORVAT_TESTS_SCRIPTED_UI_H

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

struct ShownMessage {
    std::string text;
    std::string caption;
    uint32_t type;
};

struct ScriptedUi {
    std::vector<ShownMessage> messages;   // every message box, in order
    std::deque<int> answers;              // answers to give; ANSWER_OK when empty
    // Folders the user points to when asked where moved files are, in
    // order; when none is left the user cancels.
    std::deque<std::string> alternateFolders;
    int alternateQuestions = 0;           // how often that was asked
};

extern ScriptedUi scriptedUi;

// Clears the record, the script and the updater's state.
void resetScriptedUi();

#endif
