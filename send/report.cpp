// marvane-send's front end of the run: what the run's events say, printed. A line per
// transfer as it starts and ends (a bar for the file in flight on a terminal), each block's
// answer with --verbose, one JSON object per event with --json, and the closing summary or
// the cause of a failure. Nothing here decides anything about the run.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "link/link.h"
#include "protocol/protocol.h"
#include "run/download.h"
#include "run/slots.h"
#include "send/send.h"

const int BAR_WIDTH = 30;  // characters between the brackets

static ReportSettings Settings;
static BYTE BarShown = 0;
static DWORD RunStartMs = 0;

// The port's failure, if there was one: the run is stopped before anything goes out.
static BYTE PortFailed = 0;

// The transfer in flight: which step, since when, its blocks and how the current block's
// sends were answered.
struct Transfer {
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
static Transfer Current;
static BYTE InStep = 0;

// The transfer that ended the run, when one failed.
static Transfer Failed;
static TransferResult FailedResult;
static BYTE HaveFailed = 0;

// For the summary.
static int TransfersSent = 0;
static DWORD BytesSent = 0;
static double WireSeconds = 0;

static const char *const AnswerNames[] = {"ACK", "NAK", "CAN", "other", "none"};

void setReport(const ReportSettings *settings) {
    Settings = *settings;
}

static double secondsSince(DWORD startMs) {
    return (double)(GetTickCount() - startMs) / 1000.0;
}

static void clearBar() {
    if (BarShown) {
        printf("\r%*s\r", BAR_WIDTH + 40, "");
        fflush(stdout);
        BarShown = 0;
    }
}

void complain(const char *format, ...) {
    clearBar();
    fflush(stdout);
    fputs("marvane-send: ", stderr);
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fputc('\n', stderr);
    fflush(stderr);
}

static BYTE printingLines() {
    return Settings.style == REPORT_LINES && !PortFailed;
}

static void formatBar(char *out, int size) {
    int filled = Current.blocks > 0 ? Current.blocksSent * BAR_WIDTH / Current.blocks : 0;
    char bar[BAR_WIDTH + 1];
    for (int i = 0; i < BAR_WIDTH; i++) {
        bar[i] = i < filled ? '#' : '.';
    }
    bar[BAR_WIDTH] = 0;
    snprintf(out, (size_t)size, "%-12.40s [%s] %3d/%d blocks", Current.name, bar,
             Current.blocksSent, Current.blocks);
}

// On a terminal the bar is redrawn in place; elsewhere it waits for the end of the step.
static void drawBar() {
    if (Settings.bar != 1 || !printingLines() || !InStep || Current.blocks <= 0) {
        return;
    }
    char line[128];
    formatBar(line, sizeof line);
    printf("\r%s", line);
    fflush(stdout);
    BarShown = 1;
}

// ----- JSON, one object a line, the simulator's report being the model

// Starts an event's object: its name and the seconds since the run started.
static BYTE jsonEvent(const char *event) {
    if (Settings.style != REPORT_JSON) {
        return 0;
    }
    printf("{\"event\":\"%s\",\"time\":%.3f", event, secondsSince(RunStartMs));
    return 1;
}

// A key and its text as a JSON string, ASCII only as the simulator writes it.
static void jsonText(const char *key, const char *value) {
    printf(",\"%s\":\"", key);
    for (const unsigned char *c = (const unsigned char *)value; *c != 0; c++) {
        if (*c == '"' || *c == '\\') {
            printf("\\%c", *c);
        } else if (*c < 0x20 || *c >= 0x7F) {
            printf("\\u%04x", *c);
        } else {
            putchar(*c);
        }
    }
    putchar('"');
}

static void jsonChar(const char *key, char value) {
    char text[2] = {value, 0};
    jsonText(key, text);
}

static void jsonNumber(const char *key, double value, int decimals) {
    printf(",\"%s\":%.*f", key, decimals, value);
}

static void jsonEnd() {
    puts("}");
    fflush(stdout);
}

// ----- words for what happened

// The control characters by name, anything else in hex.
static void describeByte(BYTE value, char *out, int size) {
    static const struct {
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
static const char *portAdvice(DWORD systemError) {
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

static const char *problemText(ImageProblem problem) {
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

// What ended a failed transfer, where, and what to do about it.
static void describeEnd(const Transfer *t, const TransferResult *r, char *cause, int causeSize,
                        const char **hint) {
    char answer[16];
    describeByte(r->answerByte, answer, sizeof answer);
    BYTE silent = r->answer == ANSWER_NONE;
    int k = r->block + 1;
    switch (r->end) {
        case TRANSFER_UNREADABLE:
            snprintf(cause, (size_t)causeSize, "the file could not be read: %s",
                     problemText(r->problem));
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
                snprintf(cause, (size_t)causeSize, "five NAKs on block %d of %d", k, t->blocks);
                *hint = "the line spoils the frames: try a lower rate (--baud) or another cable";
            } else {
                snprintf(cause, (size_t)causeSize,
                         "block %d of %d sent five times without ACK (%d NAK, %d no answer, "
                         "last %s)",
                         k, t->blocks, t->naks, t->silences, silent ? "none" : answer);
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

static const char *const EndNames[] = {
    "sent",      "unreadable", "header-unanswered", "count-unanswered", "block-unanswered",
    "cancelled", "stopped",
};

// ----- the events

static void onRunStarted() {
    RunStartMs = GetTickCount();
    if (jsonEvent("run-started")) {
        jsonText("port", Settings.portName);
        if (Settings.device != 0) {
            jsonText("device", Settings.device);
        }
        jsonNumber("baud", LinkSettings.baudRate, 0);
        jsonNumber("transfers", Settings.transfers, 0);
        jsonEnd();
    } else if (Settings.style != REPORT_QUIET) {
        printf("Sending over %s at %d baud\n", Settings.portText, LinkSettings.baudRate);
        fflush(stdout);
    }
}

// A run over a port that is not set up cannot succeed: it is stopped before anything is
// sent, and the exit status says why.
static void onPortFailed(LPCSTR text, DWORD systemError) {
    PortFailed = 1;
    requestStop();
    complain("%s %s: %s", text, Settings.portText, portAdvice(systemError));
    if (jsonEvent("port-failed")) {
        jsonText("text", text);
        jsonNumber("error", systemError, 0);
        jsonText("cause", portAdvice(systemError));
        jsonEnd();
    }
}

// The part every line of a transfer starts with: slot, file, id and type.
static void printHead() {
    printf("%-8s  %-12s  id %c  type %c  ", SlotLabels[Current.slot], Current.name, Current.fileId,
           Current.fileType);
}

static void printSending() {
    if (!printingLines()) {
        return;
    }
    clearBar();
    printHead();
    const char *pass = "";
    if (Current.slot == SLOT_PC_CC) {
        pass = Current.pass == 2 ? ", second pass" : ", first pass";
    }
    if (Current.blocks >= 0) {
        printf("%3d blocks  sending%s\n", Current.blocks, pass);
    } else {
        printf("  - blocks  sending%s\n", pass);
    }
    fflush(stdout);
}

static void onStepStarted(int slot, int pass, LPCSTR name, FileId fileId, FileType fileType) {
    memset(&Current, 0, sizeof Current);
    Current.slot = slot;
    Current.pass = pass;
    snprintf(Current.name, sizeof Current.name, "%s", name);
    Current.fileId = fileId;
    Current.fileType = fileType;
    Current.startMs = GetTickCount();
    Current.blocks = -1;
    InStep = 1;
    if (jsonEvent("step-started")) {
        jsonText("slot", SlotLabels[slot]);
        jsonNumber("pass", pass, 0);
        jsonText("file", name);
        jsonChar("id", fileId);
        jsonChar("type", fileType);
        jsonEnd();
    }
}

static void onFileRead(DWORD size, int blocks) {
    Current.size = size;
    Current.blocks = blocks;
    if (jsonEvent("file-read")) {
        jsonNumber("bytes", size, 0);
        jsonNumber("blocks", blocks, 0);
        jsonEnd();
    }
    printSending();
    drawBar();
}

static void onFileUnreadable(ImageProblem problem, DWORD systemError) {
    if (jsonEvent("file-unreadable")) {
        jsonText("problem", problemText(problem));
        jsonNumber("error", systemError, 0);
        jsonEnd();
    }
    printSending();
}

static void onBlockAnswered(int index, int attempt, FrameAnswer answer, BYTE answerByte) {
    if (attempt == 1) {
        Current.naks = Current.silences = 0;
    }
    Current.sends++;
    Current.answered += answer != ANSWER_NONE;
    Current.naks += answer == ANSWER_NAK;
    Current.silences += answer == ANSWER_NONE;
    if (answer == ANSWER_ACK) {
        Current.blocksSent++;
    }
    if (jsonEvent("block")) {
        jsonNumber("index", index, 0);
        jsonNumber("attempt", attempt, 0);
        jsonText("answer", AnswerNames[answer]);
        if (answer != ANSWER_NONE) {
            jsonNumber("byte", answerByte, 0);
        }
        jsonEnd();
    }
    if (Settings.verbose && printingLines()) {
        clearBar();
        char said[16];
        describeByte(answerByte, said, sizeof said);
        const char *what = answer == ANSWER_NONE ? "no answer" : said;
        printf("  block %3d/%d  send %d  %s", index + 1, Current.blocks, attempt, what);
        if (linkQuitting()) {
            printf(", stopping");
        } else if (answer != ANSWER_ACK && answer != ANSWER_CAN) {
            printf(attempt < BLOCK_SEND_ATTEMPTS ? ", sending again" : ", five sends: giving up");
        }
        printf("\n");
        fflush(stdout);
    }
    drawBar();
}

static void onMarkerChanged(int slot) {
    if (jsonEvent("marker")) {
        jsonText("slot", SlotLabels[slot]);
        jsonChar("marker", Slots[slot].marker);
        jsonEnd();
    }
}

// What a transfer put on the wire both ways, at ten bits a byte, and its pause before the
// count frame: header, ACK, count frame and every block frame out; ACK, ENQ, the count's
// ACK and every answer back.
static double wireSecondsOf(const Transfer *t) {
    double bytes = HEADER_FRAME_SIZE + 1 + COUNT_FRAME_SIZE + 3 +
                   (double)t->sends * BLOCK_FRAME_SIZE + t->answered;
    return bytes * 10 / LinkSettings.baudRate + COUNT_FRAME_DELAY_TICKS * TICK_PERIOD_MS / 1000.0;
}

static void onStepEnded(int slot, int pass, const TransferResult *result) {
    (void)slot, (void)pass;
    BYTE sent = result->end == TRANSFER_DONE;
    double seconds = secondsSince(Current.startMs);
    if (sent) {
        TransfersSent++;
        BytesSent += Current.size;
        WireSeconds += wireSecondsOf(&Current);
    } else {
        Failed = Current;
        FailedResult = *result;
        HaveFailed = 1;
    }
    if (jsonEvent("step-ended")) {
        jsonText("slot", SlotLabels[Current.slot]);
        jsonNumber("pass", Current.pass, 0);
        jsonText("outcome", EndNames[result->end]);
        if (!sent && result->end != TRANSFER_STOPPED) {
            char cause[160];
            const char *hint = 0;
            describeEnd(&Current, result, cause, sizeof cause, &hint);
            jsonText("detail", cause);
        }
        jsonNumber("blocks", Current.blocks, 0);
        jsonNumber("sent", Current.blocksSent, 0);
        if (result->block >= 0) {
            jsonNumber("block", result->block, 0);
        }
        jsonNumber("seconds", seconds, 2);
        jsonEnd();
    }
    if (printingLines()) {
        clearBar();
        if (Settings.bar == 2 && Current.blocks > 0) {
            char line[128];
            formatBar(line, sizeof line);
            printf("%s\n", line);
        }
        printHead();
        if (sent) {
            printf("%3d blocks  sent in %.2f s\n", Current.blocks, seconds);
        } else if (result->end == TRANSFER_UNREADABLE) {
            printf("  - blocks  failed: the file could not be read\n");
        } else {
            printf("%3d blocks  %s after %d sent, %.2f s\n", Current.blocks,
                   result->end == TRANSFER_STOPPED ? "stopped" : "failed", Current.blocksSent,
                   seconds);
        }
        fflush(stdout);
    }
    InStep = 0;
}

static void onRunEnded(BYTE ok) {
    (void)ok;  // finishReport, once runDownload has returned, says it all
}

const RunEvents ConsoleEvents = {
    onRunStarted,    onPortFailed,    onStepStarted, onFileRead, onFileUnreadable,
    onBlockAnswered, onMarkerChanged, onStepEnded,   onRunEnded,
};

// ----- the end

// "interrupted in Pump 1 at block 33 of 102: ...": where the stop left the controller.
static void reportInterrupt() {
    if (!HaveFailed || FailedResult.end != TRANSFER_STOPPED) {
        complain("interrupted: nothing more was sent");
        return;
    }
    const char *label = SlotLabels[Failed.slot];
    if (!FailedResult.headerSent) {
        complain("interrupted before %s: nothing of it was sent; run again", label);
    } else if (FailedResult.block >= 0) {
        complain(
            "interrupted in %s at block %d of %d: the controller holds a partial file; run "
            "again",
            label, FailedResult.block + 1, Failed.blocks);
    } else {
        complain(
            "interrupted in %s before its first block: the controller holds a partial "
            "file; run again",
            label);
    }
}

static void reportFailure() {
    char cause[160];
    const char *hint = 0;
    describeEnd(&Failed, &FailedResult, cause, sizeof cause, &hint);
    char head[SLOT_NAME_SIZE + 64];
    snprintf(head, sizeof head, "%s (%s, id %c, type %c) failed", SlotLabels[Failed.slot],
             Failed.name, Failed.fileId, Failed.fileType);
    if (FailedResult.end == TRANSFER_UNREADABLE) {
        complain("%s: %s", head, cause);
    } else {
        complain("%s after %d of %d blocks: %s", head, Failed.blocksSent, Failed.blocks, cause);
    }
    if (hint != 0) {
        complain("%s", hint);
    }
}

// The closing summary: transfers sent, their bytes, the time, and against the wire's time.
static void printSummary(int status) {
    double seconds = secondsSince(RunStartMs);
    if (jsonEvent("run-ended")) {
        jsonNumber("status", status, 0);
        jsonNumber("sent", TransfersSent, 0);
        jsonNumber("transfers", Settings.transfers, 0);
        jsonNumber("bytes", BytesSent, 0);
        jsonNumber("seconds", seconds, 2);
        jsonNumber("wire", WireSeconds, 2);
        jsonEnd();
        return;
    }
    if (Settings.style != REPORT_LINES) {
        return;
    }
    clearBar();
    printf("%d of %d transfers sent, %u bytes in %.2f s", TransfersSent, Settings.transfers,
           (unsigned)BytesSent, seconds);
    if (WireSeconds > 0) {
        printf(", %.2f x the %.2f s the wire needs at %d baud", seconds / WireSeconds, WireSeconds,
               LinkSettings.baudRate);
    }
    printf("\n");
    fflush(stdout);
}

int finishReport(BYTE ok) {
    clearBar();
    int status = EXIT_SENT;
    if (PortFailed) {
        status = EXIT_PORT_FAILED;  // its message is out already
    } else if (ok) {
        status = EXIT_SENT;  // an interrupt that came after the last answer stopped nothing
    } else if (consoleInterrupted()) {
        status = EXIT_INTERRUPTED;
        reportInterrupt();
    } else {
        status = EXIT_STEP_FAILED;
        if (HaveFailed) {
            reportFailure();
        } else {
            complain("the run failed");
        }
    }
    printSummary(status);
    return status;
}
