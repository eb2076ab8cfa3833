// The user interface of the updater's engine when the builder runs it on a
// folder (`zorvat apply`): messages and results go to the terminal, and
// questions are answered from the command line's options or, on a
// terminal, asked.
#ifndef ZORVAT_BUILDER_CONSOLE_H
#define ZORVAT_BUILDER_CONSOLE_H

#include <functional>
#include <optional>
#include <string>

struct ConsoleAnswers {
    std::optional<bool> yes;       // --yes / --no: every yes/no question
    std::string alternateFolder;   // --alternate: where moved files are
    bool interactive = false;      // ask on the terminal what no option answers
    bool showProgress = false;     // one progress line on the terminal
    // Called for each results row: status entry and path.
    std::function<void(unsigned status, const std::string& path)> onRow;
};

extern ConsoleAnswers consoleAnswers;

// Ends the progress line, if one is shown.
void finishProgressLine();

#endif
