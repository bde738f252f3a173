// The program's compiled menu against the tables the code reads: the makes of each pump and
// reader menu in order with their commands, and the rates of "Baud Rate". The make menus and
// the table of makes are made from the same rows by two preprocessors, and the rates are
// written twice; this is where each pair is held together. Windows only.
#include <gtest/gtest.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "link/rates.h"
#include "resources/resource.h"
#include "run/makes.h"
#include "run/slots.h"

namespace {

struct Item {
    std::string label;
    UINT id;
    bool operator==(const Item &o) const { return label == o.label && id == o.id; }
};

std::vector<Item> itemsOf(HMENU menu) {
    std::vector<Item> items;
    for (int i = 0; i < GetMenuItemCount(menu); i++) {
        char label[64] = "";
        GetMenuStringA(menu, (UINT)i, label, sizeof label, MF_BYPOSITION);
        items.push_back({label, GetMenuItemID(menu, i)});
    }
    return items;
}

HMENU popupNamed(HMENU menu, const char *label) {
    for (int i = 0; i < GetMenuItemCount(menu); i++) {
        char text[64] = "";
        GetMenuStringA(menu, (UINT)i, text, sizeof text, MF_BYPOSITION);
        if (label == std::string(text)) {
            return GetSubMenu(menu, i);
        }
    }
    return NULL;
}

TEST(MenuResource, MakesAndRatesAreTheTables) {
    HMODULE program = LoadLibraryExA(MARVANE_EXE, NULL, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, program) << MARVANE_EXE;
    HMENU menu = LoadMenuA(program, MAKEINTRESOURCEA(IDR_MAINMENU));
    ASSERT_NE(nullptr, menu);

    // The four make menus, as the .rc names them, and the slot each fills.
    const struct {
        const char *popup;
        int slot;
    } MakeMenus[] = {{"Pump 1", SLOT_PUMP1},
                     {"Pump 2", SLOT_PUMP2},
                     {"Reader 1", SLOT_READER1},
                     {"Reader2", SLOT_READER2}};
    const UINT Selects[] = {IDM_PUMP1_SELECT, IDM_PUMP2_SELECT, IDM_READER1_SELECT,
                            IDM_READER2_SELECT};
    for (int m = 0; m < 4; m++) {
        std::vector<Item> expected;
        for (int i = 0; i < MAKE_COUNT; i++) {
            UINT command = makeCommand(&Makes[i], MakeMenus[m].slot);
            if (command != 0) {
                expected.push_back({Makes[i].label, command});
            }
        }
        expected.push_back({"Select", Selects[m]});
        HMENU popup = popupNamed(menu, MakeMenus[m].popup);
        ASSERT_NE(nullptr, popup) << MakeMenus[m].popup;
        EXPECT_EQ(expected, itemsOf(popup)) << MakeMenus[m].popup;
    }

    std::vector<Item> rates;
    for (int i = 0; i < BAUD_RATE_COUNT; i++) {
        rates.push_back({std::to_string(BaudRates[i]), IDM_BAUD_19200 + (UINT)i});
    }
    HMENU setup = popupNamed(menu, "Setup Port");
    ASSERT_NE(nullptr, setup);
    EXPECT_EQ(rates, itemsOf(popupNamed(setup, "Baud Rate")));

    DestroyMenu(menu);
    FreeLibrary(program);
}

}  // namespace
