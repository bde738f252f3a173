// marvane-send: the window program's "Download Files" from a command line, over the same
// link, protocol and run modules. What its pieces share: main.cpp reads the options and
// checks the files, host.cpp hosts the run and reports it, console_*.cpp is per system.
#pragma once

#include "platform/winapi.h"
#include "run/slots.h"

// Exit statuses.
const int EXIT_SENT = 0;
const int EXIT_STEP_FAILED = 1;
const int EXIT_BAD_INPUT = 2;
const int EXIT_PORT_FAILED = 3;

// The slots as the operator calls them, in slot order.
extern const char *const SlotLabels[SLOT_COUNT];

// host.cpp: the hidden window that hosts the tick timer and takes the progress-bar
// messages and the step repaints in place of the main window and its bar.
HWND createHost(HINSTANCE instance);  // 0 if no window could be made
// quiet: nothing on standard output; bar: a progress bar on it (a terminal).
void setReporting(BYTE quiet, BYTE bar);
// How the port is named in messages ("COM1", "COM1 (/dev/ttyUSB0)").
void setPortDescription(const char *description);
// Runs runDownload with the ticks on the host and returns the exit status.
int runAndReport(HWND host);

// console_posix.cpp / console_win.cpp.
BYTE consoleIsTerminal();  // standard output
BYTE consoleChangeDirectory(const char *dir);
BYTE consoleHasDevices();  // --device is offered (Linux)
void consoleMapDevice(int portNumber, const char *path);
