// The listener that hears nothing, the one the run tells, and the fan that passes each call
// on to several listeners. What any listener does with a call is its own business.
#include "events/events.h"

// ----- the null listener

static void nullRunStarted(RunListener *) {}
static void nullPortFailed(RunListener *, LPCSTR, DWORD) {}
static void nullSystemError(RunListener *, DWORD) {}
static void nullHeaderRepeated(RunListener *, int) {}
static void nullStepStarted(RunListener *, int, int, LPCSTR, FileId, FileType) {}
static void nullFileRead(RunListener *, DWORD, int) {}
static void nullFileUnreadable(RunListener *, ImageProblem, DWORD) {}
static void nullBlockAnswered(RunListener *, int, int, FrameAnswer, BYTE) {}
static void nullMarkerChanged(RunListener *, int) {}
static void nullStepEnded(RunListener *, int, int, const TransferResult *) {}
static void nullOutcome(RunListener *, BYTE) {}

static const RunListenerCalls NullCalls = {
    nullRunStarted,    nullPortFailed,     nullSystemError,    nullStepStarted,
    nullFileRead,      nullFileUnreadable, nullHeaderRepeated, nullBlockAnswered,
    nullMarkerChanged, nullStepEnded,      nullOutcome,        nullOutcome,
};
RunListener NullListener = {&NullCalls};

static RunListener *Current = &NullListener;

void setRunListener(RunListener *listener) {
    Current = listener != 0 ? listener : &NullListener;
}

RunListener *runListener() {
    return Current;
}

// ----- the fan

// Makes `call` on each listener of the fan the call came to (its listener is its first
// member), in the order they were added.
template <typename Call>
static void fanOut(RunListener *self, Call call) {
    RunListenerFan *fan = (RunListenerFan *)self;
    for (int i = 0; i < fan->count; i++) {
        call(fan->to[i]);
    }
}

static void fanRunStarted(RunListener *self) {
    fanOut(self, [](RunListener *l) { tellRunStarted(l); });
}

static void fanPortFailed(RunListener *self, LPCSTR text, DWORD error) {
    fanOut(self, [=](RunListener *l) { tellPortFailed(l, text, error); });
}

static void fanPortLost(RunListener *self, DWORD error) {
    fanOut(self, [=](RunListener *l) { tellPortLost(l, error); });
}

static void fanStepStarted(RunListener *self, int slot, int pass, LPCSTR name, FileId fileId,
                           FileType fileType) {
    fanOut(self, [=](RunListener *l) { tellStepStarted(l, slot, pass, name, fileId, fileType); });
}

static void fanFileRead(RunListener *self, DWORD size, int blocks) {
    fanOut(self, [=](RunListener *l) { tellFileRead(l, size, blocks); });
}

static void fanFileUnreadable(RunListener *self, ImageProblem problem, DWORD error) {
    fanOut(self, [=](RunListener *l) { tellFileUnreadable(l, problem, error); });
}

static void fanHeaderRepeated(RunListener *self, int sends) {
    fanOut(self, [=](RunListener *l) { tellHeaderRepeated(l, sends); });
}

static void fanBlockAnswered(RunListener *self, int index, int attempt, FrameAnswer answer,
                             BYTE answerByte) {
    fanOut(self, [=](RunListener *l) { tellBlockAnswered(l, index, attempt, answer, answerByte); });
}

static void fanMarkerChanged(RunListener *self, int slot) {
    fanOut(self, [=](RunListener *l) { tellMarkerChanged(l, slot); });
}

static void fanStepEnded(RunListener *self, int slot, int pass, const TransferResult *result) {
    fanOut(self, [=](RunListener *l) { tellStepEnded(l, slot, pass, result); });
}

static void fanStepsEnded(RunListener *self, BYTE ok) {
    fanOut(self, [=](RunListener *l) { tellStepsEnded(l, ok); });
}

static void fanRunEnded(RunListener *self, BYTE ok) {
    fanOut(self, [=](RunListener *l) { tellRunEnded(l, ok); });
}

static const RunListenerCalls FanCalls = {
    fanRunStarted,    fanPortFailed,     fanPortLost,       fanStepStarted,
    fanFileRead,      fanFileUnreadable, fanHeaderRepeated, fanBlockAnswered,
    fanMarkerChanged, fanStepEnded,      fanStepsEnded,     fanRunEnded,
};

void initFan(RunListenerFan *fan) {
    fan->listener.calls = &FanCalls;
    fan->count = 0;
}

BYTE fanAdd(RunListenerFan *fan, RunListener *listener) {
    if (fan->count >= FAN_OUT_MAX) {
        return 0;
    }
    fan->to[fan->count++] = listener;
    return 1;
}
