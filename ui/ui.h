// The main window's status display and menu commands, called by its window procedure.
// Start-up, the window procedure itself and the About box are in main.cpp (Windows only).
#pragma once

#include "platform/winapi.h"

// Draws the seven status lines (port settings, then one per slot) for WM_PAINT.
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
