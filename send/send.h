// marvane-send: the window program's "Download Files" from a command line, over the same
// link, protocol and run modules. What its pieces share: main.cpp reads the options and
// checks the files, report.cpp prints what the run tells it, console_*.cpp is per system.
#pragma once

#include "platform/winapi.h"
#include "events/events.h"
#include "run/slots.h"

// Exit statuses.
const int EXIT_SENT = 0;
const int EXIT_STEP_FAILED = 1;
const int EXIT_BAD_INPUT = 2;
const int EXIT_PORT_FAILED = 3;
const int EXIT_INTERNAL = 4;       // marvane-send could not set itself up
const int EXIT_INTERRUPTED = 130;  // Ctrl+C, SIGTERM, a console control event

// report.cpp: the run's front end at the console.
enum ReportStyle {
    REPORT_LINES,  // a line per transfer as it starts and ends
    REPORT_QUIET,  // failures only
    REPORT_JSON,   // one JSON object per event on standard output
};
struct ReportSettings {
    ReportStyle style;
    BYTE verbose;          // each block's answer and every retry
    BYTE bar;              // 1: a bar redrawn in place (a terminal); 2: its last state as a line
    int transfers;         // transfers the run will make, for the summary
    const char *portName;  // "COM1", "COM12"
    const char *portText;  // as messages name it: "COM1 (/dev/ttyUSB0)", or the name alone
    const char *device;    // what that name opens here ("/dev/ttyUSB0"), or 0
};

// The transfer in flight: which step, since when, its blocks and how the current block's
// sends were answered.
struct ReportTransfer {
    int slot;
    int pass;
    char name[SLOT_NAME_SIZE];
    FileId fileId;
    FileType fileType;
    DWORD startMs;
    DWORD size;
    int blocks;          // -1 until the file has been read
    int blocksSent;      // blocks the device has taken
    int sends;           // frames of blocks sent, resends included
    int answered;        // of those, the ones the device answered
    int naks, silences;  // of the current block's sends
};

// The run's listener at the console, and all it keeps of a run: reset when a run starts.
struct ConsoleReport {
    RunListener listener;  // give &report.listener to the run
    ReportSettings settings;
    BYTE barShown;  // the terminal's line holds the bar: the next text clears it first
    DWORD runStartMs;
    BYTE runStarted;
    BYTE portFailed;  // the port could not be set up: nothing went out
    ReportTransfer current;
    BYTE inStep;
    ReportTransfer failed;  // the transfer that ended the run, when one failed
    TransferResult failedResult;
    BYTE haveFailed;
    int transfersSent;  // for the summary
    DWORD bytesSent;
    double wireSeconds;
};
void initReport(ConsoleReport *report, const ReportSettings *settings);
// After runDownload: the closing lines and the exit status.
int finishReport(ConsoleReport *report, BYTE ok);
// Prints a message with the one prefix, on standard error.
void complain(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// console_posix.cpp / console_win.cpp.
BYTE consoleIsTerminal();  // standard output
BYTE consoleChangeDirectory(const char *dir);
// The folder the images are read from, for messages.
void consoleCurrentDirectory(char *out, int size);
BYTE consoleHasDevices();  // --device is offered (Linux)
// What COMn opens here: the device --device named, else the system's own.
void consoleMapDevice(int portNumber, const char *path);
BYTE consoleDeviceOf(int portNumber, char *out, int size);  // 0: named by number only
// What "access denied" for a port means here, with what to do about it.
const char *consoleAccessDenied();
// The serial ports the system has, one per line; 0 when it has none to tell.
int consoleListPorts();
// Another file in the folder whose name differs from `name` only in case ("" if none).
BYTE consoleCaseTwin(const char *name, char *twin, int size);
// Ctrl+C and the like: the first asks the run to stop, the second ends the program.
void consoleCatchInterrupts();
BYTE consoleInterrupted();
