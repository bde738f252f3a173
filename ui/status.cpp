// The status display: the port settings and one line per file slot with its marker, each
// formatted apart from the painting, then drawn top-left in the paint context's default
// font and colours. The data is link/ and run/'s.
#include "ui/ui.h"

#include "link/link.h"
#include "run/slots.h"

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

// A slot line is "[x] <label> file", spaces, then "=>   <name>": the spaces line the arrows up
// in the system font. How many follow each slot's " file", in slot order.
static const int ArrowGaps[SLOT_COUNT] = {12, 7, 6, 6, 3, 3};
static const char GAP_SPACES[] = "            ";  // the widest gap
const int WIDEST_GAP = (int)sizeof GAP_SPACES - 1;

// Ports 1 to 4 by name; any other number shows "No Port".
static const char *const PortNames[] = {"Com 1", "Com 2", "Com 3", "Com 4"};
const int PORT_NAME_COUNT = 4;

static LPCSTR portName(int portNumber) {
    if (portNumber < 1 || portNumber > PORT_NAME_COUNT) {
        return "No Port";
    }
    return PortNames[portNumber - 1];
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

void formatStatusLine(int n, char line[STATUS_LINE_SIZE]) {
    if (n == 1) {
        // The rate takes five places, right-aligned: ( 9600), (19200).
        wsprintfA(line, "    Port Settings    =>   %s (%5d)", portName(LinkSettings.portNumber),
                  LinkSettings.baudRate);
    } else if (n >= 2 && n <= STATUS_LINE_COUNT) {
        const ImageSlot *slot = &Slots[n - 2];
        char shown[SHOWN_NAME_MAX + 1];
        copyShownName(shown, slot->name);
        const char *gap = GAP_SPACES + WIDEST_GAP - ArrowGaps[n - 2];
        wsprintfA(line, "[%c] %s file%s=>   %s", slot->marker, SlotLabels[n - 2], gap, shown);
    } else {
        line[0] = 0;
    }
}

void paintStatus(HWND window) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);

    RECT lineRect;
    GetClientRect(window, &lineRect);
    lineRect.left += LINE_LEFT;
    lineRect.top += PORT_LINE_TOP;
    for (int n = 1; n <= STATUS_LINE_COUNT; n++) {
        if (n > 1) {
            lineRect.top += n == 2 ? FIRST_SLOT_GAP : SLOT_LINE_GAP;
        }
        char line[STATUS_LINE_SIZE];
        formatStatusLine(n, line);
        DrawTextA(dc, line, -1, &lineRect, 0);
    }

    EndPaint(window, &paint);
}
