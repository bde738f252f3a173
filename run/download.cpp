// The download run: one step per slot in a fixed order (PC_CC in two passes), stopping at
// the first failure. Progress shows as slot markers and as the run's events to its listener
// (events/events.h); the frames themselves are the protocol's.
#include "run/download.h"

#include "events/events.h"
#include "link/link.h"
#include "protocol/protocol.h"
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

static void setMarker(int slot, SlotMarker marker) {
    Slots[slot].marker = marker;
    tellMarkerChanged(runListener(), slot);
}

// One transfer of the slot's file: the listener hears it start and end.
static BYTE sendPass(const StepInfo *step, int pass) {
    const char *name = Slots[step->slot].name;
    FileId fileId = pass == 2 ? step->secondPassId : step->fileId;
    tellStepStarted(runListener(), step->slot, pass, name, fileId, step->fileType);
    BYTE ok = sendImageFile(name, fileId, step->fileType);
    tellStepEnded(runListener(), step->slot, pass, &LastTransfer);
    return ok;
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
    setMarker(step->slot, MARK_PASS1);
    if (!sendPass(step, 1)) {
        setMarker(step->slot, MARK_PASS1_FAILED);
        return 0;
    }
    setMarker(step->slot, MARK_PASS2);
    BYTE ok = sendPass(step, 2);
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
    BYTE ok = sendPass(step, 1);
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

    RunListener *listener = runListener();
    tellRunStarted(listener);
    resetMarkers();  // the first step's repaint shows them
    DeviceAnswered = 0;
    // When the port cannot be set up the listener has been told why. The window program's
    // run goes on, and the POS step fails by answer timeout; by marvane-send's policy no step
    // runs.
    BYTE ok = openLink(8, NOPARITY) || !Policy.stopsOnPortFailure;
    for (int i = 0; i < STEP_COUNT && ok; i++) {
        ok = sendStep(Steps[i].slot);
    }
    tellStepsEnded(listener, ok);
    closeLink();
    tellRunEnded(listener, ok);
    RunInProgress = 0;
    return ok;
}
