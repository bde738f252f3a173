// The tally of a run: each transfer's blocks, sends and answers, and the run's sums, fed
// once by the run's events ahead of every output that reads them, and what the controller
// holds of each planned transfer after it. The words for them are words.cpp's.
#include <stdio.h>
#include <string.h>

#include "link/link.h"
#include "protocol/protocol.h"
#include "run/download.h"
#include "send/send.h"

Tally Run;

namespace {

const int LINE_BITS_PER_BYTE = 10;  // a start bit, eight data bits, a stop bit
// The opening of a transfer: its two frames, and four control bytes besides them (the
// device's ACK and ENQ to the header, the PC's ACK to the ENQ, the device's ACK to the count).
const int OPENING_BYTES = HEADER_FRAME_SIZE + COUNT_FRAME_SIZE + 4;

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
