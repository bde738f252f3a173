// The six slots with their start-up defaults, and the one operation through which the menus
// change them. The catalog's file names are the string table's, made from the rows of
// resources/makes.def.
#include "run/slots.h"

#include "run/makes.h"

const char *const SlotLabels[SLOT_COUNT] = {"POS",    "PC_CC",    "Pump 1",
                                            "Pump 2", "Reader 1", "Reader 2"};

ImageSlot Slots[SLOT_COUNT] = {
    {"POS.BIN", MARK_WAITING}, {"PC_CC.BIN", MARK_WAITING},
    {"", MARK_EMPTY},          {"", MARK_EMPTY},
    {"", MARK_EMPTY},          {"", MARK_EMPTY},
};

void selectFile(int slot, UINT catalogId) {
    // Only the pump and reader slots are chosen from the menus, and only driver files.
    if (slot < SLOT_PUMP1 || slot > SLOT_READER2) {
        return;
    }
    if (!isCatalogEntry(catalogId)) {
        return;
    }
    // The catalog is the program's own string table.
    LoadStringA(GetModuleHandleA(NULL), catalogId, Slots[slot].name, SLOT_NAME_SIZE);
    Slots[slot].marker = MARK_WAITING;
}
