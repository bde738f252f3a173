// The main window's status display and menu commands, called by its window procedure.
// Start-up, the window procedure itself and the About box are in main.cpp (Windows only).
#pragma once

#include "platform/winapi.h"

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

// One row per make, in menu order: its command in each of the four menus and the catalog
// entry it loads. Only some makes exist for card readers; 0 marks the missing entries.
struct MakeRow {
    UINT pump1;
    UINT pump2;
    UINT pumpCatalog;
    UINT reader1;
    UINT reader2;
    UINT readerCatalog;
};
extern const MakeRow Makes[];
extern const int MAKE_COUNT;
