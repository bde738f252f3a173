// The fan: one listener that passes each call on to several, in the order they were added, so
// that a program can print and record the same run. Apart from events.cpp so that a program
// with one listener does not carry it.
#include "events/events.h"

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

static void fanPortOpened(RunListener *self) {
    fanOut(self, [](RunListener *l) { tellPortOpened(l); });
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

static void fanFrameWritten(RunListener *self, const BYTE *bytes, int length) {
    fanOut(self, [=](RunListener *l) { tellFrameWritten(l, bytes, length); });
}

static void fanAnswerTaken(RunListener *self, FrameAnswer answer, BYTE answerByte) {
    fanOut(self, [=](RunListener *l) { tellAnswerTaken(l, answer, answerByte); });
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
    .runStarted = fanRunStarted,
    .portOpened = fanPortOpened,
    .portFailed = fanPortFailed,
    .portLost = fanPortLost,
    .stepStarted = fanStepStarted,
    .fileRead = fanFileRead,
    .fileUnreadable = fanFileUnreadable,
    .headerRepeated = fanHeaderRepeated,
    .frameWritten = fanFrameWritten,
    .answerTaken = fanAnswerTaken,
    .blockAnswered = fanBlockAnswered,
    .markerChanged = fanMarkerChanged,
    .stepEnded = fanStepEnded,
    .stepsEnded = fanStepsEnded,
    .runEnded = fanRunEnded,
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
