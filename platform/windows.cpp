// The stand-in's windows: classes, creation and destruction, the default window procedure,
// SendMessageA, client rectangles, painting and message boxes. Nothing is drawn anywhere;
// every window is top-level (the progress bar, the program's one child, is made only on
// Windows) and is shown from its creation or never. Queues and timers are messages.cpp's.
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

struct WindowRecord {
    BYTE alive;
    BYTE visible;  // WS_VISIBLE: only shown windows are painted
    WNDPROC proc;
    RECT client;
    BYTE invalid;  // the whole client area is to be painted: the program repaints no less
    BYTE erase;
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

HWND windowNeedingPaint() {
    for (size_t i = 0; i < Windows.size(); i++) {
        if (Windows[i].alive && Windows[i].invalid && Windows[i].visible) {
            return handleOfIndex(i);
        }
    }
    return NULL;
}

// ----- painting

// The program invalidates the client area it measured at start-up, or all of it: either way
// the whole client area is painted again.
BOOL WINAPI InvalidateRect(HWND window, const RECT * /*rect*/, BOOL erase) {
    WindowRecord *record = windowOf(window);
    if (record == NULL) {
        return FALSE;
    }
    record->invalid = 1;
    record->erase |= erase ? 1 : 0;
    messagesNewInput();
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
        paint->rcPaint = record->client;
    }
    record->invalid = 0;
    record->erase = 0;
    return paint->hdc;
}

BOOL WINAPI EndPaint(HWND /*window*/, const PAINTSTRUCT * /*paint*/) {
    return TRUE;  // Windows' EndPaint always succeeds
}

int WINAPI DrawTextA(HDC /*dc*/, LPCSTR /*text*/, int /*length*/, RECT * /*rect*/,
                     UINT /*format*/) {
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

int WINAPI MessageBoxA(HWND /*owner*/, LPCSTR text, LPCSTR caption, UINT /*type*/) {
    fprintf(stderr, "%s: %s\n", caption, text);
    return 1;  // IDOK: the box is dismissed at once
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
    if (findClass(windowClass->lpszClassName) != NULL) {
        setLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    WindowClass added = {windowClass->lpszClassName, windowClass->lpfnWndProc};
    Classes.push_back(added);
    return (ATOM)(FIRST_ATOM + Classes.size() - 1);
}

HWND WINAPI CreateWindowExA(DWORD /*exStyle*/, LPCSTR className, LPCSTR /*title*/, DWORD style,
                            int /*x*/, int /*y*/, int width, int height, HWND /*parent*/,
                            HMENU /*menu*/, HINSTANCE /*instance*/, void * /*param*/) {
    WindowClass *found = findClass(className);
    if (found == NULL) {
        setLastError(ERROR_CANNOT_FIND_WND_CLASS);
        return NULL;
    }
    WindowRecord record;
    memset(&record, 0, sizeof record);
    record.alive = 1;
    record.proc = found->proc;
    record.client.right = width > 0 ? width : 0;
    record.client.bottom = height > 0 ? height : 0;
    // A window coming into view gets painted.
    record.visible = record.invalid = record.erase = (style & WS_VISIBLE) != 0;
    Windows.push_back(record);
    messagesNewInput();
    return handleOfIndex(Windows.size() - 1);
}

BOOL WINAPI DestroyWindow(HWND window) {
    WindowRecord *record = windowOf(window);
    if (record == NULL) {
        return FALSE;
    }
    SendMessageA(window, WM_DESTROY, 0, 0);
    messagesDropWindow(window);  // its timers and queued messages go with it
    windowOf(window)->alive = 0;
    return TRUE;
}

BOOL WINAPI IsWindow(HWND window) {
    return windowAlive(window) ? TRUE : FALSE;
}

LRESULT WINAPI DefWindowProcA(HWND window, UINT message, WPARAM /*wParam*/, LPARAM /*lParam*/) {
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
