// What the stand-in's sources share among themselves: the clock, the handle table, the COM
// ports and the window bookkeeping the queue needs. Neither the program nor the tests
// include it.
#pragma once

#include <stdint.h>

#include "platform/standin_clock.h"
#include "platform/winapi.h"

// Error codes the stand-in leaves in GetLastError; the program reads none of them.
const DWORD ERROR_INVALID_HANDLE = 6;
const DWORD ERROR_INVALID_PARAMETER = 87;
const DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
const DWORD ERROR_CANNOT_FIND_WND_CLASS = 1407;
const DWORD ERROR_CLASS_ALREADY_EXISTS = 1410;
void setLastError(DWORD error);

// Kernel objects behind handles: image files and COM ports (ttys).
enum StandinHandleKind { HANDLE_FILE = 1, HANDLE_TTY = 2 };
struct StandinHandle {
    int kind;
    int fd;
    COMMTIMEOUTS timeouts;
    DCB dcb;  // the last settings the program gave (what termios does not hold)
};
HANDLE handleAdd(const StandinHandle &handle);
StandinHandle *handleGet(HANDLE handle);  // NULL (and ERROR_INVALID_HANDLE) when invalid

// COM ports, from CreateFileA, ReadFile, WriteFile and CloseHandle.
HANDLE serialOpen(int comNumber);
BOOL serialRead(StandinHandle *port, BYTE *buffer, DWORD toRead, DWORD *read);
BOOL serialWrite(StandinHandle *port, const BYTE *buffer, DWORD toWrite, DWORD *written);
void serialClose(StandinHandle *port);

// Windows, for the queue.
BYTE windowAlive(HWND window);
WNDPROC windowProcedure(HWND window);
HWND windowNeedingPaint();  // the first shown window with an invalid region

// The queue, for the window code.
void messagesNewInput();               // something arrived: wakes a wait for input
void messagesDropWindow(HWND window);  // posted messages and timers of a dying window
