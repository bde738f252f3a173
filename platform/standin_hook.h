// The stand-in's one seam for the test doubles of tests/support/ (virtual clock, in-process
// device, recordings): while a hook is set, time, COM ports and what is drawn or shown go
// through it. The program never includes this header; nothing here exists on Windows.
#pragma once

#include <stdint.h>

#include "platform/winapi.h"

struct StandinHook {
    uint64_t (*now)(void);             // milliseconds on the clock in use
    void (*waitUntil)(uint64_t when);  // lets that clock reach `when`
    // An in-process device in place of the tty behind COMn. portOpen: 1 opened, 0 no device
    // there (the tty is opened), -1 taken. Reads take what has arrived by now; -1 from a
    // read and 0 from a write: the device is gone.
    int (*portOpen)(int comNumber);
    int (*portRead)(int comNumber, BYTE *buffer, DWORD room);
    uint64_t (*portNextArrival)(int comNumber);  // 0: nothing on its way
    BYTE (*portWrite)(int comNumber, BYTE value);
    void (*portSet)(int comNumber, const DCB *dcb);
    void (*portClose)(int comNumber);
    // Told of every DrawTextA, InvalidateRect and MessageBoxA.
    void (*drawn)(HWND window, LPCSTR text, int length, const RECT *rect, UINT format);
    void (*invalidated)(HWND window, const RECT *rect, BOOL erase);
    void (*shown)(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
    // For the reliability suites; each may be NULL. Whether a device takes its settings
    // (what = 0) or time-outs (what = 1): 0 refuses them, as a driver refuses what it cannot
    // take. Told of every modem-line call on a device. How much of a disk file's read to
    // deliver (a file that shrank between its size and its read).
    BYTE (*portTakes)(int comNumber, int what);
    void (*portEscape)(int comNumber, DWORD function);
    DWORD (*fileReadRoom)(DWORD toRead);
};

// NULL: the system's clock and ttys, nothing told. The hook must outlive its use.
void standinSetHook(const StandinHook *hook);
// Forgets every window, class, timer and queued message: a fresh thread for the next test.
void standinForget(void);
