// The menu commands other than About and Exit: port and rate choices, the pump and reader
// makes, and "Download Files". Each is one call into link/ or run/ and, where the display
// changes, a repaint of the whole window; the work itself is theirs.
#include "ui/ui.h"

#include "link/link.h"
#include "link/rates.h"
#include "resources/resource.h"
#include "run/download.h"
#include "run/makes.h"
#include "run/slots.h"

// The "Baud Rate" menu's commands are consecutive, in the order of the rate table.
static BYTE findBaud(UINT commandId, int *rate) {
    if (commandId < IDM_BAUD_19200 || commandId >= IDM_BAUD_19200 + (UINT)BAUD_RATE_COUNT) {
        return 0;
    }
    *rate = BaudRates[commandId - IDM_BAUD_19200];
    return 1;
}

// Finds the slot and catalog entry of a make command. Returns 1 if commandId is one.
static BYTE findMake(UINT commandId, int *slot, UINT *catalogId) {
    for (int i = 0; i < MAKE_COUNT; i++) {
        for (int s = SLOT_PUMP1; s <= SLOT_READER2; s++) {
            UINT command = makeCommand(&Makes[i], s);
            if (command != 0 && command == commandId) {
                *slot = s;
                *catalogId = makeCatalogId(&Makes[i], s);
                return 1;
            }
        }
    }
    return 0;
}

static void repaintWhole(HWND window) {
    // The whole client area, background erased: a shorter name must not leave old text.
    InvalidateRect(window, NULL, TRUE);
}

LRESULT handleCommand(HWND window, UINT commandId, WPARAM wParam, LPARAM lParam) {
    switch (commandId) {
        case IDM_DOWNLOAD:
            // Returns when the run is over; its outcome shows in the markers only.
            runDownload();
            return 0;
        case IDM_COM1:
        case IDM_COM2:
        case IDM_COM3:
        case IDM_COM4:
            setPort((int)(commandId - IDM_COM1) + 1);
            repaintWhole(window);
            return 0;
        case IDM_PUMP1_SELECT:
        case IDM_PUMP2_SELECT:
        case IDM_READER1_SELECT:
        case IDM_READER2_SELECT:
            // The menus' "Select" entries do nothing.
            return 0;
        default:
            break;
    }

    int rate;
    if (findBaud(commandId, &rate)) {
        setBaud(rate);
        repaintWhole(window);
        return 0;
    }
    int slot;
    UINT catalogId;
    if (findMake(commandId, &slot, &catalogId)) {
        selectFile(slot, catalogId);
        repaintWhole(window);
        return 0;
    }
    return DefWindowProcA(window, WM_COMMAND, wParam, lParam);
}
