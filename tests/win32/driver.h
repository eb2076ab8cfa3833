// The test driver: starts programs under the same Wine prefix, finds their
// windows and does what a user would (click, type, read). Waiting always
// pumps this thread's messages, because other processes may send messages
// to the test's own windows and wait for the answer.
#ifndef ZORVAT_TESTS_WIN32_DRIVER_H
#define ZORVAT_TESTS_WIN32_DRIVER_H

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

struct RunningProgram {
    HANDLE process = nullptr;
    DWORD processId = 0;
    ~RunningProgram();
};

// Starts commandLine; false when the program could not be started.
bool startProgram(const std::string& commandLine, RunningProgram& program);

// Waits for the program's end and gives its exit code; STILL_ACTIVE (259)
// when it did not end within timeoutMs (the program is then killed).
DWORD waitForExit(RunningProgram& program, DWORD timeoutMs);

// Pumps messages for about ms milliseconds.
void pumpMessages(DWORD ms);

// The first visible top-level window of the process whose class is
// className (nullptr: any), waiting up to timeoutMs; null if none came.
HWND waitForWindow(DWORD processId, const char* className, DWORD timeoutMs);

// The text of a window in another process (WM_GETTEXT; GetWindowText
// returns nothing across processes).
std::string windowText(HWND window);

// The message text of a message box (its static control 65535).
std::string messageBoxText(HWND box);

// The Wine-side path of a file of the build tree given by its POSIX path.
std::string windowsPathOf(const std::string& posixPath);

#endif
