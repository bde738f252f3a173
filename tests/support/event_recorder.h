// A listener for the suites: it writes down every event of a run in order, each as one short
// line ("step-started POS 1 '0' 'C'", "block 3 2 NAK", "marker PC_CC 1"), so a suite checks
// what the run told. What a window or a console makes of the events is their own suites'.
#pragma once

#include <string>
#include <vector>

#include "events/events.h"

// One event as a line: its kind first, then its arguments (slots by name, Pump1 to Reader2).
struct RecordedEvent {
    char line[96];
};

struct EventRecorder {
    RunListener listener;  // first member: hand &recorder.listener to the run or to a fan
    // Reads a slot's marker at the moment markerChanged comes (the run sets it just before);
    // without one the marker shows as '?'.
    char (*markerOf)(int slot);
    std::vector<RecordedEvent> events;

    explicit EventRecorder(char (*markerOf)(int slot) = 0);

    // The lines in order; given kinds ("steps-ended run-ended"), only the lines of those kinds.
    std::vector<std::string> lines(const std::string &kinds = "") const;
};
