// marvane-send's command line: its options, its help and the choices they make, read and
// checked by options.cpp before main.cpp checks the files and runs.
#pragma once

#include "run/makes.h"
#include "send/send.h"

// Every option: its id, its name, what its value is and where Opt keeps it. -q, -v and -h are
// the letters of three; getopt_long gives back an option's id above its own answers (1, '?',
// ':', letters).
// clang-format off
#define OPTIONS(X)                                                                             \
    X(PORT, "port", PORT, port)           X(BAUD, "baud", NUMBER, baud)                        \
    X(DEVICE, "device", TEXT, device)     X(DIR, "dir", TEXT, dir)                             \
    X(PUMP1, "pump1", MAKE, makes[0])     X(PUMP2, "pump2", MAKE, makes[1])                    \
    X(READER1, "reader1", MAKE, makes[2]) X(READER2, "reader2", MAKE, makes[3])                \
    X(ALLOW_EMPTY, "allow-empty", FLAG, allowEmpty) X(LIST_MAKES, "list-makes", FLAG, listMakes) \
    X(LIST_PORTS, "list-ports", FLAG, listPorts)    X(CHECK, "check", FLAG, check)             \
    X(NO_PORT, "no-port", FLAG, noPort)   X(LOG, "log", TEXT, log)                             \
    X(EXPECT, "expect", TEXT, expect)     X(TRACE, "trace", TEXT, trace)                       \
    X(STATION, "station", TEXT, station)  X(OPERATOR, "operator", TEXT, operatorName)         \
    X(NOTE, "note", TEXT, note)           X(WAIT, "wait", NUMBER, wait)                        \
    X(QUIET, "quiet", FLAG, quiet)        X(VERBOSE, "verbose", FLAG, verbose)                 \
    X(JSON, "json", FLAG, json)           X(PROGRESS, "progress", FLAG, progress)              \
    X(VERSION, "version", FLAG, version)  X(HELP, "help", FLAG, help)
// clang-format on
#define OPTION_ID(id, name, kind, field) OPT_##id,
enum OptionId { OPTIONS(OPTION_ID) OPTION_COUNT };

// Who ran a run, where, and why: the option and its text in Opt (as given, then as chosen:
// given, else from the variable that stands in for it, 0: none), and the record's key.
struct WhoText {
    int option;
    const char **text;
    const char *variable, *key;
};
const int WHO_TEXTS = 3;
extern const WhoText WhoTexts[WHO_TEXTS];
const int MAKE_SLOTS = 4;  // --pump1, --pump2, --reader1, --reader2

// The values, each read once from its text as the option is taken; the text stays for the
// messages that quote it. A number is -1, a make 0, when the text is not one.
struct Number {
    const char *text;
    int value;
};
struct MakeChoice {
    const char *text;
    const MakeRow *make;
};
struct PortChoice {
    const char *text;
    int number;    // 1 to 256 for "2", "COM2", else -1
    BYTE adapter;  // "auto" or "usb:...": an adapter to find
};
// What the command line chose (picocom's opts): an option absent is 0 (a text, a flag) or has
// no text; a file's option given empty is "".
struct SendOptions {
    RunMode mode;
    PortChoice port;
    Number baud, wait;
    MakeChoice makes[MAKE_SLOTS];
    const char *device, *dir, *log, *expect, *trace, *station, *operatorName, *note;
    BYTE allowEmpty, listMakes, listPorts, check, noPort, quiet, verbose, json, progress, version,
        help;
};
extern SendOptions Opt;

extern const char USAGE[];
// A problem with what was given, with the hint to try --help; 0.
BYTE badInput(const char *code, const char *subject, const char *what, const char *value);
// Into Opt; 0 when it cannot be (said why). After a fault --log and --json are still taken:
// the record of the refusal goes there, as JSON when asked.
BYTE readCommandLine(int argc, char **argv);
// --station, --operator, --note, each as given or from its variable, into Opt; 0 when one is
// not fit for the record (said why).
BYTE readWhoTexts();
// The port the options and MARVANE_PORT choose: its number, the device it opens (--device, a
// device path, an adapter's; 0 for the system's own) and the USB adapter it is, when known.
struct ChosenPort {
    int number;
    const char *device;
    const struct SerialPortInfo *adapter;
};
// 1 when one is chosen; else 0 (said why), and `refused` says how that ends: bad input, or no
// adapter answering to --port.
BYTE choosePort(ChosenPort *choice, RunEnd *refused);
// The rate, the wait and the makes, made the window program's choices; 0 if one is wrong.
BYTE chooseRateWaitAndMakes();
void printHelp(Output *out);
void listMakes(Output *out);
void listPorts(Output *out);
