// The stand-in's string table, made by the build from resources/strings.rc and makes.def.
// LoadStringA looks ids up here.
#pragma once

struct StandinString {
    unsigned id;
    const char *text;
};

extern const StandinString StandinStrings[];
extern const int StandinStringCount;
