// marvane-send's JSON: one object a line on standard output, ASCII only, keys in the order
// they were added. nlohmann-json builds and writes them; what goes in them is the callers'.
#pragma once

#include <nlohmann/json.hpp>

typedef nlohmann::ordered_json JsonObject;

// report.cpp: the object as one line, flushed at once.
void printJson(const JsonObject &object);
