// The status display: the port settings and one line per file slot with its marker, drawn
// top-left in the paint context's default font and colours. The data is link/ and run/'s.
#include "ui/ui.h"

#include "link/link.h"
#include "run/slots.h"

// Each line is formatted into a buffer of this size.
const int LINE_SIZE = 100;
// Longest name that still fits: the longest fixed text ("[x] POS file            =>   ")
// is 29 characters, so 64 leaves room. Catalog names are at most 12 characters; anything
// longer is shown cut, never written past the buffer.
const int SHOWN_NAME_MAX = 64;

// Left edge and first top, in pixels from the client area's corner; the slot lines start
// one blank line below the port line and follow 25 pixels apart.
const int LINE_LEFT = 50;
const int PORT_LINE_TOP = 25;
const int FIRST_SLOT_GAP = 50;
const int SLOT_LINE_GAP = 25;

static const char *const SlotFormats[SLOT_COUNT] = {
    "[%c] POS file            =>   %s", "[%c] PC_CC file       =>   %s",
    "[%c] Pump 1 file      =>   %s",    "[%c] Pump 2 file      =>   %s",
    "[%c] Reader 1 file   =>   %s",     "[%c] Reader 2 file   =>   %s",
};

static LPCSTR portName(int portNumber) {
    switch (portNumber) {
        case 1:
            return "Com 1";
        case 2:
            return "Com 2";
        case 3:
            return "Com 3";
        case 4:
            return "Com 4";
        default:
            return "No Port";
    }
}

// Copies at most SHOWN_NAME_MAX characters of name, so the formatted line cannot overflow.
static void copyShownName(char *shown, const char *name) {
    int length = 0;
    while (length < SHOWN_NAME_MAX && name[length] != 0) {
        shown[length] = name[length];
        length++;
    }
    shown[length] = 0;
}

void paintStatus(HWND window) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);

    RECT lineRect;
    GetClientRect(window, &lineRect);
    lineRect.left += LINE_LEFT;
    lineRect.top += PORT_LINE_TOP;

    char line[LINE_SIZE];
    // The rate takes five places, right-aligned: ( 9600), (19200).
    wsprintfA(line, "    Port Settings    =>   %s (%5d)", portName(LinkSettings.portNumber),
              LinkSettings.baudRate);
    DrawTextA(dc, line, -1, &lineRect, 0);

    for (int slot = 0; slot < SLOT_COUNT; slot++) {
        lineRect.top += slot == 0 ? FIRST_SLOT_GAP : SLOT_LINE_GAP;
        char shown[SHOWN_NAME_MAX + 1];
        copyShownName(shown, Slots[slot].name);
        wsprintfA(line, SlotFormats[slot], Slots[slot].marker, shown);
        DrawTextA(dc, line, -1, &lineRect, 0);
    }

    EndPaint(window, &paint);
}
