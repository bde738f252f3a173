// marvane-send: the window program's "Download Files" from a command line, over the same
// link, protocol and run modules. main.cpp reads the options, checks the files and says how
// the run ended; tally.cpp counts what the run tells, words.cpp says it, and the outputs read
// both: text.cpp, json.cpp (--json and the record) and trace.cpp. console_*.cpp is per system.
#pragma once

#include <stdio.h>

#include "platform/winapi.h"
#include "events/events.h"
#include "run/slots.h"

// Exit statuses (EXIT_SENT, ...) and how marvane-send ended, as its record names it
// (RUN_OK, ...), each ending coming to one status: the rows of send/exits.def.
#define EXIT_STATUS(status, name, words) const int EXIT_##name = status;
#define RUN_END(id, name, status)
#include "send/exits.def"
#undef EXIT_STATUS
#undef RUN_END
enum RunEnd {
#define EXIT_STATUS(status, name, words)
#define RUN_END(id, name, status) RUN_##id,
#include "send/exits.def"
#undef EXIT_STATUS
#undef RUN_END
};
int exitStatusOf(RunEnd end);
const char *runEndName(RunEnd end);  // "ok", "failed", ...

// What marvane-send was asked to do, as the options choose it.
enum RunMode { MODE_SEND, MODE_CHECK, MODE_LIST_MAKES, MODE_LIST_PORTS, MODE_HELP, MODE_VERSION };
const char *runModeName(RunMode mode);  // "send", "check", "list-makes", ...

// What main found out before the run, as the outputs and the record name it.
struct RunFacts {
    RunMode mode;
    char started[24];      // when marvane-send started: UTC, ISO 8601
    DWORD startMs;         // the same, for the seconds of a record with no run
    const char *portName;  // "COM1"; 0 before the options are read
    const char *portText;  // as messages name it: "COM1 (/dev/ttyUSB0)", or the name alone
    const char *device;    // what the name opens here ("/dev/ttyUSB0"), or 0
    int waitSeconds;       // --wait: how long a silent device is waited for
    int transfers;         // the transfers the run will make, and their blocks
    int blocks;
    const char *expectPath;  // --expect, and the list's own SHA-256
    char expectSha256[65];
    char computer[256], user[256];  // the run's computer and user account
    BYTE outputLost;  // standard output failed: its reader went, or it could not be written
    int outputError;  // errno of that write: EPIPE, or ENOSPC, EFBIG (a full disk, a size limit)
    BYTE traceLost;   // some of --trace could not be written: the run's evidence is not whole
    char run[17];     // the run's id, which its "began" line and its record both carry
    const struct SerialPortInfo *adapter;  // the USB adapter the port is, when known
};
extern RunFacts Facts;

// tally.cpp: the one count of a run, fed by its events before any output hears them.
struct Transfer {
    int slot, pass;
    char name[SLOT_NAME_SIZE];  // as the run names it
    FileId fileId;
    FileType fileType;
    DWORD size;
    int blocks;          // -1 until the file has been read
    int blocksSent;      // blocks the device took
    int sends, resends;  // block frames sent, and of those the sends after a block's first
    int answered;        // of those, the ones the device answered
    int naks, silences;  // of the current block's sends
    int headers;         // headers sent before one was answered (the device was silent)
    DWORD startMs, readMs, lastHeaderMs;
    BYTE ended, planned;      // planned: --check's plan, nothing of it sent
    BYTE heard, headerTaken;  // the device answered the transfer; its first answer was ACK
    TransferResult result;
    double seconds;
    char sha256[65];              // of the bytes as read, as the record keeps it
    char onDisk[SLOT_NAME_SIZE];  // the file's name as its folder spells it
    char checked[65];             // a file changed since the check: its SHA-256 then
};
const int RUN_TRANSFERS = 7;  // the most a run makes: every step, PC_CC twice
struct Tally {
    BYTE started;
    DWORD startMs;
    BYTE portFailed, portLost;
    Transfer transfers[RUN_TRANSFERS];
    int count;
    int sent;  // transfers sent whole, their bytes and resends, and the blocks of those ended
    DWORD bytes;
    int resends, blocksDone;
    double wireSeconds;  // what the sent transfers needed of the wire at the rate
    BYTE headerTried;    // the run's first header went: `waited` is how long it went unanswered
    double waited;
};
extern Tally Run;
RunListener *tallyListener();
Transfer *inFlight();                       // the transfer the run is at, or 0
const Transfer *failedTransfer();           // the one that ended the run, when one failed
const char *resultName(const Transfer *t);  // "done", ..., "changed": a file not as checked
// A transfer as the run starts it, and as --check plans it: named as its folder spells it.
Transfer *addTransfer(int slot, int pass, LPCSTR name, FileId fileId, FileType fileType);
RunEnd runEndOf(BYTE ok);  // how a run that has returned `ok` ended
// How what marvane-send shows without a run (a plan, a list) ended, that went as `end` says:
// cut short when standard output went.
RunEnd shownEndOf(RunEnd end);
double secondsSince(DWORD startMs);
// words.cpp: what ended a failed transfer and where, with what to do about it (0: nothing to say).
void describeEnd(const Transfer *transfer, char *cause, int causeSize, const char **hint);
extern const char *const SENDS;  // "five": a block's sends, spelt out
// What the system's error for a port means ("not found"), and what to do (0: the console says).
void describePort(DWORD systemError, const char **cause, const char **advice);
BYTE describeByte(BYTE value, char *out, int size);  // "ACK", "0x7E": 1 for a named one
// The index'th transfer a run makes with the slots as chosen (PC_CC twice), from the run's
// own table, with its pass and file id; 0 past the last.
struct StepInfo;
const StepInfo *plannedStep(int index, int *pass, FileId *fileId);
// What the controller holds of the index'th planned transfer: nothing (it acknowledged nothing
// of it, not even the header), part (the header and taken of blocks) or all of it; and the
// run's in one line a technician reads.
enum Holding { HOLDS_NOTHING, HOLDS_PART, HOLDS_ALL };
const char *holdingName(Holding holding);  // "untouched", "partial", "sent"
Holding holdingOf(int index, int *blocks, int *taken);
void controllerLine(char *out, int size);
// The index'th planned transfer (one there is) as `holds` and the closing words name it:
// "POS", "PC_CC pass 2".
void plannedName(int index, char *out, int size);

// text.cpp: lines for a person; in quiet and JSON output only the failures, on standard error.
RunListener *textListener(BYTE quiet, BYTE verbose, BYTE bar);  // bar 1: in place, 2: as lines
void sayEnd(RunEnd end);  // the closing words: the cause of a failure, then the summary
void sayShownCut();       // what was shown without a run is not whole: standard output went
// A message with the one prefix on standard error; the first is the record's "message".
void complain(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// A problem with the options or variables (problem) or with a file (fileProblem), said as
// complain says it and kept for the record with its stable code ("unknown-make") and the
// option, variable or file it concerns.
void problem(const char *code, const char *option, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;
void fileProblem(const char *code, const char *file, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;
struct Problem {
    char code[24];
    char subject[280];
    BYTE aboutFile;  // the subject is a file (or a stray argument), else an option or variable
    char message[400];
};
const int PROBLEMS_MAX = 16;
const Problem *problemAt(int index);  // what was said, in order; 0 past the last
const char *firstComplaint();         // the first line of the first message, "" if none
// main.cpp: flushes standard output; one that cannot be written any more stops the run.
void flushOutput();

// What marvane-send says outside a run, as the text output (text.cpp) or the JSON one
// (json.cpp) words it: one of them, chosen once as marvane-send starts.
struct Output;
struct OutputCalls {
    void (*opened)(Output *self);  // the first line: JSON says what the output is and who runs it
    // The run's listeners of this output on the fan: quiet, verbose and bar for the text.
    void (*addListeners)(Output *self, RunListenerFan *fan, BYTE quiet, BYTE verbose, BYTE bar);
    void (*help)(Output *self, const char *text);
    void (*version)(Output *self);
    void (*makesOf)(Output *self, const char *slot, const char *option);  // a slot's makes follow
    void (*make)(Output *self, const char *slot, const char *option, const char *key,
                 const char *label, const char *file);
    // A port, with the option that picks it; then how many there were.
    void (*port)(Output *self, const struct SerialPortInfo *port, const char *option);
    void (*portsListed)(Output *self, int count);
    void (*planStarted)(Output *self);  // --check's plan follows; every image as the list says
    void (*planSkipped)(Output *self, const char *slot);  // no make chosen
    void (*planned)(Output *self, int step, const Transfer *transfer);
    void (*portChecked)(Output *self);  // opened, set up and closed, nothing sent
    // An image against --expect: its line there and the SHA-256 it names (0: not listed).
    void (*expected)(Output *self, const char *file, const char *sha256, const char *listed,
                     int line, BYTE match);
    void (*controller)(Output *self);                // what the controller holds after a run
    void (*record)(Output *self, const char *line);  // the record: JSON's last line
};
struct Output {
    const OutputCalls *calls;
    BYTE keepsStandardOutput;  // no other file may be written there
};
Output *textOutput();
Output *outputFor(BYTE json);      // JSON lines with --json, else the text
void sayUsage(const char *usage);  // no options at all: the usage, on standard error

// json.cpp: --json's events and the record, which hashes the bytes each step read.
RunListener *jsonListener();
// The record as one line, naming the exit status main decided; printed as --json's last line.
const char *recordLine(RunEnd end, int status);
// What a run is about to send, and to where, when and by whom: the log's line that is all a
// run killed outright leaves. The image's size and SHA-256 as checked come from main.
const char *beganLine();
const char *checkedImage(int slot, DWORD *size);

// trace.cpp: every byte on the wire, decoded, to FILE (--trace), which stays the caller's.
RunListener *traceListener(FILE *file, const char *port);
int traceError();  // errno of the first line that could not be written, else 0

// SHA-256 of the bytes as 64 hex digits, by the system's own means; 0 if it failed.
BYTE sha256Hex(const BYTE *bytes, DWORD size, char out[65]);

// What marvane-send needs of the system, per system in console_posix.cpp / console_win.cpp,
// by what it serves: files, ports, signals and the console.

// Files. Which file a path names, as the system tells files apart however they are spelt
// (links, "..", case): its volume and its index there. 0 when it names no file that opens.
struct FileIdentity {
    unsigned long long volume, index;
};
BYTE filesIdentity(const char *path, FileIdentity *identity);
// The files a name or path names whatever the case of its last part: the one the system
// opens (else `name` itself), and another that differs only in case ("" if none). 0 when there
// is none. Windows needs no lookup for a path: only a bare name is looked up there.
BYTE filesFindName(const char *name, char *onDisk, char *twin, int size);
// What a path names: a file (or nothing yet), a folder, or a device or pipe, which are no files
// to read or append to.
enum PathKind { PATH_FILE, PATH_FOLDER, PATH_DEVICE };
PathKind filesKindOf(const char *path);
// Why a file could not be opened, in words: what it is when it is no file ("a folder, not a
// file"), else the system's own words for why.
const char *filesWhyUnopened(const char *path, DWORD systemError);
// The log, opened so that the system itself puts every write at its end; 0 when it cannot be,
// with the system's words for why.
FILE *filesOpenLog(const char *path, const char **why);
// The trace, opened to be appended to; a pipe no program reads is refused at once, not waited
// on. 0 when it cannot be, with the system's words for why.
FILE *filesOpenTrace(const char *path, const char **why);
// A line goes into the log with one write under the log's lock, on a line of its own whatever
// the log ended with, and is on the disk when this returns 1: whole, or (taken back) not at
// all. 0 with the system's words for the call that failed; `cutLeft` when a cut line could
// not be taken back (it is then ended, so that the next record starts on its own line).
BYTE filesAppendLine(FILE *log, const char *text, const char **why, BYTE *cutLeft);
// Another writer's append and take-back are waited for this long, then the line is not written.
const DWORD LOG_LOCK_WAIT_MS = 5000;
const char *const LOG_HELD = "another program kept the log locked for 5 s";
BYTE filesIsStandardOutput(const char *path);  // the path names the file standard output is
// The name behind a path: on Linux the target of the symbolic link it is (found from the
// link's folder), on Windows the file's own full name, through links and short 8.3 names. 1
// with the name, 0 when there is none (no link; on Windows, no such file), -1 for a link on
// Windows whose file is not there, whose name only the link itself holds.
int filesNameBehind(const char *path, char *out, int size);
BYTE filesChangeDirectory(const char *dir);
void filesCurrentDirectory(char *out, int size);  // for messages
// The images folder of an installed Marvane when `folder` is the one marvane-send was
// installed in and that images folder is there (installed_*.cpp); else 0.
BYTE installedImagesFolder(const char *folder, char *out, int size);

// Ports. --device is offered where a COM port is a device path (Linux), as the build knows.
const BYTE HAS_DEVICES = MARVANE_HAS_DEVICES;
// What COMn opens here: the device --device named, else the system's own.
void portsMapDevice(int portNumber, const char *path);
BYTE portsDeviceOf(int portNumber, char *out, int size);  // 0: named by number only
// What "access denied" for a port means here, and what to do: the same fact in the same words
// wherever it is the same fact (a port another program holds).
void portsAccessDenied(const char **cause, const char **advice);

// Signals. Ctrl+C and the like: the first asks the run to stop, the second ends the program.
// A write to standard output whose reader has gone fails rather than ending the program.
void signalsStart();  // as marvane-send starts: a closed standard output fails its writes
void signalsCatch();
BYTE signalsInterrupted();
void signalsFinished();  // the record is written and the port released: a closing console may go

// The console and who runs it.
BYTE consoleIsTerminal();  // standard output
void consoleWhoAndWhere(char *computer, int computerSize, char *user, int userSize);
unsigned long consoleProcessId();
// Text of the command line and the system as UTF-8: Windows gives it in its ANSI code page.
void consoleUtf8(const char *text, char *out, int size);
void consoleKeepAwake(BYTE on);  // the computer kept from sleeping while a run goes (Windows)
