// What the program drew, invalidated and showed in message boxes, as the suites see it: the
// program's calls of DrawTextA, InvalidateRect and MessageBoxA reach recordings.cpp on their
// way to the stand-in (linked with GNU ld's --wrap). Native suites only.
#pragma once

#include "platform/winapi.h"

// Forgets everything recorded so far.
void standinClearRecordings();

// Text drawn by DrawTextA, in order.
struct StandinDrawnText {
    HWND window;     // the window whose paint context drew it
    char text[512];  // as drawn (cut at 511 characters)
    RECT rect;       // the rectangle passed in
    UINT format;
};
int standinDrawnCount();
const StandinDrawnText *standinDrawn(int index);
void standinClearDrawn();

// Message boxes, in order. The stand-in's MessageBoxA writes them to standard error and
// returns IDOK.
struct StandinMessageBox {
    HWND owner;
    char text[512];
    char caption[128];
    UINT type;
};
int standinMessageBoxCount();
const StandinMessageBox *standinMessageBox(int index);

// InvalidateRect calls, in order.
struct StandinInvalidation {
    HWND window;
    BOOL whole;  // rect was NULL: the whole client area
    RECT rect;   // as passed when not whole
    BOOL erase;
};
int standinInvalidationCount();
const StandinInvalidation *standinInvalidation(int index);
