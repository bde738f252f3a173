// marvane-send's text output: a line per transfer as it starts and ends, a bar for the file in
// flight on a terminal, each block's answer with --verbose, the messages on standard error and
// the closing words. It reads the tally; how the run ended is main's to say.
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "link/link.h"
#include "protocol/protocol.h"
#include "resources/version.h"
#include "send/ports.h"
#include "send/send.h"

static Problem Problems[PROBLEMS_MAX];
static int ProblemCount;
static char FirstComplaint[400];

namespace {

const int BAR_WIDTH = 30;  // characters between the brackets
BYTE Quiet, Verbose, Bar;
BYTE BarShown;  // the terminal's line holds the bar: the next text clears it first

// The message on standard error, and its first line kept for the record.
void say(const char *code, const char *subject, BYTE aboutFile, const char *format, va_list args) {
    flushOutput();
    char message[sizeof FirstComplaint];
    vsnprintf(message, sizeof message, format, args);
    int firstLine = (int)strcspn(message, "\n");  // a hint to try --help stays on the screen
    if (code != 0 && ProblemCount < PROBLEMS_MAX) {
        Problem *p = &Problems[ProblemCount++];
        snprintf(p->code, sizeof p->code, "%s", code);
        snprintf(p->subject, sizeof p->subject, "%s", subject);
        p->aboutFile = aboutFile;
        snprintf(p->message, sizeof p->message, "%.*s", firstLine, message);
    }
    fprintf(stderr, "marvane-send: %s\n", message);
    fflush(stderr);
    if (FirstComplaint[0] == 0) {
        snprintf(FirstComplaint, sizeof FirstComplaint, "%.*s", firstLine, message);
    }
}

void clearBar() {
    if (BarShown) {
        printf("\r%*s\r", BAR_WIDTH + 40, "");
        flushOutput();
        BarShown = 0;
    }
}

BYTE printingLines() {
    return !Quiet && !Run.portFailed;
}

void formatBar(const Transfer *t, char *out, int size) {
    int filled = t->blocks > 0 ? t->blocksSent * BAR_WIDTH / t->blocks : 0;
    char bar[BAR_WIDTH + 1];
    for (int i = 0; i < BAR_WIDTH; i++) {
        bar[i] = i < filled ? '#' : '.';
    }
    bar[BAR_WIDTH] = 0;
    // The time left for the run at the rate: every block still to go, with its answer.
    int left = Facts.blocks - Run.blocksDone - t->blocksSent;
    int seconds =
        (int)((double)(left > 0 ? left : 0) * (BLOCK_FRAME_SIZE + 1) * 10 / LinkSettings.baudRate +
              0.5);
    snprintf(out, (size_t)size, "%-12.40s [%s] %3d/%d blocks, %d:%02d left", t->name, bar,
             t->blocksSent, t->blocks, seconds / 60, seconds % 60);
}

// On a terminal the bar is redrawn in place; elsewhere it waits for the end of the step.
void drawBar() {
    const Transfer *t = inFlight();
    if (Bar == 1 && printingLines() && t != 0 && !t->ended && t->blocks > 0) {
        char line[128];
        formatBar(t, line, sizeof line);
        printf("\r%s", line);
        flushOutput();
        BarShown = 1;
    }
}

void onRunStarted(RunListener *) {
    BarShown = 0;
    if (!Quiet) {
        printf("Sending over %s at %d baud\n", Facts.portText, LinkSettings.baudRate);
        flushOutput();
    }
}

void onPortFailed(RunListener *, LPCSTR text, DWORD systemError) {
    const char *cause, *advice;
    describePort(systemError, &cause, &advice);
    complain("%s %s: %s; %s", text, Facts.portText, cause, advice);
}

// The part every line of a transfer starts with: slot, file, id and type.
void printHead(const Transfer *t) {
    clearBar();
    printf("%-8s  %-12s  id %c  type %c  ", SlotLabels[t->slot], t->name, t->fileId, t->fileType);
}

void printSending() {
    const Transfer *t = inFlight();
    if (printingLines()) {
        printHead(t);
        const char *pass = t->slot != SLOT_PC_CC ? ""
                           : t->pass == 2        ? ", second pass"
                                                 : ", first pass";
        if (t->blocks >= 0) {
            printf("%3d blocks  sending%s\n", t->blocks, pass);
        } else {
            printf("  - blocks  sending%s\n", pass);
        }
        flushOutput();
    }
}

void onFileRead(RunListener *, DWORD, int) {
    printSending();
    drawBar();
}

void onFileUnreadable(RunListener *, ImageProblem, DWORD) {
    printSending();
}

// The device is silent and --wait has time left: the header went again.
void onHeaderRepeated(RunListener *, int sends) {
    if (printingLines() && (sends == 2 || Verbose)) {
        clearBar();
        if (sends == 2) {
            printf(
                "  no answer to the header: sending it again until the controller answers, "
                "for up to %d s\n",
                Facts.waitSeconds);
        } else {
            printf("  header sent %d times, no answer yet\n", sends);
        }
        flushOutput();
    }
}

void onBlockAnswered(RunListener *, int index, int attempt, FrameAnswer answer, BYTE answerByte) {
    if (Verbose && printingLines()) {
        clearBar();
        char said[16];
        describeByte(answerByte, said, sizeof said);
        printf("  block %3d/%d  send %d  %s", index + 1, inFlight()->blocks, attempt,
               answer == ANSWER_NONE ? "no answer" : said);
        if (linkQuitting()) {
            printf(", stopping");
        } else if (answer != ANSWER_ACK && answer != ANSWER_CAN) {
            printf(attempt < BLOCK_SEND_ATTEMPTS ? ", sending again" : ", %s sends: giving up",
                   SENDS);
        }
        printf("\n");
        flushOutput();
    }
    drawBar();
}

void onStepEnded(RunListener *, int, int, const TransferResult *result) {
    const Transfer *t = inFlight();
    if (!printingLines()) {
        return;
    }
    clearBar();
    if (Bar == 2 && t->blocks > 0) {
        char line[128];
        formatBar(t, line, sizeof line);
        printf("%s\n", line);
    }
    printHead(t);
    if (result->end == TRANSFER_DONE) {
        printf("%3d blocks  sent in %.2f s\n", t->blocks, t->seconds);
    } else if (result->end == TRANSFER_UNREADABLE) {
        printf("  - blocks  failed: %s\n", result->problem == IMAGE_CHANGED
                                               ? "it changed since the check"
                                               : "the file could not be read");
    } else {
        printf("%3d blocks  %s after %d sent, %.2f s\n", t->blocks,
               result->end == TRANSFER_STOPPED ? "stopped" : "failed", t->blocksSent, t->seconds);
    }
    flushOutput();
}

const RunListenerCalls TextCalls = {
    .runStarted = onRunStarted,
    .portOpened = nullPortOpened,
    .portFailed = onPortFailed,
    .portLost = nullPortLost,
    .stepStarted = nullStepStarted,
    .fileRead = onFileRead,
    .fileUnreadable = onFileUnreadable,
    .headerRepeated = onHeaderRepeated,
    .frameWritten = nullFrameWritten,
    .answerTaken = nullAnswerTaken,
    .blockAnswered = onBlockAnswered,
    .markerChanged = nullMarkerChanged,
    .stepEnded = onStepEnded,
    .stepsEnded = nullStepsEnded,
    .runEnded = nullRunEnded,
};
RunListener Text = {&TextCalls};

// Why standard output went, as the closing words say it: its reader went, or the system's
// words for why it could not be written (a full disk, a file size limit).
const char *outputLostWords() {
    static char words[160];
    if (Facts.outputError != ENOSPC && Facts.outputError != EFBIG) {
        return "standard output was closed";
    }
    snprintf(words, sizeof words, "standard output could not be written (%s)",
             strerror(Facts.outputError));
    return words;
}

// Where the stop left the controller, from the count `holds` is made of: the transfer the run
// was at, by its pass, and what the controller holds of it.
void sayInterrupt() {
    const char *why = Facts.outputLost ? outputLostWords() : "interrupted";
    const Transfer *t = failedTransfer();
    int at = Run.count - 1, blocks = 0, taken = 0;
    char name[32] = "";
    Holding holding = at >= 0 ? holdingOf(at, &blocks, &taken) : HOLDS_NOTHING;
    if (at >= 0) {
        plannedName(at, name, sizeof name);
    }
    // A second interrupt does not wait for the answer to what went last: one more may be held.
    const char *unsure = linkStoppedNow() && t != 0 && t->result.headerSent
                             ? " (the answer in flight was not waited for)"
                             : "";
    if (!Run.started) {
        complain("%s before the run started: nothing was sent", why);
    } else if (t == 0 && Run.sent == Facts.transfers) {  // it came with the last answer
        complain("%s as the run ended: the controller holds every image of the run in full", why);
    } else if (t == 0 || t->result.end != TRANSFER_STOPPED) {
        complain("%s: nothing more was sent", why);
    } else if (holding == HOLDS_NOTHING && at == 0) {  // a --wait cut short comes here
        complain(
            "%s before the controller took anything: it holds nothing of this run; run again%s",
            why, unsure);
    } else if (holding == HOLDS_NOTHING) {
        complain("%s before %s: the controller holds nothing of it; run again%s", why, name,
                 unsure);
    } else if (taken > 0) {
        complain("%s in %s at block %d of %d: the controller holds a partial file; run again%s",
                 why, name, taken + 1, blocks, unsure);
    } else {
        complain(
            "%s in %s before its first block: the controller holds a partial file; run again%s",
            why, name, unsure);
    }
}

// The failed step, with its cause and what to do; a wait that ran out says so first.
void sayFailure(RunEnd end) {
    const Transfer *t = failedTransfer();
    if (t == 0) {
        complain("the run failed");
        return;
    }
    if (end == RUN_NO_ANSWER) {
        complain("no answer within %d s: the header went %d times", Facts.waitSeconds, t->headers);
    }
    char cause[400];
    const char *hint;
    describeEnd(t, cause, sizeof cause, &hint);
    char head[SLOT_NAME_SIZE + 64];
    snprintf(head, sizeof head, "%s (%s, id %c, type %c) failed", SlotLabels[t->slot], t->name,
             t->fileId, t->fileType);
    if (t->result.end == TRANSFER_UNREADABLE) {
        complain("%s: %s", head, cause);
    } else {
        complain("%s after %d of %d blocks: %s", head, t->blocksSent, t->blocks, cause);
    }
    if (hint != 0) {
        complain("%s", hint);
    }
}

// What is said outside a run, as lines for a person.
void saidNothing(Output *) {}

void addTextListeners(Output *, RunListenerFan *fan, BYTE quiet, BYTE verbose, BYTE bar) {
    fanAdd(fan, textListener(quiet, verbose, bar));
}

void saidHelp(Output *, const char *text) {
    fputs(text, stdout);
}

void saidVersion(Output *) {
    printf("marvane-send %s\n", MARVANE_VERSION_TEXT);
}

void saidMakesOf(Output *, const char *slot, const char *option) {
    printf("%s (%s):\n", slot, option);
}

void saidMake(Output *, const char *, const char *, const char *key, const char *label,
              const char *file) {
    printf("  %-13s %-15s %s\n", key, label, file);
}

void saidPort(Output *, const SerialPortInfo *p, const char *option) {
    char usb[16] = "";
    if (p->usb) {
        snprintf(usb, sizeof usb, "USB %04x:%04x", p->vid, p->pid);
    }
    printf("%-10s %-36s %s  %s\n", p->name, p->friendly, usb, option);
}

void saidPortsListed(Output *, int count) {
    if (count == 0) {
        printf("No serial ports found.\n");
    }
}

void saidPlanStarted(Output *) {
    if (Facts.expectPath != 0) {
        printf("Every image is as %s lists it.\n", Facts.expectPath);
    }
    printf("Would send over %s at %d baud:\n", Facts.portText, LinkSettings.baudRate);
}

void saidPlanSkipped(Output *, const char *slot) {
    printf("     %-8s  %-12s  skipped: no make chosen\n", slot, "-");
}

void saidPlanned(Output *, int step, const Transfer *t) {
    printf("  %d  %-8s  %-12s  id %c  type %c  %5u bytes  %3d blocks  sha256 %s\n", step,
           SlotLabels[t->slot], t->name, t->fileId, t->fileType, (unsigned)t->size, t->blocks,
           t->sha256);
}

void saidPortChecked(Output *) {
    printf("%s opened and set up at %d baud, and closed: nothing was sent\n", Facts.portText,
           LinkSettings.baudRate);
}

void saidExpected(Output *, const char *, const char *, const char *, int, BYTE) {}

// Before the summary, which closes the output.
void saidController(Output *) {
    if (!Quiet) {
        char line[600];
        controllerLine(line, sizeof line);
        printf("%s\n", line);
    }
}

void saidRecord(Output *, const char *) {}

const OutputCalls TextOutputCalls = {
    .opened = saidNothing,
    .addListeners = addTextListeners,
    .help = saidHelp,
    .version = saidVersion,
    .makesOf = saidMakesOf,
    .make = saidMake,
    .port = saidPort,
    .portsListed = saidPortsListed,
    .planStarted = saidPlanStarted,
    .planSkipped = saidPlanSkipped,
    .planned = saidPlanned,
    .portChecked = saidPortChecked,
    .expected = saidExpected,  // a mismatch is a problem, said on standard error
    .controller = saidController,
    .record = saidRecord,  // the log holds it
};
Output TextLines = {&TextOutputCalls, 0};

}  // namespace

const Problem *problemAt(int index) {
    return index < ProblemCount ? &Problems[index] : 0;
}

const char *firstComplaint() {
    return FirstComplaint;
}

void complain(const char *format, ...) {
    va_list args;
    va_start(args, format);
    say(0, 0, 0, format, args);
    va_end(args);
}

void problem(const char *code, const char *option, const char *format, ...) {
    va_list args;
    va_start(args, format);
    say(code, option, 0, format, args);
    va_end(args);
}

void fileProblem(const char *code, const char *file, const char *format, ...) {
    va_list args;
    va_start(args, format);
    say(code, file, 1, format, args);
    va_end(args);
}

RunListener *textListener(BYTE quiet, BYTE verbose, BYTE bar) {
    Quiet = quiet;
    Verbose = verbose;
    Bar = quiet ? 0 : bar;
    return &Text;
}

// The closing summary a technician reads: OK or FAILED, the transfers, their bytes and
// resends, the time (and how much of it went waiting for the controller), and against the
// wire's time for a run that sent every file. Quiet and JSON output print none.
void sayEnd(RunEnd end) {
    clearBar();
    if (end == RUN_PORT_LOST) {
        complain("the port went away: was the adapter unplugged?");
    } else if (end == RUN_INTERRUPTED || end == RUN_OUTPUT_CLOSED) {
        sayInterrupt();
    } else if (end == RUN_FAILED || end == RUN_NO_ANSWER) {
        sayFailure(end);
    }
    if (Quiet) {
        return;
    }
    printf("%s: %d of %d transfers sent, %u bytes, %d resend%s", end == RUN_OK ? "OK" : "FAILED",
           Run.sent, Facts.transfers, (unsigned)Run.bytes, Run.resends,
           Run.resends == 1 ? "" : "s");
    if (Run.started) {
        double seconds = secondsSince(Run.startMs);
        printf(" in %.2f s", seconds);
        if (Facts.waitSeconds > 0) {
            printf(" (%.2f s of it waiting for the controller)", Run.waited);
        }
        if (end == RUN_OK && Run.wireSeconds > 0) {  // the wait was no work of the wire's
            printf(", %.2f x the %.2f s the wire needs at %d baud",
                   (seconds - Run.waited) / Run.wireSeconds, Run.wireSeconds,
                   LinkSettings.baudRate);
        }
    }
    printf("\n");
    flushOutput();
}

Output *textOutput() {
    return &TextLines;
}

void sayUsage(const char *usage) {
    fputs(usage, stderr);
    fputs("Try 'marvane-send --help' for the options, or --list-makes for the makes.\n", stderr);
}

void sayShownCut() {
    complain("%s: what it shows is not whole", outputLostWords());
}
