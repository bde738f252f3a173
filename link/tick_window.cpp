// The window a program without a main window of its own hosts the tick timer on: never
// shown, it passes WM_TIMER to onTick. Starting and stopping the timer is startTicks' and
// stopTicks'; a window that does more than count ticks passes its other messages itself.
#include <string.h>

#include "link/link.h"

LRESULT CALLBACK tickWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_TIMER) {
        onTick(wParam);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

HWND createTickWindow(HINSTANCE instance) {
    static const char TICK_CLASS[] = "MARVANETICKS";
    WNDCLASSEXA windowClass;
    memset(&windowClass, 0, sizeof windowClass);
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = tickWindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = TICK_CLASS;
    // A second window registers the class again, which fails harmlessly; without the class
    // the window is not made, and that failure is the caller's to report.
    RegisterClassExA(&windowClass);
    return CreateWindowExA(0, TICK_CLASS, "", WS_OVERLAPPED, 0, 0, 0, 0, NULL, NULL, instance,
                           NULL);
}
