// The tally of a run: each transfer's blocks, sends and answers, and the run's sums, fed
// once by the run's events ahead of every output that reads them. Also the words for what
// ended a transfer and for what the controller holds after it; printing them is the outputs'.
#include <stdio.h>
#include <string.h>

#include "link/link.h"
#include "protocol/protocol.h"
#include "run/download.h"
#include "send/send.h"

Tally Run;
RunFacts Facts;

namespace {

const int LINE_BITS_PER_BYTE = 10;  // a start bit, eight data bits, a stop bit
// The opening of a transfer: its two frames, and four control bytes besides them (the
// device's ACK and ENQ to the header, the PC's ACK to the ENQ, the device's ACK to the count).
const int OPENING_BYTES = HEADER_FRAME_SIZE + COUNT_FRAME_SIZE + 4;

// Counts as the texts spell them: "five NAKs".
const char *const CountWords[] = {"no",   "one", "two",   "three", "four",
                                  "five", "six", "seven", "eight", "nine"};
static_assert(BLOCK_SEND_ATTEMPTS < (int)(sizeof CountWords / sizeof CountWords[0]),
              "the sends of a block are spelt out");

void onRunStarted(RunListener *) {
    memset(&Run, 0, sizeof Run);
    Run.started = 1;
    Run.startMs = GetTickCount();
}

void onPortFailed(RunListener *, LPCSTR, DWORD) {
    Run.portFailed = 1;
}

void onPortLost(RunListener *, DWORD) {
    Run.portLost = 1;
}

void onStepStarted(RunListener *, int slot, int pass, LPCSTR name, FileId fileId,
                   FileType fileType) {
    addTransfer(slot, pass, name, fileId, fileType);
}

// The file's bytes are in the image buffer as the transfer starts: the ones hashed are the
// ones sent, without the last block's padding. A run that holds its images to the check has
// hashed them already, as they were read.
void onFileRead(RunListener *, DWORD size, int blocks) {
    Transfer *t = inFlight();
    if (t->sha256[0] == 0) {
        sha256Hex(ImageBuffer, size, t->sha256);
    }
    t->size = size;
    t->blocks = blocks;
    t->headers = 1;  // the header goes as soon as the file is read
    t->readMs = t->lastHeaderMs = GetTickCount();
}

void onHeaderRepeated(RunListener *, int sends) {
    inFlight()->headers = sends;
    inFlight()->lastHeaderMs = GetTickCount();
}

// A transfer's first answer is its header's: ACK is the controller taking the transfer on.
void onAnswerTaken(RunListener *, FrameAnswer answer, BYTE) {
    Transfer *t = inFlight();
    if (answer != ANSWER_NONE && !t->heard) {
        t->heard = 1;
        t->headerTaken = answer == ANSWER_ACK;
    }
}

void onBlockAnswered(RunListener *, int, int attempt, FrameAnswer answer, BYTE) {
    Transfer *t = inFlight();
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

// Seconds the device stayed silent to the transfer's headers: until it answered one, or, when
// it never did, until the transfer ended; 0 when it answered the first.
double silenceOf(const Transfer *t) {
    const TransferResult *r = &t->result;
    if (!r->headerSent || (t->headers <= 1 && r->headerAnswers > 0)) {
        return 0;
    }
    return (double)((r->headerAnswers > 0 ? t->lastHeaderMs : GetTickCount()) - t->readMs) / 1000.0;
}

void onStepEnded(RunListener *, int, int, const TransferResult *result) {
    Transfer *t = inFlight();
    t->ended = 1;
    t->result = *result;
    t->seconds = secondsSince(t->startMs);
    if (result->headerSent && !Run.headerTried) {
        Run.headerTried = 1;  // only the run's first header is waited for
        Run.waited = silenceOf(t);
    }
    Run.blocksDone += t->blocks > 0 ? t->blocks : 0;
    Run.resends += t->resends;
    if (result->end == TRANSFER_DONE) {
        Run.sent++;
        Run.bytes += t->size;
        // The opening, every block frame sent and every answer to one, and the pause before
        // the count frame.
        double bytes = OPENING_BYTES + (double)t->sends * BLOCK_FRAME_SIZE + t->answered;
        Run.wireSeconds += bytes * LINE_BITS_PER_BYTE / LinkSettings.baudRate +
                           COUNT_FRAME_DELAY_TICKS * TICK_PERIOD_MS / 1000.0;
    }
}

const RunListenerCalls TallyCalls = {
    .runStarted = onRunStarted,
    .portOpened = nullPortOpened,
    .portFailed = onPortFailed,
    .portLost = onPortLost,
    .stepStarted = onStepStarted,
    .fileRead = onFileRead,
    .fileUnreadable = nullFileUnreadable,
    .headerRepeated = onHeaderRepeated,
    .frameWritten = nullFrameWritten,
    .answerTaken = onAnswerTaken,
    .blockAnswered = onBlockAnswered,
    .markerChanged = nullMarkerChanged,
    .stepEnded = onStepEnded,
    .stepsEnded = nullStepsEnded,
    .runEnded = nullRunEnded,
};
RunListener Tallying = {&TallyCalls};

// Made from the rows RunEnd is made from, so each ending has its row, in the enum's order.
const struct {
    const char *name;
    int status;
} RunEnds[] = {
#define EXIT_STATUS(status, name, words)
#define RUN_END(id, name, status) {name, EXIT_##status},
#include "send/exits.def"
#undef EXIT_STATUS
#undef RUN_END
};

}  // namespace

RunListener *tallyListener() {
    return &Tallying;
}

double secondsSince(DWORD startMs) {
    return (double)(GetTickCount() - startMs) / 1000.0;
}

int exitStatusOf(RunEnd end) {
    return RunEnds[end].status;
}

const char *runEndName(RunEnd end) {
    return RunEnds[end].name;
}

Transfer *inFlight() {
    return Run.count > 0 ? &Run.transfers[Run.count - 1] : 0;
}

const Transfer *failedTransfer() {
    const Transfer *t = inFlight();
    return t != 0 && t->ended && t->result.end != TRANSFER_DONE ? t : 0;
}

const char *resultName(const Transfer *t) {
    const TransferResult *r = &t->result;
    return r->end == TRANSFER_UNREADABLE && r->problem == IMAGE_CHANGED ? "changed"
                                                                        : transferEndName(r->end);
}

Transfer *addTransfer(int slot, int pass, LPCSTR name, FileId fileId, FileType fileType) {
    if (Run.count == RUN_TRANSFERS) {
        return 0;
    }
    Transfer *t = &Run.transfers[Run.count++];
    memset(t, 0, sizeof *t);
    t->slot = slot;
    t->pass = pass;
    t->fileId = fileId;
    t->fileType = fileType;
    t->blocks = -1;
    snprintf(t->name, sizeof t->name, "%s", name);
    char twin[SLOT_NAME_SIZE];
    filesFindName(name, t->onDisk, twin, sizeof twin);  // as the record names it
    t->startMs = GetTickCount();
    return t;
}

RunEnd shownEndOf(RunEnd end) {
    return end == RUN_OK && Facts.outputLost ? RUN_OUTPUT_CLOSED : end;  // a cut plan is no check
}

RunEnd runEndOf(BYTE ok) {
    const Transfer *failed = failedTransfer();
    BYTE stopped = failed == 0 || failed->result.end == TRANSFER_STOPPED;
    BYTE interrupted = signalsInterrupted();
    if (Run.portFailed || Run.portLost) {
        return Run.portFailed ? RUN_PORT_FAILED : RUN_PORT_LOST;
    }
    if (ok && !interrupted) {
        return RUN_OK;
    }
    if ((interrupted || Facts.outputLost) && stopped) {
        // A step that failed on its own (a CAN as Ctrl+C came) is a failure all the same; an
        // interrupt as the last answer came is one, though it stopped nothing.
        return interrupted ? RUN_INTERRUPTED : RUN_OUTPUT_CLOSED;
    }
    const TransferResult *r = failed != 0 ? &failed->result : 0;
    BYTE waitedOut = r != 0 && Facts.waitSeconds > 0 && r->end == TRANSFER_HEADER_UNANSWERED &&
                     r->answer == ANSWER_NONE && r->headerAnswers == 0;
    return waitedOut ? RUN_NO_ANSWER : RUN_FAILED;
}

// ----- words for what happened

const char *const SENDS = CountWords[BLOCK_SEND_ATTEMPTS];

namespace {
// What the system's error for a port means, and what to do about it.
const char *const CHECK_CABLE = "check the cable or the adapter, and see --list-ports";
// clang-format off
const struct {
    DWORD error;
    const char *cause;
    const char *advice;  // 0: portsAccessDenied() says it for this system
} PortCauses[] = {
    {ERROR_FILE_NOT_FOUND,       "not found",                 CHECK_CABLE},
    {ERROR_PATH_NOT_FOUND,       "not found",                 CHECK_CABLE},
    {ERROR_DEVICE_NOT_CONNECTED, "no device behind it",       "plug the adapter in again, or see --list-ports"},
    {ERROR_NOT_SUPPORTED,        "not a serial port",         "name a serial port (--port; --list-ports lists them)"},
    {ERROR_ACCESS_DENIED,        "access denied",             0},
    {ERROR_SHARING_VIOLATION,    "in use by another program", "close it and run again"},
};
// clang-format on
}  // namespace

void describePort(DWORD systemError, const char **cause, const char **advice) {
    *cause = "the device does not take these settings";
    *advice = "try another rate (--baud) or port";
    for (const auto &known : PortCauses) {
        if (known.error == systemError) {
            *cause = known.cause;
            *advice = known.advice;
        }
    }
}

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

namespace {

const char *const NOT_ANSWERED =
    "check the cable, the port and the rate, and that the controller is waiting for a download";
const char *const BUSY = "the controller is busy or not ready for a download: wait, then run again";
const char *const STRAY =
    "a byte left from an earlier exchange, or noise: run again; if it comes back, check the cable";

// The header is answered ACK, then ENQ. A refusal (NAK, CAN) is a busy controller's; ACK
// twice, or another control character out of its turn, a stray byte; a byte that is no control
// character, noise or a rate the controller does not use.
void describeHeaderAnswer(const TransferResult *r, char *cause, size_t size, const char **hint) {
    char answer[16];
    BYTE named = describeByte(r->answerByte, answer, sizeof answer);
    *hint = STRAY;
    if (r->answer == ANSWER_NONE) {
        snprintf(cause, size, "the device took the header (ACK) but sent no ENQ");
        *hint = NOT_ANSWERED;
    } else if (r->answerByte == NAK || r->answerByte == CAN) {
        snprintf(cause, size, "the device refused the header with %s", answer);
        *hint = BUSY;
    } else if (r->headerAnswers == 2 && r->answerByte == ACK) {
        snprintf(cause, size, "ACK twice to the header: a stray byte on the line");
    } else if (named) {
        snprintf(cause, size,
                 "the device answered the header with %s where %s was due: a stray byte on "
                 "the line",
                 answer, r->headerAnswers == 2 ? "ENQ" : "ACK");
    } else {
        snprintf(cause, size,
                 "the device answered the header with %s, no control character: noise on the "
                 "line or a wrong rate",
                 answer);
        *hint = "check that the rate (--baud) is the controller's, and the cable";
    }
}

}  // namespace

void describeEnd(const Transfer *t, char *cause, int causeSize, const char **hint) {
    const TransferResult *r = &t->result;
    size_t size = (size_t)causeSize;
    char answer[16];
    describeByte(r->answerByte, answer, sizeof answer);
    BYTE silent = r->answer == ANSWER_NONE;
    int k = r->block + 1;
    *hint = 0;
    switch (r->end) {
        case TRANSFER_UNREADABLE:
            if (r->problem == IMAGE_CHANGED) {
                snprintf(cause, size,
                         "%s changed since the check: its SHA-256 was %s, now %s; nothing of it "
                         "was sent",
                         t->name, t->checked, t->sha256);
                break;
            }
            snprintf(cause, size, "the file could not be read: %s", imageProblemText(r->problem));
            *hint = "check the file in the folder named by --dir (or the current one)";
            break;
        case TRANSFER_HEADER_UNANSWERED:
            snprintf(cause, size, "no answer to the header");
            *hint = NOT_ANSWERED;
            if (!silent || r->headerAnswers != 0) {
                describeHeaderAnswer(r, cause, size, hint);
            }
            break;
        case TRANSFER_COUNT_UNANSWERED:
            if (silent) {
                snprintf(cause, size, "no answer to the block count");
            } else {
                snprintf(cause, size, "the device answered the block count with %s, not ACK",
                         answer);
            }
            *hint =
                "the controller took the header but not the count: check the rate (--baud) "
                "and run again";
            break;
        case TRANSFER_BLOCK_UNANSWERED:
            if (t->silences == BLOCK_SEND_ATTEMPTS) {
                snprintf(cause, size, "no answer after block %d of %d", k, t->blocks);
                *hint = "the line went quiet: check the cable and that the controller is on";
            } else if (t->naks == BLOCK_SEND_ATTEMPTS) {
                snprintf(cause, size, "%s NAKs on block %d of %d", SENDS, k, t->blocks);
                *hint = "the line spoils the frames: try a lower rate (--baud) or another cable";
            } else {
                snprintf(cause, size,
                         "block %d of %d sent %s times without ACK (%d NAK, %d no answer, "
                         "last %s)",
                         k, t->blocks, SENDS, t->naks, t->silences, silent ? "none" : answer);
                *hint = "the line is unreliable: try a lower rate (--baud) or another cable";
            }
            break;
        case TRANSFER_CANCELLED:
            snprintf(cause, size, "cancelled by the device (CAN) at block %d of %d", k, t->blocks);
            *hint =
                "the controller refused the file: check that it is the right file for the "
                "slot";
            break;
        case TRANSFER_PORT_LOST:
            snprintf(cause, size, "the port went away");
            break;
        default:
            snprintf(cause, size, "stopped");
            break;
    }
}

// ----- what the controller holds

const StepInfo *plannedStep(int index, int *pass, FileId *fileId) {
    for (int i = 0; i < STEP_COUNT; i++) {
        int passes = Slots[Steps[i].slot].name[0] == 0 ? 0 : Steps[i].secondPassId != 0 ? 2 : 1;
        if (index < passes) {
            *pass = index + 1;
            *fileId = index == 1 ? Steps[i].secondPassId : Steps[i].fileId;
            return &Steps[i];
        }
        index -= passes;
    }
    return 0;
}

const char *runModeName(RunMode mode) {
    static const char *const Names[] = {"send",       "check", "list-makes",
                                        "list-ports", "help",  "version"};
    return Names[mode];
}

const char *holdingName(Holding holding) {
    static const char *const Names[] = {"untouched", "partial", "sent"};
    return Names[holding];
}

// The run stops at its first failure, so its transfers are the first of the plan.
Holding holdingOf(int index, int *blocks, int *taken) {
    const Transfer *t =
        index < Run.count && !Run.transfers[index].planned ? &Run.transfers[index] : 0;
    *blocks = t != 0 && t->blocks > 0 ? t->blocks : 0;
    *taken = t != 0 ? t->blocksSent : 0;
    return t == 0 || !t->headerTaken        ? HOLDS_NOTHING
           : t->result.end == TRANSFER_DONE ? HOLDS_ALL
                                            : HOLDS_PART;
}

void plannedName(int index, char *out, int size) {
    int pass;
    FileId id;
    int slot = plannedStep(index, &pass, &id)->slot;  // one the plan has
    snprintf(out, (size_t)size, slot == SLOT_PC_CC ? "%s pass %d" : "%s", SlotLabels[slot], pass);
}

void controllerLine(char *out, int size) {
    char full[300] = "", part[300] = "", none[300] = "", partial[64] = "";
    int pass;
    FileId id;
    for (int i = 0; plannedStep(i, &pass, &id) != 0; i++) {
        int blocks, taken;
        Holding state = holdingOf(i, &blocks, &taken);
        char name[32];
        plannedName(i, name, sizeof name);
        char *list = state == HOLDS_ALL ? full : state == HOLDS_PART ? part : none;
        snprintf(list + strlen(list), sizeof full - strlen(list), "%s%s", list[0] ? ", " : "",
                 name);
        if (state == HOLDS_PART) {
            snprintf(list + strlen(list), sizeof full - strlen(list), " (%d of %d blocks)", taken,
                     blocks);
            snprintf(partial, sizeof partial, "%s", name);
        }
    }
    if (!part[0] && !none[0]) {
        snprintf(out, (size_t)size, "The controller holds every image of the run in full.");
        return;
    }
    snprintf(out, (size_t)size, "The controller holds %s%s%s%s.", full[0] ? full : "nothing",
             full[0] ? " in full" : " of this run", part[0] ? "; in part: " : "", part);
    snprintf(out + strlen(out), (size_t)(size - (int)strlen(out)),
             partial[0] ? " Run again; the controller keeps the partial %s until then."
             : full[0]  ? " Run again to send the rest.%s"
                        : " Run again to send it.%s",
             partial);
}
