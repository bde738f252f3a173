// The window program's listener of the run: a marker that changes repaints the status lines
// as laid out at start-up, the progress bar follows the file in flight, and a port that
// cannot be set up gets its modal box. What the lines say is status.cpp's. It keeps no state
// of its own: WindowContext is all it needs.
#include "ui/ui.h"

WindowContextData WindowContext;

static void setProgress(int position) {
    SendMessageA(WindowContext.progressBar, PBM_SETPOS, (WPARAM)position, 0);
}

static void onRunStarted(RunListener *) {
    setProgress(0);
}

static void onPortFailed(RunListener *, LPCSTR text, DWORD) {
    MessageBoxA(NULL, text, "Error", MB_OK);  // the operator gets the one line
}

static void onStepStarted(RunListener *, int, int, LPCSTR, FileId, FileType) {
    setProgress(0);  // each file starts from an empty bar
}

static void onFileRead(RunListener *, DWORD, int blocks) {
    SendMessageA(WindowContext.progressBar, PBM_SETRANGE, 0, MAKELPARAM(0, blocks));
    SendMessageA(WindowContext.progressBar, PBM_SETSTEP, 1, 0);
}

static void onBlockAnswered(RunListener *, int, int, FrameAnswer answer, BYTE) {
    if (answer == ANSWER_ACK) {
        SendMessageA(WindowContext.progressBar, PBM_STEPIT, 0, 0);  // one step per block taken
    }
}

// Repaints the status lines as they were laid out at start-up, drawing over the old text.
static void onMarkerChanged(RunListener *, int) {
    InvalidateRect(WindowContext.mainWindow, &WindowContext.clientRect, FALSE);
}

// A good run empties the bar before the port is closed; a failed one leaves one unit of the
// last range once it is closed.
static void onStepsEnded(RunListener *, BYTE ok) {
    if (ok) {
        setProgress(0);
    }
}

static void onRunEnded(RunListener *, BYTE ok) {
    if (!ok) {
        setProgress(1);
    }
}

static const RunListenerCalls WindowCalls = {
    .runStarted = onRunStarted,
    .portOpened = nullPortOpened,
    .portFailed = onPortFailed,
    .portLost = nullPortLost,  // the run ends by its time-outs, the slot's 'E' shows it
    .stepStarted = onStepStarted,
    .fileRead = onFileRead,
    .fileUnreadable = nullFileUnreadable,  // the slot's 'E' says it
    .headerRepeated = nullHeaderRepeated,  // the window program sends it once
    .frameWritten = nullFrameWritten,
    .answerTaken = nullAnswerTaken,
    .blockAnswered = onBlockAnswered,
    .markerChanged = onMarkerChanged,
    .stepEnded = nullStepEnded,  // the marker says it
    .stepsEnded = onStepsEnded,
    .runEnded = onRunEnded,
};
RunListener WindowListener = {&WindowCalls};
