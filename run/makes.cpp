// The table of makes, made from the rows that the menu resource and the catalog's string
// table are made from too, so a make's label, commands and files are written once; the build
// fails here if a row's ids are missing or collide. What a command then does is ui/'s and
// marvane-send's; loading the file into a slot is selectFile's.
#include "run/makes.h"

#include "resources/resource.h"
#include "run/slots.h"

#define PUMP_READER_MAKE(label, key, pump1, pump2, pumpEntry, pumpFile, reader1, reader2, \
                         readerEntry, readerFile)                                         \
    {label, key, pump1, pump2, pumpEntry, pumpFile, reader1, reader2, readerEntry, readerFile},
#define PUMP_MAKE(label, key, pump1, pump2, pumpEntry, pumpFile) \
    {label, key, pump1, pump2, pumpEntry, pumpFile, 0, 0, 0, NULL},
constexpr MakeRow Makes[] = {
#include "resources/makes.def"
};
#undef PUMP_READER_MAKE
#undef PUMP_MAKE
constexpr int ROW_COUNT = (int)(sizeof Makes / sizeof Makes[0]);
extern const int MAKE_COUNT = ROW_COUNT;

// The build's checks of the rows. A missing id name does not compile at all; these catch a
// 0 or empty file where a row needs one, and two menu entries, two catalog entries or two
// keys that are one. The other commands and strings are in the lists, so that a make cannot
// take the id of "Download Files" or of the window's title either.
constexpr UINT OtherCommands[] = {
    IDM_ABOUT,     IDM_EXIT,         IDM_DOWNLOAD,     IDM_COM1,           IDM_COM2,
    IDM_COM3,      IDM_COM4,         IDM_BAUD_19200,   IDM_BAUD_9600,      IDM_BAUD_4800,
    IDM_BAUD_2400, IDM_PUMP1_SELECT, IDM_PUMP2_SELECT, IDM_READER1_SELECT, IDM_READER2_SELECT};
constexpr UINT OtherStrings[2] = {IDS_APP_TITLE, IDS_WINDOW_CLASS};

struct IdList {
    UINT ids[4 * ROW_COUNT + sizeof OtherCommands / sizeof OtherCommands[0]];
    int count;
};

// The menus' command ids (strings 0) or the string table's ids (strings 1): the others first,
// then each row's, 0 (no entry) left out.
constexpr IdList idsOf(BYTE strings) {
    IdList list{};
    int otherCount = strings ? 2 : (int)(sizeof OtherCommands / sizeof OtherCommands[0]);
    for (int i = 0; i < otherCount; i++) {
        list.ids[list.count++] = strings ? OtherStrings[i] : OtherCommands[i];
    }
    for (const MakeRow &make : Makes) {
        const UINT commands[] = {make.pump1, make.pump2, make.reader1, make.reader2};
        const UINT entries[] = {make.pumpCatalog, make.readerCatalog, 0, 0};
        for (int i = 0; i < 4; i++) {
            UINT id = strings ? entries[i] : commands[i];
            if (id != 0) {
                list.ids[list.count++] = id;
            }
        }
    }
    return list;
}

constexpr BYTE distinct(const IdList &list) {
    for (int i = 0; i < list.count; i++) {
        for (int j = 0; j < i; j++) {
            if (list.ids[i] == list.ids[j]) {
                return 0;
            }
        }
    }
    return 1;
}

constexpr BYTE sameKey(const char *a, const char *b) {
    while (*a != 0 && *a == *b) {
        a++;
        b++;
    }
    return *a == *b;
}

constexpr BYTE rowsComplete() {
    for (int i = 0; i < ROW_COUNT; i++) {
        const MakeRow &make = Makes[i];
        BYTE pumps = make.pump1 && make.pump2 && make.pumpCatalog && make.pumpFile[0];
        BYTE readers = make.reader1 && make.reader2 && make.readerCatalog && make.readerFile[0];
        BYTE noReaders = !make.reader1 && !make.reader2 && !make.readerCatalog;
        if (!pumps || !(readers || noReaders) || make.key[0] == 0) {
            return 0;
        }
        for (int j = 0; j < i; j++) {
            if (sameKey(make.key, Makes[j].key)) {
                return 0;
            }
        }
    }
    return 1;
}

static_assert(rowsComplete(), "makes.def: a row has a 0 id, an empty name or another row's key");
static_assert(distinct(idsOf(0)), "makes.def: two menu entries share a command id");
static_assert(distinct(idsOf(1)), "makes.def: two string-table entries share a string id");

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

BYTE isCatalogEntry(UINT catalogId) {
    for (const MakeRow &make : Makes) {
        if (catalogId != 0 && (catalogId == make.pumpCatalog || catalogId == make.readerCatalog)) {
            return 1;
        }
    }
    return 0;
}
