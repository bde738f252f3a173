// marvane-send: the window program's "Download Files" from a command line. Reads the
// options, makes the choices from the menus' own table of makes, checks every file of
// the run before the port is touched, then runs the same runDownload (report.cpp prints it).
#include <errno.h>
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "link/link.h"
#include "link/rates.h"
#include "protocol/protocol.h"
#include "resources/version.h"
#include "run/download.h"
#include "run/makes.h"
#include "run/slots.h"
#include "send/json.h"
#include "send/expect.h"
#include "send/ports.h"
#include "send/send.h"
#include "send/trace.h"

static const char USAGE[] = "Usage: marvane-send [options] --pump1 MAKE\n";
static const char ABOUT[] =
    "Sends the controller's images over one serial port, as \"Download Files\" does in the\n"
    "window program. The files are read by bare name from the current folder, in this order:\n";

static const char HELP[] =
    "\n"
    "  --port N          the COM port, 1 to 256 or COMn (default $MARVANE_PORT, else 1; on\n"
    "                    Linux $MARVANE_PORT may name a device, as --device does); auto: the\n"
    "                    one USB serial adapter plugged in; usb:VID:PID[:SERIAL]: that adapter\n"
    "  --baud N          %s (default %d)\n"
    "  --device PATH     (Linux) the serial device to use as that COM port, e.g. /dev/ttyUSB0;\n"
    "                    without it COMn is $MARVANE_COMn, else /dev/ttyS<n-1>\n"
    "  --dir DIR         read the files from DIR instead of the current folder\n"
    "  --pump1 MAKE      the Pump 1 driver (a run needs one)\n"
    "  --pump2 MAKE      the Pump 2 driver\n"
    "  --reader1 MAKE    the Reader 1 driver\n"
    "  --reader2 MAKE    the Reader 2 driver\n"
    "                    MAKE is the menu's label in any case, quoted where it has a space,\n"
    "                    or one word:%s\n"
    "                    Card readers come only in:%s\n"
    "  --allow-empty     send an empty (0-byte) image; without it one is refused\n"
    "  --wait SECONDS    wait up to SECONDS (to 3600) for a silent controller: the first\n"
    "                    header goes again after each answer time-out until it is answered\n"
    "  --list-makes      print the makes of each slot with their file names, then stop\n"
    "  --list-ports      print the serial ports this system has, then stop\n"
    "  --check           check the files, print what would be sent, in order, with id, type\n"
    "                    and SHA-256, then open and set up the port and close it again\n"
    "                    without sending a byte\n"
    "  --no-port         with --check: leave the port alone\n"
    "  --log FILE        append the run's record to FILE, one JSON line a run (default\n"
    "                    $MARVANE_LOG; none without either)\n"
    "  --expect FILE     the supplier's list of images as sha256sum writes it (HASH  NAME):\n"
    "                    every image of the run must be listed there with its SHA-256\n"
    "  --trace FILE      write every byte sent and received, decoded, to FILE\n"
    "  --station TEXT    the station, --operator TEXT who runs it (defaults $MARVANE_STATION,\n"
    "                    $MARVANE_OPERATOR), --note TEXT: into the record, 200 characters each\n"
    "  --quiet, -q       print nothing but failures\n"
    "  --verbose, -v     also print each block's answer and every resend\n"
    "  --json            print JSON lines only on standard output: what it is, one object per\n"
    "                    event of the run, the run's record last\n"
    "  --progress        show the bar even when standard output is not a terminal (there,\n"
    "                    as one line per transfer)\n"
    "  --version         print the version, then stop\n"
    "  --help, -h        show this text\n"
    "\n"
    "A value may follow its option or be joined to it with '=' (--dir=-odd-name for a value\n"
    "that starts with '-'). Each option may be given once.\n"
    "\n"
    "Before the port is opened every file of the run must exist, be readable, hold 1 to\n"
    "13,000 bytes (0 with --allow-empty), and Pump 1 must have a make. Each transfer prints a\n"
    "line as it starts and as it ends, and the run a closing summary; on a terminal a bar\n"
    "shows the blocks of the file in flight. Ctrl+C stops the run at its next wait, sends\n"
    "nothing more and closes the port; a second Ctrl+C ends the program at once.\n"
    "\n"
    "Exit status: 0 every file sent; 1 a step failed (it is named, with the cause), or no\n"
    "answer within --wait; 2 bad options or files; 3 the port could not be opened or set up,\n"
    "or went away; 4 marvane-send could not set itself up; 5 the run's record could not be\n"
    "written to the log (the summary says how the transfers went); 130 interrupted (Ctrl+C,\n"
    "SIGTERM, SIGHUP, the console closed), or standard output closed.\n";

// The four slots a make is chosen for, with their options.
const int MAKE_SLOTS = 4;
static const int MakeSlot[MAKE_SLOTS] = {SLOT_PUMP1, SLOT_PUMP2, SLOT_READER1, SLOT_READER2};

const int PORT_MAX = 256;   // COM1 to COM256, as Windows numbers them
const int WAIT_MAX = 3600;  // --wait: an hour at most, as the help says

// What getopt_long gives back for an option: above its own answers (1, '?', ':' and the
// letters), the option's place in Options.
const int LONG_ONLY_BASE = 256;
enum OptionId {
    OPT_PORT,
    OPT_BAUD,
    OPT_DEVICE,
    OPT_DIR,
    OPT_PUMP1,  // the four makes, in MakeSlot's order
    OPT_PUMP2,
    OPT_READER1,
    OPT_READER2,
    OPT_ALLOW_EMPTY,
    OPT_LIST_MAKES,
    OPT_LIST_PORTS,
    OPT_CHECK,
    OPT_NO_PORT,
    OPT_LOG,
    OPT_EXPECT,
    OPT_TRACE,
    OPT_STATION,
    OPT_OPERATOR,
    OPT_NOTE,
    OPT_WAIT,
    OPT_QUIET,
    OPT_VERBOSE,
    OPT_JSON,
    OPT_PROGRESS,
    OPT_VERSION,
    OPT_HELP,
    OPTION_COUNT
};
// Every option, in OptionId's order, for getopt_long; -q, -v and -h are the letters of three.
// clang-format off
static constexpr struct option Options[OPTION_COUNT + 1] = {
    {"port", required_argument, 0, LONG_ONLY_BASE + OPT_PORT},
    {"baud", required_argument, 0, LONG_ONLY_BASE + OPT_BAUD},
    {"device", required_argument, 0, LONG_ONLY_BASE + OPT_DEVICE},
    {"dir", required_argument, 0, LONG_ONLY_BASE + OPT_DIR},
    {"pump1", required_argument, 0, LONG_ONLY_BASE + OPT_PUMP1},
    {"pump2", required_argument, 0, LONG_ONLY_BASE + OPT_PUMP2},
    {"reader1", required_argument, 0, LONG_ONLY_BASE + OPT_READER1},
    {"reader2", required_argument, 0, LONG_ONLY_BASE + OPT_READER2},
    {"allow-empty", no_argument, 0, LONG_ONLY_BASE + OPT_ALLOW_EMPTY},
    {"list-makes", no_argument, 0, LONG_ONLY_BASE + OPT_LIST_MAKES},
    {"list-ports", no_argument, 0, LONG_ONLY_BASE + OPT_LIST_PORTS},
    {"check", no_argument, 0, LONG_ONLY_BASE + OPT_CHECK},
    {"no-port", no_argument, 0, LONG_ONLY_BASE + OPT_NO_PORT},
    {"log", required_argument, 0, LONG_ONLY_BASE + OPT_LOG},
    {"expect", required_argument, 0, LONG_ONLY_BASE + OPT_EXPECT},
    {"trace", required_argument, 0, LONG_ONLY_BASE + OPT_TRACE},
    {"station", required_argument, 0, LONG_ONLY_BASE + OPT_STATION},
    {"operator", required_argument, 0, LONG_ONLY_BASE + OPT_OPERATOR},
    {"note", required_argument, 0, LONG_ONLY_BASE + OPT_NOTE},
    {"wait", required_argument, 0, LONG_ONLY_BASE + OPT_WAIT},
    {"quiet", no_argument, 0, LONG_ONLY_BASE + OPT_QUIET},
    {"verbose", no_argument, 0, LONG_ONLY_BASE + OPT_VERBOSE},
    {"json", no_argument, 0, LONG_ONLY_BASE + OPT_JSON},
    {"progress", no_argument, 0, LONG_ONLY_BASE + OPT_PROGRESS},
    {"version", no_argument, 0, LONG_ONLY_BASE + OPT_VERSION},
    {"help", no_argument, 0, LONG_ONLY_BASE + OPT_HELP},
    {0, 0, 0, 0},
};
// clang-format on
static constexpr BYTE inOrder() {
    for (int id = 0; id < OPTION_COUNT; id++) {
        if (Options[id].val != LONG_ONLY_BASE + id) {
            return 0;
        }
    }
    return 1;
}
static_assert(inOrder(), "Options is in OptionId's order");

// "--port", as messages name an option.
static const char *optionName(int id) {
    static char names[OPTION_COUNT][24];
    snprintf(names[id], sizeof names[id], "--%s", Options[id].name);
    return names[id];
}

// What the command line said: each option's value (flags: "" when given), 0 when absent.
static const char *Given[OPTION_COUNT];

static BYTE given(OptionId id) {
    return Given[id] != 0;
}

static BYTE sameText(const char *a, const char *b) {
    for (; *a != 0 && *b != 0; a++, b++) {
        char x = (*a >= 'A' && *a <= 'Z') ? (char)(*a - 'A' + 'a') : *a;
        char y = (*b >= 'A' && *b <= 'Z') ? (char)(*b - 'A' + 'a') : *b;
        if (x != y) {
            return 0;
        }
    }
    return *a == *b;
}

// The rates of the table as the texts name them: "a, b, c or d".
static void rateList(char *out, int size) {
    out[0] = 0;
    for (int i = 0; i < BAUD_RATE_COUNT; i++) {
        const char *before = i == 0 ? "" : i + 1 < BAUD_RATE_COUNT ? ", " : " or ";
        snprintf(out + strlen(out), (size_t)(size - (int)strlen(out)), "%s%d", before,
                 BaudRates[i]);
    }
}

static int badInput(const char *code, const char *subject, const char *what, const char *value) {
    problem(code, subject, "%s%s%s\nTry 'marvane-send --help'.", what, value ? ": " : "",
            value ? value : "");
    return EXIT_BAD_INPUT;
}

// A whole decimal number, nothing else; -1 if text is not one.
static int wholeNumber(const char *text) {
    if (*text == 0 || strlen(text) > 6) {
        return -1;
    }
    int value = 0;
    for (const char *c = text; *c != 0; c++) {
        if (*c < '0' || *c > '9') {
            return -1;
        }
        value = value * 10 + (*c - '0');
    }
    return value;
}

// "2", "COM2" or "com2": the port number, -1 for anything else.
static int portNumberOf(const char *text) {
    if ((text[0] == 'C' || text[0] == 'c') && (text[1] == 'O' || text[1] == 'o') &&
        (text[2] == 'M' || text[2] == 'm')) {
        text += 3;
    }
    int number = wholeNumber(text);
    return number >= 1 && number <= PORT_MAX ? number : -1;
}

static const MakeRow *findMake(const char *text) {
    for (int i = 0; i < MAKE_COUNT; i++) {
        if (sameText(text, Makes[i].key) || sameText(text, Makes[i].label)) {
            return &Makes[i];
        }
    }
    return 0;
}

// Reads the command line into Given; returns EXIT_SENT or EXIT_BAD_INPUT (said why).
static int readCommandLine(int argc, char **argv) {
    opterr = 0;  // its messages are ours
    for (;;) {
        int at = optind;  // the argument being read, options never being moved
        // Non-options in place ('-'), a missing value as ':'.
        int code = getopt_long(argc, argv, "-:qvh", Options, 0);
        BYTE faulty = code == '?' || code == ':';
        int id = -1;
        switch (faulty ? optopt : code) {
            case -1:  // the end, or "--" before the rest
                return optind < argc ? badInput("unexpected-argument", argv[optind],
                                                "unexpected argument", argv[optind])
                                     : EXIT_SENT;
            case 1:
                return badInput("unexpected-argument", optarg, "unexpected argument", optarg);
            case 'q':
                id = OPT_QUIET;
                break;
            case 'v':
                id = OPT_VERBOSE;
                break;
            case 'h':
                id = OPT_HELP;
                break;
            default:
                id = (faulty ? optopt : code) - LONG_ONLY_BASE;
                break;
        }
        const char *arg = argv[at];
        if (id < 0 || id >= OPTION_COUNT) {
            return badInput("unknown-option", arg, "unknown option", arg);
        }
        const char *name = optionName(id);
        BYTE takesValue = Options[id].has_arg == required_argument;
        // A long option by its whole name only: a shortened one would change meaning as
        // options are added.
        size_t length = strcspn(arg, "=");
        if (arg[1] == '-' && (length != strlen(name) || strncmp(arg, name, length))) {
            return badInput("unknown-option", arg, "unknown option", arg);
        }
        if (faulty) {
            return takesValue ? badInput("needs-value", name, "this option needs a value", name)
                              : badInput("takes-no-value", name, "this option takes no value", arg);
        }
        if (Given[id] != 0) {
            return badInput("given-twice", name, "this option is given twice", name);
        }
        // "--pump1 --check" is a forgotten make, not a make called "--check".
        const char *value = takesValue ? optarg : "";
        if (takesValue && value == argv[optind - 1] && value[0] == '-' && value[1] != 0) {
            problem("needs-value", name,
                    "%s needs a value, not %s (write %s=%s for a value that starts with "
                    "'-')\nTry 'marvane-send --help'.",
                    name, value, name, value);
            return EXIT_BAD_INPUT;
        }
        Given[id] = value;
    }
}

// The choices the options make, in the window program's terms.
struct Choices {
    int port;
    int baud;
    int waitSeconds;
    const char *device;  // what COMn opens (Linux), 0: the system's own
    const MakeRow *makes[MAKE_SLOTS];
};

// --port auto or usb:VID:PID[:SERIAL]: the one adapter that answers to it, as its COM number
// (Windows) or its device (Linux). EXIT_PORT_FAILED when none is plugged in.
static int pickAdapter(const char *choice, Choices *c) {
    static SerialPortInfo ports[MAX_SERIAL_PORTS];
    int count = findSerialPorts(ports, MAX_SERIAL_PORTS);
    int chosen = -1;
    switch (pickPort(choice, ports, count, &chosen)) {
        case PICK_NOT_A_CHOICE:
            return badInput("bad-port", "--port",
                            "--port usb: takes VID:PID or VID:PID:SERIAL in hex", choice);
        case PICK_NONE:
            problem("no-adapter", "--port",
                    strcmp(choice, "auto") == 0 ? "no USB serial adapter is plugged in (--port %s)"
                                                : "no USB serial adapter %s is plugged in",
                    choice);
            return EXIT_PORT_FAILED;
        case PICK_MANY:
            problem("many-adapters", "--port",
                    "more than one USB serial adapter answers to --port %s; pick one:", choice);
            for (int i = 0; i < count; i++) {
                char option[200];
                if (ports[i].usb && portChoiceOf(ports, count, i, option, sizeof option)) {
                    complain("  --port %s   %s %s", option, ports[i].name, ports[i].friendly);
                } else if (ports[i].usb) {
                    complain("  --port %s   %s", ports[i].name, ports[i].friendly);
                }
            }
            return EXIT_BAD_INPUT;
        case PICK_ONE:
            break;
    }
    if (portNumberOf(ports[chosen].name) > 0) {
        c->port = portNumberOf(ports[chosen].name);
    } else {
        static char device[sizeof ports[0].device];
        snprintf(device, sizeof device, "%s", ports[chosen].device);
        c->device = device;
    }
    return EXIT_SENT;
}

// Checks every value before anything is done with them; EXIT_BAD_INPUT says why.
static int checkValues(Choices *c) {
    c->port = LinkSettings.portNumber;  // the window program's defaults
    c->baud = LinkSettings.baudRate;
    c->device = Given[OPT_DEVICE];
    // $MARVANE_PORT: a port number or name, or a device for the port (Linux). An option
    // overrides it: --device its device, --port its number (a device it names is still the
    // one that number opens), so a variable that is overridden is not read at all.
    const char *fromEnvironment = given(OPT_DEVICE) ? 0 : getenv("MARVANE_PORT");
    if (fromEnvironment != 0 && fromEnvironment[0] != 0) {
        BYTE isDevice = strchr(fromEnvironment, '/') != 0 && consoleHasDevices();
        if (isDevice && !(given(OPT_PORT) && isPortChoice(Given[OPT_PORT]))) {
            c->device = fromEnvironment;
        } else if (isDevice || given(OPT_PORT)) {
            // overridden by --port
        } else if (portNumberOf(fromEnvironment) > 0) {
            c->port = portNumberOf(fromEnvironment);
        } else {
            return badInput("bad-variable", "MARVANE_PORT",
                            consoleHasDevices()
                                ? "MARVANE_PORT is 1 to 256, COM1 to COM256 or a device path"
                                : "MARVANE_PORT is 1 to 256 or COM1 to COM256",
                            fromEnvironment);
        }
    }
    if (given(OPT_PORT) && isPortChoice(Given[OPT_PORT]) && given(OPT_DEVICE)) {
        return badInput("options-clash", "--device",
                        "--port names an adapter by itself: give no --device with it", 0);
    }
    if (given(OPT_PORT) && isPortChoice(Given[OPT_PORT])) {
        int status = pickAdapter(Given[OPT_PORT], c);
        if (status != EXIT_SENT) {
            return status;
        }
    } else if (given(OPT_PORT)) {
        c->port = portNumberOf(Given[OPT_PORT]);
        if (c->port < 0) {
            return badInput("bad-port", "--port",
                            strchr(Given[OPT_PORT], '/') != 0 && consoleHasDevices()
                                ? "a device path goes with --device, not --port (--port takes "
                                  "1 to 256, COMn, auto or usb:VID:PID)"
                                : "the port is 1 to 256 or COM1 to COM256 (--port)",
                            Given[OPT_PORT]);
        }
    }
    if (given(OPT_BAUD)) {
        int rate = wholeNumber(Given[OPT_BAUD]);
        c->baud = 0;
        for (int i = 0; i < BAUD_RATE_COUNT; i++) {
            if (BaudRates[i] == rate) {
                c->baud = rate;
            }
        }
        if (c->baud == 0) {
            char rates[64];
            char what[96];
            rateList(rates, sizeof rates);
            snprintf(what, sizeof what, "the device takes %s baud (--baud)", rates);
            return badInput("bad-baud", "--baud", what, Given[OPT_BAUD]);
        }
    }
    c->waitSeconds = given(OPT_WAIT) ? wholeNumber(Given[OPT_WAIT]) : 0;
    if (c->waitSeconds < 0 || c->waitSeconds > WAIT_MAX) {
        return badInput("bad-wait", "--wait", "the wait is 0 to 3600 seconds (--wait)",
                        Given[OPT_WAIT]);
    }
    if (given(OPT_DEVICE) && !consoleHasDevices()) {
        return badInput("no-device-option", "--device",
                        "--device is not available here; name the port with --port", 0);
    }
    if (given(OPT_DEVICE) && Given[OPT_DEVICE][0] == 0) {
        return badInput("needs-value", "--device", "--device needs a path", 0);
    }
    for (int m = 0; m < MAKE_SLOTS; m++) {
        const char *text = Given[OPT_PUMP1 + m];
        c->makes[m] = 0;
        if (text == 0) {
            continue;
        }
        const MakeRow *make = findMake(text);
        if (make == 0) {
            problem("unknown-make", optionName(OPT_PUMP1 + m),
                    "unknown make for %s: %s (see --list-makes)", optionName(OPT_PUMP1 + m), text);
            return EXIT_BAD_INPUT;
        }
        if (makeCommand(make, MakeSlot[m]) == 0) {
            problem("make-not-offered", optionName(OPT_PUMP1 + m),
                    "the %s menu offers no %s (see --list-makes)", SlotLabels[MakeSlot[m]],
                    make->label);
            return EXIT_BAD_INPUT;
        }
        c->makes[m] = make;
    }
    int outputs = given(OPT_QUIET) + given(OPT_JSON) + given(OPT_VERBOSE);
    if (outputs > 1) {
        return badInput("options-clash", "--json",
                        "--quiet, --verbose and --json choose the output: give one of them", 0);
    }
    if (given(OPT_NO_PORT) && !given(OPT_CHECK)) {
        return badInput("options-clash", "--no-port", "--no-port goes with --check", 0);
    }
    return EXIT_SENT;
}

// What a run sends, in order, from the steps table, a step a line: "POS.BIN (id 0, type C),",
// "PC_CC.BIN twice (ids 1 and 2, type A),", "then the Pump 1 (id 3), ...". A driver's type
// is named after the last of a row of drivers of the same type.
static void appendSteps(char *out, int size) {
    int drivers = 0;
    for (int i = 0; i < STEP_COUNT; i++) {
        const StepInfo *step = &Steps[i];
        char *end = out + strlen(out);
        size_t left = (size_t)(size - (int)strlen(out));
        const char *name = Slots[step->slot].name;  // the start-up file, for POS and PC_CC
        if (name[0] != 0 && step->secondPassId != 0) {
            snprintf(end, left, "  %s twice (ids %c and %c, type %c),\n", name, step->fileId,
                     step->secondPassId, step->fileType);
        } else if (name[0] != 0) {
            snprintf(end, left, "  %s (id %c, type %c),\n", name, step->fileId, step->fileType);
        } else {
            BYTE last = i + 1 == STEP_COUNT;
            const char *before = drivers++ == 0 ? "  then the " : last ? "  and " : "  ";
            char type[16] = "";
            if (last || Steps[i + 1].fileType != step->fileType) {
                snprintf(type, sizeof type, ", type %c", step->fileType);
            }
            snprintf(end, left, "%s%s (id %c%s)%s\n", before, SlotLabels[step->slot], step->fileId,
                     type,
                     last                  ? " drivers that are chosen."
                     : i + 2 == STEP_COUNT ? ""
                                           : ",");
        }
    }
}

// The makes' keys (readers: those a card-reader menu offers), six a line under the options'
// texts.
static void keyList(char *out, int size, BYTE readers) {
    out[0] = 0;
    for (int i = 0, listed = 0; i < MAKE_COUNT; i++) {
        if (!readers || Makes[i].reader1 != 0) {
            snprintf(out + strlen(out), (size_t)(size - (int)strlen(out)), "%s%s",
                     listed % 6 == 0 ? "\n                      " : " ", Makes[i].key);
            snprintf(out + strlen(out), (size_t)(size - (int)strlen(out)), ",");
            listed++;
        }
    }
    out[strlen(out) - 1] = '.';
}

static void formatUsage(char *out, int size) {
    snprintf(out, (size_t)size, "%s%s", USAGE, ABOUT);
    appendSteps(out, size);
}

// The steps, rates and the makes' keys, as the help text lists them.
static void formatHelp(char *out, int size) {
    char rates[64];
    rateList(rates, sizeof rates);
    char pumps[512];
    char readers[512];
    keyList(pumps, sizeof pumps, 0);
    keyList(readers, sizeof readers, 1);
    formatUsage(out, size);
    snprintf(out + strlen(out), (size_t)(size - (int)strlen(out)), HELP, rates,
             LinkSettings.baudRate, pumps, readers);
}

// One make of --list-makes, as text under its slot's heading or as JSON.
static void listMake(int m, const MakeRow *make, const char *file) {
    if (!JsonOutput) {
        printf("  %-13s %-15s %s\n", make->key, make->label, file);
        return;
    }
    JsonObject event;
    event["event"] = "make";
    event["slot"] = SlotLabels[MakeSlot[m]];
    event["option"] = optionName(OPT_PUMP1 + m);
    event["make"] = make->key;
    event["label"] = make->label;
    event["file"] = file;
    printJson(event);
}

static void listMakes() {
    for (int m = 0; m < MAKE_SLOTS; m++) {
        int slot = MakeSlot[m];
        if (!JsonOutput) {
            printf("%s (%s):\n", SlotLabels[slot], optionName(OPT_PUMP1 + m));
        }
        for (int i = 0; i < MAKE_COUNT; i++) {
            if (makeCommand(&Makes[i], slot) == 0) {
                continue;
            }
            char file[SLOT_NAME_SIZE];
            LoadStringA(GetModuleHandleA(NULL), makeCatalogId(&Makes[i], slot), file,
                        SLOT_NAME_SIZE);
            listMake(m, &Makes[i], file);
        }
    }
}

// --list-ports: each port as the system names it to the user, with the option that picks it.
static void listPorts() {
    static SerialPortInfo ports[MAX_SERIAL_PORTS];
    int count = findSerialPorts(ports, MAX_SERIAL_PORTS);
    for (int i = 0; i < count; i++) {
        const SerialPortInfo *p = &ports[i];
        char choice[280];
        char option[300];
        char vid[8], pid[8];
        snprintf(vid, sizeof vid, "%04x", p->vid);
        snprintf(pid, sizeof pid, "%04x", p->pid);
        if (p->usb && portChoiceOf(ports, count, i, choice, sizeof choice)) {
            snprintf(option, sizeof option, "--port %.280s", choice);
        } else if (portNumberOf(p->name) > 0) {
            snprintf(option, sizeof option, "--port %.15s", p->name);
        } else {
            snprintf(option, sizeof option, "--device %.280s", p->device);
        }
        if (!JsonOutput) {
            printf("%-10s %-36s %s%s%s%s  %s\n", p->name, p->friendly, p->usb ? "USB " : "",
                   p->usb ? vid : "", p->usb ? ":" : "", p->usb ? pid : "", option);
            continue;
        }
        JsonObject event;
        event["event"] = "port";
        event["port"] = p->name;
        event["device"] = p->device;
        event["friendly"] = p->friendly;
        event["hardware_id"] = p->hardwareId;
        event["usb"] = p->usb != 0;
        if (p->usb) {
            event["vid"] = vid;
            event["pid"] = pid;
            event["serial"] = p->serial;
        }
        if (p->byId[0] != 0) {
            event["by_id"] = p->byId;
        }
        event["option"] = option;
        printJson(event);
    }
    if (count == 0 && !JsonOutput) {
        printf("No serial ports found.\n");
    }
}

// The window program's choices, made as its menu commands make them.
static void choose(const Choices *c) {
    for (int m = 0; m < MAKE_SLOTS; m++) {
        if (c->makes[m] != 0) {
            selectFile(MakeSlot[m], makeCatalogId(c->makes[m], MakeSlot[m]));
        }
    }
    // Any port the options allow: the menu offers COM1 to COM4, the console reaches further.
    setPort(c->port);
    setBaud(c->baud);
}

// Whether the file can be sent: it is the only one of its name, it opens, all of it reads,
// and the device can take it. Says why not on standard error.
static BYTE checkFile(const char *label, const char *name, const char *folder, DWORD *size,
                      char sha256[65]) {
    char twin[SLOT_NAME_SIZE];
    if (consoleCaseTwin(name, twin, sizeof twin)) {
        problem("case-twin", name,
                "%s file %s: %s holds both %s and %s, names that differ only in case; keep "
                "one",
                label, name, folder, name, twin);
        return 0;
    }
    ImageProblem trouble;
    DWORD error;
    if (readImage(name, size, &trouble, &error)) {
        sha256Hex(ImageBuffer, *size, sha256);
        if (*size == 0 && !given(OPT_ALLOW_EMPTY)) {
            problem("empty-image", name,
                    "%s file %s in %s is empty: it would leave the controller without it "
                    "(--allow-empty sends it anyway)",
                    label, name, folder);
            return 0;
        }
        return 1;
    }
    switch (trouble) {
        case IMAGE_NOT_FOUND:
            problem("image-not-found", name, "%s file %s not found in %s", label, name, folder);
            break;
        case IMAGE_TOO_LARGE:
            problem("image-too-large", name,
                    "%s file %s in %s is too large: the device takes %u bytes at most", label, name,
                    folder, (unsigned)MAX_IMAGE_SIZE);
            break;
        case IMAGE_NOT_OPENED:
            problem("image-not-opened", name, "%s file %s in %s cannot be opened: %s", label, name,
                    folder, consoleWhatIs(name, error));
            break;
        default:
            problem("image-short", name, "%s file %s in %s cannot be read whole", label, name,
                    folder);
            break;
    }
    return 0;
}

// The listeners of a run, and the log its record goes to: one each for the process.
static ConsoleReport Console;
static RunRecord Record;
static FILE *Log;
static WireTrace Trace;

// --expect: the supplier's list, read whole before the port is touched (a list is text, never
// near a megabyte), and its own SHA-256 for the record.
const DWORD EXPECT_FILE_MAX = 1 << 20;
static ExpectList Expected;
static BYTE ExpectListRead(const char *path) {
    static char text[EXPECT_FILE_MAX + 1];
    FILE *f = fopen(path, "rb");
    size_t size = f != 0 ? fread(text, 1, sizeof text, f) : 0;
    BYTE ok = f != 0 && !ferror(f) && size <= EXPECT_FILE_MAX;
    if (f == 0 || !ok) {
        problem("list-unreadable", "--expect", "the list cannot be read (--expect): %s: %s", path,
                f == 0 ? strerror(errno) : "larger than any list of images");
    }
    if (f != 0) {
        fclose(f);
    }
    int line = 0;
    ExpectProblem fault = ok ? parseExpectList(text, (DWORD)size, &Expected, &line) : EXPECT_OK;
    if (fault != EXPECT_OK) {
        problem("list-malformed", "--expect", "the list %s (--expect), line %d: %s", path, line,
                expectProblemText(fault));
    }
    Record.expectPath = path;
    sha256Hex((const BYTE *)text, (DWORD)size, Record.expectSha256);
    return ok && fault == EXPECT_OK;
}

// The image's hash against the list: listed, with the same SHA-256. Said, and with --json
// told, either way.
static BYTE asExpected(const char *name, const char sha256[65]) {
    const ExpectedImage *listed = findExpected(&Expected, name);
    if (JsonOutput) {
        JsonObject event;
        event["event"] = "expected";
        event["file"] = name;
        event["sha256"] = sha256;
        event["listed"] = listed != 0 ? listed->sha256 : "";
        event["line"] = listed != 0 ? listed->line : 0;
        event["match"] = listed != 0 && strcmp(listed->sha256, sha256) == 0;
        printJson(event);
    }
    if (listed == 0) {
        problem("not-listed", name, "%s is not in the list %s (--expect): it is not to be sent",
                name, Given[OPT_EXPECT]);
    } else if (strcmp(listed->sha256, sha256) != 0) {
        problem("not-as-listed", name,
                "%s is not the file the list names: its SHA-256 is %s, the list %s line %d says %s",
                name, sha256, Given[OPT_EXPECT], listed->line, listed->sha256);
    }
    return listed != 0 && strcmp(listed->sha256, sha256) == 0;
}

// What each image was at the check, by slot: its step sends exactly those bytes or nothing.
static char Checked[SLOT_COUNT][65];
static char ChangedImage[SLOT_NAME_SIZE + 200];  // the one that was not, with both hashes
static char ChangedFile[SLOT_NAME_SIZE];

static BYTE sameAsChecked(LPCSTR name, const BYTE *bytes, DWORD size) {
    char now[65];
    for (int slot = 0; slot < SLOT_COUNT; slot++) {
        if (strcmp(Slots[slot].name, name) == 0 && sha256Hex(bytes, size, now) &&
            strcmp(now, Checked[slot]) != 0) {
            snprintf(ChangedImage, sizeof ChangedImage,
                     "%s changed since the check: its SHA-256 was %s, now %s; nothing of it was "
                     "sent",
                     name, Checked[slot], now);
            snprintf(ChangedFile, sizeof ChangedFile, "%s", name);
            return 0;
        }
    }
    return 1;
}

// Checks every file of the run and that Pump 1 has a make, all before the port is touched;
// with `plan`, prints what would be sent. Returns EXIT_SENT or EXIT_BAD_INPUT, and the
// number of transfers in *transfers.
static int preflight(BYTE plan, const char *portName, int *transfers, int *blocks) {
    BYTE ok = 1;
    if (Slots[SLOT_PUMP1].name[0] == 0) {
        problem("no-pump1", "--pump1", "Pump 1 has no make (--pump1): the run would fail there");
        ok = 0;
    }
    char folder[1024];
    consoleCurrentDirectory(folder, sizeof folder);
    DWORD sizes[SLOT_COUNT] = {0};
    char hashes[SLOT_COUNT][65] = {};
    *transfers = 0;
    for (int i = 0; i < STEP_COUNT; i++) {
        int slot = Steps[i].slot;
        if (Slots[slot].name[0] == 0) {
            continue;
        }
        *transfers += Steps[i].secondPassId != 0 ? 2 : 1;
        BYTE read =
            checkFile(SlotLabels[slot], Slots[slot].name, folder, &sizes[slot], hashes[slot]);
        *blocks += blockCount(sizes[slot]) * (Steps[i].secondPassId != 0 ? 2 : 1);
        if (!read || (given(OPT_EXPECT) && !asExpected(Slots[slot].name, hashes[slot]))) {
            ok = 0;
        }
        memcpy(Checked[slot], hashes[slot], sizeof Checked[slot]);
    }
    if (!ok || !plan) {
        return ok ? EXIT_SENT : EXIT_BAD_INPUT;
    }
    if (!JsonOutput) {
        if (given(OPT_EXPECT)) {
            printf("Every image is as %s lists it.\n", Given[OPT_EXPECT]);
        }
        printf("Would send over %s at %d baud:\n", portName, LinkSettings.baudRate);
    }
    int order = 0;
    for (int i = 0; i < STEP_COUNT; i++) {
        const StepInfo *step = &Steps[i];
        const char *name = Slots[step->slot].name;
        int passes = step->secondPassId != 0 ? 2 : 1;
        for (int pass = 1; pass <= passes && name[0] != 0; pass++) {
            FileId id = pass == 2 ? step->secondPassId : step->fileId;
            DWORD size = sizes[step->slot];
            recordPlanned(&Record, step->slot, pass, name, id, step->fileType, size,
                          hashes[step->slot]);
            if (!JsonOutput) {
                printf("  %d  %-8s  %-12s  id %c  type %c  %5u bytes  %3d blocks  sha256 %s\n",
                       ++order, SlotLabels[step->slot], name, id, step->fileType, (unsigned)size,
                       blockCount(size), hashes[step->slot]);
                continue;
            }
            JsonObject event;
            event["event"] = "plan";
            event["step"] = ++order;
            event["slot"] = SlotLabels[step->slot];
            event["pass"] = pass;
            event["file"] = name;
            event["id"] = std::string(1, id);
            event["type"] = std::string(1, step->fileType);
            event["bytes"] = size;
            event["blocks"] = blockCount(size);
            event["sha256"] = hashes[step->slot];
            printJson(event);
        }
        if (name[0] == 0 && !JsonOutput) {
            printf("     %-8s  %-12s  skipped: no make chosen\n", SlotLabels[step->slot], "-");
        }
    }
    return EXIT_SENT;
}

// The files marvane-send writes, each as the system tells it from any other: none may be an
// image of the run, whatever the path that names it.
struct Output {
    const char *option;
    FILE **file;
    FileIdentity identity;
    BYTE known;
};
static FILE *TraceFile;
static Output Outputs[] = {{"--log", &Log, {0, 0}, 0}, {"--trace", &TraceFile, {0, 0}, 0}};

// Opens an output to be appended to (nothing is written before the run's images are known,
// and nothing is ever cut short); 0 when it cannot be (said why).
static BYTE openOutput(Output *out, const char *path, const char *what, const char *from) {
    if (path[0] == 0) {
        problem("needs-value", from, "%s (%s) needs a file name", what, from);
        return 0;
    }
    *out->file = fopen(path, "a");
    if (*out->file == 0) {
        problem("output-unopened", from, "%s cannot be opened (%s): %s: %s", what, from, path,
                strerror(errno));
        return 0;
    }
    out->known = consoleFileIdentity(path, &out->identity);
    return 1;
}

// No output is an image of the run: found before the port is touched; the output is closed
// unwritten.
static BYTE outputsAreNotImages() {
    BYTE ok = 1;
    for (Output &out : Outputs) {
        for (int slot = 0; slot < SLOT_COUNT && out.known && *out.file != 0; slot++) {
            FileIdentity image;
            if (Slots[slot].name[0] != 0 && consoleFileIdentity(Slots[slot].name, &image) &&
                image.volume == out.identity.volume && image.index == out.identity.index) {
                problem("output-is-image", out.option,
                        "%s names %s, an image of the run: name another file", out.option,
                        Slots[slot].name);
                fclose(*out.file);
                *out.file = 0;
                ok = 0;
            }
        }
    }
    return ok;
}

// The end of marvane-send, however it came: the record to the log and, with --json, as the
// last line. Returns the exit status.
static int finish(RunEnd end) {
    Record.end = end;
    JsonObject record;
    recordObject(&Record, &record);
    BYTE recorded = 1;
    if (Log != 0) {
        recorded = fprintf(Log, "%s\n", jsonLine(record).c_str()) > 0;
        recorded = fclose(Log) == 0 && recorded;
        if (!recorded) {
            complain("the run's record could not be written to the log (--log): %s",
                     strerror(errno));
        }
    }
    if (JsonOutput) {
        printJson(record);
    }
    consoleFinished();
    // A lost record is its own outcome: the summary has said how the transfers went.
    return recorded ? exitStatusOf(end) : EXIT_NO_RECORD;
}

// Whether --json is among the options, before they are read: a command line that cannot be
// read is answered in JSON too.
static BYTE asksForJson(int argc, char **argv) {
    for (int i = 1; i < argc && strcmp(argv[i], "--") != 0; i++) {
        if (strcmp(argv[i], "--json") == 0) {
            return 1;
        }
    }
    return 0;
}

// What this run of marvane-send does, as its record names it.
static const char *modeOf() {
    return given(OPT_HELP)         ? "help"
           : given(OPT_VERSION)    ? "version"
           : given(OPT_LIST_MAKES) ? "list-makes"
           : given(OPT_LIST_PORTS) ? "list-ports"
           : given(OPT_CHECK)      ? "check"
                                   : "send";
}

static int finishOnBadInput(int status) {
    return status == EXIT_SENT ? EXIT_SENT : finish(RUN_BAD_INPUT);
}

// The log the record is appended to: --log, else $MARVANE_LOG, else none. 0 when one was
// named and cannot be opened (said why).
static BYTE openLog() {
    const char *fromEnvironment = getenv("MARVANE_LOG");
    if (given(OPT_LOG)) {
        return openOutput(&Outputs[0], Given[OPT_LOG], "the log", "--log");
    }
    return fromEnvironment == 0 || fromEnvironment[0] == 0 ||
           openOutput(&Outputs[0], fromEnvironment, "the log", "MARVANE_LOG");
}

// --check's look at the port: opened and set up as a run would, then closed, not a byte
// sent. A port that cannot be set up is told by the report, as in a run.
static RunEnd checkPort(const char *described) {
    ReportSettings settings;
    memset(&settings, 0, sizeof settings);
    settings.style = JsonOutput ? REPORT_JSON : REPORT_LINES;
    settings.portText = described;
    initReport(&Console, &settings);
    setRunListener(&Console.listener);
    BYTE ok = openLink(8, NOPARITY);
    closeLink();
    if (!ok) {
        return RUN_PORT_FAILED;
    }
    if (JsonOutput) {
        JsonObject event;
        event["event"] = "port-checked";
        event["port"] = Record.portName;
        if (Record.device != 0) {
            event["device"] = Record.device;
        }
        event["baud"] = LinkSettings.baudRate;
        printJson(event);
    } else {
        printf("%s opened and set up at %d baud, and closed: nothing was sent\n", described,
               LinkSettings.baudRate);
    }
    return RUN_OK;
}

// --station, --operator (or their variables) and --note: printable text of a sensible length.
const int WHO_TEXT_MAX = 200;
static BYTE whoSaid() {
    struct {
        OptionId option;
        const char *variable;
        const char **into;
    } Texts[] = {{OPT_STATION, "MARVANE_STATION", &Record.station},
                 {OPT_OPERATOR, "MARVANE_OPERATOR", &Record.operatorName},
                 {OPT_NOTE, 0, &Record.note}};
    BYTE ok = 1;
    for (const auto &t : Texts) {
        const char *text = given(t.option) ? Given[t.option] : t.variable ? getenv(t.variable) : 0;
        BYTE printable = text != 0 && strlen(text) <= (size_t)WHO_TEXT_MAX;
        for (const char *c = text; printable && *c != 0; c++) {
            printable = (unsigned char)*c >= 0x20 && *c != 0x7F;
        }
        if (text != 0 && text[0] != 0 && !printable) {
            problem("bad-text", optionName(t.option),
                    "%s takes printable text of up to %d characters", optionName(t.option),
                    WHO_TEXT_MAX);
            ok = 0;
        }
        *t.into = text != 0 && text[0] != 0 ? text : 0;
    }
    return ok;
}

// With --json standard output carries JSON only: first what it is and who runs it, last the
// record.
static void printFirst() {
    if (JsonOutput) {
        JsonObject first;
        first["event"] = "output";
        first["schema"] = JSON_SCHEMA;
        first["program"] = "marvane-send";
        first["version"] = MARVANE_VERSION_TEXT;
        whoAndWhere(&Record, &first);
        printJson(first);
    }
}

int main(int argc, char **argv) {
    initRecord(&Record);
    // With --json standard output carries JSON only: first what it is, last the record.
    JsonOutput = asksForJson(argc, argv);
    consoleWhoAndWhere(Record.computer, sizeof Record.computer, Record.user, sizeof Record.user);
    static char text[8192];  // the usage or the help
    if (argc < 2) {
        printFirst();
        formatUsage(text, sizeof text);
        fputs(text, stderr);
        fputs("Try 'marvane-send --help' for the options, or --list-makes for the makes.\n",
              stderr);
        return finish(RUN_BAD_INPUT);
    }
    int status = readCommandLine(argc, argv);
    BYTE said = status == EXIT_SENT && whoSaid();
    printFirst();
    if (!said) {
        return finish(RUN_BAD_INPUT);
    }
    Record.mode = modeOf();
    if (given(OPT_HELP)) {
        formatHelp(text, sizeof text);
        JsonObject help;
        help["event"] = "help";
        help["text"] = text;
        if (JsonOutput) {
            printJson(help);
        } else {
            fputs(text, stdout);
        }
        return finish(RUN_OK);
    }
    if (given(OPT_VERSION)) {
        if (!JsonOutput) {  // the first line names it
            printf("marvane-send %s\n", MARVANE_VERSION_TEXT);
        }
        return finish(RUN_OK);
    }
    Choices choices = {};
    status = checkValues(&choices);
    if (status != EXIT_SENT) {
        return finish(status == EXIT_PORT_FAILED ? RUN_PORT_FAILED : RUN_BAD_INPUT);
    }
    if (given(OPT_LIST_MAKES)) {
        listMakes();
        return finish(RUN_OK);
    }
    if (given(OPT_LIST_PORTS)) {
        listPorts();
        return finish(RUN_OK);
    }

    if (!openLog() ||
        (given(OPT_TRACE) && !openOutput(&Outputs[1], Given[OPT_TRACE], "the trace", "--trace"))) {
        return finish(RUN_BAD_INPUT);
    }
    if (given(OPT_EXPECT) && !ExpectListRead(Given[OPT_EXPECT])) {
        return finish(RUN_BAD_INPUT);
    }

    HWND window = createTickWindow(GetModuleHandleA(NULL));
    if (window == 0) {
        complain("cannot make the window that hosts the timer (system error %u)",
                 (unsigned)GetLastError());
        return finish(RUN_INTERNAL);
    }
    choose(&choices);
    if (given(OPT_DIR) && !consoleChangeDirectory(Given[OPT_DIR])) {
        FileIdentity there;
        return finishOnBadInput(badInput("no-folder", "--dir",
                                         consoleFileIdentity(Given[OPT_DIR], &there)
                                             ? "not a folder (--dir)"
                                             : "no such folder (--dir)",
                                         Given[OPT_DIR]));
    }

    if (choices.device != 0) {
        consoleMapDevice(choices.port, choices.device);
    }
    char portName[16];
    snprintf(portName, sizeof portName, "COM%d", choices.port);
    char device[600];
    BYTE hasDevice = consoleDeviceOf(choices.port, device, sizeof device);
    char described[640];
    snprintf(described, sizeof described, hasDevice ? "%s (%s)" : "%s", portName, device);
    Record.portName = portName;
    Record.device = hasDevice ? device : 0;
    Record.baud = LinkSettings.baudRate;
    Record.waitSeconds = choices.waitSeconds;
    int transfers = 0;
    int runBlocks = 0;
    status = preflight(given(OPT_CHECK), described, &transfers, &runBlocks);
    Record.transfers = transfers;
    if (!outputsAreNotImages() || status != EXIT_SENT) {
        return finish(RUN_BAD_INPUT);
    }
    if (given(OPT_CHECK)) {
        return finish(given(OPT_NO_PORT) ? RUN_OK : checkPort(described));
    }

    ReportSettings report;
    memset(&report, 0, sizeof report);
    report.style = given(OPT_JSON) ? REPORT_JSON : given(OPT_QUIET) ? REPORT_QUIET : REPORT_LINES;
    report.verbose = given(OPT_VERBOSE);
    if (report.style == REPORT_LINES) {
        report.bar = consoleIsTerminal() ? 1 : given(OPT_PROGRESS) ? 2 : 0;
    }
    report.transfers = transfers;
    report.runBlocks = runBlocks;
    report.portName = portName;
    report.portText = described;
    report.device = hasDevice ? device : 0;
    report.waitSeconds = choices.waitSeconds;
    initReport(&Console, &report);
    static RunListenerFan listeners;
    initFan(&listeners);
    fanAdd(&listeners, &Console.listener);
    fanAdd(&listeners, &Record.listener);
    if (TraceFile != 0) {
        initTrace(&Trace, TraceFile, described);
        fanAdd(&listeners, &Trace.listener);
    }
    setRunListener(&listeners.listener);
    // A run over a port not set up cannot succeed: send nothing; nor one whose adapter was
    // pulled out: stop at once.
    Policy = {.stopsOnPortFailure = 1,
              .stopsWhenLost = 1,
              .deviceWaitMs = (DWORD)choices.waitSeconds * 1000,
              .imageAccepted = sameAsChecked};
    consoleCatchInterrupts();

    startTicks(window);
    consoleKeepAwake(1);
    BYTE ok = consoleInterrupted() ? 0 : runDownload();
    consoleKeepAwake(0);
    stopTicks(window);
    DestroyWindow(window);
    if (!JsonOutput && !given(OPT_QUIET)) {  // before the summary, which closes the output
        char line[600];
        controllerLine(&Record, line, sizeof line);
        printf("%s\n", line);
    }
    RunEnd end = finishReport(&Console, ok);
    if (ChangedImage[0] != 0) {
        problem("image-changed", ChangedFile, "%s", ChangedImage);
        end = RUN_BAD_INPUT;
    }
    if (TraceFile != 0) {
        fclose(TraceFile);
    }
    return finish(end);
}
