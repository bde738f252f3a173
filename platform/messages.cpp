// The stand-in's clock and message queue, one queue per thread: posted messages, the quit
// flag, window timers and the WM_PAINT and WM_TIMER messages made up when nothing was
// posted, in the Windows order (posted, quit, paint, timer), and the waits for input.
// Windows are windows.cpp's.
#include <errno.h>
#include <time.h>

#include <deque>
#include <vector>

#include "platform/standin_internal.h"

// ----- the clock: CLOCK_MONOTONIC, unless a suite links its own (weak, for that)

__attribute__((weak)) uint64_t clockNow() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t)now.tv_sec * 1000u + (uint64_t)now.tv_nsec / 1000000u;
}

__attribute__((weak)) void clockWaitUntil(uint64_t when) {
    uint64_t now = clockNow();
    if (when <= now) {
        return;
    }
    struct timespec left;
    left.tv_sec = (time_t)((when - now) / 1000u);
    left.tv_nsec = (long)((when - now) % 1000u) * 1000000L;
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

DWORD WINAPI GetTickCount(void) {
    return (DWORD)clockNow();  // wraps at 2^32 ms, as on Windows
}

void WINAPI Sleep(DWORD milliseconds) {
    clockWaitUntil(clockNow() + milliseconds);
}

// ----- the queue

struct Timer {
    HWND window;
    UINT_PTR id;
    UINT period;
    uint64_t due;
};

struct ThreadQueue {
    std::deque<MSG> posted;
    BYTE quit;
    int quitCode;
    std::vector<Timer> timers;
    BYTE newInput;      // something arrived since the last look into the queue
    uint64_t lastLook;  // when the thread last looked (Peek or Get)
};
static thread_local ThreadQueue Queue;

void messagesNewInput() {
    Queue.newInput = 1;
}

void messagesDropWindow(HWND window) {
    for (std::deque<MSG>::iterator it = Queue.posted.begin(); it != Queue.posted.end();) {
        it = it->hwnd == window ? Queue.posted.erase(it) : it + 1;
    }
    for (std::vector<Timer>::iterator it = Queue.timers.begin(); it != Queue.timers.end();) {
        it = it->window == window ? Queue.timers.erase(it) : it + 1;
    }
}

static void fillMessage(MSG *msg, HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    msg->hwnd = window;
    msg->message = message;
    msg->wParam = wParam;
    msg->lParam = lParam;
    msg->time = GetTickCount();
}

// Looks into the queue in the Windows order. 1: *msg is the message, 0: nothing. Every
// window and message, always: the program filters by neither.
static BYTE look(MSG *msg, BYTE remove) {
    uint64_t now = clockNow();
    Queue.newInput = 0;
    Queue.lastLook = now;
    if (!Queue.posted.empty()) {
        *msg = Queue.posted.front();
        if (remove) {
            Queue.posted.pop_front();
        }
        return 1;
    }
    if (Queue.quit) {
        fillMessage(msg, NULL, WM_QUIT, (WPARAM)Queue.quitCode, 0);
        if (remove) {
            Queue.quit = 0;
        }
        return 1;
    }
    HWND paint = windowNeedingPaint();
    if (paint != NULL) {
        fillMessage(msg, paint, WM_PAINT, 0, 0);  // stays until the window is painted
        return 1;
    }
    Timer *due = NULL;
    for (size_t i = 0; i < Queue.timers.size(); i++) {
        if (Queue.timers[i].due <= now && (due == NULL || Queue.timers[i].due < due->due)) {
            due = &Queue.timers[i];
        }
    }
    if (due == NULL) {
        return 0;
    }
    fillMessage(msg, due->window, WM_TIMER, due->id, 0);
    if (remove) {
        due->due = now + due->period;  // missed periods are not made up
    }
    return 1;
}

// Waits until input arrives that was not there at the last look, or until timeoutMs has
// passed (MAXDWORD: no limit). 1: new input, 0: time-out.
static BYTE waitForInput(DWORD timeoutMs) {
    uint64_t start = clockNow();
    uint64_t deadline = timeoutMs == MAXDWORD ? UINT64_MAX : start + timeoutMs;
    for (;;) {
        if (Queue.newInput) {
            return 1;
        }
        uint64_t now = clockNow();
        // A timer that comes due after the last look counts as new input.
        uint64_t nextTimer = UINT64_MAX;
        for (size_t i = 0; i < Queue.timers.size(); i++) {
            uint64_t due = Queue.timers[i].due;
            if (due > Queue.lastLook && due < nextTimer) {
                nextTimer = due;
            }
        }
        if (nextTimer <= now) {
            return 1;
        }
        if (now >= deadline) {
            return 0;
        }
        clockWaitUntil(nextTimer < deadline ? nextTimer : deadline);
    }
}

BOOL WINAPI PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (window != NULL && !windowAlive(window)) {
        setLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    MSG msg;
    fillMessage(&msg, window, message, wParam, lParam);
    Queue.posted.push_back(msg);
    Queue.newInput = 1;
    return TRUE;
}

BOOL WINAPI PeekMessageA(MSG *msg, HWND /*window*/, UINT /*filterMin*/, UINT /*filterMax*/,
                         UINT removeFlags) {
    return look(msg, (removeFlags & PM_REMOVE) != 0) ? TRUE : FALSE;
}

BOOL WINAPI GetMessageA(MSG *msg, HWND /*window*/, UINT /*filterMin*/, UINT /*filterMax*/) {
    while (!look(msg, 1)) {
        waitForInput(MAXDWORD);
    }
    return msg->message != WM_QUIT;
}

DWORD WINAPI MsgWaitForMultipleObjects(DWORD count, const HANDLE * /*handles*/, BOOL /*waitAll*/,
                                       DWORD milliseconds, DWORD /*wakeMask*/) {
    (void)count;  // always 0: no handles, only the thread's input
    return waitForInput(milliseconds) ? 0 /* WAIT_OBJECT_0 */ : 0x102 /* WAIT_TIMEOUT */;
}

BOOL WINAPI TranslateMessage(const MSG * /*msg*/) {
    return FALSE;  // only key messages are translated, and there is no keyboard here
}

LRESULT WINAPI DispatchMessageA(const MSG *msg) {
    WNDPROC proc = msg->hwnd != NULL ? windowProcedure(msg->hwnd) : NULL;
    if (proc == NULL) {
        return 0;  // a thread message, or a window gone since: nothing to call
    }
    return proc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

void WINAPI PostQuitMessage(int exitCode) {
    Queue.quit = 1;
    Queue.quitCode = exitCode;
    Queue.newInput = 1;
}

UINT_PTR WINAPI SetTimer(HWND window, UINT_PTR id, UINT elapse, void *proc) {
    (void)proc;  // always NULL: the timer's messages go to the window
    if (!windowAlive(window)) {
        setLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    uint64_t due = clockNow() + elapse;
    for (size_t i = 0; i < Queue.timers.size(); i++) {
        Timer &timer = Queue.timers[i];
        if (timer.window == window && timer.id == id) {
            timer.period = elapse;  // the same timer again: new period, counted from now
            timer.due = due;
            return id != 0 ? id : 1;
        }
    }
    Timer timer = {window, id, elapse, due};
    Queue.timers.push_back(timer);
    return id != 0 ? id : 1;
}

BOOL WINAPI KillTimer(HWND window, UINT_PTR id) {
    for (std::vector<Timer>::iterator it = Queue.timers.begin(); it != Queue.timers.end(); ++it) {
        if (it->window == window && it->id == id) {
            Queue.timers.erase(it);
            return TRUE;
        }
    }
    setLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}
