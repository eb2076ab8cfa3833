#include <windows.h>

#include "app/state.h"
#include "app/userinterface.h"
#include "package/texts.h"

static_assert(BOX_OK_CANCEL == MB_OKCANCEL && BOX_YES_NO == MB_YESNO &&
                  BOX_ICON_QUESTION == MB_ICONQUESTION && BOX_ICON_INFORMATION == MB_ICONINFORMATION,
              "message box types are the system's values");
static_assert(ANSWER_OK == IDOK && ANSWER_CANCEL == IDCANCEL && ANSWER_YES == IDYES && ANSWER_NO == IDNO,
              "answers are the system's values");

int showMessage(const char* text, uint32_t type) {
    HWND owner = static_cast<HWND>(updater.hwndFrame ? updater.hwndFrame : updater.hwndBackground);
    return MessageBoxA(owner, text, lookupString(TEXT_GENERAL_TABLE, TEXT_TITLE), type);
}
