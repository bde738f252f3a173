// The recording listener: each call becomes one line, appended as it comes: the slots in the
// suites' own words, the answers, problems and endings by events/'s names. It hears neither
// the bytes on the wire nor the port's opening.
#include "tests/support/event_recorder.h"

#include <stdarg.h>
#include <stdio.h>

#include <sstream>
#include <type_traits>

namespace {

const char *const SlotNames[] = {"POS", "PC_CC", "Pump1", "Pump2", "Reader1", "Reader2"};

std::string slotName(int slot) {
    return slot >= 0 && slot < 6 ? SlotNames[slot] : std::to_string(slot);
}

EventRecorder *recorderOf(RunListener *self) {
    return reinterpret_cast<EventRecorder *>(self);  // its listener is its first member
}

void record(RunListener *self, const char *format, ...) {
    RecordedEvent event;
    va_list args;
    va_start(args, format);
    vsnprintf(event.line, sizeof event.line, format, args);
    va_end(args);
    recorderOf(self)->events.push_back(event);
}

void onRunStarted(RunListener *self) {
    record(self, "run-started");
}

void onPortFailed(RunListener *self, LPCSTR text, DWORD) {
    record(self, "port-failed %s", text);
}

void onPortLost(RunListener *self, DWORD systemError) {
    record(self, "port-lost %lu", (unsigned long)systemError);
}

void onStepStarted(RunListener *self, int slot, int pass, LPCSTR, FileId fileId,
                   FileType fileType) {
    record(self, "step-started %s %d '%c' '%c'", slotName(slot).c_str(), pass, fileId, fileType);
}

void onFileRead(RunListener *self, DWORD size, int blocks) {
    record(self, "file-read %lu %d", (unsigned long)size, blocks);
}

void onFileUnreadable(RunListener *self, ImageProblem problem, DWORD) {
    record(self, "file-unreadable %s", imageProblemName(problem));
}

void onHeaderRepeated(RunListener *self, int sends) {
    record(self, "header-repeated %d", sends);
}

void onBlockAnswered(RunListener *self, int index, int attempt, FrameAnswer answer,
                     BYTE answerByte) {
    if (answer == ANSWER_OTHER) {
        record(self, "block %d %d other %02X", index, attempt, answerByte);
    } else {
        record(self, "block %d %d %s", index, attempt, answerName(answer));
    }
}

void onMarkerChanged(RunListener *self, int slot) {
    char (*markerOf)(int) = recorderOf(self)->markerOf;
    record(self, "marker %s %c", slotName(slot).c_str(), markerOf ? markerOf(slot) : '?');
}

void onStepEnded(RunListener *self, int slot, int pass, const TransferResult *result) {
    record(self, "step-ended %s %d %s", slotName(slot).c_str(), pass, transferEndName(result->end));
}

void onStepsEnded(RunListener *self, BYTE ok) {
    record(self, "steps-ended %d", ok);
}

void onRunEnded(RunListener *self, BYTE ok) {
    record(self, "run-ended %d", ok);
}

const RunListenerCalls RecorderCalls = {
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
    .stepsEnded = onStepsEnded,
    .runEnded = onRunEnded,
};

std::string kindOf(const std::string &line) {
    return line.substr(0, line.find(' '));
}

}  // namespace

static_assert(std::is_standard_layout<EventRecorder>::value,
              "the listener must sit at the recorder's address");

EventRecorder::EventRecorder(char (*markerOf)(int slot)) : markerOf(markerOf) {
    listener.calls = &RecorderCalls;
}

std::vector<std::string> EventRecorder::lines(const std::string &kinds) const {
    std::vector<std::string> wanted;
    std::istringstream words(kinds);
    for (std::string word; words >> word;) {
        wanted.push_back(word);
    }
    std::vector<std::string> out;
    for (const RecordedEvent &event : events) {
        std::string line = event.line;
        bool listed = wanted.empty();
        for (const std::string &kind : wanted) {
            listed = listed || kindOf(line) == kind;
        }
        if (listed) {
            out.push_back(line);
        }
    }
    return out;
}
