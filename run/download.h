// The download run: what "Download Files" does. Resets the markers, opens the link, sends
// the slots' files in their fixed order and stops at the first failure.
#pragma once

#include "platform/winapi.h"
#include "protocol/protocol.h"

// One row per slot, in run order: the file id and type its transfer tells the device. PC_CC
// goes twice, first with its row's id and then with its second pass id.
struct StepInfo {
    int slot;
    FileId fileId;
    FileType fileType;
    BYTE skipWhenEmpty;   // Pump 1 is never skipped: without a file its step fails
    FileId secondPassId;  // 0: one pass
};
extern const StepInfo Steps[];
extern const int STEP_COUNT;

extern BYTE RunInProgress;  // a run is under way; a second "Download Files" is refused

BYTE runDownload();
BYTE sendStep(int slot);
