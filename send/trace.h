// marvane-send's wire trace (--trace FILE): a listener that writes every byte the run put on
// the wire and every answer it took, a line each, decoded, with the raw bytes in hex and the
// milliseconds since the run started. Opening the file and checking it is main's.
#pragma once

#include <stdio.h>

#include "events/events.h"

struct WireTrace {
    RunListener listener;  // give &trace.listener to the run (through the fan)
    FILE *file;
    const char *port;  // as messages name it: "COM1 (/dev/ttyUSB0)"
    DWORD startMs;
    int blocks;  // of the file in flight
    int block;   // the index of the last block frame, -1 before one, and its sends so far
    int sends;
    BYTE failed;  // a line could not be written: the trace says no more
};
// Starts the trace on `file`, which stays the caller's to close.
void initTrace(WireTrace *trace, FILE *file, const char *port);
