#include "ui/background.h"

// Painting the picture, gradient and banner comes with the wizard's
// windows; what exists now is the window's part in the shutdown: its
// destruction ends the program's last message loop.
LRESULT CALLBACK backgroundWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}
