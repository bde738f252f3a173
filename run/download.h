// The download run: what "Download Files" does. Resets the markers, opens the link, sends
// the slots' files in their fixed order and stops at the first failure.
#pragma once

#include "platform/winapi.h"

extern BYTE RunInProgress;  // a run is under way; a second "Download Files" is refused

BYTE runDownload();
BYTE sendStep(int slot);
