// The makes of pump and card-reader drivers that the four make menus offer: which command
// chooses a make for a slot and which catalog entry it loads there. The window program's
// menus and marvane-send's options both read this table; the rows are resources/makes.def.
#pragma once

#include "platform/winapi.h"

// One row per make, in menu order: the menu's label, the one word marvane-send takes for
// it, its command in each of the four menus and the catalog entry (string id) each loads,
// with that entry's file name. Only some makes exist for card readers: 0 (and no file) marks
// the missing entries.
struct MakeRow {
    const char *label;
    const char *key;
    UINT pump1;
    UINT pump2;
    UINT pumpCatalog;
    const char *pumpFile;
    UINT reader1;
    UINT reader2;
    UINT readerCatalog;
    const char *readerFile;
};
extern const MakeRow Makes[];
extern const int MAKE_COUNT;
// The make's command in the menu of a pump or reader slot, 0 where that menu lacks it.
UINT makeCommand(const MakeRow *make, int slot);
// The catalog entry the make loads into a pump or reader slot.
UINT makeCatalogId(const MakeRow *make, int slot);
// 1 if catalogId is an entry some row names: the catalog is exactly the rows' entries.
BYTE isCatalogEntry(UINT catalogId);
