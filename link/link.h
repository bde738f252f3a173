// The serial link and everything timed: the port settings, the COM port, the receive ring,
// the 10 ms tick countdown and the cooperative waits that keep the window alive while the
// protocol waits for the device. What goes over the wire is the protocol's business.
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
    int portNumber;  // 1 to 4, becomes "COM%d"
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

void startTicks(HWND window);
void stopTicks(HWND window);
void onTick(WPARAM timerId);

void setPort(int portNumber);
void setBaud(int baudRate);

BYTE openLink(BYTE byteSize, BYTE parity);
// Tells the operator why the port could not be opened or set up (one of openLink's three
// texts). The window program's is the message box of port_error_box.cpp; a console program
// defines its own, and the linker then leaves that file out of the archive.
void showPortError(LPCSTR text);
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
// The program is quitting: a quit message was seen inside a wait, or the window that hosts
// the ticks is gone (Exit, or the window closed). No wait can run its course any more.
BYTE linkQuitting();
