// The menu commands other than About and Exit: port and rate choices, the pump and reader
// makes, and "Download Files". Each is one call into link/ or run/ and, where the display
// changes, a repaint of the whole window; the work itself is theirs.
#include "ui/ui.h"

#include "link/link.h"
#include "resources/resource.h"
#include "run/download.h"
#include "run/slots.h"

const MakeRow Makes[] = {
    // Wayne/Dresser
    {IDM_PUMP1_DW, IDM_PUMP2_DW, IDS_DW_PUMP, IDM_READER1_DW, IDM_READER2_DW, IDS_DW_CARD},
    // Gilbarco
    {IDM_PUMP1_GIL, IDM_PUMP2_GIL, IDS_GIL_PUMP, IDM_READER1_GIL, IDM_READER2_GIL, IDS_GIL_CARD},
    // Tokheim
    {IDM_PUMP1_TOK, IDM_PUMP2_TOK, IDS_TOK_PUMP, IDM_READER1_TOK, IDM_READER2_TOK, IDS_TOK_CARD},
    // Schlumberger
    {IDM_PUMP1_SAM, IDM_PUMP2_SAM, IDS_SAM_PUMP, IDM_READER1_SAM, IDM_READER2_SAM, IDS_SAM_CARD},
    {IDM_PUMP1_KRS, IDM_PUMP2_KRS, IDS_KRS_PUMP, 0, 0, 0},  // Kraus
    {IDM_PUMP1_BEN, IDM_PUMP2_BEN, IDS_BEN_PUMP, 0, 0, 0},  // Bennett
    {IDM_PUMP1_TAT, IDM_PUMP2_TAT, IDS_TAT_PUMP, 0, 0, 0},  // Tatsuno
    {IDM_PUMP1_LTS, IDM_PUMP2_LTS, IDS_LTS_PUMP, 0, 0, 0},  // Deer (LTS)
    {IDM_PUMP1_NUO, IDM_PUMP2_NUO, IDS_NUO_PUMP, 0, 0, 0},  // Nuovo
    {IDM_PUMP1_DON, IDM_PUMP2_DON, IDS_DON_PUMP, 0, 0, 0},  // Dong Hwa
    {IDM_PUMP1_DRT, IDM_PUMP2_DRT, IDS_DRT_PUMP, 0, 0, 0},  // DART
    {IDM_PUMP1_MEC, IDM_PUMP2_MEC, IDS_MEC_PUMP, 0, 0, 0},  // Mechanical
    // Tavro Generic
    {IDM_PUMP1_GEN, IDM_PUMP2_GEN, IDS_GEN_PUMP, IDM_READER1_GEN, IDM_READER2_GEN, IDS_GEN_CARD},
};
extern const int MAKE_COUNT = (int)(sizeof Makes / sizeof Makes[0]);

// The "Baud Rate" menu: each entry's command and the rate it sets.
struct BaudRow {
    UINT command;
    int rate;
};

static const BaudRow BaudRates[] = {
    {IDM_BAUD_19200, 19200},
    {IDM_BAUD_9600, 9600},
    {IDM_BAUD_4800, 4800},
    {IDM_BAUD_2400, 2400},
};
static const int BAUD_COUNT = (int)(sizeof BaudRates / sizeof BaudRates[0]);

// Finds the rate of a "Baud Rate" command. Returns 1 if commandId is one.
static BYTE findBaud(UINT commandId, int *rate) {
    for (int i = 0; i < BAUD_COUNT; i++) {
        if (commandId == BaudRates[i].command) {
            *rate = BaudRates[i].rate;
            return 1;
        }
    }
    return 0;
}

// Finds the slot and catalog entry of a make command. Returns 1 if commandId is one.
static BYTE findMake(UINT commandId, int *slot, UINT *catalogId) {
    for (int i = 0; i < MAKE_COUNT; i++) {
        const MakeRow *row = &Makes[i];
        if (commandId == row->pump1 || commandId == row->pump2) {
            *slot = commandId == row->pump1 ? SLOT_PUMP1 : SLOT_PUMP2;
            *catalogId = row->pumpCatalog;
            return 1;
        }
        if (row->reader1 != 0 && (commandId == row->reader1 || commandId == row->reader2)) {
            *slot = commandId == row->reader1 ? SLOT_READER1 : SLOT_READER2;
            *catalogId = row->readerCatalog;
            return 1;
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
