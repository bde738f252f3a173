// The program's compiled menu against the tables the code reads: the makes of each pump and
// reader menu in order with their commands, and the rates of "Baud Rate". The make menus and
// the table of makes are made from the same rows by two preprocessors, and the rates are
// written twice; this is where each pair is held together. And what each make entry of the
// compiled menu does when the window gets its command. Windows only.
#include <gtest/gtest.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "link/rates.h"
#include "resources/resource.h"
#include "run/makes.h"
#include "run/slots.h"
#include "tests/support/test_window.h"
#include "ui/ui.h"

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

// The window program's window procedure as far as commands go.
LRESULT CALLBACK commandProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return message == WM_COMMAND ? handleCommand(window, LOWORD(wParam), wParam, lParam)
                                 : DefWindowProcA(window, message, wParam, lParam);
}

TEST(MenuResource, EveryMakeEntryFillsItsOwnSlotWithTheMakesFile) {
    // Each make with its catalog entries, typed from the operator's menu and catalog tables:
    // the pump entry and file, then the card-reader entry and file (0: no reader menus).
    const struct {
        const char *label;
        UINT entry[2];
        const char *file[2];
    } Typed[] = {
        {"Wayne/Dresser", {111, 110}, {"DW_PUMP.BIN", "DW_CARD.BIN"}},
        {"Gilbarco", {112, 113}, {"GIL_PUMP.BIN", "GIL_CARD.BIN"}},
        {"Tokheim", {114, 115}, {"TOK_PUMP.BIN", "TOK_CARD.BIN"}},
        {"Schlumberger", {116, 117}, {"SAM_PUMP.BIN", "SAM_CARD.BIN"}},
        {"Kraus", {120, 0}, {"KRS_PUMP.BIN"}},
        {"Bennett", {121, 0}, {"BEN_PUMP.BIN"}},
        {"Tatsuno", {122, 0}, {"TAT_PUMP.BIN"}},
        {"Deer (LTS)", {123, 0}, {"LTS_PUMP.BIN"}},
        {"Nuovo", {124, 0}, {"NUO_PUMP.BIN"}},
        {"Dong Hwa", {125, 0}, {"DON_PUMP.BIN"}},
        {"DART", {126, 0}, {"DRT_PUMP.BIN"}},
        {"Mechanical", {127, 0}, {"MEC_PUMP.BIN"}},
        {"Tavro Generic", {118, 119}, {"GEN_PUMP.BIN", "GEN_CARD.BIN"}},
    };
    const char *Menus[] = {"Pump 1", "Pump 2", "Reader 1", "Reader2"};  // slots 3 to 6
    HMODULE program = LoadLibraryExA(MARVANE_EXE, NULL, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, program) << MARVANE_EXE;
    HMENU menu = LoadMenuA(program, MAKEINTRESOURCEA(IDR_MAINMENU));
    HWND window = testwin::makeWindow("MENUTEST", commandProc);
    ASSERT_NE(nullptr, window);

    for (int m = 0; m < 4; m++) {
        int slot = SLOT_PUMP1 + m, kind = m / 2, items = 0;
        HMENU popup = popupNamed(menu, Menus[m]);
        ASSERT_NE(nullptr, popup) << Menus[m];
        for (const auto &make : Typed) {
            if (make.entry[kind] == 0) {
                continue;
            }
            SCOPED_TRACE(std::string(Menus[m]) + " > " + make.label);
            char file[64] = "";
            LoadStringA(program, make.entry[kind], file, sizeof file);
            EXPECT_STREQ(make.file[kind], file);                    // the program's catalog entry
            ASSERT_EQ(make.label, itemsOf(popup).at(items).label);  // throws past the last
            for (int i = 0; i < SLOT_COUNT; i++) {
                snprintf(Slots[i].name, SLOT_NAME_SIZE, "OTHER%d", i);
            }
            SendMessageA(window, WM_COMMAND, MAKEWPARAM(GetMenuItemID(popup, items++), 0), 0);
            for (int i = 0; i < SLOT_COUNT; i++) {
                EXPECT_EQ(i == slot ? make.file[kind] : "OTHER" + std::to_string(i), Slots[i].name);
            }
        }
        EXPECT_EQ(items + 1, GetMenuItemCount(popup)) << Menus[m];  // and "Select"
    }
    DestroyWindow(window);
    DestroyMenu(menu);
    FreeLibrary(program);
}

}  // namespace
