// marvane-send's JSON: one object a line on standard output, ASCII only, keys in the order
// they were added. nlohmann-json builds and writes them; what goes in them is the callers'.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "send/send.h"

typedef nlohmann::ordered_json JsonObject;

// The output's version, named in its first object and in every record: it changes when a
// key changes meaning or goes.
const int JSON_SCHEMA = 3;

// report.cpp: the object as one line of text, without its line end.
std::string jsonLine(const JsonObject &object);
// The object as a line on standard output, flushed at once.
void printJson(const JsonObject &object);
// Seconds to 2 or 3 decimals, as a person reads a time.
double rounded(double seconds, int decimals);

// record.cpp: the run's record as an object, as the log and --json's last line have it.
void recordObject(const RunRecord *record, JsonObject *object);
// Who and where: the station, operator and note as given, the computer and the user account.
void whoAndWhere(const RunRecord *record, JsonObject *object);
