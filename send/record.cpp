// The record of a run: when, what was asked, each transfer with its file as found on disk,
// the SHA-256 of its bytes, its resends, result and time, and how the run ended. A listener
// beside the printer; main writes the record to the log and as --json's last line.
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "protocol/protocol.h"
#include "resources/version.h"
#include "run/download.h"
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

// The next step, named as the file is found on disk; 0 past the most a run makes.
RecordStep *addStep(RunRecord *r, int slot, int pass, LPCSTR name, FileId fileId,
                    FileType fileType) {
    if (r->stepCount == RECORD_STEPS) {
        return 0;
    }
    RecordStep *step = &r->steps[r->stepCount++];
    memset(step, 0, sizeof *step);
    char found[SLOT_NAME_SIZE];
    consoleNameOnDisk(name, found, sizeof found);
    startTransfer(&step->transfer, slot, pass, found, fileId, fileType);
    return step;
}

void onStepStarted(RunListener *self, int slot, int pass, LPCSTR name, FileId fileId,
                   FileType fileType) {
    addStep(recordOf(self), slot, pass, name, fileId, fileType);
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
    step->headerSent = result->headerSent;
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
        if (t->blocks >= 0) {  // the file was read
            s["blocks"] = t->blocks;
        }
        if (step->planned) {  // nothing of it went: what it is, not how it went
            s["result"] = "planned";
            o["steps"].push_back(s);
            continue;
        }
        s["resends"] = t->resends;
        s["result"] = transferEndName(step->end);
        if (step->cause[0] != 0) {
            s["cause"] = step->cause;
        }
        s["seconds"] = rounded(step->seconds, 2);
        o["steps"].push_back(s);
        BYTE done = step->end == TRANSFER_DONE;
        sent += done;
        bytes += done ? t->size : 0;
        resends += t->resends;
        failedStep = done ? 0 : i + 1;
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

// Each transfer the run was to make, in run order, with what the controller holds of it:
// "untouched" (not a byte of it sent), "partial" (k of N blocks taken) or "sent". The run
// stops at its first failure, so its steps are the first of the plan.
struct Holding {
    int slot, pass, blocks, taken;
    const char *state;
};
int holdings(const RunRecord *r, Holding *out) {
    int count = 0;
    for (int i = 0; i < STEP_COUNT; i++) {
        int passes = Steps[i].secondPassId != 0 ? 2 : 1;
        for (int pass = 1; pass <= passes && Slots[Steps[i].slot].name[0] != 0; pass++) {
            Holding *h = &out[count];
            const RecordStep *step = count < r->stepCount ? &r->steps[count] : 0;
            h->slot = Steps[i].slot;
            h->pass = pass;
            h->blocks = step != 0 && step->transfer.blocks > 0 ? step->transfer.blocks : 0;
            h->taken = step != 0 ? step->transfer.blocksSent : 0;
            h->state = step == 0 || !step->headerSent ? "untouched"
                       : step->end == TRANSFER_DONE   ? "sent"
                                                      : "partial";
            count++;
        }
    }
    return count;
}

void holdingName(const Holding *h, char *out, int size) {
    BYTE twice = h->slot == SLOT_PC_CC;
    snprintf(out, (size_t)size, twice ? "%s pass %d" : "%s", SlotLabels[h->slot], h->pass);
}

}  // namespace

void controllerLine(const RunRecord *r, char *out, int size) {
    Holding held[RECORD_STEPS];
    int count = holdings(r, held);
    char full[300] = "", part[300] = "", none[300] = "", partial[64] = "";
    for (int i = 0; i < count; i++) {
        char name[32];
        holdingName(&held[i], name, sizeof name);
        char *list = held[i].state[0] == 's' ? full : held[i].state[0] == 'p' ? part : none;
        snprintf(list + strlen(list), sizeof full - strlen(list), "%s%s", list[0] ? ", " : "",
                 name);
        if (held[i].state[0] == 'p') {
            snprintf(list + strlen(list), sizeof full - strlen(list), " (%d of %d blocks)",
                     held[i].taken, held[i].blocks);
            snprintf(partial, sizeof partial, "%s", name);
        }
    }
    if (!part[0] && !none[0]) {
        snprintf(out, (size_t)size, "The controller holds every image of the run in full.");
        return;
    }
    snprintf(out, (size_t)size, "The controller holds %s%s%s%s.", full[0] ? full : "nothing",
             full[0] ? " in full" : " of this run", part[0] ? "; in part: " : "", part);
    snprintf(out + strlen(out), (size_t)(size - (int)strlen(out)),
             partial[0] ? " Run again; the controller keeps the partial %s until then."
                        : " Run again to send the rest.%s",
             partial);
}

void recordPlanned(RunRecord *r, int slot, int pass, LPCSTR name, FileId fileId, FileType fileType,
                   DWORD size, const char sha256[65]) {
    RecordStep *step = addStep(r, slot, pass, name, fileId, fileType);
    if (step != 0) {
        step->transfer.size = size;
        step->transfer.blocks = blockCount(size);
        memcpy(step->sha256, sha256, sizeof step->sha256);
        step->planned = 1;
    }
}

void initRecord(RunRecord *r) {
    memset(r, 0, sizeof *r);
    r->listener.calls = &RecordCalls;
    r->mode = "send";
    r->startMs = GetTickCount();
    time_t now = time(NULL);
    strftime(r->started, sizeof r->started, "%Y-%m-%dT%H:%M:%SZ", gmtime(&now));
}

void whoAndWhere(const RunRecord *r, JsonObject *object) {
    JsonObject &o = *object;
    if (r->station != 0) {
        o["station"] = r->station;
    }
    if (r->operatorName != 0) {
        o["operator"] = r->operatorName;
    }
    if (r->note != 0) {
        o["note"] = r->note;
    }
    o["computer"] = r->computer;
    o["user"] = r->user;
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
    whoAndWhere(r, object);
    if (r->portName != 0) {
        o["port"] = r->portName;
        if (r->device != 0) {
            o["device"] = r->device;
        }
        o["baud"] = r->baud;
        o["wait"] = r->waitSeconds;
        o["waited"] = rounded(r->waited, 2);
        endedAt = stepsObject(r, object);  // the run got as far as its files and port
        if (r->expectPath != 0) {
            o["expect"] = {{"file", r->expectPath}, {"sha256", r->expectSha256}};
        }
    }
    if (r->portName != 0 && strcmp(r->mode, "check") != 0) {  // a check leaves it as it was
        Holding held[RECORD_STEPS];
        int count = holdings(r, held);
        o["controller"] = JsonObject::array();
        for (int i = 0; i < count; i++) {
            o["controller"].push_back({{"slot", SlotLabels[held[i].slot]},
                                       {"pass", held[i].pass},
                                       {"state", held[i].state},
                                       {"blocks", held[i].blocks},
                                       {"taken", held[i].taken}});
        }
        char line[600];
        controllerLine(r, line, sizeof line);
        o["holds"] = line;
    }
    if (!o.contains("seconds")) {  // no run: the time marvane-send took
        o["seconds"] = rounded((double)(GetTickCount() - r->startMs) / 1000.0, 2);
    }
    o["ended"] = runEndName(r->end);
    if (endedAt != 0) {
        o["ended_at"] = endedAt;
    }
    if (FirstComplaint[0] != 0) {
        o["message"] = FirstComplaint;
    }
    for (int i = 0; i < ProblemCount; i++) {  // an option or variable, else a file
        const Problem *p = &Problems[i];
        BYTE option = p->subject[0] == '-' || strncmp(p->subject, "MARVANE_", 8) == 0;
        o["problems"].push_back(
            {{"code", p->code}, {option ? "option" : "file", p->subject}, {"message", p->message}});
    }
    o["status"] = exitStatusOf(r->end);
}
