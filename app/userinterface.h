// What the portable updater code asks of the user interface. The Win32
// build implements it with windows (ui/); native builds link a console or a
// scripted implementation (the builder's apply command, the tests).
#ifndef ZORVAT_APP_USERINTERFACE_H
#define ZORVAT_APP_USERINTERFACE_H

#include <stdint.h>

#include "app/state.h"

// Message box types and answers; the values are the system's own.
enum {
    BOX_OK = 0x00,
    BOX_OK_CANCEL = 0x01,
    BOX_YES_NO = 0x04,
    BOX_ICON_QUESTION = 0x20,
    BOX_ICON_INFORMATION = 0x40,
};
enum { ANSWER_OK = 1, ANSWER_CANCEL = 2, ANSWER_YES = 6, ANSWER_NO = 7 };

// Shows text as it is (no replacements) in a message box captioned with the
// program's title (table 6, entry 0), owned by the frame dialog, else the
// background window, else nothing; returns the answer.
int showMessage(const char* text, uint32_t type);

// Progress of the update: the bar's percentage (0-100), the file in work,
// and one row of the results list (status: a table 6 entry, 25-29).
void setProgress(uint32_t percent);
void showCurrentFile(const char* path);
void addResultRow(WindowHandle page, uint32_t status, const char* path);

// Ends the running page with Next so that the wizard goes on with page
// (currentPage becomes page - 1, pageResult PAGE_NEXT).
void jumpToPage(int32_t page);

// Asks the user, modally over owner, for the folder that holds the files
// that are not where they were expected. True after the folder (with a
// trailing backslash) has been stored in alternateDir; false on Cancel.
bool askForAlternateFolder(WindowHandle owner);

#endif
