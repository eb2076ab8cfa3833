#include "tests/win32/driver.h"

#include <vector>

RunningProgram::~RunningProgram() {
    if (process) {
        if (WaitForSingleObject(process, 0) == WAIT_TIMEOUT) TerminateProcess(process, 1);
        CloseHandle(process);
    }
}

bool startProgram(const std::string& commandLine, RunningProgram& program) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back(0);
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return false;
    CloseHandle(info.hThread);
    program.process = info.hProcess;
    program.processId = info.dwProcessId;
    return true;
}

void pumpMessages(DWORD ms) {
    DWORD start = GetTickCount();
    do {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    } while (GetTickCount() - start < ms);
}

DWORD waitForExit(RunningProgram& program, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        DWORD waited = MsgWaitForMultipleObjects(1, &program.process, FALSE, 20, QS_ALLINPUT);
        if (waited == WAIT_OBJECT_0) break;
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        if (GetTickCount() - start > timeoutMs) {
            TerminateProcess(program.process, 1);
            WaitForSingleObject(program.process, 5000);
            return STILL_ACTIVE;
        }
    }
    DWORD code = 0;
    GetExitCodeProcess(program.process, &code);
    return code;
}

namespace {
struct WindowSearch {
    DWORD processId;
    const char* className;
    HWND found;
};

BOOL CALLBACK matchWindow(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<WindowSearch*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != search->processId || !IsWindowVisible(window)) return TRUE;
    if (search->className) {
        char name[64] = {};
        GetClassNameA(window, name, sizeof name);
        if (lstrcmpiA(name, search->className) != 0) return TRUE;
    }
    search->found = window;
    return FALSE;
}
}  // namespace

HWND waitForWindow(DWORD processId, const char* className, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    do {
        WindowSearch search = {processId, className, nullptr};
        EnumWindows(matchWindow, reinterpret_cast<LPARAM>(&search));
        if (search.found) return search.found;
        pumpMessages(20);
    } while (GetTickCount() - start < timeoutMs);
    return nullptr;
}

std::string windowText(HWND window) {
    char text[2048] = {};
    SendMessageA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
    return text;
}

std::string messageBoxText(HWND box) {
    HWND label = GetDlgItem(box, 0xFFFF);
    return label ? windowText(label) : std::string();
}

std::string windowsPathOf(const std::string& posixPath) {
    std::string path = "Z:" + posixPath;
    for (char& c : path)
        if (c == '/') c = '\\';
    return path;
}
