// The six file slots of a run, their markers, and the driver file catalog that the menus
// choose from. The data lives for the whole process; nothing is saved.
#pragma once

#include "platform/winapi.h"
#include "resources/resource.h"

// Display order and run order alike.
enum SlotIndex { SLOT_POS, SLOT_PC_CC, SLOT_PUMP1, SLOT_PUMP2, SLOT_READER1, SLOT_READER2 };
const int SLOT_COUNT = 6;
const int SLOT_NAME_SIZE = 500;  // 499 characters and the terminator

// The character shown between brackets: ' ' no file, '-' waiting, 'S' sending,
// '1'/'2' PC_CC first/second pass, 'D' done, 'E' failed, 'e' PC_CC first pass failed.
typedef char SlotMarker;
const SlotMarker MARK_EMPTY = ' ';
const SlotMarker MARK_WAITING = '-';
const SlotMarker MARK_SENDING = 'S';
const SlotMarker MARK_PASS1 = '1';
const SlotMarker MARK_PASS2 = '2';
const SlotMarker MARK_DONE = 'D';
const SlotMarker MARK_FAILED = 'E';
const SlotMarker MARK_PASS1_FAILED = 'e';

struct ImageSlot {
    char name[SLOT_NAME_SIZE];  // empty (first character 0): no file selected
    SlotMarker marker;
};

extern ImageSlot Slots[SLOT_COUNT];
// The slots as the operator calls them, in slot order.
extern const char *const SlotLabels[SLOT_COUNT];

// Loads catalog entry catalogId (a string id) into the slot's name and marks it '-'. The
// catalog is the driver file names the pump and reader menus choose from: exactly the
// entries the rows of resources/makes.def name (run/makes.h), texts in the string table.
// Only the pump and reader slots take a selection, and only from the catalog.
void selectFile(int slot, UINT catalogId);
