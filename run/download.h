// The download run: what "Download Files" does. Resets the markers, opens the link, sends
// the slots' files in their fixed order and stops at the first failure.
#pragma once

#include "platform/winapi.h"

// One row per slot, in run order: the file id and type its transfer tells the device. PC_CC
// goes twice, first with its row's id and then with PC_CC_SECOND_ID.
struct StepInfo {
    int slot;
    char fileId;
    char fileType;
    BYTE skipWhenEmpty;  // Pump 1 is never skipped: without a file its step fails
};
extern const StepInfo Steps[];
extern const int STEP_COUNT;
const char PC_CC_SECOND_ID = '2';

extern BYTE RunInProgress;  // a run is under way; a second "Download Files" is refused

BYTE runDownload();
BYTE sendStep(int slot);
