// What the window code fills in once at start-up and the lower modules report through:
// the instance for resource loads, the main window for step repaints, the progress bar.
// Before start-up (and in tests that need no window) everything is 0, which is harmless:
// messages to a null window go nowhere.
#pragma once

#include "platform/winapi.h"

struct WindowContextData {
    HINSTANCE instance;
    HWND mainWindow;
    HWND progressBar;
    RECT clientRect;  // the main window's client area as measured at start-up
};

extern WindowContextData WindowContext;
