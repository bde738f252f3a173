// The suites' doubles for the stand-in: a virtual clock linked in place of the stand-in's own
// (platform/standin_clock.h), and a device on a COM port behind a pty made in process, whose
// bytes that clock carries. Native suites only; the stand-in itself knows none of it.
#pragma once

#include "platform/winapi.h"

// Goes back to the real clock and detaches every device, dropping what was on their lines.
// Call it at the start of each test.
void standinReset();

// Virtual time: GetTickCount and the timers follow a clock that stands still while the
// thread works and, whenever the thread would block for a message (GetMessageA,
// MsgWaitForMultipleObjects) with nothing queued, jumps to the next due timer. Timeouts then
// cost no real time.
void standinUseVirtualClock(BOOL on);
DWORD standinNow();  // milliseconds on the clock in use
// Moves the virtual clock forward until GetTickCount reads ms (it may wrap past 2^32 on
// the way); never backward.
void standinSetVirtualTime(DWORD ms);

// A device on COMn (n = 1 to 9), on the virtual clock: MARVANE_COMn names a pty made here,
// which the stand-in opens like any tty. Each time the clock waits, every byte the program
// has written is handed to onByte (at the time it was written: the clock stood still), and
// what the device sends with standinPeerSend becomes readable once its delay has passed, in
// order of sending (a byte never overtakes one sent before it). Attaching drops whatever
// was on the line; a NULL peer detaches.
struct StandinPeer {
    void (*onByte)(void *context, BYTE value);
    void *context;
};
void standinAttachPeer(int comNumber, const StandinPeer *peer);
void standinPeerSend(int comNumber, const BYTE *bytes, int length, DWORD delayMs);
// Hands the device what the program wrote since the clock last waited: before a suite looks
// at what the device got. Called from inside onByte, it does nothing.
void standinPeerHear(int comNumber);
