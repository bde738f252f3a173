// The download run: one step per slot in a fixed order (PC_CC in two passes), stopping at
// the first failure. Progress shows as slot markers, step repaints and the progress bar;
// the frames themselves are the protocol's.
#include "run/download.h"

#include "link/link.h"
#include "protocol/protocol.h"
#include "protocol/window_context.h"
#include "run/slots.h"

BYTE RunInProgress = 0;

// What each slot's transfers tell the device, in run order. The ids are fixed per slot and
// do not follow the run order: Pump 2 is '5' and Reader 1 is '4'. PC_CC goes twice, as
// file '1' and then as file '2'; the second pass runs only if the first succeeded.
// clang-format off
const StepInfo Steps[] = {
    // slot        id   type skip second pass
    {SLOT_POS,     '0', 'C', 0,   0},
    {SLOT_PC_CC,   '1', 'A', 0,   '2'},
    {SLOT_PUMP1,   '3', 'A', 0,   0},
    {SLOT_PUMP2,   '5', 'A', 1,   0},
    {SLOT_READER1, '4', 'A', 1,   0},
    {SLOT_READER2, '6', 'E', 1,   0},
};
// clang-format on
extern const int STEP_COUNT = (int)(sizeof Steps / sizeof Steps[0]);

// Repaints the status lines as they were laid out at start-up, drawing over the old text.
static void stepRepaint() {
    InvalidateRect(WindowContext.mainWindow, &WindowContext.clientRect, FALSE);
}

static void setMarker(int slot, SlotMarker marker) {
    Slots[slot].marker = marker;
    stepRepaint();
}

static void setProgress(int position) {
    SendMessageA(WindowContext.progressBar, PBM_SETPOS, (WPARAM)position, 0);
}

static const StepInfo *stepFor(int slot) {
    for (int i = 0; i < STEP_COUNT; i++) {
        if (Steps[i].slot == slot) {
            return &Steps[i];
        }
    }
    return 0;
}

// Two passes of the same file: '1' while the first goes (and 'e' if it fails), '2' while
// the second goes.
static BYTE sendTwoPasses(const StepInfo *step) {
    const char *name = Slots[step->slot].name;
    setMarker(step->slot, MARK_PASS1);
    if (!sendImageFile(name, step->fileId, step->fileType)) {
        setMarker(step->slot, MARK_PASS1_FAILED);
        return 0;
    }
    setMarker(step->slot, MARK_PASS2);
    BYTE ok = sendImageFile(name, step->secondPassId, step->fileType);
    setMarker(step->slot, ok ? MARK_DONE : MARK_FAILED);
    return ok;
}

BYTE sendStep(int slot) {
    const StepInfo *step = stepFor(slot);
    if (step == 0) {
        return 0;
    }
    if (step->secondPassId != 0) {
        return sendTwoPasses(step);
    }
    if (step->skipWhenEmpty && Slots[slot].name[0] == 0) {
        return 1;
    }
    setMarker(slot, MARK_SENDING);
    BYTE ok = sendImageFile(Slots[slot].name, step->fileId, step->fileType);
    setMarker(slot, ok ? MARK_DONE : MARK_FAILED);
    return ok;
}

static void resetMarkers() {
    Slots[SLOT_POS].marker = MARK_WAITING;
    Slots[SLOT_PC_CC].marker = MARK_WAITING;
    for (int slot = SLOT_PUMP1; slot <= SLOT_READER2; slot++) {
        Slots[slot].marker = Slots[slot].name[0] ? MARK_WAITING : MARK_EMPTY;
    }
}

BYTE runDownload() {
    // The waits keep dispatching menu commands, so "Download Files" can arrive again in the
    // middle of a run. A second run would open the port over the one in use and lose its
    // handle: refuse it and leave the run in progress alone.
    if (RunInProgress) {
        return 0;
    }
    RunInProgress = 1;

    setProgress(0);
    resetMarkers();  // the first step's repaint shows them
    // When the port cannot be set up the operator has seen why; the POS step then fails by
    // answer timeout.
    openLink(8, NOPARITY);

    BYTE ok = 1;
    for (int i = 0; i < STEP_COUNT && ok; i++) {
        ok = sendStep(Steps[i].slot);
    }
    if (ok) {
        setProgress(0);
        closeLink();
    } else {
        closeLink();
        setProgress(1);
    }
    RunInProgress = 0;
    return ok;
}
