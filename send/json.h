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

std::string jsonLine(const JsonObject &object);  // without its line end
void printJson(const JsonObject &object);        // a line on standard output, flushed
double rounded(double seconds, int decimals);    // to 2 or 3 decimals, as a person reads a time
