// The record of a run: when, what was asked, each transfer with its file as found on disk,
// the SHA-256 of its bytes, its resends, result and time, and how the run ended. A listener
// beside the printer; main writes the record to the log and as --json's last line.
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "protocol/protocol.h"
#include "resources/version.h"
#include "send/json.h"
#include "send/send.h"

namespace {

RunRecord *recordOf(RunListener *self) {
    return (RunRecord *)self;  // its listener is its first member
}

RecordStep *stepInFlight(RunRecord *r) {
    return &r->steps[r->stepCount - 1];
}

void onRunStarted(RunListener *self) {
    RunRecord *r = recordOf(self);
    r->runStarted = 1;
    r->runStartMs = GetTickCount();
    r->stepCount = 0;
    r->headerTried = 0;
    r->waited = 0;
}

void onStepStarted(RunListener *self, int slot, int pass, LPCSTR name, FileId fileId,
                   FileType fileType) {
    RunRecord *r = recordOf(self);
    if (r->stepCount == RECORD_STEPS) {
        return;  // no run makes more
    }
    RecordStep *step = &r->steps[r->stepCount++];
    memset(step, 0, sizeof *step);
    char found[SLOT_NAME_SIZE];
    consoleNameOnDisk(name, found, sizeof found);
    startTransfer(&step->transfer, slot, pass, found, fileId, fileType);
}

// The file's bytes are in the image buffer as the transfer starts: the ones hashed are the
// ones sent, without the last block's padding.
void onFileRead(RunListener *self, DWORD size, int blocks) {
    RunRecord *r = recordOf(self);
    RecordStep *step = stepInFlight(r);
    noteFileRead(&step->transfer, size, blocks);
    if (!sha256Hex(ImageBuffer, size, step->sha256)) {
        step->sha256[0] = 0;
    }
}

void onBlockAnswered(RunListener *self, int, int attempt, FrameAnswer answer, BYTE) {
    tallyBlock(&stepInFlight(recordOf(self))->transfer, attempt, answer);
}

void onHeaderRepeated(RunListener *self, int sends) {
    noteHeaderRepeated(&stepInFlight(recordOf(self))->transfer, sends);
}

void onStepEnded(RunListener *self, int, int, const TransferResult *result) {
    RunRecord *r = recordOf(self);
    RecordStep *step = stepInFlight(r);
    if (result->headerSent && !r->headerTried) {
        r->headerTried = 1;
        r->waited = deviceSilence(&step->transfer, result);
    }
    step->end = result->end;
    step->seconds = (double)(GetTickCount() - step->transfer.startMs) / 1000.0;
    if (result->end != TRANSFER_DONE && result->end != TRANSFER_STOPPED) {
        const char *hint = 0;
        describeEnd(&step->transfer, result, step->cause, sizeof step->cause, &hint);
    }
}

const RunListenerCalls RecordCalls = {
    .runStarted = onRunStarted,
    .portOpened = nullPortOpened,
    .portFailed = nullPortFailed,
    .portLost = nullPortLost,
    .stepStarted = onStepStarted,
    .fileRead = onFileRead,
    .fileUnreadable = nullFileUnreadable,
    .headerRepeated = onHeaderRepeated,
    .frameWritten = nullFrameWritten,
    .answerTaken = nullAnswerTaken,
    .blockAnswered = onBlockAnswered,
    .markerChanged = nullMarkerChanged,
    .stepEnded = onStepEnded,
    .stepsEnded = nullStepsEnded,
    .runEnded = nullRunEnded,
};

// The transfers, and their sums; the step the run ended at when it did not send all (1-based,
// in "steps"), else 0.
int stepsObject(const RunRecord *r, JsonObject *object) {
    JsonObject &o = *object;
    o["steps"] = JsonObject::array();
    int sent = 0;
    int failedStep = 0;
    DWORD bytes = 0;
    int resends = 0;
    for (int i = 0; i < r->stepCount; i++) {
        const RecordStep *step = &r->steps[i];
        const ReportTransfer *t = &step->transfer;
        JsonObject s;
        s["slot"] = SlotLabels[t->slot];
        s["pass"] = t->pass;
        s["file"] = t->name;
        if (t->blocks >= 0) {
            s["bytes"] = t->size;
            s["sha256"] = step->sha256;
        }
        s["id"] = std::string(1, t->fileId);
        s["type"] = std::string(1, t->fileType);
        s["blocks"] = t->blocks;
        s["resends"] = t->resends;
        s["result"] = transferEndName(step->end);
        if (step->cause[0] != 0) {
            s["cause"] = step->cause;
        }
        s["seconds"] = rounded(step->seconds, 2);
        o["steps"].push_back(s);
        sent += step->end == TRANSFER_DONE;
        bytes += step->end == TRANSFER_DONE ? t->size : 0;
        resends += t->resends;
        failedStep = step->end == TRANSFER_DONE ? 0 : i + 1;
    }
    o["transfers"] = r->transfers;
    o["sent"] = sent;
    o["bytes"] = bytes;
    o["resends"] = resends;
    if (r->runStarted) {
        o["seconds"] = rounded((double)(GetTickCount() - r->runStartMs) / 1000.0, 2);
    }
    return failedStep;
}

}  // namespace

void initRecord(RunRecord *r) {
    memset(r, 0, sizeof *r);
    r->listener.calls = &RecordCalls;
    r->mode = "send";
    time_t now = time(NULL);
    strftime(r->started, sizeof r->started, "%Y-%m-%dT%H:%M:%SZ", gmtime(&now));
}

void recordObject(const RunRecord *r, JsonObject *object) {
    JsonObject &o = *object;
    int endedAt = 0;
    o["event"] = "record";
    o["schema"] = JSON_SCHEMA;
    o["program"] = "marvane-send";
    o["version"] = MARVANE_VERSION_TEXT;
    o["started"] = r->started;
    o["mode"] = r->mode;
    if (r->portName != 0) {
        o["port"] = r->portName;
        if (r->device != 0) {
            o["device"] = r->device;
        }
        o["baud"] = r->baud;
        o["wait"] = r->waitSeconds;
        o["waited"] = rounded(r->waited, 2);
        endedAt = stepsObject(r, object);  // the run got as far as its files and port
    }
    o["ended"] = runEndName(r->end);
    if (endedAt != 0) {
        o["ended_at"] = endedAt;
    }
    if (FirstComplaint[0] != 0) {
        o["message"] = FirstComplaint;
    }
    o["status"] = exitStatusOf(r->end);
}
