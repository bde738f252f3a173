// The main window's status display and menu commands, called by its window procedure.
// Start-up, the window procedure itself and the About box are in main.cpp (Windows only).
#pragma once

#include "platform/winapi.h"
#include "events/events.h"

// The status display is seven lines: 1 the port settings, 2 to 7 one per slot in slot
// order. Each is formatted into a buffer of STATUS_LINE_SIZE characters.
const int STATUS_LINE_COUNT = 7;
const int STATUS_LINE_SIZE = 100;

// Formats status line n (1 to 7) from the current settings and slots, as paintStatus
// draws it. Any other n gives an empty line.
void formatStatusLine(int n, char line[STATUS_LINE_SIZE]);

// Draws the seven status lines for WM_PAINT.
void paintStatus(HWND window);

// Carries out menu command `commandId` (the low word of wParam) for `window`. Commands it
// does not know go to DefWindowProcA with the message's own wParam and lParam.
LRESULT handleCommand(HWND window, UINT commandId, WPARAM wParam, LPARAM lParam);

// What the window code fills in once at start-up and reports through: the instance, the
// main window for step repaints, the progress bar, and the main window's client area as
// measured at start-up.
struct WindowContextData {
    HINSTANCE instance;
    HWND mainWindow;
    HWND progressBar;
    RECT clientRect;
};
extern WindowContextData WindowContext;
// The window program's listener of the run: step repaints, progress-bar messages and the
// port's message boxes, through WindowContext.
extern RunListener WindowListener;
