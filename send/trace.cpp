// The wire trace (--trace FILE): every byte the run put on the wire and every answer it took,
// a line each with the milliseconds since the run started, decoded, and the raw bytes in hex.
// A frame is named by its size and shape, as the device tells them apart. Flushed at each
// frame as it goes onto the wire and at each answer: a run killed outright leaves all it sent.
#include <errno.h>
#include <stdarg.h>
#include <stdlib.h>

#include "link/link.h"
#include "protocol/protocol.h"
#include "send/send.h"

namespace {

FILE *File;
const char *Port;  // as messages name it: "COM1 (/dev/ttyUSB0)"
DWORD StartMs;
int Blocks;        // of the file in flight
int Block, Sends;  // the index of the last block frame (-1 before one), and its sends so far
BYTE Failed;       // a line could not be written: the trace says no more
int FailedError;   // errno when it failed

// One line: the time, what happened, and the bytes it carried, if any; flushed when asked.
void line(BYTE flush, const BYTE *bytes, int length, const char *format, ...) {
    char what[160];
    va_list args;
    va_start(args, format);
    vsnprintf(what, sizeof what, format, args);
    va_end(args);
    if (Failed) {
        return;
    }
    fprintf(File, length > 0 ? "%8lu ms  %-44s" : "%8lu ms  %s",
            (unsigned long)(GetTickCount() - StartMs), what);
    for (int i = 0; i < length; i++) {
        fprintf(File, " %02X", bytes[i]);
    }
    fputc('\n', File);
    Failed = ferror(File) != 0 || (flush && fflush(File) != 0);
    FailedError = errno;
}

// Two hex digits as the PC writes them; -1 for anything else.
int hexPair(const BYTE *digits) {
    char text[3] = {(char)digits[0], (char)digits[1], 0};
    char *end = 0;
    long value = strtol(text, &end, 16);
    return *end == 0 ? (int)value : -1;
}

void onRunStarted(RunListener *) {
    StartMs = GetTickCount();
    Block = -1;
    line(1, 0, 0, "run started: %s at %d baud", Port, LinkSettings.baudRate);
}

void onPortOpened(RunListener *) {
    line(0, 0, 0, "port opened: 8 data bits, no parity, 1 stop bit");
}

// A port's error in the words every output uses, the same on each system: a number would be
// Windows' own even where the stand-in gives it.
void onPortFailed(RunListener *, LPCSTR text, DWORD systemError) {
    const char *cause, *advice;
    describePort(systemError, &cause, &advice);
    line(1, 0, 0, "port: %s: %s", text, cause);
}

void onPortLost(RunListener *, DWORD systemError) {
    const char *cause, *advice;
    describePort(systemError, &cause, &advice);
    line(1, 0, 0, "port went away: %s", cause);
}

void onStepStarted(RunListener *, int slot, int pass, LPCSTR name, FileId fileId,
                   FileType fileType) {
    Block = -1;
    line(0, 0, 0, "%s %s, pass %d: file id %c, type %c", SlotLabels[slot], name, pass, fileId,
         fileType);
}

void onFileRead(RunListener *, DWORD size, int blocks) {
    Blocks = blocks;
    line(0, 0, 0, "read %lu bytes, %d blocks", (unsigned long)size, blocks);
}

void onFileUnreadable(RunListener *, ImageProblem problem, DWORD systemError) {
    line(0, 0, 0, "not sent: the file is %s (system error %lu)", imageProblemName(problem),
         (unsigned long)systemError);
}

void onFrameWritten(RunListener *, const BYTE *bytes, int length) {
    if (length == HEADER_FRAME_SIZE && bytes[1] == 'L' && bytes[3] == 'N') {
        line(1, bytes, length, "> header, type %c", bytes[2]);
    } else if (length == COUNT_FRAME_SIZE) {
        line(1, bytes, length, "> count: %d blocks, file id %c", hexPair(bytes + 1), bytes[3]);
    } else if (length == BLOCK_FRAME_SIZE) {
        int index = hexPair(bytes + 1);
        Sends = index == Block ? Sends + 1 : 1;
        Block = index;
        line(1, bytes, length, "> block %d of %d, send %d, checksum %02X", index + 1, Blocks, Sends,
             bytes[BLOCK_FRAME_SIZE - 1]);
    } else if (length == 1 && bytes[0] == ACK) {
        line(1, bytes, length, "> ACK to the ENQ");
    } else {
        line(1, bytes, length, "> %d bytes", length);
    }
}

void onAnswerTaken(RunListener *, FrameAnswer answer, BYTE byte) {
    if (answer == ANSWER_NONE) {
        line(1, 0, 0, "< none within %d ms", ANSWER_TIMEOUT_TICKS * (int)TICK_PERIOD_MS);
    } else {
        line(1, &byte, 1, "< %s",
             answer != ANSWER_OTHER ? answerName(answer)
             : byte == ENQ          ? "ENQ"
                                    : "another byte");
    }
}

void onHeaderRepeated(RunListener *, int sends) {
    line(0, 0, 0, "the device is silent: header sent again (%d sends)", sends);
}

void onStepEnded(RunListener *, int, int, const TransferResult *result) {
    if (result->end == TRANSFER_STOPPED) {
        line(1, 0, 0, "interrupted: nothing more sent");
    } else {
        line(1, 0, 0, "transfer %s", transferEndName(result->end));
    }
}

void onRunEnded(RunListener *, BYTE ok) {
    line(1, 0, 0, "port closed, run %s", ok ? "ok" : "failed");
}

const RunListenerCalls TraceCalls = {
    .runStarted = onRunStarted,
    .portOpened = onPortOpened,
    .portFailed = onPortFailed,
    .portLost = onPortLost,
    .stepStarted = onStepStarted,
    .fileRead = onFileRead,
    .fileUnreadable = onFileUnreadable,
    .headerRepeated = onHeaderRepeated,
    .frameWritten = onFrameWritten,
    .answerTaken = onAnswerTaken,
    .blockAnswered = nullBlockAnswered,  // the answers themselves are traced as they come
    .markerChanged = nullMarkerChanged,
    .stepEnded = onStepEnded,
    .stepsEnded = nullStepsEnded,
    .runEnded = onRunEnded,
};
RunListener Trace = {&TraceCalls};

}  // namespace

RunListener *traceListener(FILE *file, const char *port) {
    File = file;
    Port = port;
    StartMs = GetTickCount();
    Block = -1;
    Failed = 0;
    return &Trace;
}

int traceError() {
    return Failed ? FailedError : 0;
}
