// The stand-in's windows: classes, creation and destruction with their messages, the
// default window procedure, SendMessageA, client rectangles, update regions and the
// built-in progress bar. Queues and timers are messages.cpp's; drawing is paint.cpp's.
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <string>
#include <vector>

#include "platform/standin_internal.h"
#include "platform/standin_test.h"

// The one module there is; any fixed non-null value will do.
static const HINSTANCE ThisModule = (HINSTANCE)(uintptr_t)0x400000;

struct WindowClass {
    std::string name;
    WNDPROC proc;
    HINSTANCE instance;
    BYTE stale;  // registered before the last standinReset: may be registered again
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

static WindowRecord *windowOf(HWND window) {
    uintptr_t value = (uintptr_t)window;
    if (value < WINDOW_BASE || (value - WINDOW_BASE) % WINDOW_STRIDE != 0) {
        return NULL;
    }
    size_t index = (value - WINDOW_BASE) / WINDOW_STRIDE;
    if (index >= Windows.size() || !Windows[index].alive) {
        return NULL;
    }
    return &Windows[index];
}

BYTE windowAlive(HWND window) {
    return windowOf(window) != NULL;
}

BYTE windowIsOrIsChildOf(HWND window, HWND ancestor) {
    for (int depth = 0; window != NULL && depth < 1000; depth++) {
        if (window == ancestor) {
            return 1;
        }
        WindowRecord *record = windowOf(window);
        if (record == NULL) {
            return 0;
        }
        window = record->parent;
    }
    return 0;
}

WNDPROC windowProcedure(HWND window) {
    WindowRecord *record = windowOf(window);
    return record != NULL ? record->proc : NULL;
}

// Shown, and every window above it shown too.
static BYTE windowShown(HWND window) {
    for (int depth = 0; window != NULL && depth < 1000; depth++) {
        WindowRecord *record = windowOf(window);
        if (record == NULL || !record->visible) {
            return 0;
        }
        window = record->parent;
    }
    return 1;
}

HWND windowNeedingPaint(HWND filter) {
    for (size_t i = 0; i < Windows.size(); i++) {
        if (Windows[i].alive && Windows[i].invalid && windowShown(handleOfIndex(i)) &&
            (filter == NULL || windowIsOrIsChildOf(handleOfIndex(i), filter))) {
            return handleOfIndex(i);
        }
    }
    return NULL;
}

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
    if (!record->invalid) {
        record->update = area;
    } else {
        record->update.left = area.left < record->update.left ? area.left : record->update.left;
        record->update.top = area.top < record->update.top ? area.top : record->update.top;
        record->update.right =
            area.right > record->update.right ? area.right : record->update.right;
        record->update.bottom =
            area.bottom > record->update.bottom ? area.bottom : record->update.bottom;
    }
    record->invalid = 1;
    if (erase) {
        record->erase = 1;
    }
    messagesNewInput();
}

BYTE windowInvalidate(HWND window, const RECT *rect, BOOL erase) {
    if (window == NULL) {
        // As on Windows: every window is invalidated and repainted.
        for (size_t i = 0; i < Windows.size(); i++) {
            if (Windows[i].alive) {
                addToUpdate(&Windows[i], NULL, erase);
            }
        }
        return 1;
    }
    WindowRecord *record = windowOf(window);
    if (record == NULL) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    addToUpdate(record, rect, erase);
    return 1;
}

BYTE windowTakeUpdate(HWND window, RECT *update, BYTE *erase) {
    WindowRecord *record = windowOf(window);
    if (record == NULL) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (record->invalid) {
        *update = record->update;
    } else {
        memset(update, 0, sizeof *update);
    }
    *erase = record->erase;
    record->invalid = 0;
    record->erase = 0;
    return 1;
}

// ----- the progress bar

static void coercePosition(ProgressState *bar) {
    if (bar->pos < bar->low) {
        bar->pos = bar->low;
    }
    if (bar->pos > bar->high) {
        bar->pos = bar->high;
    }
}

static LRESULT setRange(HWND window, ProgressState *bar, int low, int high) {
    LRESULT previous = (LRESULT)(DWORD)MAKELONG(bar->low, bar->high);
    if (bar->low != low || bar->high != high) {
        bar->low = low;
        bar->high = high;
        coercePosition(bar);
        windowInvalidate(window, NULL, TRUE);
    }
    return previous;
}

static LRESULT CALLBACK progressProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    WindowRecord *record = windowOf(window);
    if (record == NULL) {
        return 0;
    }
    ProgressState *bar = &record->progress;
    int previous = bar->pos;
    switch (message) {
        case PBM_SETRANGE:
            return setRange(window, bar, LOWORD(lParam), HIWORD(lParam));
        case PBM_SETRANGE32:
            return setRange(window, bar, (int)wParam, (int)lParam);
        case PBM_GETRANGE:
            if (lParam != 0) {
                PBRANGE *range = (PBRANGE *)lParam;
                range->iLow = bar->low;
                range->iHigh = bar->high;
            }
            return wParam ? bar->low : bar->high;
        case PBM_SETPOS:
            bar->pos = (int)wParam;
            coercePosition(bar);
            break;
        case PBM_DELTAPOS:
            bar->pos += (int)wParam;
            coercePosition(bar);
            break;
        case PBM_SETSTEP: {
            int step = bar->step;
            bar->step = (int)wParam;
            return step;
        }
        case PBM_STEPIT:
            // Past either end the bar starts over from the other, keeping the overshoot.
            if (bar->low != bar->high) {
                int span = bar->high - bar->low;
                bar->pos += bar->step;
                if (bar->pos > bar->high) {
                    bar->pos = (bar->pos - bar->low) % span + bar->low;
                }
                if (bar->pos < bar->low) {
                    bar->pos = (bar->pos - bar->low) % span + bar->high;
                }
            }
            break;
        case PBM_GETPOS:
            return bar->pos;
        default:
            return DefWindowProcA(window, message, wParam, lParam);
    }
    if (bar->pos != previous) {
        windowInvalidate(window, NULL, TRUE);
    }
    return previous;
}

// ----- classes

static WindowClass *findClass(LPCSTR name) {
    if ((uintptr_t)name < 0x10000) {
        size_t index = (size_t)((uintptr_t)name - FIRST_ATOM);
        return (uintptr_t)name >= FIRST_ATOM && index < Classes.size() ? &Classes[index] : NULL;
    }
    for (size_t i = 0; i < Classes.size(); i++) {
        if (strcasecmp(Classes[i].name.c_str(), name) == 0) {
            return &Classes[i];
        }
    }
    return NULL;
}

HMODULE WINAPI GetModuleHandleA(LPCSTR name) {
    if (name != NULL) {
        SetLastError(126u);  // ERROR_MOD_NOT_FOUND: there are no other modules
        return NULL;
    }
    return ThisModule;
}

ATOM WINAPI RegisterClassExA(const WNDCLASSEXA *windowClass) {
    if (windowClass == NULL || windowClass->cbSize != sizeof(WNDCLASSEXA) ||
        windowClass->lpszClassName == NULL || (uintptr_t)windowClass->lpszClassName < 0x10000) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    WindowClass *existing = findClass(windowClass->lpszClassName);
    if (existing != NULL && !existing->stale) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    if (strcasecmp(windowClass->lpszClassName, PROGRESS_CLASSA) == 0) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    if (existing != NULL) {
        existing->proc = windowClass->lpfnWndProc;
        existing->instance = windowClass->hInstance;
        existing->stale = 0;
        return (ATOM)(FIRST_ATOM + (existing - &Classes[0]));
    }
    WindowClass added;
    added.name = windowClass->lpszClassName;
    added.proc = windowClass->lpfnWndProc;
    added.instance = windowClass->hInstance;
    added.stale = 0;
    Classes.push_back(added);
    return (ATOM)(FIRST_ATOM + Classes.size() - 1);
}

// ----- creation and destruction

HWND WINAPI CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR title, DWORD style, int x,
                            int y, int width, int height, HWND parent, HMENU menu,
                            HINSTANCE instance, LPVOID param) {
    WNDPROC proc = NULL;
    if (className != NULL && (uintptr_t)className >= 0x10000 &&
        strcasecmp(className, PROGRESS_CLASSA) == 0) {
        proc = progressProcedure;
    } else {
        WindowClass *found = className != NULL ? findClass(className) : NULL;
        if (found == NULL) {
            SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
            return NULL;
        }
        proc = found->proc;
    }
    if (parent != NULL && !windowAlive(parent)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return NULL;
    }
    if ((style & WS_CHILD) && parent == NULL) {
        SetLastError(ERROR_TLW_WITH_WSCHILD);
        return NULL;
    }
    if (proc == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    // CW_USEDEFAULT asks the system for a size; any reasonable one will do.
    if (width == CW_USEDEFAULT) {
        width = 640;
        height = 480;
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

    CREATESTRUCTA create;
    create.lpCreateParams = param;
    create.hInstance = instance;
    create.hMenu = menu;
    create.hwndParent = parent;
    create.cy = height;
    create.cx = width;
    create.y = y;
    create.x = x;
    create.style = (LONG)style;
    create.lpszName = title;
    create.lpszClass = className;
    create.dwExStyle = exStyle;
    if (!SendMessageA(window, WM_NCCREATE, 0, (LPARAM)&create) ||
        SendMessageA(window, WM_CREATE, 0, (LPARAM)&create) == -1) {
        // The window refused to be made: it goes as any window goes.
        DestroyWindow(window);
        return NULL;
    }
    if (!windowAlive(window)) {
        return NULL;  // it destroyed itself while being made
    }
    if (style & WS_VISIBLE) {
        ShowWindow(window, SW_SHOW);
    }
    return window;
}

static void sendDestroy(HWND window) {
    WindowRecord *record = windowOf(window);
    if (record == NULL) {
        return;
    }
    record->destroying = 1;
    SendMessageA(window, WM_DESTROY, 0, 0);
    for (size_t i = 0; i < Windows.size(); i++) {
        if (Windows[i].alive && !Windows[i].destroying && Windows[i].parent == window) {
            sendDestroy(handleOfIndex(i));
        }
    }
}

static void freeWindow(HWND window) {
    for (size_t i = 0; i < Windows.size(); i++) {
        if (Windows[i].alive && Windows[i].parent == window) {
            freeWindow(handleOfIndex(i));
        }
    }
    if (windowOf(window) == NULL) {
        return;
    }
    SendMessageA(window, WM_NCDESTROY, 0, 0);
    messagesDropWindow(window);  // its timers and queued messages go with it
    WindowRecord *record = windowOf(window);
    if (record != NULL) {
        record->alive = 0;
        record->invalid = 0;
    }
}

BOOL WINAPI DestroyWindow(HWND window) {
    WindowRecord *record = windowOf(window);
    if (record == NULL) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (record->destroying) {
        return TRUE;  // already on its way (DestroyWindow from its own WM_DESTROY)
    }
    // The window hears WM_DESTROY before its children do; WM_NCDESTROY comes last, after
    // the children are gone.
    sendDestroy(window);
    freeWindow(window);
    return TRUE;
}

BOOL WINAPI IsWindow(HWND window) {
    return windowAlive(window) ? TRUE : FALSE;
}

BOOL WINAPI ShowWindow(HWND window, int command) {
    WindowRecord *record = windowOf(window);
    if (record == NULL) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    BOOL was = record->visible ? TRUE : FALSE;
    record->visible = command != SW_HIDE;
    if (record->visible && !was) {
        windowInvalidate(window, NULL, TRUE);  // a window coming into view gets painted
    }
    return was;
}

BOOL WINAPI UpdateWindow(HWND window) {
    WindowRecord *record = windowOf(window);
    if (record == NULL) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    // Paints at once, past the queue, when there is anything to paint.
    if (record->invalid && windowShown(window)) {
        SendMessageA(window, WM_PAINT, 0, 0);
    }
    return TRUE;
}

BOOL WINAPI GetClientRect(HWND window, LPRECT rect) {
    WindowRecord *record = windowOf(window);
    if (record == NULL || rect == NULL) {
        SetLastError(record == NULL ? ERROR_INVALID_WINDOW_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *rect = record->client;
    return TRUE;
}

LRESULT WINAPI DefWindowProcA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    (void)wParam;
    (void)lParam;
    switch (message) {
        case WM_NCCREATE:
            return TRUE;
        case WM_CLOSE:
            DestroyWindow(window);
            return 0;
        case WM_PAINT: {
            PAINTSTRUCT paint;
            if (BeginPaint(window, &paint) != NULL) {
                EndPaint(window, &paint);
            }
            return 0;
        }
        default:
            return 0;
    }
}

LRESULT WINAPI SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    WindowRecord *record = windowOf(window);
    if (record == NULL) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return record->proc(window, message, wParam, lParam);
}

void windowsReset() {
    for (size_t i = 0; i < Windows.size(); i++) {
        Windows[i].alive = 0;  // forgotten without a word, handles stay used up
    }
    for (size_t i = 0; i < Classes.size(); i++) {
        Classes[i].stale = 1;
    }
}

void standinReset() {
    windowsReset();
    messagesReset();
    paintReset();
    peerReset();
    clockReset();
}
