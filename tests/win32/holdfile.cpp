// A second program for the Win32 tests: holds a file open, as a running
// application holds its own files, so that the updater meets a file in
// use. Usage: holdfile PATH MILLISECONDS. It opens PATH for reading,
// sharing only reading, then creates PATH.held to say so, and ends after
// the time given.
#include <windows.h>

#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    HANDLE held = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (held == INVALID_HANDLE_VALUE) return 1;
    std::string signal = std::string(argv[1]) + ".held";
    CloseHandle(CreateFileA(signal.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    Sleep(static_cast<DWORD>(std::atoi(argv[2])));
    CloseHandle(held);
    DeleteFileA(signal.c_str());
    return 0;
}
