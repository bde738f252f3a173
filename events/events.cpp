// The listener that hears nothing and the one the run tells (the fan is fan.cpp). What any
// listener does with a call is its own business.
#include "events/events.h"

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
