// The stand-in's message queue, one per thread: posted messages, the quit flag, timers and
// the WM_PAINT and WM_TIMER messages made up when nothing was posted, in the Windows order
// (posted, quit, paint, timer), and the waits for new input. Windows are windows.cpp's.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <deque>
#include <vector>

#include "platform/standin_internal.h"
#include "platform/standin_test.h"

static const UINT USER_TIMER_MINIMUM = 10;  // ms: shorter periods are raised to it
static const UINT USER_TIMER_MAXIMUM = 0x7fffffff;
static const size_t POSTED_LIMIT = 10000;  // a queue holds this many posted messages
static const DWORD ERROR_NOT_ENOUGH_QUOTA = 1816;
static const HWND THREAD_ONLY = (HWND)(LONG_PTR)-1;  // filter: thread messages only

struct Timer {
    HWND window;
    UINT_PTR id;
    UINT period;
    TIMERPROC proc;
    uint64_t due;
};

struct ThreadQueue {
    std::deque<MSG> posted;
    BYTE quit;
    int quitCode;
    std::vector<Timer> timers;
    BYTE newInput;      // something arrived since the last look into the queue
    uint64_t lastLook;  // when the thread last looked (Peek or Get)
    UINT_PTR nextThreadTimer;
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

void messagesReset() {
    Queue.posted.clear();
    Queue.timers.clear();
    Queue.quit = 0;
    Queue.quitCode = 0;
    Queue.newInput = 0;
    Queue.lastLook = 0;
}

static void fillMessage(MSG *msg, HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    msg->hwnd = window;
    msg->message = message;
    msg->wParam = wParam;
    msg->lParam = lParam;
    msg->time = GetTickCount();
    msg->pt.x = 0;
    msg->pt.y = 0;
}

static BYTE windowMatches(HWND messageWindow, HWND filter) {
    if (filter == NULL) {
        return 1;
    }
    if (filter == THREAD_ONLY) {
        return messageWindow == NULL;
    }
    return messageWindow != NULL && windowIsOrIsChildOf(messageWindow, filter);
}

static BYTE rangeMatches(UINT message, UINT first, UINT last) {
    if (first == 0 && last == 0) {
        return 1;
    }
    if (first > last) {
        return 1;  // an inverted range lets everything through, as on Windows
    }
    return message >= first && message <= last;
}

// Looks into the queue in the Windows order. 1: *msg is the message, 0: nothing,
// -1: the window filter names no window.
static int look(MSG *msg, HWND filter, UINT first, UINT last, BYTE remove) {
    if (filter != NULL && filter != THREAD_ONLY && !windowAlive(filter)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    uint64_t now = clockNow();
    Queue.newInput = 0;
    Queue.lastLook = now;

    for (std::deque<MSG>::iterator it = Queue.posted.begin(); it != Queue.posted.end(); ++it) {
        if (windowMatches(it->hwnd, filter) && rangeMatches(it->message, first, last)) {
            *msg = *it;
            if (remove) {
                Queue.posted.erase(it);
            }
            return 1;
        }
    }
    if (Queue.quit) {
        // WM_QUIT passes any filter, but only once nothing posted is left for it.
        fillMessage(msg, NULL, WM_QUIT, (WPARAM)Queue.quitCode, 0);
        if (remove) {
            Queue.quit = 0;
        }
        return 1;
    }
    if (rangeMatches(WM_PAINT, first, last) && filter != THREAD_ONLY) {
        HWND window = windowNeedingPaint(filter);
        if (window != NULL) {
            fillMessage(msg, window, WM_PAINT, 0, 0);  // stays until the window is painted
            return 1;
        }
    }
    if (rangeMatches(WM_TIMER, first, last)) {
        Timer *due = NULL;
        for (size_t i = 0; i < Queue.timers.size(); i++) {
            Timer &timer = Queue.timers[i];
            if (timer.due <= now && windowMatches(timer.window, filter) &&
                (due == NULL || timer.due < due->due)) {
                due = &timer;
            }
        }
        if (due != NULL) {
            fillMessage(msg, due->window, WM_TIMER, due->id, (LPARAM)due->proc);
            if (remove) {
                // Missed periods are not made up: one message, then a full period.
                due->due = now + due->period;
            }
            return 1;
        }
    }
    return 0;
}

// Waits until input arrives that was not there at the last look, or until timeoutMs has
// passed (INFINITE: no limit). 1: new input, 0: time-out.
static BYTE waitForInput(DWORD timeoutMs) {
    uint64_t start = clockNow();
    uint64_t deadline = timeoutMs == INFINITE ? UINT64_MAX : start + timeoutMs;
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
        uint64_t until = nextTimer < deadline ? nextTimer : deadline;
        if (clockIsVirtual()) {
            uint64_t delivery = peerNextDelivery();
            if (delivery > now && delivery < until) {
                until = delivery;
            }
        }
        if (until == UINT64_MAX) {
            fprintf(stderr, "stand-in: the thread waits for a message that nothing can send\n");
            for (;;) {
                pause();
            }
        }
        clockWaitUntil(until);
    }
}

BOOL WINAPI PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (window != NULL && !windowAlive(window)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (Queue.posted.size() >= POSTED_LIMIT) {
        SetLastError(ERROR_NOT_ENOUGH_QUOTA);
        return FALSE;
    }
    MSG msg;
    fillMessage(&msg, window, message, wParam, lParam);
    Queue.posted.push_back(msg);
    Queue.newInput = 1;
    return TRUE;
}

BOOL WINAPI PeekMessageA(LPMSG msg, HWND window, UINT filterMin, UINT filterMax, UINT removeFlags) {
    MSG found;
    if (look(&found, window, filterMin, filterMax, (removeFlags & PM_REMOVE) != 0) != 1) {
        return FALSE;
    }
    if (msg != NULL) {
        *msg = found;
    }
    return TRUE;
}

BOOL WINAPI GetMessageA(LPMSG msg, HWND window, UINT filterMin, UINT filterMax) {
    MSG found;
    for (;;) {
        int got = look(&found, window, filterMin, filterMax, 1);
        if (got == -1) {
            return -1;
        }
        if (got == 1) {
            break;
        }
        waitForInput(INFINITE);
    }
    if (msg != NULL) {
        *msg = found;
    }
    return found.message != WM_QUIT;
}

BOOL WINAPI WaitMessage(void) {
    waitForInput(INFINITE);
    return TRUE;
}

DWORD WINAPI MsgWaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL waitAll,
                                       DWORD milliseconds, DWORD wakeMask) {
    (void)handles;
    (void)waitAll;
    if (count != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);  // only the form without handles exists here
        return WAIT_FAILED;
    }
    if (wakeMask == 0) {
        Sleep(milliseconds);
        return WAIT_TIMEOUT;
    }
    return waitForInput(milliseconds) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

BOOL WINAPI TranslateMessage(const MSG *msg) {
    // Only key messages are translated; there is no keyboard here to make characters.
    if (msg == NULL) {
        return FALSE;
    }
    UINT m = msg->message;
    return m == 0x0100 || m == 0x0101 || m == 0x0104 || m == 0x0105;
}

LRESULT WINAPI DispatchMessageA(const MSG *msg) {
    if (msg == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (msg->message == WM_TIMER && msg->lParam != 0) {
        // A timer with its own procedure: called only while that timer still exists.
        for (size_t i = 0; i < Queue.timers.size(); i++) {
            Timer &timer = Queue.timers[i];
            if (timer.window == msg->hwnd && timer.id == msg->wParam &&
                (LPARAM)timer.proc == msg->lParam) {
                TIMERPROC proc = timer.proc;
                proc(msg->hwnd, WM_TIMER, msg->wParam, GetTickCount());
                return 0;
            }
        }
        return 0;
    }
    if (msg->hwnd == NULL) {
        return 0;  // a thread message has no window to go to
    }
    WNDPROC proc = windowProcedure(msg->hwnd);
    if (proc == NULL) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return proc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

void WINAPI PostQuitMessage(int exitCode) {
    Queue.quit = 1;
    Queue.quitCode = exitCode;
    Queue.newInput = 1;
}

UINT_PTR WINAPI SetTimer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC proc) {
    if (window != NULL && !windowAlive(window)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (elapse < USER_TIMER_MINIMUM) {
        elapse = USER_TIMER_MINIMUM;
    }
    if (elapse > USER_TIMER_MAXIMUM) {
        elapse = USER_TIMER_MAXIMUM;
    }
    uint64_t due = clockNow() + elapse;
    for (size_t i = 0; i < Queue.timers.size(); i++) {
        Timer &timer = Queue.timers[i];
        if (timer.window == window && timer.id == id && (window != NULL || id != 0)) {
            // The same timer again: new period and procedure, counted from now.
            timer.period = elapse;
            timer.proc = proc;
            timer.due = due;
            return window != NULL ? (id != 0 ? id : 1) : id;
        }
    }
    Timer timer = {window, id, elapse, proc, due};
    if (window == NULL) {
        // A thread timer gets an id of the system's choosing.
        timer.id = 0x7fff - (Queue.nextThreadTimer++ % 0x7000);
    }
    Queue.timers.push_back(timer);
    if (window == NULL) {
        return timer.id;
    }
    return id != 0 ? id : 1;
}

BOOL WINAPI KillTimer(HWND window, UINT_PTR id) {
    if (window != NULL && !windowAlive(window)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    for (std::vector<Timer>::iterator it = Queue.timers.begin(); it != Queue.timers.end(); ++it) {
        if (it->window == window && it->id == id) {
            Queue.timers.erase(it);
            return TRUE;
        }
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}
