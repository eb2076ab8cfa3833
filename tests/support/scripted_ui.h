// The user interface for native tests: records what the updater shows and
// answers its questions from a script the test sets.
#ifndef ZORVAT_TESTS_SCRIPTED_UI_H
#define ZORVAT_TESTS_SCRIPTED_UI_H

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

struct ShownMessage {
    std::string text;
    std::string caption;
    uint32_t type;
};

struct ResultRow {
    uint32_t status;
    std::string path;
};

struct ScriptedUi {
    std::vector<uint32_t> progress;       // every percentage shown
    std::vector<std::string> currentFiles;
    std::vector<ResultRow> rows;          // the results list
    std::vector<int32_t> jumpedTo;        // pages jumped to
    std::function<void()> onMessage;      // runs before a message box is answered
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
