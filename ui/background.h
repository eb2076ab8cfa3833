// The background window: the top-level window that holds the frame dialog,
// full screen with a picture and banner, or a framed caption around it.
#ifndef ZORVAT_UI_BACKGROUND_H
#define ZORVAT_UI_BACKGROUND_H

#include <windows.h>

LRESULT CALLBACK backgroundWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

#endif
