// The menu commands other than About and Exit: port and rate choices, the pump and reader
// makes, and "Download Files". Each is one call into link/ or run/ and, where the display
// changes, a repaint of the whole window; the work itself is theirs.
#include "ui/ui.h"

#include "link/link.h"
#include "link/rates.h"
#include "resources/resource.h"
#include "run/download.h"
#include "run/slots.h"

// clang-format off
const MakeRow Makes[] = {
    // label            key             Pump 1         Pump 2         pump file
    //                                  Reader 1       Reader 2       reader file
    {"Wayne/Dresser",   "wayne",        IDM_PUMP1_DW,  IDM_PUMP2_DW,  IDS_DW_PUMP,
                                        IDM_READER1_DW,  IDM_READER2_DW,  IDS_DW_CARD},
    {"Gilbarco",        "gilbarco",     IDM_PUMP1_GIL, IDM_PUMP2_GIL, IDS_GIL_PUMP,
                                        IDM_READER1_GIL, IDM_READER2_GIL, IDS_GIL_CARD},
    {"Tokheim",         "tokheim",      IDM_PUMP1_TOK, IDM_PUMP2_TOK, IDS_TOK_PUMP,
                                        IDM_READER1_TOK, IDM_READER2_TOK, IDS_TOK_CARD},
    {"Schlumberger",    "schlumberger", IDM_PUMP1_SAM, IDM_PUMP2_SAM, IDS_SAM_PUMP,
                                        IDM_READER1_SAM, IDM_READER2_SAM, IDS_SAM_CARD},
    {"Kraus",           "kraus",        IDM_PUMP1_KRS, IDM_PUMP2_KRS, IDS_KRS_PUMP, 0, 0, 0},
    {"Bennett",         "bennett",      IDM_PUMP1_BEN, IDM_PUMP2_BEN, IDS_BEN_PUMP, 0, 0, 0},
    {"Tatsuno",         "tatsuno",      IDM_PUMP1_TAT, IDM_PUMP2_TAT, IDS_TAT_PUMP, 0, 0, 0},
    {"Deer (LTS)",      "deer",         IDM_PUMP1_LTS, IDM_PUMP2_LTS, IDS_LTS_PUMP, 0, 0, 0},
    {"Nuovo",           "nuovo",        IDM_PUMP1_NUO, IDM_PUMP2_NUO, IDS_NUO_PUMP, 0, 0, 0},
    {"Dong Hwa",        "donghwa",      IDM_PUMP1_DON, IDM_PUMP2_DON, IDS_DON_PUMP, 0, 0, 0},
    {"DART",            "dart",         IDM_PUMP1_DRT, IDM_PUMP2_DRT, IDS_DRT_PUMP, 0, 0, 0},
    {"Mechanical",      "mechanical",   IDM_PUMP1_MEC, IDM_PUMP2_MEC, IDS_MEC_PUMP, 0, 0, 0},
    {"Tavro Generic",   "generic",      IDM_PUMP1_GEN, IDM_PUMP2_GEN, IDS_GEN_PUMP,
                                        IDM_READER1_GEN, IDM_READER2_GEN, IDS_GEN_CARD},
};
// clang-format on
extern const int MAKE_COUNT = (int)(sizeof Makes / sizeof Makes[0]);

UINT makeCommand(const MakeRow *make, int slot) {
    switch (slot) {
        case SLOT_PUMP1:
            return make->pump1;
        case SLOT_PUMP2:
            return make->pump2;
        case SLOT_READER1:
            return make->reader1;
        case SLOT_READER2:
            return make->reader2;
        default:
            return 0;
    }
}

UINT makeCatalogId(const MakeRow *make, int slot) {
    BYTE pump = slot == SLOT_PUMP1 || slot == SLOT_PUMP2;
    return pump ? make->pumpCatalog : make->readerCatalog;
}

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
