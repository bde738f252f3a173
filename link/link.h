// The serial link and everything timed: the port settings, the COM port, the receive ring,
// the 10 ms tick countdown and the cooperative waits that keep the window alive while the
// protocol waits for the device. The link moves bytes and knows no frame: the wire's control
// characters below are named here, at the bottom of the stack, for the protocol and the
// suites that build on it.
#pragma once

#include "platform/winapi.h"

// Control characters of the wire protocol.
const BYTE STX = 0x02;
const BYTE ETX = 0x03;
const BYTE ENQ = 0x05;
const BYTE ACK = 0x06;
const BYTE NAK = 0x15;
const BYTE CAN = 0x18;

// The tick timer: id 10000, one tick every 10 ms.
const UINT_PTR TICK_TIMER_ID = 10000;
const UINT TICK_PERIOD_MS = 10;
// A wait for one answer byte gives up after 150 ticks, nominally 1.5 s.
const int ANSWER_TIMEOUT_TICKS = 150;

const int RECEIVE_RING_SIZE = 1000;

struct LinkSettingsData {
    int portNumber;  // 1 to 4 from the menu (to 256 from the console), becomes "COM%d"
    int baudRate;
};

struct ReceiveRingData {
    BYTE bytes[RECEIVE_RING_SIZE];
    int writeIndex;  // 0 to 999
    int readIndex;   // 0 to 999
    int count;       // unread bytes, never more than RECEIVE_RING_SIZE
};

extern LinkSettingsData LinkSettings;  // COM 1, 9600 baud until the menu changes them
extern ReceiveRingData ReceiveRing;
extern HANDLE SerialLink;     // 0 before the first run, INVALID_HANDLE_VALUE when closed
extern int TickCountdown;     // ticks left in the current wait
extern BYTE lastReceived;     // the byte the last successful waitForByte took
extern BYTE LinkQuitPending;  // a quit message was seen inside a wait (and posted again)
extern DWORD LinkLostError;   // the system's error when the port went away this run, else 0

void startTicks(HWND window);
void stopTicks(HWND window);
void onTick(WPARAM timerId);
// A window procedure that passes WM_TIMER to onTick and everything else to DefWindowProcA,
// and a never-shown window of it for startTicks, for a program without a main window of
// its own (marvane-send, the suites). 0 if the window could not be made (GetLastError says why).
LRESULT CALLBACK tickWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
HWND createTickWindow(HINSTANCE instance);

void setPort(int portNumber);
void setBaud(int baudRate);

// Opens and sets up the port for a run. A port that cannot be opened, configured or given
// its time-outs is reported to the run's listener (portFailed) with one of three texts
// and the system's error.
BYTE openLink(BYTE byteSize, BYTE parity);
// What openLink changes in the port's DCB as read: the settings' rate, byteSize, parity,
// one stop bit and the flag bits of the line.
void applyLinkSettings(DCB *dcb, BYTE byteSize, BYTE parity);
BYTE closeLink();
void writeByte(BYTE value);
void pollPort();
BYTE takeByte(BYTE *out);
BYTE waitForByte();
void delayTicks(int ticks);
void pumpOneMessage();
// The program is quitting: a quit message was seen inside a wait, the window that hosts the
// ticks is gone (Exit, or the window closed), a stop was asked for, or the port went away
// and Policy.stopsWhenLost says to stop. Nothing more is sent, and no wait runs its course
// any more but the wait for an answer after a stop (linkClosing).
BYTE linkQuitting();
// As linkQuitting, but not for a stop asked for (unless asked for now): only then may
// waitForByte still run its course, so that the answer to a frame already on the wire is taken.
BYTE linkClosing();
// Asks the run to stop, for good (an interrupt at the console): nothing more is sent, but the
// answer to the frame in flight is still waited for. Safe to call from a signal handler or
// from another thread.
void requestStop();
// The same at once (a second interrupt): the frame being written stops where it is and no
// answer is waited for any more. As safe as requestStop; linkStoppedNow says it was asked.
void requestStopNow();
BYTE linkStoppedNow();
// The errors a write or read gives when the port itself is gone, not a byte lost.
BYTE portGoneError(DWORD systemError);
// The port went away and, by Policy.stopsWhenLost, the run stops for it.
BYTE linkLost();
