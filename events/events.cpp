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

// The fan a call was made on: its listener is its first member.
static RunListenerFan *fanOf(RunListener *self) {
    return (RunListenerFan *)self;
}

static void fanRunStarted(RunListener *self) {
    RunListenerFan *fan = fanOf(self);
    for (int i = 0; i < fan->count; i++) {
        tellRunStarted(fan->to[i]);
    }
}

static void fanPortFailed(RunListener *self, LPCSTR text, DWORD systemError) {
    RunListenerFan *fan = fanOf(self);
    for (int i = 0; i < fan->count; i++) {
        tellPortFailed(fan->to[i], text, systemError);
    }
}

static void fanPortLost(RunListener *self, DWORD systemError) {
    RunListenerFan *fan = fanOf(self);
    for (int i = 0; i < fan->count; i++) {
        tellPortLost(fan->to[i], systemError);
    }
}

static void fanStepStarted(RunListener *self, int slot, int pass, LPCSTR name, FileId fileId,
                           FileType fileType) {
    RunListenerFan *fan = fanOf(self);
    for (int i = 0; i < fan->count; i++) {
        tellStepStarted(fan->to[i], slot, pass, name, fileId, fileType);
    }
}

static void fanFileRead(RunListener *self, DWORD size, int blocks) {
    RunListenerFan *fan = fanOf(self);
    for (int i = 0; i < fan->count; i++) {
        tellFileRead(fan->to[i], size, blocks);
    }
}

static void fanFileUnreadable(RunListener *self, ImageProblem problem, DWORD systemError) {
    RunListenerFan *fan = fanOf(self);
    for (int i = 0; i < fan->count; i++) {
        tellFileUnreadable(fan->to[i], problem, systemError);
    }
}

static void fanHeaderRepeated(RunListener *self, int sends) {
    RunListenerFan *fan = fanOf(self);
    for (int i = 0; i < fan->count; i++) {
        tellHeaderRepeated(fan->to[i], sends);
    }
}

static void fanBlockAnswered(RunListener *self, int index, int attempt, FrameAnswer answer,
                             BYTE answerByte) {
    RunListenerFan *fan = fanOf(self);
    for (int i = 0; i < fan->count; i++) {
        tellBlockAnswered(fan->to[i], index, attempt, answer, answerByte);
    }
}

static void fanMarkerChanged(RunListener *self, int slot) {
    RunListenerFan *fan = fanOf(self);
    for (int i = 0; i < fan->count; i++) {
        tellMarkerChanged(fan->to[i], slot);
    }
}

static void fanStepEnded(RunListener *self, int slot, int pass, const TransferResult *result) {
    RunListenerFan *fan = fanOf(self);
    for (int i = 0; i < fan->count; i++) {
        tellStepEnded(fan->to[i], slot, pass, result);
    }
}

static void fanStepsEnded(RunListener *self, BYTE ok) {
    RunListenerFan *fan = fanOf(self);
    for (int i = 0; i < fan->count; i++) {
        tellStepsEnded(fan->to[i], ok);
    }
}

static void fanRunEnded(RunListener *self, BYTE ok) {
    RunListenerFan *fan = fanOf(self);
    for (int i = 0; i < fan->count; i++) {
        tellRunEnded(fan->to[i], ok);
    }
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
