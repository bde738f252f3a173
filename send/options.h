// marvane-send's command line: its options, its help and the choices they make, read and
// checked by options.cpp before main.cpp checks the files and runs.
#pragma once

#include "send/send.h"

// Every option: its id, its name, whether it takes a value and whether it chooses the output
// (one of those at most). -q, -v and -h are the letters of three; getopt_long gives back an
// option's id above its own answers (1, '?', ':', letters).
// clang-format off
#define OPTIONS(X)                                                                           \
    X(PORT, "port", 1, 0)         X(BAUD, "baud", 1, 0)           X(DEVICE, "device", 1, 0)  \
    X(DIR, "dir", 1, 0)           X(PUMP1, "pump1", 1, 0)         X(PUMP2, "pump2", 1, 0)    \
    X(READER1, "reader1", 1, 0)   X(READER2, "reader2", 1, 0)                                \
    X(ALLOW_EMPTY, "allow-empty", 0, 0) X(LIST_MAKES, "list-makes", 0, 0)                    \
    X(LIST_PORTS, "list-ports", 0, 0)   X(CHECK, "check", 0, 0)   X(NO_PORT, "no-port", 0, 0) \
    X(LOG, "log", 1, 0)           X(EXPECT, "expect", 1, 0)       X(TRACE, "trace", 1, 0)    \
    X(STATION, "station", 1, 0)   X(OPERATOR, "operator", 1, 0)   X(NOTE, "note", 1, 0)      \
    X(WAIT, "wait", 1, 0)         X(QUIET, "quiet", 0, 1)         X(VERBOSE, "verbose", 0, 1) \
    X(JSON, "json", 0, 1)         X(PROGRESS, "progress", 0, 0)   X(VERSION, "version", 0, 0) \
    X(HELP, "help", 0, 0)
// clang-format on
#define OPTION_ID(id, name, value, output) OPT_##id,
enum OptionId { OPTIONS(OPTION_ID) OPTION_COUNT };

// Who ran a run, where, and why: the option, the variable that stands in for it (0: none), the
// record's key and where the text goes.
struct WhoText {
    int option;
    const char *variable, *key;
    const char **into;
};
const int WHO_TEXTS = 3;
extern const WhoText WhoTexts[WHO_TEXTS];

extern const char *Given[OPTION_COUNT];  // each option's value (flags: ""), 0 when absent
inline BYTE given(int id) {
    return Given[id] != 0;
}
extern const char USAGE[];
// A problem with what was given, with the hint to try --help; 0.
BYTE badInput(const char *code, const char *subject, const char *what, const char *value);
// What main does with the command line, read once from it (as picocom's opts): a file's
// option as given ("" for an empty one), 0 when absent.
struct SendOptions {
    RunMode mode;
    const char *log, *trace, *expect, *dir;
    BYTE allowEmpty, noPort, quiet, verbose, progress;
};
extern SendOptions Opt;
// Into Given and Opt; 0 when it cannot be (said why). A --log after a fault is still taken:
// the record of the refusal goes there.
BYTE readCommandLine(int argc, char **argv);
BYTE readWhoTexts();  // --station, --operator, --note and their variables into Facts
// The port and the device it opens (Linux): EXIT_SENT, else EXIT_BAD_INPUT or, when no
// adapter answers to --port, EXIT_PORT_FAILED (said why).
int choosePort(int *port, const char **device);
// The rate, the wait and the makes, made the window program's choices; 0 if one is wrong.
BYTE chooseRateWaitAndMakes();
void printHelp(Output *out);
void listMakes(Output *out);
void listPorts(Output *out);
