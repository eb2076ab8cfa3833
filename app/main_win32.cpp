// The updater's entry point: start-up in its fixed order, the run, and the
// shutdown in its fixed order. Exit codes: EXIT_DONE (0), or EXIT_FAILED
// (-1) when the package cannot be loaded or the background window cannot be
// created. The outcome of the update itself is shown, never returned.
#include <windows.h>
#include <commctrl.h>

#include "app/commandline.h"
#include "app/state.h"
#include "engine/locate.h"
#include "package/loader.h"
#include "package/texts.h"
#include "ui/background.h"

static const char CLASS_NAME[] = "ZorvatClass";   // also the single-instance key
enum { ICON_RESOURCE = 800 };

// Brings a running instance forward. Returns false when none runs.
static bool bringFirstInstanceForward() {
    HWND first = FindWindowA(CLASS_NAME, 0);
    if (!first) return false;
    HWND popup = GetLastActivePopup(first);
    BringWindowToTop(first);
    if (IsIconic(first)) ShowWindow(first, SW_RESTORE);
    if (popup != first) BringWindowToTop(popup);
    return true;
}

static bool registerWindowClass() {
    WNDCLASSA windowClass;
    fillBytes(&windowClass, 0, sizeof windowClass);
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = backgroundWindowProc;
    windowClass.hInstance = static_cast<HINSTANCE>(updater.instance);
    windowClass.hIcon = LoadIconA(static_cast<HINSTANCE>(updater.instance), MAKEINTRESOURCEA(ICON_RESOURCE));
    windowClass.hCursor = LoadCursorA(0, IDC_ARROW);
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(NULL_BRUSH));
    windowClass.lpszClassName = CLASS_NAME;
    return RegisterClassA(&windowClass) != 0;
}

static bool createBackgroundWindow() {
    DWORD style = (updater.displayFlags & 1) ? WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN
                                             : WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    HWND window = CreateWindowExA(0, CLASS_NAME, lookupString(TEXT_GENERAL_TABLE, TEXT_TITLE), style, 0, 0,
                                  updater.screenWidth, updater.screenHeight, 0, 0,
                                  static_cast<HINSTANCE>(updater.instance), 0);
    if (!window) return false;
    updater.hwndBackground = window;
    updater.screenCenterX = updater.screenWidth / 2;
    updater.screenCenterY = updater.screenHeight / 2;
    return true;
}

static void shutDown() {
    // The background window posts the quit message when it is destroyed;
    // the pump delivers the last messages of the destroyed windows.
    DestroyWindow(static_cast<HWND>(updater.hwndBackground));
    MSG message;
    while (GetMessageA(&message, 0, 0, 0) > 0) DispatchMessageA(&message);
    releasePackage();
    // The path buffers live inside the UpdaterState and need no release.
    // [frame dialog] releaseDialogGdi() deletes the dialog brush and font here.
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int showCommand) {
    (void)showCommand;   // [relaunch] passed on to the temporary copy
    if (bringFirstInstanceForward()) return EXIT_DONE;

    resetUpdaterState();   // zero-filled path buffers and start values
    updater.instance = instance;
    // [frame dialog] createDialogBrush() comes here, before the path buffers.
    GetModuleFileNameA(instance, updater.modulePath, PATH_CAPACITY);
    updater.modulePath[PATH_CAPACITY - 1] = 0;   // Windows 9x may leave it unterminated

    parseCommandLine(commandLine);

    // [relaunch] Without /DEL: started from a removable disk, copy the image
    // to the temporary folder, start the copy with /S and /DEL, release the
    // dialog brush and font and end with EXIT_DONE. With /DEL: schedule this
    // copy's deletion at the next restart of Windows.

    if (!registerWindowClass()) return EXIT_DONE;
    InitCommonControls();
    updater.screenWidth = GetSystemMetrics(SM_CXSCREEN);
    updater.screenHeight = GetSystemMetrics(SM_CYSCREEN);

    if (!loadPackage()) return EXIT_FAILED;

    locateInstalledApplication();   // nothing of it stops the start-up

    if (!createBackgroundWindow()) return EXIT_FAILED;

    // [frame dialog] Copy template 1 (full screen) or 0 (framed), create the
    // frame dialog, fit the framed background around it, show and paint the
    // background window, run the wizard loop, destroy the frame dialog and
    // free the template copy. Until the frame dialog exists the run goes
    // from here straight to the shutdown.

    shutDown();
    return EXIT_DONE;
}
