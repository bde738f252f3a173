// The program's compiled menu against the operator's menu, typed here entry by entry with
// its command ids, and what each make entry of it does when the window gets its command
// (the code's table of makes, read by the commands). Windows only.
#include <gtest/gtest.h>
#include <stdio.h>

#include <ostream>
#include <string>
#include <vector>

#include "resources/resource.h"
#include "run/slots.h"
#include "tests/support/test_window.h"
#include "ui/ui.h"

namespace {

struct Item {
    std::string label;
    UINT id;
    bool operator==(const Item &o) const { return label == o.label && id == o.id; }
};
void PrintTo(const Item &item, std::ostream *os) {
    *os << '"' << item.label << "\" " << item.id;
}

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

// Walks the popups named in `path`, " > " between them, from `menu`; NULL if one is missing.
HMENU popupAt(HMENU menu, const std::string &path) {
    for (size_t from = 0, end = 0; menu != NULL && end != std::string::npos && !path.empty();
         from = end + 3) {
        end = path.find(" > ", from);
        menu = popupNamed(menu, path.substr(from, end - from).c_str());
    }
    return menu;
}

// The whole menu as the operator's tables give it, every label and command id typed here:
// a wrong number in resource.h, or a make row out of place, changes an id or an order.
TEST(MenuResource, TheMenuHasTheTypedEntriesAndCommands) {
    const UINT Popup = (UINT)-1;  // GetMenuItemID of an entry that opens a submenu
    std::vector<std::pair<std::string, std::vector<Item>>> typed = {
        {"",
         {{"&File", Popup},
          {"Setup Port", Popup},
          {"Pump 1", Popup},
          {"Pump 2", Popup},
          {"Reader 1", Popup},
          {"Reader2", Popup},
          {"&Help", Popup}}},
        {"&File", {{"Download Files", 32801}, {"E&xit", 105}}},
        {"Setup Port", {{"Com Port", Popup}, {"Baud Rate", Popup}}},
        {"Setup Port > Com Port",
         {{"Com 1", 32806}, {"Com 2", 32807}, {"Com 3", 32808}, {"Com 4", 32809}}},
        {"Setup Port > Baud Rate",
         {{"19200", 32810}, {"9600", 32811}, {"4800", 32812}, {"2400", 32813}}},
        {"&Help", {{"&About ...", 104}}},
    };
    // The make menus, a row per entry in menu order: its command in each (0: not there). Typed
    // as the menus should be, not read from makes.def: a new make is a row here too.
    const char *MakeMenus[] = {"Pump 1", "Pump 2", "Reader 1", "Reader2"};
    const struct {
        const char *label;
        UINT id[4];
    } Makes[] = {
        // clang-format off
        // label            Pump 1  Pump 2  Reader 1  Reader2
        {"Wayne/Dresser",   {32771, 32780,  32789,    32796}},
        {"Gilbarco",        {32772, 32781,  32790,    32797}},
        {"Tokheim",         {32773, 32782,  32793,    32798}},
        {"Schlumberger",    {32774, 32783,  32794,    32799}},
        {"Kraus",           {32775, 32784,  0,        0}},
        {"Bennett",         {32776, 32785,  0,        0}},
        {"Tatsuno",         {32777, 32786,  0,        0}},
        {"Deer (LTS)",      {32778, 32787,  0,        0}},
        {"Nuovo",           {32779, 32788,  0,        0}},
        {"Dong Hwa",        {32815, 32816,  0,        0}},
        {"DART",            {32818, 32819,  0,        0}},
        {"Mechanical",      {32814, 32817,  0,        0}},
        {"Tavro Generic",   {32791, 32792,  32795,    32800}},
        {"Select",          {32802, 32803,  32804,    32805}},
        // clang-format on
    };
    for (int m = 0; m < 4; m++) {
        std::vector<Item> items;
        for (const auto &make : Makes) {
            if (make.id[m] != 0) {
                items.push_back({make.label, make.id[m]});
            }
        }
        typed.push_back({MakeMenus[m], items});
    }

    HMODULE program = LoadLibraryExA(MARVANE_EXE, NULL, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, program) << MARVANE_EXE;
    HMENU menu = LoadMenuA(program, MAKEINTRESOURCEA(IDR_MAINMENU));
    ASSERT_NE(nullptr, menu);
    for (const auto &popup : typed) {
        HMENU at = popupAt(menu, popup.first);
        ASSERT_NE(nullptr, at) << popup.first;
        EXPECT_EQ(popup.second, itemsOf(at)) << popup.first;
    }
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
