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
const int EXIT_NO_RECORD = 5;      // the run went as its summary says, but its record was lost
const int EXIT_INTERRUPTED = 130;  // Ctrl+C, SIGTERM, a console control event

// How marvane-send ended, as its record names it; each comes to one exit status.
enum RunEnd {
    RUN_OK,             // every file of the run sent
    RUN_FAILED,         // a step failed
    RUN_NO_ANSWER,      // the device stayed silent for all of --wait
    RUN_BAD_INPUT,      // options or files: nothing sent, the port untouched
    RUN_PORT_FAILED,    // the port could not be set up: nothing sent
    RUN_PORT_LOST,      // the port went away during the run
    RUN_INTERNAL,       // marvane-send could not set itself up
    RUN_INTERRUPTED,    // Ctrl+C and the like
    RUN_OUTPUT_CLOSED,  // standard output could no longer be written (its reader went)
    RUN_END_COUNT
};
int exitStatusOf(RunEnd end);
const char *runEndName(RunEnd end);  // "ok", "failed", ...

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
    int runBlocks;         // their blocks, for the time left
    const char *portName;  // "COM1", "COM12"
    const char *portText;  // as messages name it: "COM1 (/dev/ttyUSB0)", or the name alone
    const char *device;    // what that name opens here ("/dev/ttyUSB0"), or 0
    int waitSeconds;       // --wait: how long a silent device is waited for
};

// A transfer as the listeners follow it: which step, since when, its blocks and how they
// were answered.
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
    int resends;         // of those, the sends of a block after its first
    int answered;        // of those, the ones the device answered
    int naks, silences;  // of the current block's sends
    int headers;         // headers sent before one was answered (the device was silent)
    DWORD readMs;        // when the file was read and its first header went
    DWORD lastHeaderMs;  // when its last header went
};
// What both listeners note of a transfer, from its events.
void startTransfer(ReportTransfer *transfer, int slot, int pass, LPCSTR name, FileId fileId,
                   FileType fileType);
void noteFileRead(ReportTransfer *transfer, DWORD size, int blocks);
void noteHeaderRepeated(ReportTransfer *transfer, int sends);
// One send of a block and its answer, counted.
void tallyBlock(ReportTransfer *transfer, int attempt, FrameAnswer answer);
// What ended a failed transfer and where, with what to do about it (0: nothing to say).
void describeEnd(const ReportTransfer *transfer, const TransferResult *result, char *cause,
                 int causeSize, const char **hint);
// Seconds the device stayed silent to the transfer's headers: until it answered one, or, when
// it never did, until the transfer ended; 0 when it answered the first.
double deviceSilence(const ReportTransfer *transfer, const TransferResult *result);

// The run's listener at the console, and all it keeps of a run: reset when a run starts.
struct ConsoleReport {
    RunListener listener;  // give &report.listener to the run
    ReportSettings settings;
    BYTE barShown;  // the terminal's line holds the bar: the next text clears it first
    DWORD runStartMs;
    BYTE runStarted;
    BYTE portFailed;  // the port could not be set up: nothing went out
    BYTE portLost;    // the port went away during the run, which stopped
    ReportTransfer current;
    BYTE inStep;
    ReportTransfer failed;  // the transfer that ended the run, when one failed
    TransferResult failedResult;
    BYTE haveFailed;
    int blocksDone;     // of the transfers ended, for the time left
    int transfersSent;  // for the summary
    DWORD bytesSent;
    int resends;
    double wireSeconds;
    BYTE headerTried;  // the run's first header went: `waited` says how long it went unanswered
    double waited;
};
void initReport(ConsoleReport *report, const ReportSettings *settings);
// After runDownload: the closing lines, and how the run ended.
RunEnd finishReport(ConsoleReport *report, BYTE ok);
// Prints a message with the one prefix, on standard error. The first of a run is kept for
// its record.
void complain(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
extern char FirstComplaint[400];
// A problem with the options or files, said as complain says it and kept for the record: its
// stable code ("unknown-make"), what it concerns (an option, a variable or a file) and the
// message's first line.
void problem(const char *code, const char *subject, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;
struct Problem {
    const char *code;
    char subject[280];
    char message[400];
};
const int PROBLEMS_MAX = 16;
extern Problem Problems[PROBLEMS_MAX];
extern int ProblemCount;
// Standard output carries JSON lines only (--json), whatever is printed.
extern BYTE JsonOutput;
// Flushes standard output; a write that failed (its reader went away) stops the run as an
// interrupt would.
void flushOutput();

// record.cpp: the record of a run, for the log (--log) and --json's last line.
const int RECORD_STEPS = 7;  // the most transfers a run makes: every step, PC_CC twice
struct RecordStep {
    ReportTransfer transfer;  // its name: the file as found on disk
    char sha256[65];          // of the file's bytes as read, "" when it could not be read
    TransferEnd end;
    BYTE headerSent;  // a byte of it reached the controller
    char cause[160];  // for a failure
    double seconds;
    BYTE planned;  // --check: what would be sent, nothing of it sent
};
struct RunRecord {
    RunListener listener;  // give &record.listener to the run
    const char *mode;      // "send", "check", "list-makes", "list-ports", "help", "version"
    char started[24];      // when marvane-send started: UTC, ISO 8601
    const char *portName;  // "COM1"; 0 before the options are read
    const char *device;    // what it opens here, or 0
    int baud;
    int waitSeconds;  // --wait
    int transfers;    // the run's count
    BYTE runStarted;
    BYTE headerTried;  // as in ConsoleReport
    double waited;
    DWORD runStartMs;
    RecordStep steps[RECORD_STEPS];
    int stepCount;
    RunEnd end;
    const char *expectPath;  // --expect, and the list's own SHA-256
    char expectSha256[65];
    const char *station;  // --station, --operator, --note: as given, or 0
    const char *operatorName;
    const char *note;
    DWORD startMs;       // when marvane-send started, for the seconds of a record with no run
    char computer[256];  // the computer and the account the run went under
    char user[256];
};
// When marvane-send starts: its time, and nothing else known yet.
void initRecord(RunRecord *record);
// --check: a transfer the run would make, as the record's plan.
void recordPlanned(RunRecord *record, int slot, int pass, LPCSTR name, FileId fileId,
                   FileType fileType, DWORD size, const char sha256[65]);
// What the controller now holds of the run's transfers, as a technician reads it: "POS in
// full; PC_CC pass 1 in part (1 of 2 blocks); ...", and what to do.
void controllerLine(const RunRecord *record, char *out, int size);
// SHA-256 of the bytes as 64 hex digits, through the system's CryptoAPI; 0 if it failed.
BYTE sha256Hex(const BYTE *bytes, DWORD size, char out[65]);

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
// Another file in the folder whose name differs from `name` only in case ("" if none).
BYTE consoleCaseTwin(const char *name, char *twin, int size);
// The computer's name and the user account marvane-send runs under ("" where unknown).
void consoleWhoAndWhere(char *computer, int computerSize, char *user, int userSize);
// While a run is in progress the computer is kept from sleeping (Windows); 0 lets it go.
void consoleKeepAwake(BYTE on);
// `name` as its folder spells it: the system finds a file whatever the case of its name.
void consoleNameOnDisk(const char *name, char *out, int size);
// Which file a path names, as the system tells files apart however they are spelt (links,
// "..", case): its volume and its index there. 0 when it names no file that can be opened.
struct FileIdentity {
    unsigned long long volume;
    unsigned long long index;
};
BYTE consoleFileIdentity(const char *path, FileIdentity *identity);
// Ctrl+C and the like: the first asks the run to stop, the second ends the program. A write
// to standard output whose reader has gone fails (no signal ends the program) and asks the
// run to stop too.
void consoleCatchInterrupts();
// A stop was asked for from outside: an interrupt (a closed standard output is report.cpp's
// flushOutput's to find).
BYTE consoleInterrupted();
// Why a path could not be opened as a file, in words: "a folder", "not a regular file",
// "permission denied", else the system's error.
const char *consoleWhatIs(const char *path, DWORD systemError);
// The record is written and the port released: a console that is closing may go now.
void consoleFinished();
