// The simulator's own files: the log of what it does, files written whole or not at all, and
// the marker files the suites wait for. What goes into them (report lines, data, settings)
// is the rest of the simulator's business.
#pragma once

#include <stddef.h>
#include <stdio.h>

#include <string>

namespace sim {

extern FILE *LogFile;  // standard error unless --log names a file

// One line "marvane-sim: ..." in the log, flushed at once.
void logf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Writes a file beside `path` and renames it over `path`: a reader never sees half of it.
bool writeFileAtomically(const std::string &path, const void *data, size_t n);
// Writes `text` to `path` the same way, if a path was given.
void writeMarker(const std::string &path, const std::string &text);

}  // namespace sim
