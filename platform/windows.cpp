// The stand-in's windows: classes, creation and destruction, the default window procedure,
// SendMessageA, client rectangles, update regions and painting, the built-in progress bar
// and message boxes. Nothing is drawn anywhere.
// Queues and timers are messages.cpp's.
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <string>
#include <vector>

#include "platform/standin_internal.h"

// The one module there is; any fixed non-null value will do.
static const HINSTANCE ThisModule = (HINSTANCE)(uintptr_t)0x400000;

struct WindowClass {
    std::string name;
    WNDPROC proc;
};
static std::vector<WindowClass> Classes;
static const ATOM FIRST_ATOM = 0xC000;  // where Windows numbers registered classes

struct ProgressState {
    int low;
    int high;
    int pos;
    int step;
};

struct WindowRecord {
    BYTE alive;
    BYTE destroying;
    BYTE visible;  // WS_VISIBLE: only shown windows are painted
    HWND parent;
    WNDPROC proc;
    RECT client;
    BYTE invalid;
    BYTE erase;
    RECT update;
    ProgressState progress;
};
// Every window ever made, in creation order; a handle is its index, spread out so that
// handles look like Windows' and a destroyed one is never handed out again.
static std::vector<WindowRecord> Windows;
static const uintptr_t WINDOW_BASE = 0x10010;
static const uintptr_t WINDOW_STRIDE = 2;

static HWND handleOfIndex(size_t index) {
    return (HWND)(WINDOW_BASE + index * WINDOW_STRIDE);
}

// The live window behind a handle, or NULL with ERROR_INVALID_WINDOW_HANDLE.
static WindowRecord *windowOf(HWND window) {
    uintptr_t value = (uintptr_t)window;
    size_t index = (value - WINDOW_BASE) / WINDOW_STRIDE;
    if (value < WINDOW_BASE || (value - WINDOW_BASE) % WINDOW_STRIDE != 0 ||
        index >= Windows.size() || !Windows[index].alive) {
        setLastError(ERROR_INVALID_WINDOW_HANDLE);
        return NULL;
    }
    return &Windows[index];
}

BYTE windowAlive(HWND window) {
    return windowOf(window) != NULL;
}

WNDPROC windowProcedure(HWND window) {
    WindowRecord *record = windowOf(window);
    return record != NULL ? record->proc : NULL;
}

// Shown, and every window above it shown too.
static BYTE windowShown(HWND window) {
    for (WindowRecord *record = windowOf(window); record != NULL;
         record = windowOf(record->parent)) {
        if (!record->visible) {
            return 0;
        }
        if (record->parent == NULL) {
            return 1;
        }
    }
    return 0;
}

HWND windowNeedingPaint() {
    for (size_t i = 0; i < Windows.size(); i++) {
        if (Windows[i].alive && Windows[i].invalid && windowShown(handleOfIndex(i))) {
            return handleOfIndex(i);
        }
    }
    return NULL;
}

// ----- update regions and painting

static void addToUpdate(WindowRecord *record, const RECT *rect, BOOL erase) {
    RECT area = record->client;
    if (rect != NULL) {
        // Only the part inside the client area needs painting.
        area.left = rect->left > area.left ? rect->left : area.left;
        area.top = rect->top > area.top ? rect->top : area.top;
        area.right = rect->right < area.right ? rect->right : area.right;
        area.bottom = rect->bottom < area.bottom ? rect->bottom : area.bottom;
        if (area.left >= area.right || area.top >= area.bottom) {
            return;  // an empty rectangle invalidates nothing
        }
    }
    if (record->invalid) {
        area.left = area.left < record->update.left ? area.left : record->update.left;
        area.top = area.top < record->update.top ? area.top : record->update.top;
        area.right = area.right > record->update.right ? area.right : record->update.right;
        area.bottom = area.bottom > record->update.bottom ? area.bottom : record->update.bottom;
    }
    record->update = area;
    record->invalid = 1;
    record->erase |= erase ? 1 : 0;
    messagesNewInput();
}

BOOL WINAPI InvalidateRect(HWND window, const RECT *rect, BOOL erase) {
    WindowRecord *record = windowOf(window);
    if (record == NULL) {
        return FALSE;
    }
    addToUpdate(record, rect, erase);
    return TRUE;
}

// A paint context is the window's handle in disguise: DrawTextA needs to know whose it is.
HDC WINAPI BeginPaint(HWND window, PAINTSTRUCT *paint) {
    WindowRecord *record = windowOf(window);
    if (record == NULL) {
        return NULL;
    }
    memset(paint, 0, sizeof *paint);
    paint->hdc = (HDC)window;
    paint->fErase = record->erase;  // nobody erased the background: the painter must
    if (record->invalid) {
        paint->rcPaint = record->update;
    }
    record->invalid = 0;
    record->erase = 0;
    return paint->hdc;
}

BOOL WINAPI EndPaint(HWND window, const PAINTSTRUCT *paint) {
    (void)window;
    (void)paint;
    return TRUE;  // Windows' EndPaint always succeeds
}

int WINAPI DrawTextA(HDC dc, LPCSTR text, int length, RECT *rect, UINT format) {
    (void)dc;
    (void)text;
    (void)length;
    (void)rect;
    (void)format;
    return 16;  // the height of one line of the system font, in pixels
}

BOOL WINAPI GetClientRect(HWND window, RECT *rect) {
    WindowRecord *record = windowOf(window);
    if (record == NULL) {
        return FALSE;
    }
    *rect = record->client;
    return TRUE;
}

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    (void)owner;
    (void)type;
    fprintf(stderr, "%s: %s\n", caption, text);
    return 1;  // IDOK: the box is dismissed at once
}

// ----- the progress bar, with the messages the program sends it

static LRESULT CALLBACK progressProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    WindowRecord *record = windowOf(window);
    ProgressState *bar = &record->progress;
    int previous = bar->pos;
    switch (message) {
        case PBM_SETRANGE:
            previous = MAKELONG(bar->low, bar->high);
            bar->low = (int)LOWORD(lParam);
            bar->high = (int)(WORD)((UINT_PTR)lParam >> 16);
            break;
        case PBM_SETPOS:
            bar->pos = (int)wParam;
            break;
        case PBM_SETSTEP:
            previous = bar->step;
            bar->step = (int)wParam;
            return previous;
        case PBM_STEPIT:
            // Past the top the bar starts over from the bottom, keeping the overshoot.
            bar->pos += bar->step;
            if (bar->pos > bar->high && bar->high > bar->low) {
                bar->pos = (bar->pos - bar->low) % (bar->high - bar->low) + bar->low;
            }
            break;
        default:
            return DefWindowProcA(window, message, wParam, lParam);
    }
    bar->pos = bar->pos < bar->low ? bar->low : bar->pos > bar->high ? bar->high : bar->pos;
    if (bar->pos != previous || message == PBM_SETRANGE) {
        addToUpdate(record, NULL, TRUE);
    }
    return previous;
}

// ----- classes, creation and destruction

HMODULE WINAPI GetModuleHandleA(LPCSTR name) {
    return name == NULL ? ThisModule : NULL;  // there are no other modules
}

static WindowClass *findClass(LPCSTR name) {
    for (size_t i = 0; i < Classes.size(); i++) {
        if (strcasecmp(Classes[i].name.c_str(), name) == 0) {
            return &Classes[i];
        }
    }
    return NULL;
}

ATOM WINAPI RegisterClassExA(const WNDCLASSEXA *windowClass) {
    if (findClass(windowClass->lpszClassName) != NULL ||
        strcasecmp(windowClass->lpszClassName, PROGRESS_CLASSA) == 0) {
        setLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    WindowClass added = {windowClass->lpszClassName, windowClass->lpfnWndProc};
    Classes.push_back(added);
    return (ATOM)(FIRST_ATOM + Classes.size() - 1);
}

HWND WINAPI CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR title, DWORD style, int x,
                            int y, int width, int height, HWND parent, HMENU menu,
                            HINSTANCE instance, void *param) {
    (void)exStyle;
    (void)title;
    (void)x;
    (void)y;
    (void)menu;
    (void)instance;
    (void)param;
    WNDPROC proc = progressProcedure;
    if (strcasecmp(className, PROGRESS_CLASSA) != 0) {
        WindowClass *found = findClass(className);
        if (found == NULL) {
            setLastError(ERROR_CANNOT_FIND_WND_CLASS);
            return NULL;
        }
        proc = found->proc;
    }
    WindowRecord record;
    memset(&record, 0, sizeof record);
    record.alive = 1;
    record.parent = parent;
    record.proc = proc;
    record.client.right = width > 0 ? width : 0;
    record.client.bottom = height > 0 ? height : 0;
    record.progress.high = 100;
    record.progress.step = 10;
    Windows.push_back(record);
    HWND window = handleOfIndex(Windows.size() - 1);
    if (style & WS_VISIBLE) {
        ShowWindow(window, 5);  // SW_SHOW
    }
    return window;
}

BOOL WINAPI DestroyWindow(HWND window) {
    WindowRecord *record = windowOf(window);
    if (record == NULL) {
        return FALSE;
    }
    if (record->destroying) {
        return TRUE;  // already on its way (DestroyWindow from its own WM_DESTROY)
    }
    // The window hears WM_DESTROY before its children do; then they all go.
    record->destroying = 1;
    SendMessageA(window, WM_DESTROY, 0, 0);
    for (size_t i = 0; i < Windows.size(); i++) {
        if (Windows[i].alive && Windows[i].parent == window) {
            DestroyWindow(handleOfIndex(i));
        }
    }
    messagesDropWindow(window);  // its timers and queued messages go with it
    windowOf(window)->alive = 0;
    return TRUE;
}

BOOL WINAPI IsWindow(HWND window) {
    return windowAlive(window) ? TRUE : FALSE;
}

BOOL WINAPI ShowWindow(HWND window, int command) {
    WindowRecord *record = windowOf(window);
    if (record == NULL) {
        return FALSE;
    }
    BOOL was = record->visible ? TRUE : FALSE;
    record->visible = command != 0;  // SW_HIDE is 0
    if (record->visible && !was) {
        addToUpdate(record, NULL, TRUE);  // a window coming into view gets painted
    }
    return was;
}

BOOL WINAPI UpdateWindow(HWND window) {
    WindowRecord *record = windowOf(window);
    if (record == NULL) {
        return FALSE;
    }
    // Paints at once, past the queue, when there is anything to paint.
    if (record->invalid && windowShown(window)) {
        SendMessageA(window, WM_PAINT, 0, 0);
    }
    return TRUE;
}

LRESULT WINAPI DefWindowProcA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    (void)wParam;
    (void)lParam;
    if (message == WM_PAINT) {
        PAINTSTRUCT paint;  // validates the window: no endless WM_PAINT
        BeginPaint(window, &paint);
        EndPaint(window, &paint);
    }
    return 0;  // WM_COMMAND and the rest: nothing to do
}

LRESULT WINAPI SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    WindowRecord *record = windowOf(window);
    if (record == NULL) {
        return 0;
    }
    return record->proc(window, message, wParam, lParam);
}
