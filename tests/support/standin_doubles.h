// The stand-in's test doubles, plugged in through platform/standin_hook.h: what was drawn,
// invalidated and shown in message boxes, a virtual clock, and an in-process device on a
// COM port. Native tests only; the stand-in itself knows none of it.
#pragma once

#include "platform/winapi.h"

// Forgets every window, timer, queued message, recording and attached peer, and goes back
// to the real clock. Call it at the start of each test.
void standinReset();

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

// Message boxes, in order. MessageBoxA also writes them to standard error and returns IDOK.
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

// Virtual time: GetTickCount and the timers follow a clock that stands still while the
// thread works and, whenever the thread would block for a message (WaitMessage,
// GetMessageA, MsgWaitForMultipleObjects) with nothing queued, jumps to the next due timer
// or peer delivery. Timeouts then cost no real time.
void standinUseVirtualClock(BOOL on);
DWORD standinNow();  // milliseconds on the clock in use
// Moves the virtual clock forward until GetTickCount reads ms (it may wrap past 2^32 on
// the way); never backward.
void standinSetVirtualTime(DWORD ms);

// An in-process device on COMn (n = 1 to 4), for virtual-time tests and the fuzzer: once
// attached, CreateFileA("COMn") opens it instead of a real device. Every byte the program
// writes is handed to onByte at once; the peer answers with standinPeerSend, and the bytes
// become readable after the given delay on the clock in use (in order of sending: a byte
// never overtakes one sent before it). What is sent while the port is closed is lost, as
// on a line, and closing the port drops what was not yet read. A NULL peer detaches.
struct StandinPeer {
    void (*onByte)(void *context, BYTE value);
    void (*onOpen)(void *context);   // may be NULL
    void (*onClose)(void *context);  // may be NULL
    void *context;
};
void standinAttachPeer(int comNumber, const StandinPeer *peer);
void standinPeerSend(int comNumber, const BYTE *bytes, int length, DWORD delayMs);
// The line settings the program last set on an attached peer's port.
BOOL standinPeerDcb(int comNumber, DCB *dcb);

// Faults for the reliability suites. While on, SetCommState on an attached peer's port fails
// with ERROR_INVALID_PARAMETER and changes nothing, as for settings a driver refuses.
void standinFailCommState(int comNumber, BOOL on);
// The same for SetCommTimeouts.
void standinFailCommTimeouts(int comNumber, BOOL on);
// The next ReadFile on a disk file returns success with at most `bytes` bytes, as when the
// file shrank between its size being taken and its read. standinReset forgets it.
void standinShortenNextFileRead(DWORD bytes);
// EscapeCommFunction calls on an attached peer's port (SETDTR, SETRTS, ...), in order, since
// it was attached.
int standinPeerEscapeCount(int comNumber);
DWORD standinPeerEscape(int comNumber, int index);
