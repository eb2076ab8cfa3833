// The image's whole runtime: its entry point, heap-backed operator new and
// delete, and the few memory functions the compiler may call on its own.
// No C runtime is linked, so nothing here may depend on one: no static
// constructors, no exceptions, no thread-local storage.
#include <windows.h>

#include "app/fileio.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showCommand);

// Skips the program name (quoted or not) and the blanks behind it, as the C
// runtime does before it calls WinMain.
static char* argumentsOf(char* line) {
    if (*line == '"') {
        ++line;
        while (*line && *line != '"') ++line;
        if (*line == '"') ++line;
    } else {
        while (*line > ' ') ++line;
    }
    while (*line == ' ' || *line == '\t') ++line;
    return line;
}

extern "C" void WinMainCRTStartup() {
    STARTUPINFOA startup;
    startup.cb = sizeof startup;
    GetStartupInfoA(&startup);
    int showCommand = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : SW_SHOWDEFAULT;
    int code = WinMain(GetModuleHandleA(0), 0, argumentsOf(GetCommandLineA()), showCommand);
    ExitProcess(static_cast<UINT>(code));
}

void* operator new(size_t size) {
    void* block = 0;
    allocateBufferRaw(static_cast<uint32_t>(size), &block);
    return block;
}
void* operator new[](size_t size) { return operator new(size); }
void operator delete(void* block) noexcept { releaseBufferRaw(&block); }
void operator delete[](void* block) noexcept { releaseBufferRaw(&block); }
void operator delete(void* block, size_t) noexcept { releaseBufferRaw(&block); }
void operator delete[](void* block, size_t) noexcept { releaseBufferRaw(&block); }

extern "C" {
// A pure virtual call is a programming error; end the process quietly.
void __cxa_pure_virtual() { ExitProcess(static_cast<UINT>(-1)); }

void* memcpy(void* destination, const void* source, size_t count) {
    copyBytes(destination, source, static_cast<uint32_t>(count));
    return destination;
}
void* memmove(void* destination, const void* source, size_t count) {
    moveBytes(destination, source, static_cast<uint32_t>(count));
    return destination;
}
void* memset(void* destination, int value, size_t count) {
    fillBytes(destination, static_cast<uint8_t>(value), static_cast<uint32_t>(count));
    return destination;
}
int memcmp(const void* a, const void* b, size_t count) {
    const uint8_t* x = static_cast<const uint8_t*>(a);
    const uint8_t* y = static_cast<const uint8_t*>(b);
    for (; count; --count, ++x, ++y)
        if (*x != *y) return *x < *y ? -1 : 1;
    return 0;
}
}
