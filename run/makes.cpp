// The table of makes, made from the rows that the menu resource is made from too, so a make's
// label, commands and files are written once. What a command then does is ui/'s and
// marvane-send's; loading the file into a slot is selectFile's.
#include "run/makes.h"

#include "resources/resource.h"
#include "run/slots.h"

#define PUMP_READER_MAKE(label, key, pump1, pump2, pumpFile, reader1, reader2, readerFile) \
    {label, key, pump1, pump2, pumpFile, reader1, reader2, readerFile},
#define PUMP_MAKE(label, key, pump1, pump2, pumpFile) {label, key, pump1, pump2, pumpFile, 0, 0, 0},
const MakeRow Makes[] = {
#include "resources/makes.def"
};
#undef PUMP_READER_MAKE
#undef PUMP_MAKE
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
