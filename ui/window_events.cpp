// The window program's front end of the run: a marker that changes repaints the status lines
// as laid out at start-up, the progress bar follows the file in flight, and a port that
// cannot be set up gets its modal box. What the lines say is status.cpp's.
#include "ui/ui.h"

WindowContextData WindowContext;

static void setProgress(int position) {
    SendMessageA(WindowContext.progressBar, PBM_SETPOS, (WPARAM)position, 0);
}

static void onRunStarted() {
    setProgress(0);
}

static void onPortFailed(LPCSTR text, DWORD systemError) {
    (void)systemError;  // the operator gets the one line
    MessageBoxA(NULL, text, "Error", MB_OK);
}

static void onStepStarted(int slot, int pass, LPCSTR name, FileId fileId, FileType fileType) {
    (void)slot, (void)pass, (void)name, (void)fileId, (void)fileType;
    setProgress(0);  // each file starts from an empty bar
}

static void onFileRead(DWORD size, int blocks) {
    (void)size;
    SendMessageA(WindowContext.progressBar, PBM_SETRANGE, 0, MAKELPARAM(0, blocks));
    SendMessageA(WindowContext.progressBar, PBM_SETSTEP, 1, 0);
}

static void onFileUnreadable(ImageProblem problem, DWORD systemError) {
    (void)problem, (void)systemError;  // the slot's 'E' says it
}

static void onBlockAnswered(int index, int attempt, FrameAnswer answer, BYTE answerByte) {
    (void)index, (void)attempt, (void)answerByte;
    if (answer == ANSWER_ACK) {
        SendMessageA(WindowContext.progressBar, PBM_STEPIT, 0, 0);  // one step per block taken
    }
}

// Repaints the status lines as they were laid out at start-up, drawing over the old text.
static void onMarkerChanged(int slot) {
    (void)slot;
    InvalidateRect(WindowContext.mainWindow, &WindowContext.clientRect, FALSE);
}

static void onStepEnded(int slot, int pass, const TransferResult *result) {
    (void)slot, (void)pass, (void)result;  // the marker's change shows it
}

// Back to empty after a good run; one unit of the last range after a failed one.
static void onRunEnded(BYTE ok) {
    setProgress(ok ? 0 : 1);
}

const RunEvents WindowEvents = {
    onRunStarted,    onPortFailed,    onStepStarted, onFileRead, onFileUnreadable,
    onBlockAnswered, onMarkerChanged, onStepEnded,   onRunEnded,
};
