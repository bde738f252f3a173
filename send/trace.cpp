// The wire trace: the run's bytes as they went and came. A frame is named by its size and
// shape, as the device tells them apart: a header (STX 'L' type 'N' ETX sum), the block count
// (STX two hex digits, file id, ETX, sum), a block (STX, its index in two hex digits, 128
// bytes, ETX, sum), or the PC's ACK to the device's ENQ. Flushed at each answer, so a run
// that is killed leaves its trace up to the last answer.
#include "send/trace.h"

#include <stdarg.h>
#include <stdlib.h>

#include "link/link.h"
#include "protocol/protocol.h"
#include "run/slots.h"

namespace {

WireTrace *traceOf(RunListener *self) {
    return (WireTrace *)self;  // its listener is its first member
}

// One line: the time, what happened, and the bytes it carried, if any.
void line(WireTrace *t, const BYTE *bytes, int length, const char *format, ...) {
    if (t->failed) {
        return;
    }
    char what[160];
    va_list args;
    va_start(args, format);
    vsnprintf(what, sizeof what, format, args);
    va_end(args);
    fprintf(t->file, length > 0 ? "%8lu ms  %-44s" : "%8lu ms  %s",
            (unsigned long)(GetTickCount() - t->startMs), what);
    for (int i = 0; i < length; i++) {
        fprintf(t->file, " %02X", bytes[i]);
    }
    fputc('\n', t->file);
    t->failed = ferror(t->file) != 0;
}

void flush(WireTrace *t) {
    t->failed = t->failed || fflush(t->file) != 0;
}

// Two hex digits as the PC writes them; -1 for anything else.
int hexPair(const BYTE *digits) {
    char text[3] = {(char)digits[0], (char)digits[1], 0};
    char *end = 0;
    long value = strtol(text, &end, 16);
    return *end == 0 ? (int)value : -1;
}

void onRunStarted(RunListener *self) {
    WireTrace *t = traceOf(self);
    t->startMs = GetTickCount();
    t->block = -1;
    line(t, 0, 0, "run started: %s at %d baud", t->port, LinkSettings.baudRate);
    flush(t);
}

void onPortOpened(RunListener *self) {
    line(traceOf(self), 0, 0, "port opened: 8 data bits, no parity, 1 stop bit");
}

void onPortFailed(RunListener *self, LPCSTR text, DWORD systemError) {
    line(traceOf(self), 0, 0, "port: %s (system error %lu)", text, (unsigned long)systemError);
    flush(traceOf(self));
}

void onPortLost(RunListener *self, DWORD systemError) {
    line(traceOf(self), 0, 0, "port went away (system error %lu)", (unsigned long)systemError);
    flush(traceOf(self));
}

void onStepStarted(RunListener *self, int slot, int pass, LPCSTR name, FileId fileId,
                   FileType fileType) {
    WireTrace *t = traceOf(self);
    t->block = -1;
    line(t, 0, 0, "%s %s, pass %d: file id %c, type %c", SlotLabels[slot], name, pass, fileId,
         fileType);
}

void onFileRead(RunListener *self, DWORD size, int blocks) {
    traceOf(self)->blocks = blocks;
    line(traceOf(self), 0, 0, "read %lu bytes, %d blocks", (unsigned long)size, blocks);
}

void onFileUnreadable(RunListener *self, ImageProblem problem, DWORD systemError) {
    line(traceOf(self), 0, 0, "not sent: the file is %s (system error %lu)",
         imageProblemName(problem), (unsigned long)systemError);
}

void onFrameWritten(RunListener *self, const BYTE *bytes, int length) {
    WireTrace *t = traceOf(self);
    if (length == HEADER_FRAME_SIZE && bytes[1] == 'L' && bytes[3] == 'N') {
        line(t, bytes, length, "> header, type %c", bytes[2]);
    } else if (length == COUNT_FRAME_SIZE) {
        line(t, bytes, length, "> count: %d blocks, file id %c", hexPair(bytes + 1), bytes[3]);
    } else if (length == BLOCK_FRAME_SIZE) {
        int index = hexPair(bytes + 1);
        t->sends = index == t->block ? t->sends + 1 : 1;
        t->block = index;
        line(t, bytes, length, "> block %d of %d, send %d, checksum %02X", index + 1, t->blocks,
             t->sends, bytes[BLOCK_FRAME_SIZE - 1]);
    } else if (length == 1 && bytes[0] == ACK) {
        line(t, bytes, length, "> ACK to the ENQ");
    } else {
        line(t, bytes, length, "> %d bytes", length);
    }
}

void onAnswerTaken(RunListener *self, FrameAnswer answer, BYTE answerByte) {
    WireTrace *t = traceOf(self);
    if (answer == ANSWER_NONE) {
        line(t, 0, 0, "< none within %d ms", ANSWER_TIMEOUT_TICKS * (int)TICK_PERIOD_MS);
    } else if (answer == ANSWER_OTHER) {
        line(t, &answerByte, 1, "< %s", answerByte == ENQ ? "ENQ" : "another byte");
    } else {
        line(t, &answerByte, 1, "< %s", answerName(answer));
    }
    flush(t);
}

void onHeaderRepeated(RunListener *self, int sends) {
    line(traceOf(self), 0, 0, "the device is silent: header sent again (%d sends)", sends);
}

void onStepEnded(RunListener *self, int, int, const TransferResult *result) {
    WireTrace *t = traceOf(self);
    if (result->end == TRANSFER_STOPPED) {
        line(t, 0, 0, "interrupted: nothing more sent");
    } else {
        line(t, 0, 0, "transfer %s", transferEndName(result->end));
    }
    flush(t);
}

void onRunEnded(RunListener *self, BYTE ok) {
    WireTrace *t = traceOf(self);
    line(t, 0, 0, "port closed, run %s", ok ? "ok" : "failed");
    flush(t);
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

}  // namespace

void initTrace(WireTrace *t, FILE *file, const char *port) {
    t->listener.calls = &TraceCalls;
    t->file = file;
    t->port = port;
    t->startMs = GetTickCount();
    t->blocks = 0;
    t->block = -1;
    t->sends = 0;
    t->failed = 0;
}
