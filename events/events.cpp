// The listener that hears nothing, the one the run tells (the fan is fan.cpp), the run's
// policy and the names of its answers, endings and problems. What any listener does with a
// call is its own business.
#include "events/events.h"

void nullRunStarted(RunListener *) {}
void nullPortOpened(RunListener *) {}
void nullPortFailed(RunListener *, LPCSTR, DWORD) {}
void nullPortLost(RunListener *, DWORD) {}
void nullStepStarted(RunListener *, int, int, LPCSTR, FileId, FileType) {}
void nullFileRead(RunListener *, DWORD, int) {}
void nullFileUnreadable(RunListener *, ImageProblem, DWORD) {}
void nullHeaderRepeated(RunListener *, int) {}
void nullFrameWritten(RunListener *, const BYTE *, int) {}
void nullAnswerTaken(RunListener *, FrameAnswer, BYTE) {}
void nullBlockAnswered(RunListener *, int, int, FrameAnswer, BYTE) {}
void nullMarkerChanged(RunListener *, int) {}
void nullStepEnded(RunListener *, int, int, const TransferResult *) {}
void nullStepsEnded(RunListener *, BYTE) {}
void nullRunEnded(RunListener *, BYTE) {}

static const RunListenerCalls NullCalls = {
    .runStarted = nullRunStarted,
    .portOpened = nullPortOpened,
    .portFailed = nullPortFailed,
    .portLost = nullPortLost,
    .stepStarted = nullStepStarted,
    .fileRead = nullFileRead,
    .fileUnreadable = nullFileUnreadable,
    .headerRepeated = nullHeaderRepeated,
    .frameWritten = nullFrameWritten,
    .answerTaken = nullAnswerTaken,
    .blockAnswered = nullBlockAnswered,
    .markerChanged = nullMarkerChanged,
    .stepEnded = nullStepEnded,
    .stepsEnded = nullStepsEnded,
    .runEnded = nullRunEnded,
};
RunListener NullListener = {&NullCalls};

static RunListener *Current = &NullListener;

void setRunListener(RunListener *listener) {
    Current = listener != 0 ? listener : &NullListener;
}

RunListener *runListener() {
    return Current;
}

RunPolicy Policy;

// clang-format off
static const char *const AnswerNames[] = {"ACK", "NAK", "CAN", "other", "none"};
static const char *const EndNames[] = {
    "sent", "unreadable", "header-unanswered", "count-unanswered", "block-unanswered",
    "cancelled", "stopped", "port-lost",
};
// A problem's code, and its words in a sentence ("the file is too large").
static const struct {
    const char *name, *text;
} Problems[] = {
    {"read",       "read"},
    {"not-found",  "not found"},
    {"not-opened", "cannot be opened"},
    {"too-large",  "too large"},
    {"short",      "cannot be read whole"},
    {"changed",    "changed since the check"},
};
// clang-format on
static_assert(sizeof EndNames / sizeof EndNames[0] == TRANSFER_PORT_LOST + 1, "an end unnamed");
static_assert(sizeof Problems / sizeof Problems[0] == IMAGE_CHANGED + 1, "a problem unnamed");

const char *answerName(FrameAnswer answer) {
    return AnswerNames[answer];
}

const char *transferEndName(TransferEnd end) {
    return EndNames[end];
}

const char *imageProblemName(ImageProblem problem) {
    return Problems[problem].name;
}

const char *imageProblemText(ImageProblem problem) {
    return Problems[problem].text;
}
