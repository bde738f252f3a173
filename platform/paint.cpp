// The stand-in's painting and message boxes: InvalidateRect, BeginPaint/EndPaint, DrawTextA
// and MessageBoxA, each recorded for the tests. Nothing is drawn anywhere; update regions
// live with the windows in windows.cpp.
#include <stdio.h>
#include <string.h>

#include <vector>

#include "platform/standin_internal.h"
#include "platform/standin_test.h"

static std::vector<StandinDrawnText> Drawn;
static std::vector<StandinMessageBox> MessageBoxes;
static std::vector<StandinInvalidation> Invalidations;

// A paint context belongs to one window from BeginPaint to EndPaint. Values are never
// reused, so a context kept past EndPaint stays invalid.
struct PaintContext {
    HDC dc;
    HWND window;
};
static std::vector<PaintContext> Contexts;
static uintptr_t NextContext = 0x20010;

static const int LINE_HEIGHT = 16;  // pixels a line of the system font takes

void paintReset() {
    Drawn.clear();
    MessageBoxes.clear();
    Invalidations.clear();
    Contexts.clear();
}

static void copyCut(char *to, size_t room, const char *from, size_t length) {
    if (length > room - 1) {
        length = room - 1;
    }
    memcpy(to, from, length);
    to[length] = 0;
}

BOOL WINAPI InvalidateRect(HWND window, const RECT *rect, BOOL erase) {
    StandinInvalidation record;
    memset(&record, 0, sizeof record);
    record.window = window;
    record.whole = rect == NULL;
    if (rect != NULL) {
        record.rect = *rect;
    }
    record.erase = erase;
    Invalidations.push_back(record);
    return windowInvalidate(window, rect, erase) ? TRUE : FALSE;
}

HDC WINAPI BeginPaint(HWND window, LPPAINTSTRUCT paint) {
    if (paint == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    RECT update;
    BYTE erase = 0;
    if (!windowTakeUpdate(window, &update, &erase)) {
        return NULL;
    }
    PaintContext context = {(HDC)NextContext, window};
    NextContext += 4;
    Contexts.push_back(context);
    memset(paint, 0, sizeof *paint);
    paint->hdc = context.dc;
    paint->rcPaint = update;
    if (erase) {
        // The window erases its own background; if it does not, the painter must.
        paint->fErase = SendMessageA(window, WM_ERASEBKGND, (WPARAM)context.dc, 0) == 0;
    }
    return context.dc;
}

static PaintContext *contextOf(HDC dc) {
    for (size_t i = 0; i < Contexts.size(); i++) {
        if (Contexts[i].dc == dc) {
            return &Contexts[i];
        }
    }
    return NULL;
}

BOOL WINAPI EndPaint(HWND window, const PAINTSTRUCT *paint) {
    (void)window;
    if (paint == NULL) {
        return FALSE;
    }
    for (size_t i = 0; i < Contexts.size(); i++) {
        if (Contexts[i].dc == paint->hdc) {
            Contexts.erase(Contexts.begin() + (long)i);
            break;
        }
    }
    return TRUE;  // Windows' EndPaint always succeeds
}

int WINAPI DrawTextA(HDC dc, LPCSTR text, int length, LPRECT rect, UINT format) {
    PaintContext *context = contextOf(dc);
    if (context == NULL || text == NULL || rect == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t size = length < 0 ? strlen(text) : (size_t)length;
    StandinDrawnText record;
    memset(&record, 0, sizeof record);
    record.window = context->window;
    copyCut(record.text, sizeof record.text, text, size);
    record.rect = *rect;
    record.format = format;
    Drawn.push_back(record);
    int lines = 1;
    if (!(format & DT_SINGLELINE)) {
        for (size_t i = 0; i < size; i++) {
            lines += text[i] == '\n';
        }
    }
    return lines * LINE_HEIGHT;
}

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    if (text == NULL) {
        text = "";
    }
    if (caption == NULL) {
        caption = "Error";  // Windows' caption when none is given
    }
    fprintf(stderr, "%s: %s\n", caption, text);
    StandinMessageBox record;
    memset(&record, 0, sizeof record);
    record.owner = owner;
    copyCut(record.text, sizeof record.text, text, strlen(text));
    copyCut(record.caption, sizeof record.caption, caption, strlen(caption));
    record.type = type;
    MessageBoxes.push_back(record);
    return IDOK;
}

int standinDrawnCount() {
    return (int)Drawn.size();
}

const StandinDrawnText *standinDrawn(int index) {
    return index >= 0 && index < (int)Drawn.size() ? &Drawn[index] : NULL;
}

void standinClearDrawn() {
    Drawn.clear();
}

int standinMessageBoxCount() {
    return (int)MessageBoxes.size();
}

const StandinMessageBox *standinMessageBox(int index) {
    return index >= 0 && index < (int)MessageBoxes.size() ? &MessageBoxes[index] : NULL;
}

int standinInvalidationCount() {
    return (int)Invalidations.size();
}

const StandinInvalidation *standinInvalidation(int index) {
    return index >= 0 && index < (int)Invalidations.size() ? &Invalidations[index] : NULL;
}
