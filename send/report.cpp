// marvane-send's front end of the run: what the run's events say, printed. A line per
// transfer as it starts and ends (a bar for the file in flight on a terminal), each block's
// answer with --verbose, one JSON object per event with --json, and the closing summary or
// the cause of a failure. Nothing here decides anything about the run; standard output that
// can no longer be written stops it, as an interrupt would.
#include <errno.h>
#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "link/link.h"
#include "protocol/protocol.h"
#include "run/download.h"
#include "run/slots.h"
#include "send/json.h"
#include "send/send.h"

namespace {

const int BAR_WIDTH = 30;           // characters between the brackets
const int LINE_BITS_PER_BYTE = 10;  // a start bit, eight data bits, a stop bit

// Counts as the texts spell them: "five NAKs".
const char *const CountWords[] = {"no",   "one", "two",   "three", "four",
                                  "five", "six", "seven", "eight", "nine"};
static_assert(BLOCK_SEND_ATTEMPTS < (int)(sizeof CountWords / sizeof CountWords[0]),
              "the sends of a block are spelt out");
const char *const SENDS = CountWords[BLOCK_SEND_ATTEMPTS];

// Standard output failed (its reader went away): the console's, whichever report wrote.
BYTE OutputLost = 0;
BYTE OutputFull = 0;  // it failed for want of room on its disk, not for a reader gone

double secondsSince(DWORD startMs) {
    return (double)(GetTickCount() - startMs) / 1000.0;
}

}  // namespace

BYTE JsonOutput = 0;

void flushOutput() {
    if ((fflush(stdout) != 0 || ferror(stdout)) && !OutputLost) {
        OutputLost = 1;
        OutputFull = errno == ENOSPC;
        requestStop();
    }
}

char FirstComplaint[400];

Problem Problems[PROBLEMS_MAX];
int ProblemCount;

// The message on standard error; its first line kept for the record.
static void say(const char *format, va_list args, const char *code, const char *subject) {
    flushOutput();
    char message[sizeof FirstComplaint];
    vsnprintf(message, sizeof message, format, args);
    if (code != 0 && ProblemCount < PROBLEMS_MAX) {
        Problem *p = &Problems[ProblemCount++];
        p->code = code;
        snprintf(p->subject, sizeof p->subject, "%s", subject);
        snprintf(p->message, sizeof p->message, "%.*s", (int)strcspn(message, "\n"), message);
    }
    fprintf(stderr, "marvane-send: %s\n", message);
    fflush(stderr);
    if (FirstComplaint[0] == 0) {
        // Its first line: a hint to try --help stays on the screen.
        snprintf(FirstComplaint, sizeof FirstComplaint, "%.*s", (int)strcspn(message, "\n"),
                 message);
    }
}

void complain(const char *format, ...) {
    va_list args;
    va_start(args, format);
    say(format, args, 0, 0);
    va_end(args);
}

void problem(const char *code, const char *subject, const char *format, ...) {
    va_list args;
    va_start(args, format);
    say(format, args, code, subject);
    va_end(args);
}

// ----- JSON, one object a line (send/json.h)

std::string jsonLine(const JsonObject &object) {
    // ASCII only, as the simulator writes it: a file name that is not UTF-8 has its bytes
    // replaced rather than stopping the line.
    return object.dump(-1, ' ', true, nlohmann::json::error_handler_t::replace);
}

void printJson(const JsonObject &object) {
    fputs(jsonLine(object).c_str(), stdout);
    fputc('\n', stdout);
    flushOutput();
}

double rounded(double value, int decimals) {
    double scale = decimals == 3 ? 1000.0 : 100.0;
    return floor(value * scale + 0.5) / scale;
}

namespace {

// An event's object, when the output is JSON: its name and the seconds since the run started
// first, the caller's keys after them.
BYTE jsonEvent(const ConsoleReport *r, const char *event, JsonObject *object) {
    if (r->settings.style != REPORT_JSON) {
        return 0;
    }
    (*object)["event"] = event;
    if (r->runStarted) {
        (*object)["time"] = rounded(secondsSince(r->runStartMs), 3);
    }
    return 1;
}

std::string oneChar(char value) {
    return std::string(1, value);
}

// The step's slot, file, id and type, as every event of a step carries them.
void jsonStep(const ReportTransfer *t, JsonObject *object) {
    (*object)["slot"] = SlotLabels[t->slot];
    (*object)["pass"] = t->pass;
    (*object)["file"] = t->name;
    (*object)["id"] = oneChar(t->fileId);
    (*object)["type"] = oneChar(t->fileType);
}

// ----- the bar

// The terminal's line holds a bar that the next text must clear first.
void clearBar(ConsoleReport *r) {
    if (r->barShown) {
        printf("\r%*s\r", BAR_WIDTH + 40, "");
        flushOutput();
        r->barShown = 0;
    }
}

BYTE printingLines(const ConsoleReport *r) {
    return r->settings.style == REPORT_LINES && !r->portFailed;
}

void formatBar(const ConsoleReport *r, char *out, int size) {
    int filled = r->current.blocks > 0 ? r->current.blocksSent * BAR_WIDTH / r->current.blocks : 0;
    char bar[BAR_WIDTH + 1];
    for (int i = 0; i < BAR_WIDTH; i++) {
        bar[i] = i < filled ? '#' : '.';
    }
    bar[BAR_WIDTH] = 0;
    // The time left for the run at the rate: every block still to go, with its answer.
    int left = r->settings.runBlocks - r->blocksDone - r->current.blocksSent;
    int seconds = (int)((double)(left > 0 ? left : 0) * (BLOCK_FRAME_SIZE + 1) *
                            LINE_BITS_PER_BYTE / LinkSettings.baudRate +
                        0.5);
    snprintf(out, (size_t)size, "%-12.40s [%s] %3d/%d blocks, %d:%02d left", r->current.name, bar,
             r->current.blocksSent, r->current.blocks, seconds / 60, seconds % 60);
}

// On a terminal the bar is redrawn in place; elsewhere it waits for the end of the step.
void drawBar(ConsoleReport *r) {
    if (r->settings.bar != 1 || !printingLines(r) || !r->inStep || r->current.blocks <= 0) {
        return;
    }
    char line[128];
    formatBar(r, line, sizeof line);
    printf("\r%s", line);
    flushOutput();
    r->barShown = 1;
}

// ----- words for what happened

// The protocol's control characters by name, anything else in hex; 1 for a named one.
BYTE describeByte(BYTE value, char *out, int size) {
    const struct {
        BYTE value;
        const char *name;
    } Names[] = {{ACK, "ACK"}, {NAK, "NAK"}, {CAN, "CAN"},
                 {ENQ, "ENQ"}, {STX, "STX"}, {ETX, "ETX"}};
    snprintf(out, (size_t)size, "0x%02X", value);
    for (const auto &named : Names) {
        if (named.value == value) {
            snprintf(out, (size_t)size, "%s", named.name);
            return 1;
        }
    }
    return 0;
}

// What the system's error for a port means, and what to do about it.
const char *const CHECK_CABLE = "check the cable or the adapter, and see --list-ports";
const char *const PLUG_IN = "plug the adapter in again, or see --list-ports";
const char *const NAME_A_PORT = "name a serial port (--port; --list-ports lists them)";
// clang-format off
const struct {
    DWORD error;
    const char *cause;
    const char *advice;  // 0: consoleAccessDenied() says it for this system
} PortCauses[] = {
    {ERROR_FILE_NOT_FOUND,       "not found",                 CHECK_CABLE},
    {ERROR_PATH_NOT_FOUND,       "not found",                 CHECK_CABLE},
    {ERROR_DEVICE_NOT_CONNECTED, "no device behind it",       PLUG_IN},
    {ERROR_NOT_SUPPORTED,        "not a serial port",         NAME_A_PORT},
    {ERROR_ACCESS_DENIED,        "access denied",             0},
    {ERROR_SHARING_VIOLATION,    "in use by another program", "close it and run again"},
};
// clang-format on
const char *const SETTINGS_REFUSED = "the device does not take these settings";
const char *const OTHER_RATE = "try another rate (--baud) or port";

void describePort(DWORD systemError, const char **cause, const char **advice) {
    *cause = SETTINGS_REFUSED;
    *advice = OTHER_RATE;
    for (const auto &known : PortCauses) {
        if (known.error == systemError) {
            *cause = known.cause;
            *advice = known.advice;
        }
    }
}

const char *problemText(ImageProblem problem) {
    switch (problem) {
        case IMAGE_NOT_FOUND:
            return "not found";
        case IMAGE_NOT_OPENED:
            return "cannot be opened";
        case IMAGE_TOO_LARGE:
            return "too large";
        case IMAGE_SHORT:
            return "cannot be read whole";
        case IMAGE_CHANGED:
            return "changed since the check";
        default:
            return "read";
    }
}

const char *const NOT_ANSWERED =
    "check the cable, the port and the rate, and that the controller is waiting for a download";
const char *const BUSY = "the controller is busy or not ready for a download: wait, then run again";
const char *const STRAY =
    "a byte left from an earlier exchange, or noise: run again; if it comes back, check the cable";

// The header is answered ACK, then ENQ. A refusal (NAK, CAN) is a busy controller's; ACK
// twice, or another control character out of its turn, a stray byte; a byte that is no control
// character, noise or a rate the controller does not use.
void describeHeaderAnswer(const TransferResult *res, char *cause, int causeSize,
                          const char **hint) {
    char answer[16];
    BYTE named = describeByte(res->answerByte, answer, sizeof answer);
    const char *due = res->headerAnswers == 2 ? "ENQ" : "ACK";
    if (res->answer == ANSWER_NONE) {
        snprintf(cause, (size_t)causeSize, "the device took the header (ACK) but sent no ENQ");
        *hint = NOT_ANSWERED;
    } else if (res->answerByte == NAK || res->answerByte == CAN) {
        snprintf(cause, (size_t)causeSize, "the device refused the header with %s", answer);
        *hint = BUSY;
    } else if (res->headerAnswers == 2 && res->answerByte == ACK) {
        snprintf(cause, (size_t)causeSize, "ACK twice to the header: a stray byte on the line");
        *hint = STRAY;
    } else if (named) {
        snprintf(cause, (size_t)causeSize,
                 "the device answered the header with %s where %s was due: a stray byte on "
                 "the line",
                 answer, due);
        *hint = STRAY;
    } else {
        snprintf(cause, (size_t)causeSize,
                 "the device answered the header with %s, no control character: noise on the "
                 "line or a wrong rate",
                 answer);
        *hint = "check that the rate (--baud) is the controller's, and the cable";
    }
}

}  // namespace

void describeEnd(const ReportTransfer *t, const TransferResult *res, char *cause, int causeSize,
                 const char **hint) {
    char answer[16];
    describeByte(res->answerByte, answer, sizeof answer);
    BYTE silent = res->answer == ANSWER_NONE;
    int k = res->block + 1;
    switch (res->end) {
        case TRANSFER_UNREADABLE:
            snprintf(cause, (size_t)causeSize, "the file could not be read: %s",
                     problemText(res->problem));
            *hint = "check the file in the folder named by --dir (or the current one)";
            break;
        case TRANSFER_HEADER_UNANSWERED:
            if (silent && res->headerAnswers == 0) {
                snprintf(cause, (size_t)causeSize, "no answer to the header");
                *hint = NOT_ANSWERED;
            } else {
                describeHeaderAnswer(res, cause, causeSize, hint);
            }
            break;
        case TRANSFER_COUNT_UNANSWERED:
            if (silent) {
                snprintf(cause, (size_t)causeSize, "no answer to the block count");
            } else {
                snprintf(cause, (size_t)causeSize,
                         "the device answered the block count with %s, not ACK", answer);
            }
            *hint =
                "the controller took the header but not the count: check the rate (--baud) "
                "and run again";
            break;
        case TRANSFER_BLOCK_UNANSWERED:
            if (t->silences == BLOCK_SEND_ATTEMPTS) {
                snprintf(cause, (size_t)causeSize, "no answer after block %d of %d", k, t->blocks);
                *hint = "the line went quiet: check the cable and that the controller is on";
            } else if (t->naks == BLOCK_SEND_ATTEMPTS) {
                snprintf(cause, (size_t)causeSize, "%s NAKs on block %d of %d", SENDS, k,
                         t->blocks);
                *hint = "the line spoils the frames: try a lower rate (--baud) or another cable";
            } else {
                snprintf(cause, (size_t)causeSize,
                         "block %d of %d sent %s times without ACK (%d NAK, %d no answer, "
                         "last %s)",
                         k, t->blocks, SENDS, t->naks, t->silences, silent ? "none" : answer);
                *hint = "the line is unreliable: try a lower rate (--baud) or another cable";
            }
            break;
        case TRANSFER_CANCELLED:
            snprintf(cause, (size_t)causeSize, "cancelled by the device (CAN) at block %d of %d", k,
                     t->blocks);
            *hint =
                "the controller refused the file: check that it is the right file for the "
                "slot";
            break;
        case TRANSFER_PORT_LOST:
            snprintf(cause, (size_t)causeSize, "the port went away");
            *hint = 0;
            break;
        default:
            snprintf(cause, (size_t)causeSize, "stopped");
            *hint = 0;
            break;
    }
}

namespace {

// What each ending is called in the record, and the exit status it comes to.
// clang-format off
const struct {
    const char *name;
    int status;
} RunEnds[RUN_END_COUNT] = {
    {"ok",          EXIT_SENT},
    {"failed",      EXIT_STEP_FAILED},
    {"no-answer",   EXIT_STEP_FAILED},
    {"bad-input",   EXIT_BAD_INPUT},
    {"port-failed", EXIT_PORT_FAILED},
    {"port-lost",   EXIT_PORT_FAILED},
    {"internal",    EXIT_INTERNAL},
    {"interrupted", EXIT_INTERRUPTED},
    {"output-closed", EXIT_INTERRUPTED},
};
// clang-format on

}  // namespace

int exitStatusOf(RunEnd end) {
    return RunEnds[end].status;
}

const char *runEndName(RunEnd end) {
    return RunEnds[end].name;
}

void tallyBlock(ReportTransfer *t, int attempt, FrameAnswer answer) {
    if (attempt == 1) {
        t->naks = t->silences = 0;
    }
    t->sends++;
    t->resends += attempt > 1;
    t->answered += answer != ANSWER_NONE;
    t->naks += answer == ANSWER_NAK;
    t->silences += answer == ANSWER_NONE;
    t->blocksSent += answer == ANSWER_ACK;
}

void startTransfer(ReportTransfer *t, int slot, int pass, LPCSTR name, FileId fileId,
                   FileType fileType) {
    memset(t, 0, sizeof *t);
    t->slot = slot;
    t->pass = pass;
    snprintf(t->name, sizeof t->name, "%s", name);
    t->fileId = fileId;
    t->fileType = fileType;
    t->startMs = GetTickCount();
    t->blocks = -1;
}

void noteFileRead(ReportTransfer *t, DWORD size, int blocks) {
    t->size = size;
    t->blocks = blocks;
    t->headers = 1;  // the header goes as soon as the file is read
    t->readMs = t->lastHeaderMs = GetTickCount();
}

void noteHeaderRepeated(ReportTransfer *t, int sends) {
    t->headers = sends;
    t->lastHeaderMs = GetTickCount();
}

double deviceSilence(const ReportTransfer *t, const TransferResult *result) {
    if (!result->headerSent || (t->headers <= 1 && result->headerAnswers > 0)) {
        return 0;
    }
    DWORD end = result->headerAnswers > 0 ? t->lastHeaderMs : GetTickCount();
    return (double)(end - t->readMs) / 1000.0;
}

namespace {

// ----- the events

// The report a call was made on: its listener is its first member.
ConsoleReport *reportOf(RunListener *self) {
    return (ConsoleReport *)self;
}

// A run starts from nothing sent and nothing failed, whatever a run before it left.
void resetReport(ConsoleReport *r) {
    ReportSettings settings = r->settings;
    initReport(r, &settings);
    r->runStartMs = GetTickCount();
    r->runStarted = 1;
}

void onRunStarted(RunListener *self) {
    ConsoleReport *r = reportOf(self);
    resetReport(r);
    JsonObject event;
    if (jsonEvent(r, "run-started", &event)) {
        event["port"] = r->settings.portName;
        if (r->settings.device != 0) {
            event["device"] = r->settings.device;
        }
        event["baud"] = LinkSettings.baudRate;
        event["transfers"] = r->settings.transfers;
        event["wait"] = r->settings.waitSeconds;
        printJson(event);
    } else if (r->settings.style != REPORT_QUIET) {
        printf("Sending over %s at %d baud\n", r->settings.portText, LinkSettings.baudRate);
        flushOutput();
    }
}

// A run over a port that is not set up cannot succeed: it is stopped before anything is
// sent, and the exit status says why.
void onPortFailed(RunListener *self, LPCSTR text, DWORD systemError) {
    ConsoleReport *r = reportOf(self);
    r->portFailed = 1;
    const char *cause;
    const char *advice;
    describePort(systemError, &cause, &advice);
    if (advice != 0) {
        complain("%s %s: %s; %s", text, r->settings.portText, cause, advice);
    } else {
        complain("%s %s: %s", text, r->settings.portText, consoleAccessDenied());
    }
    JsonObject event;
    if (jsonEvent(r, "port-failed", &event)) {
        event["text"] = text;
        event["error"] = systemError;
        event["cause"] = cause;
        printJson(event);
    }
}

// The run stops at once (the run's policy): its step ends as port-lost, finishReport says it.
void onPortLost(RunListener *self, DWORD systemError) {
    ConsoleReport *r = reportOf(self);
    r->portLost = 1;
    JsonObject event;
    if (jsonEvent(r, "port-lost", &event)) {
        event["error"] = systemError;
        printJson(event);
    }
}

// The part every line of a transfer starts with: slot, file, id and type.
void printHead(const ConsoleReport *r) {
    printf("%-8s  %-12s  id %c  type %c  ", SlotLabels[r->current.slot], r->current.name,
           r->current.fileId, r->current.fileType);
}

void printSending(ConsoleReport *r) {
    if (!printingLines(r)) {
        return;
    }
    clearBar(r);
    printHead(r);
    const char *pass = "";
    if (r->current.slot == SLOT_PC_CC) {
        pass = r->current.pass == 2 ? ", second pass" : ", first pass";
    }
    if (r->current.blocks >= 0) {
        printf("%3d blocks  sending%s\n", r->current.blocks, pass);
    } else {
        printf("  - blocks  sending%s\n", pass);
    }
    flushOutput();
}

void onStepStarted(RunListener *self, int slot, int pass, LPCSTR name, FileId fileId,
                   FileType fileType) {
    ConsoleReport *r = reportOf(self);
    startTransfer(&r->current, slot, pass, name, fileId, fileType);
    r->inStep = 1;
    JsonObject event;
    if (jsonEvent(r, "step-started", &event)) {
        jsonStep(&r->current, &event);
        printJson(event);
    }
}

void onFileRead(RunListener *self, DWORD size, int blocks) {
    ConsoleReport *r = reportOf(self);
    noteFileRead(&r->current, size, blocks);
    JsonObject event;
    if (jsonEvent(r, "file-read", &event)) {
        event["bytes"] = size;
        event["blocks"] = blocks;
        printJson(event);
    }
    printSending(r);
    drawBar(r);
}

void onFileUnreadable(RunListener *self, ImageProblem problem, DWORD systemError) {
    ConsoleReport *r = reportOf(self);
    JsonObject event;
    if (jsonEvent(r, "file-unreadable", &event)) {
        event["problem"] = problemText(problem);
        event["error"] = systemError;
        printJson(event);
    }
    printSending(r);
}

// The device is silent and --wait has time left: the header went again.
void onHeaderRepeated(RunListener *self, int sends) {
    ConsoleReport *r = reportOf(self);
    noteHeaderRepeated(&r->current, sends);
    JsonObject event;
    if (jsonEvent(r, "header-repeated", &event)) {
        event["sends"] = sends;
        printJson(event);
    }
    if (printingLines(r) && (sends == 2 || r->settings.verbose)) {
        clearBar(r);
        if (sends == 2) {
            printf(
                "  no answer to the header: sending it again until the controller answers, "
                "for up to %d s\n",
                r->settings.waitSeconds);
        } else {
            printf("  header sent %d times, no answer yet\n", sends);
        }
        flushOutput();
    }
}

void onBlockAnswered(RunListener *self, int index, int attempt, FrameAnswer answer,
                     BYTE answerByte) {
    ConsoleReport *r = reportOf(self);
    tallyBlock(&r->current, attempt, answer);
    JsonObject event;
    if (jsonEvent(r, "block", &event)) {
        event["index"] = index;
        event["attempt"] = attempt;
        event["answer"] = answerName(answer);
        if (answer != ANSWER_NONE) {
            event["byte"] = answerByte;
        }
        printJson(event);
    }
    if (r->settings.verbose && printingLines(r)) {
        clearBar(r);
        char said[16];
        describeByte(answerByte, said, sizeof said);
        const char *what = answer == ANSWER_NONE ? "no answer" : said;
        printf("  block %3d/%d  send %d  %s", index + 1, r->current.blocks, attempt, what);
        if (linkQuitting()) {
            printf(", stopping");
        } else if (answer != ANSWER_ACK && answer != ANSWER_CAN) {
            printf(attempt < BLOCK_SEND_ATTEMPTS ? ", sending again" : ", %s sends: giving up",
                   SENDS);
        }
        printf("\n");
        flushOutput();
    }
    drawBar(r);
}

void onMarkerChanged(RunListener *self, int slot) {
    ConsoleReport *r = reportOf(self);
    JsonObject event;
    if (jsonEvent(r, "marker", &event)) {
        event["slot"] = SlotLabels[slot];
        event["marker"] = oneChar(Slots[slot].marker);
        printJson(event);
    }
}

// The opening of a transfer: its two frames, and four control bytes besides them (the
// device's ACK and ENQ to the header, the PC's ACK to the ENQ, the device's ACK to the count).
const int OPENING_CONTROL_BYTES = 4;
const int OPENING_BYTES = HEADER_FRAME_SIZE + COUNT_FRAME_SIZE + OPENING_CONTROL_BYTES;

// What a transfer put on the wire both ways, and its pause before the count frame: the
// opening, every block frame sent and every answer to one.
double wireSecondsOf(const ReportTransfer *t) {
    double bytes = OPENING_BYTES + (double)t->sends * BLOCK_FRAME_SIZE + t->answered;
    return bytes * LINE_BITS_PER_BYTE / LinkSettings.baudRate +
           COUNT_FRAME_DELAY_TICKS * TICK_PERIOD_MS / 1000.0;
}

void onStepEnded(RunListener *self, int, int, const TransferResult *result) {
    ConsoleReport *r = reportOf(self);
    BYTE sent = result->end == TRANSFER_DONE;
    double seconds = secondsSince(r->current.startMs);
    r->resends += r->current.resends;
    if (result->headerSent && !r->headerTried) {
        r->headerTried = 1;  // only the run's first header is waited for
        r->waited = deviceSilence(&r->current, result);
    }
    r->blocksDone += r->current.blocks > 0 ? r->current.blocks : 0;
    if (sent) {
        r->transfersSent++;
        r->bytesSent += r->current.size;
        r->wireSeconds += wireSecondsOf(&r->current);
    } else {
        r->failed = r->current;
        r->failedResult = *result;
        r->haveFailed = 1;
    }
    JsonObject event;
    if (jsonEvent(r, "step-ended", &event)) {
        jsonStep(&r->current, &event);
        event["outcome"] = transferEndName(result->end);
        if (!sent && result->end != TRANSFER_STOPPED) {
            char cause[160];
            const char *hint = 0;
            describeEnd(&r->current, result, cause, sizeof cause, &hint);
            event["detail"] = cause;
        }
        if (r->current.blocks >= 0) {  // the file was read
            event["blocks"] = r->current.blocks;
        }
        event["sent"] = r->current.blocksSent;
        if (result->block >= 0) {
            event["block"] = result->block;
        }
        event["seconds"] = rounded(seconds, 2);
        printJson(event);
    }
    if (printingLines(r)) {
        clearBar(r);
        if (r->settings.bar == 2 && r->current.blocks > 0) {
            char line[128];
            formatBar(r, line, sizeof line);
            printf("%s\n", line);
        }
        printHead(r);
        if (sent) {
            printf("%3d blocks  sent in %.2f s\n", r->current.blocks, seconds);
        } else if (result->end == TRANSFER_UNREADABLE) {
            printf("  - blocks  failed: the file could not be read\n");
        } else {
            printf("%3d blocks  %s after %d sent, %.2f s\n", r->current.blocks,
                   result->end == TRANSFER_STOPPED ? "stopped" : "failed", r->current.blocksSent,
                   seconds);
        }
        flushOutput();
    }
    r->inStep = 0;
}

const RunListenerCalls ConsoleCalls = {
    .runStarted = onRunStarted,
    .portOpened = nullPortOpened,
    .portFailed = onPortFailed,
    .portLost = onPortLost,
    .stepStarted = onStepStarted,
    .fileRead = onFileRead,
    .fileUnreadable = onFileUnreadable,
    .headerRepeated = onHeaderRepeated,
    .frameWritten = nullFrameWritten,
    .answerTaken = nullAnswerTaken,
    .blockAnswered = onBlockAnswered,
    .markerChanged = onMarkerChanged,
    .stepEnded = onStepEnded,
    .stepsEnded = nullStepsEnded,
    .runEnded = nullRunEnded,
};

}  // namespace

void initReport(ConsoleReport *r, const ReportSettings *settings) {
    memset(r, 0, sizeof *r);
    r->listener.calls = &ConsoleCalls;
    r->settings = *settings;
}

namespace {

// ----- the end

// "interrupted in Pump 1 at block 33 of 102: ...": where the stop left the controller.
void reportInterrupt(const ConsoleReport *r) {
    const char *why = OutputFull   ? "standard output could not be written: its disk is full"
                      : OutputLost ? "standard output was closed"
                                   : "interrupted";
    if (!r->runStarted) {
        complain("%s before the run started: nothing was sent", why);
    } else if (!r->haveFailed || r->failedResult.end != TRANSFER_STOPPED) {
        complain("%s: nothing more was sent", why);
    } else if (!r->failedResult.headerSent) {
        complain("%s before %s: nothing of it was sent; run again", why,
                 SlotLabels[r->failed.slot]);
    } else if (r->failedResult.block >= 0) {
        complain(
            "%s in %s at block %d of %d: the controller holds a partial file; run "
            "again",
            why, SlotLabels[r->failed.slot], r->failedResult.block + 1, r->failed.blocks);
    } else {
        complain(
            "%s in %s before its first block: the controller holds a partial "
            "file; run again",
            why, SlotLabels[r->failed.slot]);
    }
}

// The failed step, with its cause and what to do; a wait that ran out says so first.
RunEnd reportFailure(const ConsoleReport *r) {
    char cause[160];
    const char *hint = 0;
    describeEnd(&r->failed, &r->failedResult, cause, sizeof cause, &hint);
    const TransferResult *res = &r->failedResult;
    BYTE waitedOut = r->settings.waitSeconds > 0 && res->end == TRANSFER_HEADER_UNANSWERED &&
                     res->answer == ANSWER_NONE && res->headerAnswers == 0;
    if (waitedOut) {
        complain("no answer within %d s: the header went %d times", r->settings.waitSeconds,
                 r->failed.headers);
    }
    char head[SLOT_NAME_SIZE + 64];
    snprintf(head, sizeof head, "%s (%s, id %c, type %c) failed", SlotLabels[r->failed.slot],
             r->failed.name, r->failed.fileId, r->failed.fileType);
    if (res->end == TRANSFER_UNREADABLE) {
        complain("%s: %s", head, cause);
    } else {
        complain("%s after %d of %d blocks: %s", head, r->failed.blocksSent, r->failed.blocks,
                 cause);
    }
    if (hint != 0) {
        complain("%s", hint);
    }
    return waitedOut ? RUN_NO_ANSWER : RUN_FAILED;
}

// The closing summary a technician reads: OK or FAILED, the transfers, their bytes and
// resends, the time (and how much of it went waiting for the controller), and against the
// wire's time for a run that sent every file. (--json's last line is the run's record.)
void printSummary(ConsoleReport *r, RunEnd end) {
    if (r->settings.style != REPORT_LINES) {
        return;
    }
    clearBar(r);
    printf("%s: %d of %d transfers sent, %u bytes, %d resend%s", end == RUN_OK ? "OK" : "FAILED",
           r->transfersSent, r->settings.transfers, (unsigned)r->bytesSent, r->resends,
           r->resends == 1 ? "" : "s");
    if (r->runStarted) {
        double seconds = secondsSince(r->runStartMs);
        printf(" in %.2f s", seconds);
        if (r->settings.waitSeconds > 0) {
            printf(" (%.2f s of it waiting for the controller)", r->waited);
        }
        if (end == RUN_OK && r->wireSeconds > 0) {  // the wait was no work of the wire's
            printf(", %.2f x the %.2f s the wire needs at %d baud",
                   (seconds - r->waited) / r->wireSeconds, r->wireSeconds, LinkSettings.baudRate);
        }
    }
    printf("\n");
    flushOutput();
}

}  // namespace

RunEnd finishReport(ConsoleReport *r, BYTE ok) {
    clearBar(r);
    RunEnd end = RUN_OK;
    BYTE stopped = !r->haveFailed || r->failedResult.end == TRANSFER_STOPPED;
    if (r->portFailed) {
        end = RUN_PORT_FAILED;  // its message is out already
    } else if (r->portLost) {
        end = RUN_PORT_LOST;
        complain("the port went away: was the adapter unplugged?");
    } else if (ok) {
        end = RUN_OK;  // an interrupt that came after the last answer stopped nothing
    } else if ((consoleInterrupted() || OutputLost) && stopped) {
        // A step that failed on its own (a CAN as Ctrl+C came) is a failure all the same.
        end = OutputLost && !consoleInterrupted() ? RUN_OUTPUT_CLOSED : RUN_INTERRUPTED;
        reportInterrupt(r);
    } else if (r->haveFailed) {
        end = reportFailure(r);
    } else {
        end = RUN_FAILED;
        complain("the run failed");
    }
    printSummary(r, end);
    return end;
}
