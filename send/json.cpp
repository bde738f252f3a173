// marvane-send's JSON: --json's object per event of the run, its flat objects for the lists,
// the plan and the checks, and the run's record for the log and --json's last line, all read
// from the tally. Writing and closing the log is main's. nlohmann-json builds the objects,
// keys in the order they were added, and writes them, ASCII only.
#include <math.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <string>

#include <nlohmann/json.hpp>

#include "link/link.h"
#include "resources/version.h"
#include "run/download.h"
#include "send/options.h"
#include "send/ports.h"
#include "send/send.h"

namespace {

typedef nlohmann::ordered_json JsonObject;

// The output's version, named in its first object and in every record: it changes when a
// key changes meaning or goes.
const int JSON_SCHEMA = 5;

// Every text of an object, from the system's code page (Windows' ANSI one) into JSON's UTF-8.
void inUtf8(JsonObject &value) {
    if (value.is_string()) {
        const std::string &text = value.get_ref<const std::string &>();
        std::string utf8(text.size() * 3 + 1, '\0');  // a character is three bytes at most
        consoleUtf8(text.c_str(), &utf8[0], (int)utf8.size());
        value = utf8.c_str();
    } else if (value.is_structured()) {
        for (JsonObject &inner : value) {  // an object's values, an array's items
            inUtf8(inner);
        }
    }
}

std::string jsonLine(const JsonObject &object) {
    JsonObject utf8 = object;
    inUtf8(utf8);
    // ASCII only, as the simulator writes it: a file name that is not UTF-8 has its bytes
    // replaced rather than stopping the line.
    return utf8.dump(-1, ' ', true, nlohmann::json::error_handler_t::replace);
}

void printJson(const JsonObject &object) {
    fputs(jsonLine(object).c_str(), stdout);
    fputc('\n', stdout);
    flushOutput();
}

double rounded(double seconds, int decimals) {
    double scale = decimals == 3 ? 1000.0 : 100.0;
    return floor(seconds * scale + 0.5) / scale;
}

// An event's object: its name and the seconds since the run started first, then `fields`.
void emit(const char *name, const JsonObject &fields) {
    JsonObject o = {{"event", name}};
    if (Run.started) {
        o["time"] = rounded(secondsSince(Run.startMs), 3);
    }
    o.update(fields);
    printJson(o);
}

// A failure's cause, as the outputs word it; "" for a transfer sent or stopped.
std::string causeOf(const Transfer *t) {
    char cause[400] = "";  // a changed file's cause holds both its hashes
    const char *hint;
    if (t->result.end != TRANSFER_DONE && t->result.end != TRANSFER_STOPPED) {
        describeEnd(t, cause, sizeof cause, &hint);
    }
    return cause;
}

// A transfer as every object that tells of it carries it, with the same keys: its step
// (slot, pass, the file as its folder spells it, id, type), the file as read, and once it has
// ended how it went. A plan's transfer stops at what would go.
JsonObject transferOf(const Transfer *t) {
    JsonObject o = {{"slot", SlotLabels[t->slot]}, {"pass", t->pass}, {"file", t->onDisk}};
    if (t->blocks >= 0) {  // the file was read
        o.update({{"bytes", t->size}, {"sha256", t->sha256}});
    }
    o.update({{"id", std::string(1, t->fileId)}, {"type", std::string(1, t->fileType)}});
    if (t->blocks >= 0) {
        o["blocks"] = t->blocks;
    }
    if (t->planned) {
        o["result"] = "planned";
        return o;
    }
    if (!t->ended) {  // a step just started: how it went is not known yet
        return o;
    }
    o.update({{"sent", t->blocksSent}, {"resends", t->resends}, {"result", resultName(t)}});
    if (t->result.block >= 0) {
        o["block"] = t->result.block;
    }
    if (t->checked[0] != 0) {  // changed since the check: what it was, what was read
        o.update({{"sha256_checked", t->checked}, {"sha256_read", t->sha256}});
    }
    std::string cause = causeOf(t);
    if (!cause.empty()) {
        o["cause"] = cause;
    }
    o["seconds"] = rounded(t->seconds, 2);
    return o;
}

void onRunStarted(RunListener *) {
    JsonObject o = {{"port", Facts.portName}};
    if (Facts.device != 0) {
        o["device"] = Facts.device;
    }
    o.update({{"baud", LinkSettings.baudRate},
              {"transfers", Facts.transfers},
              {"wait", Facts.waitSeconds}});
    emit("run-started", o);
}

void onPortFailed(RunListener *, LPCSTR text, DWORD systemError) {
    const char *cause, *advice;
    describePort(systemError, &cause, &advice);
    emit("port-failed", {{"text", text}, {"error", systemError}, {"cause", cause}});
}

void onPortLost(RunListener *, DWORD systemError) {
    emit("port-lost", {{"error", systemError}});
}

void onStepStarted(RunListener *, int, int, LPCSTR, FileId, FileType) {
    emit("step-started", transferOf(inFlight()));
}

void onFileRead(RunListener *, DWORD size, int blocks) {
    emit("file-read", {{"bytes", size}, {"blocks", blocks}});
}

void onFileUnreadable(RunListener *, ImageProblem problem, DWORD systemError) {
    emit("file-unreadable", {{"problem", imageProblemText(problem)}, {"error", systemError}});
}

void onHeaderRepeated(RunListener *, int sends) {
    emit("header-repeated", {{"sends", sends}});
}

void onBlockAnswered(RunListener *, int index, int attempt, FrameAnswer answer, BYTE byte) {
    JsonObject o = {{"index", index}, {"attempt", attempt}, {"answer", answerName(answer)}};
    if (answer != ANSWER_NONE) {
        o["byte"] = byte;
    }
    emit("block", o);
}

void onMarkerChanged(RunListener *, int slot) {
    emit("marker", {{"slot", SlotLabels[slot]}, {"marker", std::string(1, Slots[slot].marker)}});
}

void onStepEnded(RunListener *, int, int, const TransferResult *) {
    emit("step-ended", transferOf(inFlight()));
}

const RunListenerCalls JsonCalls = {
    .runStarted = onRunStarted,
    .portOpened = nullPortOpened,
    .portFailed = onPortFailed,
    .portLost = onPortLost,
    .stepStarted = onStepStarted,
    .fileRead = onFileRead,
    .fileUnreadable = onFileUnreadable,
    .headerRepeated = onHeaderRepeated,
    .frameWritten = nullFrameWritten,
    .answerTaken = nullAnswerTaken,
    .blockAnswered = onBlockAnswered,
    .markerChanged = onMarkerChanged,
    .stepEnded = onStepEnded,
    .stepsEnded = nullStepsEnded,
    .runEnded = nullRunEnded,
};
RunListener Json = {&JsonCalls};

// What it is and who runs it: the first object of --json's output, and the head of a run's
// lines (its `began` line and its record), which name the run.
JsonObject head(const char *event, BYTE ofRun) {
    JsonObject o = {{"event", event},
                    {"schema", JSON_SCHEMA},
                    {"program", "marvane-send"},
                    {"version", MARVANE_VERSION_TEXT}};
    if (ofRun) {
        o["run"] = Facts.run;
        o["started"] = Facts.started;
        o["mode"] = runModeName(Facts.mode);
    }
    for (const WhoText &w : WhoTexts) {
        if (*w.text != 0) {
            o[w.key] = *w.text;
        }
    }
    o["computer"] = Facts.computer;
    o["user"] = Facts.user;
    return o;
}

// The port, the device it opens and the adapter it is, as far as they are known.
void addPort(JsonObject &o) {
    o["port"] = Facts.portName;
    if (Facts.device != 0) {
        o["device"] = Facts.device;
    }
    if (const SerialPortInfo *a = Facts.adapter) {
        char vid[8], pid[8];
        snprintf(vid, sizeof vid, "%04x", a->vid);
        snprintf(pid, sizeof pid, "%04x", a->pid);
        o["adapter"] = {{"vid", vid}, {"pid", pid}, {"serial", a->serial}, {"name", a->friendly}};
    }
    o["baud"] = LinkSettings.baudRate;
    o["wait"] = Facts.waitSeconds;
}

// The transfers, their sums and what the controller holds of them; the step the run ended at
// when it did not send all (1-based, in "steps"), else 0.
int addTransfers(JsonObject &o) {
    o["steps"] = JsonObject::array();
    int endedAt = 0;
    for (int i = 0; i < Run.count; i++) {
        const Transfer *t = &Run.transfers[i];
        if (!t->planned) {
            endedAt = t->result.end == TRANSFER_DONE ? 0 : i + 1;
        }
        o["steps"].push_back(transferOf(t));
    }
    o["transfers"] = Facts.transfers;
    o["sent"] = Run.sent;
    o["bytes"] = Run.bytes;
    o["resends"] = Run.resends;
    if (Run.started) {
        o["seconds"] = rounded(secondsSince(Run.startMs), 2);
    }
    return endedAt;
}

// The objects outside a run: what the output is, the help, the lists, the plan and the checks.
void saidOpened(Output *) {
    printJson(head("output", 0));
}

void addJsonListeners(Output *, RunListenerFan *fan, BYTE, BYTE verbose, BYTE bar) {
    fanAdd(fan, textListener(1, verbose, bar));  // the failures, on standard error
    fanAdd(fan, jsonListener());
}

void saidHelp(Output *, const char *text) {
    printJson({{"event", "help"}, {"text", text}});
}

void saidNothing(Output *) {}

void saidMakesOf(Output *, const char *, const char *) {}

void saidMake(Output *, const char *slot, const char *option, const char *key, const char *label,
              const char *file) {
    printJson({{"event", "make"},
               {"slot", slot},
               {"option", option},
               {"make", key},
               {"label", label},
               {"file", file}});
}

void saidPort(Output *, const SerialPortInfo *p, const char *option) {
    JsonObject o = {{"event", "port"},
                    {"port", p->name},
                    {"device", p->device},
                    {"friendly", p->friendly},
                    {"hardware_id", p->hardwareId},
                    {"usb", p->usb != 0}};
    if (p->usb) {
        char vid[8], pid[8];
        snprintf(vid, sizeof vid, "%04x", p->vid);
        snprintf(pid, sizeof pid, "%04x", p->pid);
        o.update({{"vid", vid}, {"pid", pid}, {"serial", p->serial}});
    }
    if (p->byId[0] != 0) {
        o["by_id"] = p->byId;
    }
    o["option"] = option;
    printJson(o);
}

void saidPortsListed(Output *, int) {}

void saidPlanSkipped(Output *, const char *) {}

void saidPlanned(Output *, int step, const Transfer *t) {
    JsonObject o = {{"event", "plan"}, {"step", step}};
    o.update(transferOf(t));
    printJson(o);
}

void saidPortChecked(Output *) {
    JsonObject o = {{"event", "port-checked"}, {"port", Facts.portName}};
    if (Facts.device != 0) {
        o["device"] = Facts.device;
    }
    o["baud"] = LinkSettings.baudRate;
    printJson(o);
}

void saidExpected(Output *, const char *file, const char *sha256, const char *listed, int line,
                  BYTE match) {
    printJson({{"event", "expected"},
               {"file", file},
               {"sha256", sha256},
               {"listed", listed != 0 ? listed : ""},
               {"line", line},
               {"match", match != 0}});
}

void saidRecord(Output *, const char *line) {
    fputs(line, stdout);
    fputc('\n', stdout);
    flushOutput();
}

const OutputCalls JsonOutputCalls = {
    .opened = saidOpened,
    .addListeners = addJsonListeners,
    .help = saidHelp,
    .version = saidNothing,  // the first line names it
    .makesOf = saidMakesOf,
    .make = saidMake,
    .port = saidPort,
    .portsListed = saidPortsListed,
    .planStarted = saidNothing,
    .planSkipped = saidPlanSkipped,
    .planned = saidPlanned,
    .portChecked = saidPortChecked,
    .expected = saidExpected,
    .controller = saidNothing,  // the record holds it
    .record = saidRecord,
};
Output JsonLines = {&JsonOutputCalls, 1};

}  // namespace

RunListener *jsonListener() {
    return &Json;
}

Output *outputFor(BYTE json) {
    return json ? &JsonLines : textOutput();
}

const char *beganLine() {
    static std::string line;
    JsonObject o = head("began", 1);
    addPort(o);
    o["images"] = JsonObject::array();
    int pass;
    FileId id;
    for (int i = 0; const StepInfo *step = plannedStep(i, &pass, &id); i++) {
        DWORD size;
        const char *sha256 = checkedImage(step->slot, &size);
        o["images"].push_back({{"slot", SlotLabels[step->slot]},
                               {"pass", pass},
                               {"file", Slots[step->slot].name},
                               {"bytes", size},
                               {"sha256", sha256}});
    }
    line = jsonLine(o);
    return line.c_str();
}

const char *recordLine(RunEnd end, int status) {
    static std::string line;
    JsonObject o = head("record", 1);
    int endedAt = 0;
    if (Facts.portName != 0) {  // the run got as far as its files and port
        addPort(o);
        o["waited"] = rounded(Run.waited, 2);
        endedAt = addTransfers(o);
        if (Facts.expectPath != 0) {
            o["expect"] = {{"file", Facts.expectPath}, {"sha256", Facts.expectSha256}};
        }
    }
    if (Facts.portName != 0 && Facts.mode != MODE_CHECK) {  // a check leaves it as it was
        o["controller"] = JsonObject::array();
        int pass, blocks, taken;
        FileId id;
        for (int i = 0; const StepInfo *step = plannedStep(i, &pass, &id); i++) {
            const char *state = holdingName(holdingOf(i, &blocks, &taken));
            o["controller"].push_back({{"slot", SlotLabels[step->slot]},
                                       {"pass", pass},
                                       {"state", state},
                                       {"blocks", blocks},
                                       {"taken", taken}});
        }
        char line[600];
        controllerLine(line, sizeof line);
        o["holds"] = line;
    }
    if (!o.contains("seconds")) {  // no run: the time marvane-send took
        o["seconds"] = rounded(secondsSince(Facts.startMs), 2);
    }
    o["ended"] = runEndName(end);
    if (endedAt != 0) {
        o["ended_at"] = endedAt;
    }
    if (firstComplaint()[0] != 0) {
        o["message"] = firstComplaint();
    }
    for (int i = 0; const Problem *p = problemAt(i); i++) {
        o["problems"].push_back({{"code", p->code},
                                 {p->aboutFile ? "file" : "option", p->subject},
                                 {"message", p->message}});
    }
    o["status"] = status;
    line = jsonLine(o);
    return line.c_str();
}
