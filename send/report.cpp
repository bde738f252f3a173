// marvane-send's front end of the run: what the run's events say, printed. A line per
// transfer as it starts and ends (a bar for the file in flight on a terminal), each block's
// answer with --verbose, one JSON object per event with --json, and the closing summary or
// the cause of a failure. Nothing here decides anything about the run.
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

const int BAR_WIDTH = 30;  // characters between the brackets

const char *const AnswerNames[] = {"ACK", "NAK", "CAN", "other", "none"};

// Counts as the texts spell them: "five NAKs".
const char *const CountWords[] = {"no",   "one", "two",   "three", "four",
                                  "five", "six", "seven", "eight", "nine"};
static_assert(BLOCK_SEND_ATTEMPTS < (int)(sizeof CountWords / sizeof CountWords[0]),
              "the sends of a block are spelt out");
const char *const SENDS = CountWords[BLOCK_SEND_ATTEMPTS];

double secondsSince(DWORD startMs) {
    return (double)(GetTickCount() - startMs) / 1000.0;
}

// The terminal's line holds a bar that the next text must clear first.
void clearBar(ConsoleReport *r) {
    if (r->barShown) {
        printf("\r%*s\r", BAR_WIDTH + 40, "");
        fflush(stdout);
        r->barShown = 0;
    }
}

}  // namespace

char FirstComplaint[400];

void complain(const char *format, ...) {
    fflush(stdout);
    char message[sizeof FirstComplaint];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);
    va_end(args);
    fprintf(stderr, "marvane-send: %s\n", message);
    fflush(stderr);
    if (FirstComplaint[0] == 0) {
        // Its first line: a hint to try --help stays on the screen.
        snprintf(FirstComplaint, sizeof FirstComplaint, "%.*s", (int)strcspn(message, "\n"),
                 message);
    }
}

namespace {

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
    snprintf(out, (size_t)size, "%-12.40s [%s] %3d/%d blocks", r->current.name, bar,
             r->current.blocksSent, r->current.blocks);
}

// On a terminal the bar is redrawn in place; elsewhere it waits for the end of the step.
void drawBar(ConsoleReport *r) {
    if (r->settings.bar != 1 || !printingLines(r) || !r->inStep || r->current.blocks <= 0) {
        return;
    }
    char line[128];
    formatBar(r, line, sizeof line);
    printf("\r%s", line);
    fflush(stdout);
    r->barShown = 1;
}

// ----- JSON, one object a line (send/json.h)

}  // namespace

std::string jsonLine(const JsonObject &object) {
    // ASCII only, as the simulator writes it: a file name that is not UTF-8 has its bytes
    // replaced rather than stopping the line.
    return object.dump(-1, ' ', true, nlohmann::json::error_handler_t::replace);
}

void printJson(const JsonObject &object) {
    fputs(jsonLine(object).c_str(), stdout);
    fputc('\n', stdout);
    fflush(stdout);
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
    (*object)["time"] = rounded(secondsSince(r->runStartMs), 3);
    return 1;
}

std::string oneChar(char value) {
    return std::string(1, value);
}

// ----- words for what happened

// The control characters by name, anything else in hex.
void describeByte(BYTE value, char *out, int size) {
    const struct {
        BYTE value;
        const char *name;
    } Names[] = {{ACK, "ACK"}, {NAK, "NAK"}, {CAN, "CAN"},
                 {ENQ, "ENQ"}, {STX, "STX"}, {ETX, "ETX"}};
    snprintf(out, (size_t)size, "0x%02X", value);
    for (const auto &named : Names) {
        if (named.value == value) {
            snprintf(out, (size_t)size, "%s", named.name);
        }
    }
}

// What the system's error for a port means, with what to do about it.
const char *portAdvice(DWORD systemError) {
    switch (systemError) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return "not found; check the cable or the adapter, and see --list-ports";
        case ERROR_ACCESS_DENIED:
            return consoleAccessDenied();
        case ERROR_SHARING_VIOLATION:
            return "in use by another program; close it and run again";
        default:
            return "the device does not take these settings; try another rate (--baud) or port";
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
        default:
            return "read";
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
            if (silent) {
                snprintf(cause, (size_t)causeSize, "no answer to the header");
                *hint =
                    "check the cable, the port and the rate, and that the controller is "
                    "waiting for a download";
            } else {
                snprintf(cause, (size_t)causeSize,
                         "the device answered the header with %s, not ACK and ENQ", answer);
                *hint = "the controller is busy or not ready for a download: wait, then run again";
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
        default:
            snprintf(cause, (size_t)causeSize, "stopped");
            *hint = 0;
            break;
    }
}

namespace {

const char *const EndNames[] = {
    "sent",      "unreadable", "header-unanswered", "count-unanswered", "block-unanswered",
    "cancelled", "stopped",    "port-lost",
};

}  // namespace

const char *transferEndName(TransferEnd end) {
    return EndNames[end];
}

// What each ending is called in the record, and the exit status it comes to.
namespace {

// clang-format off
const struct {
    const char *name;
    int status;
} RunEnds[RUN_END_COUNT] = {
    {"ok",          EXIT_SENT},
    {"failed",      EXIT_STEP_FAILED},
    {"bad-input",   EXIT_BAD_INPUT},
    {"port-failed", EXIT_PORT_FAILED},
    {"internal",    EXIT_INTERNAL},
    {"interrupted", EXIT_INTERRUPTED},
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
        printJson(event);
    } else if (r->settings.style != REPORT_QUIET) {
        printf("Sending over %s at %d baud\n", r->settings.portText, LinkSettings.baudRate);
        fflush(stdout);
    }
}

// A run over a port that is not set up cannot succeed: it is stopped before anything is
// sent, and the exit status says why.
void onPortFailed(RunListener *self, LPCSTR text, DWORD systemError) {
    ConsoleReport *r = reportOf(self);
    r->portFailed = 1;
    complain("%s %s: %s", text, r->settings.portText, portAdvice(systemError));
    JsonObject event;
    if (jsonEvent(r, "port-failed", &event)) {
        event["text"] = text;
        event["error"] = systemError;
        event["cause"] = portAdvice(systemError);
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
    fflush(stdout);
}

void onStepStarted(RunListener *self, int slot, int pass, LPCSTR name, FileId fileId,
                   FileType fileType) {
    ConsoleReport *r = reportOf(self);
    memset(&r->current, 0, sizeof r->current);
    r->current.slot = slot;
    r->current.pass = pass;
    snprintf(r->current.name, sizeof r->current.name, "%s", name);
    r->current.fileId = fileId;
    r->current.fileType = fileType;
    r->current.startMs = GetTickCount();
    r->current.blocks = -1;
    r->inStep = 1;
    JsonObject event;
    if (jsonEvent(r, "step-started", &event)) {
        event["slot"] = SlotLabels[slot];
        event["pass"] = pass;
        event["file"] = name;
        event["id"] = oneChar(fileId);
        event["type"] = oneChar(fileType);
        printJson(event);
    }
}

void onFileRead(RunListener *self, DWORD size, int blocks) {
    ConsoleReport *r = reportOf(self);
    r->current.size = size;
    r->current.blocks = blocks;
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

void onBlockAnswered(RunListener *self, int index, int attempt, FrameAnswer answer,
                     BYTE answerByte) {
    ConsoleReport *r = reportOf(self);
    tallyBlock(&r->current, attempt, answer);
    JsonObject event;
    if (jsonEvent(r, "block", &event)) {
        event["index"] = index;
        event["attempt"] = attempt;
        event["answer"] = AnswerNames[answer];
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
        fflush(stdout);
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

// The opening of a transfer besides its two frames: the device's ACK and ENQ to the header
// and ACK to the count frame, and the PC's ACK to the ENQ.
const BYTE OpeningAnswers[] = {ACK, ENQ, ACK};
const BYTE OpeningReply[] = {ACK};
const int OPENING_BYTES =
    HEADER_FRAME_SIZE + COUNT_FRAME_SIZE + (int)sizeof OpeningAnswers + (int)sizeof OpeningReply;
const int LINE_BITS_PER_BYTE = 10;  // a start bit, eight data bits, a stop bit

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
        event["slot"] = SlotLabels[r->current.slot];
        event["pass"] = r->current.pass;
        event["outcome"] = transferEndName(result->end);
        if (!sent && result->end != TRANSFER_STOPPED) {
            char cause[160];
            const char *hint = 0;
            describeEnd(&r->current, result, cause, sizeof cause, &hint);
            event["detail"] = cause;
        }
        event["blocks"] = r->current.blocks;
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
        fflush(stdout);
    }
    r->inStep = 0;
}

// finishReport, once runDownload has returned, says it all.
void onOutcome(RunListener *, BYTE) {}
void onPortLost(RunListener *, DWORD) {}
void onHeaderRepeated(RunListener *, int) {}

const RunListenerCalls ConsoleCalls = {
    onRunStarted,     onPortFailed,    onPortLost,      onStepStarted, onFileRead, onFileUnreadable,
    onHeaderRepeated, onBlockAnswered, onMarkerChanged, onStepEnded,   onOutcome,  onOutcome,
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
    if (!r->haveFailed || r->failedResult.end != TRANSFER_STOPPED) {
        complain("interrupted: nothing more was sent");
        return;
    }
    const char *label = SlotLabels[r->failed.slot];
    if (!r->failedResult.headerSent) {
        complain("interrupted before %s: nothing of it was sent; run again", label);
    } else if (r->failedResult.block >= 0) {
        complain(
            "interrupted in %s at block %d of %d: the controller holds a partial file; run "
            "again",
            label, r->failedResult.block + 1, r->failed.blocks);
    } else {
        complain(
            "interrupted in %s before its first block: the controller holds a partial "
            "file; run again",
            label);
    }
}

void reportFailure(const ConsoleReport *r) {
    char cause[160];
    const char *hint = 0;
    describeEnd(&r->failed, &r->failedResult, cause, sizeof cause, &hint);
    char head[SLOT_NAME_SIZE + 64];
    snprintf(head, sizeof head, "%s (%s, id %c, type %c) failed", SlotLabels[r->failed.slot],
             r->failed.name, r->failed.fileId, r->failed.fileType);
    if (r->failedResult.end == TRANSFER_UNREADABLE) {
        complain("%s: %s", head, cause);
    } else {
        complain("%s after %d of %d blocks: %s", head, r->failed.blocksSent, r->failed.blocks,
                 cause);
    }
    if (hint != 0) {
        complain("%s", hint);
    }
}

// The closing summary: transfers sent, their bytes, the time, and against the wire's time.
// (--json's last line is the run's record, which main writes.)
void printSummary(ConsoleReport *r) {
    double seconds = secondsSince(r->runStartMs);
    if (r->settings.style != REPORT_LINES) {
        return;
    }
    clearBar(r);
    printf("%d of %d transfers sent, %u bytes in %.2f s", r->transfersSent, r->settings.transfers,
           (unsigned)r->bytesSent, seconds);
    if (r->wireSeconds > 0) {
        printf(", %.2f x the %.2f s the wire needs at %d baud", seconds / r->wireSeconds,
               r->wireSeconds, LinkSettings.baudRate);
    }
    printf("\n");
    fflush(stdout);
}

}  // namespace

RunEnd finishReport(ConsoleReport *r, BYTE ok) {
    clearBar(r);
    RunEnd end = RUN_OK;
    if (r->portFailed) {
        end = RUN_PORT_FAILED;  // its message is out already
    } else if (ok) {
        end = RUN_OK;  // an interrupt that came after the last answer stopped nothing
    } else if (consoleInterrupted()) {
        end = RUN_INTERRUPTED;
        reportInterrupt(r);
    } else {
        end = RUN_FAILED;
        if (r->haveFailed) {
            reportFailure(r);
        } else {
            complain("the run failed");
        }
    }
    printSummary(r);
    return end;
}
