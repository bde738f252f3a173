// What the stand-in's sources share among themselves: the clock in use, the per-thread
// message wake-up, the handle table and the in-process ports. Neither the program nor the
// tests include it; they see only winapi.h and standin_test.h.
#pragma once

#include <stdint.h>

#include "platform/winapi.h"

// The clock: milliseconds on a 64-bit line, so that due times never wrap; GetTickCount
// hands out the low 32 bits. The real clock is CLOCK_MONOTONIC; the virtual one stands
// still until something moves it.
uint64_t clockNow();
BYTE clockIsVirtual();
// Lets time pass until the clock reads `when`: a real sleep, or a jump on virtual time.
void clockWaitUntil(uint64_t when);
uint64_t realClockNow();
void clockReset();

// Handles to kernel objects: files, devices and in-process ports.
enum StandinHandleKind { HANDLE_FILE = 1, HANDLE_SERIAL = 2, HANDLE_PEER = 3 };
struct StandinHandle {
    int kind;
    int fd;         // files and serial devices
    int comNumber;  // in-process ports
    DWORD access;   // GENERIC_READ / GENERIC_WRITE
    BYTE isTty;     // a read of 0 bytes is "nothing yet" on a tty, the end elsewhere
    COMMTIMEOUTS timeouts;
    DCB dcb;  // the last settings the program gave (what termios does not hold)
    BYTE dcbSet;
};
HANDLE handleAdd(const StandinHandle &handle);
StandinHandle *handleGet(HANDLE handle);  // NULL (and ERROR_INVALID_HANDLE) when invalid
void handleRemove(HANDLE handle);

// Serial ports, from CreateFileA and the file calls.
BYTE serialNameNumber(LPCSTR name, int *comNumber);  // "COMn", "COMn:", "\\.\COMn"
HANDLE serialOpen(int comNumber, DWORD access);
BOOL serialRead(StandinHandle *port, BYTE *buffer, DWORD toRead, DWORD *read);
BOOL serialWrite(StandinHandle *port, const BYTE *buffer, DWORD toWrite, DWORD *written);
BOOL serialClose(StandinHandle *port);

// The earliest time a peer byte becomes readable (0: none pending): a wait on virtual time
// may jump there.
uint64_t peerNextDelivery();
void peerReset();

// Windows, for the message and painting code.
BYTE windowAlive(HWND window);
BYTE windowIsOrIsChildOf(HWND window, HWND ancestor);
WNDPROC windowProcedure(HWND window);
// Windows with an invalid region, in creation order (parents before their children).
HWND windowNeedingPaint(HWND filter);
void windowsReset();
// Adds to a window's update region (NULL rect: the whole client area; NULL window: every
// window) and takes it away again for BeginPaint, which gets the region and erase flag.
BYTE windowInvalidate(HWND window, const RECT *rect, BOOL erase);
BYTE windowTakeUpdate(HWND window, RECT *update, BYTE *erase);

// The thread's queue, for the window code.
void messagesNewInput();               // something arrived: wakes WaitMessage
void messagesDropWindow(HWND window);  // posted messages and timers of a dying window
void messagesReset();

// Recordings of the painting calls.
void paintReset();
