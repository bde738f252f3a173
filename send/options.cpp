// marvane-send's command line: the options in one table read by one switch, the help, the
// lists of makes and ports, and the port, rate, wait and makes chosen as the window program's
// menus choose them. What is done with them is main.cpp's.
#include <getopt.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <type_traits>

#include "link/link.h"
#include "link/rates.h"
#include "run/makes.h"
#include "send/expect.h"
#include "send/options.h"
#include "send/ports.h"

// A console is 80 columns wide and moves to the next line after the 80th character, so every
// line of the help is kept to 79: a wider one would leave a blank line or wrap mid-word.
const char USAGE[] =
    "Usage: marvane-send [options] --pump1 MAKE\n"
    "Sends the controller's images over one serial port, as \"Download Files\" does\n"
    "in the window program. The files are read by bare name from the current\n"
    "folder, in this order:\n"
    "  POS.BIN (id 0, type C),\n"
    "  PC_CC.BIN twice (ids 1 and 2, type A),\n"
    "  then the Pump 1 (id 3),\n"
    "  Pump 2 (id 5),\n"
    "  Reader 1 (id 4, type A)\n"
    "  and Reader 2 (id 6, type E) drivers that are chosen.\n";

static_assert(EXPECT_MAX == 64, "--help says how many names a list holds");
static const char HELP[] =
    "\n"
    "  --port N          the COM port, 1 to 256 or COMn (default $MARVANE_PORT,\n"
    "                    else 1; on Linux $MARVANE_PORT may name a device, as\n"
    "                    --device does); auto: the one USB serial adapter plugged\n"
    "                    in; usb:VID:PID[:SERIAL]: that adapter\n"
    "  --baud N          %s (default %d)\n"
    "  --device PATH     (Linux) the serial device to use as that COM port, e.g.\n"
    "                    /dev/ttyUSB0; without it COMn is $MARVANE_COMn, else\n"
    "                    /dev/ttyS<n-1>\n"
    "  --dir DIR         read the files from DIR instead of the current folder\n"
    "  --pump1 MAKE      the Pump 1 driver (a run needs one)\n"
    "  --pump2 MAKE      the Pump 2 driver\n"
    "  --reader1 MAKE    the Reader 1 driver\n"
    "  --reader2 MAKE    the Reader 2 driver\n"
    "                    MAKE is the menu's label in any case, quoted where it\n"
    "                    has a space, or one word:%s\n"
    "                    Card readers come only in:%s\n"
    "  --allow-empty     send an empty (0-byte) image; without it one is refused\n"
    "  --wait SECONDS    wait up to SECONDS (to 3600) for a silent controller: the\n"
    "                    first header goes again after each answer time-out until\n"
    "                    it is answered\n"
    "  --list-makes      print the makes of each slot with their file names, then\n"
    "                    stop\n"
    "  --list-ports      print the serial ports this system has, then stop\n"
    "  --check           check the files, print what would be sent, in order, with\n"
    "                    id, type, size (bytes and blocks) and SHA-256, then open\n"
    "                    and set up the port and close it again without sending a\n"
    "                    byte\n"
    "  --no-port         with --check: leave the port alone\n"
    "  --log FILE        append the run's record to FILE, one JSON line a run,\n"
    "                    after a \"began\" line as it opens the port (default\n"
    "                    $MARVANE_LOG; none without either)\n"
    "  --expect FILE     the supplier's list of images as sha256sum writes it\n"
    "                    (HASH  NAME): every image of the run must be listed there\n"
    "                    with its SHA-256; a list holds 64 names at most\n"
    "  --trace FILE      write every byte sent and received, decoded, to FILE\n"
    "  --station TEXT    the station, --operator TEXT who runs it (defaults\n"
    "                    $MARVANE_STATION, $MARVANE_OPERATOR), --note TEXT: into\n"
    "                    the record, 200 characters each\n"
    "  --quiet, -q       print nothing but failures\n"
    "  --verbose, -v     also print each block's answer and every resend\n"
    "  --json            print JSON lines only on standard output: what it is, one\n"
    "                    object per event of the run, the run's record last\n"
    "  --progress        show the bar even when standard output is not a terminal\n"
    "                    (there, as one line per transfer)\n"
    "  --version         print the version, then stop\n"
    "  --help, -h        show this text\n"
    "\n"
    "A value may follow its option or be joined to it with '=' (--dir=-odd-name for\n"
    "a value that starts with '-'). Each option may be given once.\n"
    "\n"
    "Before the port is opened every file of the run must exist, be readable, hold\n"
    "1 to 13,000 bytes (0 with --allow-empty), and Pump 1 must have a make. Each\n"
    "transfer prints a line as it starts and as it ends, and the run a closing\n"
    "summary; on a terminal a bar shows the blocks of the file in flight. Ctrl+C\n"
    "stops the run: it sends nothing more, takes the answer to a frame already sent\n"
    "(up to its time-out) and closes the port; a second Ctrl+C stops it without\n"
    "waiting for that answer, still with its record; a third ends the program.\n"
    "\n";
const int HELP_WIDTH = 79;

SendOptions Opt;

// How an option's text is kept: a flag is set, a text kept as it is, the others read once.
enum OptionKind { KIND_FLAG, KIND_TEXT, KIND_NUMBER, KIND_MAKE, KIND_PORT };
const int LONG_ONLY_BASE = 256;
#define OPTION_ROW(id, name, kind, field)                                 \
    {name, KIND_##kind == KIND_FLAG ? no_argument : required_argument, 0, \
     LONG_ONLY_BASE + OPT_##id},
static const struct option Options[] = {OPTIONS(OPTION_ROW){0, 0, 0, 0}};
#define OPTION_KIND(id, name, kind, field) KIND_##kind,
static const OptionKind Kinds[] = {OPTIONS(OPTION_KIND)};
#define OPTION_FIELD(id, name, kind, field) &Opt.field,
static void *const Fields[] = {OPTIONS(OPTION_FIELD)};
// What keep() writes through each kind's field: a row whose field is of another type does
// not build.
typedef BYTE FieldOf_FLAG;
typedef const char *FieldOf_TEXT;
typedef Number FieldOf_NUMBER;
typedef MakeChoice FieldOf_MAKE;
typedef PortChoice FieldOf_PORT;
#define OPTION_TYPED(id, name, kind, field) \
    static_assert(                          \
        std::is_same<std::remove_reference_t<decltype(Opt.field)>, FieldOf_##kind>::value, name);
OPTIONS(OPTION_TYPED)

// The four slots a make is chosen for, in the order of their options.
static const int MakeSlot[MAKE_SLOTS] = {SLOT_PUMP1, SLOT_PUMP2, SLOT_READER1, SLOT_READER2};
const int PORT_MAX = 256;   // COM1 to COM256, as Windows numbers them
const int WAIT_MAX = 3600;  // --wait: an hour at most, as the help says
const int WHO_TEXT_MAX = 200;

// "--port", as messages name an option.
static const char *optionName(int id) {
    static char names[OPTION_COUNT][24];
    snprintf(names[id], sizeof names[id], "--%s", Options[id].name);
    return names[id];
}

BYTE badInput(const char *code, const char *subject, const char *what, const char *value) {
    problem(code, subject, "%s%s%s\nTry 'marvane-send --help'.", what, value ? ": " : "",
            value ? value : "");
    return 0;
}

// An argument no option takes: kept as the file the technician may have meant by it.
static BYTE strayArgument(const char *arg) {
    fileProblem("unexpected-argument", arg, "unexpected argument: %s\nTry 'marvane-send --help'.",
                arg);
    return 0;
}

// A whole decimal number of at most six digits, nothing else; -1 if text is not one.
static int wholeNumber(const char *text) {
    size_t digits = strspn(text, "0123456789");
    return digits > 0 && digits <= 6 && text[digits] == 0 ? atoi(text) : -1;
}

// "2", "COM2" or "com2": the port number, -1 for anything else.
static int portNumberOf(const char *text) {
    int number = wholeNumber(strncasecmp(text, "COM", 3) == 0 ? text + 3 : text);
    return number >= 1 && number <= PORT_MAX ? number : -1;
}

// The make a text calls for, by its key or its label in any case (the last row that answers);
// 0 when none is.
static const MakeRow *makeCalled(const char *text) {
    const MakeRow *called = 0;
    for (int i = 0; i < MAKE_COUNT; i++) {
        if (strcasecmp(text, Makes[i].key) == 0 || strcasecmp(text, Makes[i].label) == 0) {
            called = &Makes[i];
        }
    }
    return called;
}

// An option's value, read once into its field of Opt.
static void keep(int id, const char *value) {
    switch (Kinds[id]) {
        case KIND_FLAG:
            *(BYTE *)Fields[id] = 1;
            break;
        case KIND_TEXT:
            *(const char **)Fields[id] = value;
            break;
        case KIND_NUMBER:
            *(Number *)Fields[id] = {value, wholeNumber(value)};
            break;
        case KIND_MAKE:
            *(MakeChoice *)Fields[id] = {value, makeCalled(value)};
            break;
        case KIND_PORT:
            *(PortChoice *)Fields[id] = {value, portNumberOf(value), isPortChoice(value)};
            break;
    }
}

// Reads the command line into Opt; 0 when it cannot be (said why).
static BYTE readOptions(int argc, char **argv) {
    BYTE seen[OPTION_COUNT] = {};
    opterr = 0;  // its messages are ours
    for (;;) {
        int at = optind;  // the argument being read, options never being moved
        int code = getopt_long(argc, argv, "-:qvh", Options, 0);  // non-options in place
        BYTE faulty = code == '?' || code == ':';                 // unknown; a value missing
        int id = (faulty ? optopt : code) - LONG_ONLY_BASE;
        switch (faulty ? optopt : code) {
            case -1:  // the end, or "--" before the rest
                return optind == argc || strayArgument(argv[optind]);
            case 1:
                return strayArgument(optarg);
            case 'q':
                id = OPT_QUIET;
                break;
            case 'v':
                id = OPT_VERBOSE;
                break;
            case 'h':
                id = OPT_HELP;
                break;
        }
        const char *arg = argv[at];
        // A long option by its whole name only: a shortened one would change meaning as
        // options are added.
        size_t length = strcspn(arg, "=");
        if (id < 0 || id >= OPTION_COUNT ||
            (arg[1] == '-' &&
             (length != strlen(optionName(id)) || strncmp(arg, optionName(id), length) != 0))) {
            return badInput("unknown-option", arg, "unknown option", arg);
        }
        const char *name = optionName(id);
        BYTE takesValue = Kinds[id] != KIND_FLAG;
        if (faulty) {
            return takesValue ? badInput("needs-value", name, "this option needs a value", name)
                              : badInput("takes-no-value", name, "this option takes no value", arg);
        }
        if (seen[id]) {
            return badInput("given-twice", name, "this option is given twice", name);
        }
        // "--pump1 --check" is a forgotten make, not a make called "--check".
        const char *value = takesValue ? optarg : "";
        if (takesValue && value == argv[optind - 1] && value[0] == '-' && value[1] != 0) {
            problem("needs-value", name,
                    "%s needs a value, not %s (write %s=%s for a value that starts with "
                    "'-')\nTry 'marvane-send --help'.",
                    name, value, name, value);
            return 0;
        }
        seen[id] = 1;
        keep(id, value);
    }
}

BYTE readCommandLine(int argc, char **argv) {
    BYTE ok = readOptions(argc, argv);
    for (int i = 1; !ok && i < argc && strcmp(argv[i], "--") != 0; i++) {  // the rest, unread
        if (Opt.log == 0 && (strncmp(argv[i], "--log=", 6) == 0 ||
                             (strcmp(argv[i], "--log") == 0 && i + 1 < argc))) {
            Opt.log = argv[i][5] == '=' ? argv[i] + 6 : argv[i + 1];
        }
        Opt.json = Opt.json || strcmp(argv[i], "--json") == 0;
    }
    Opt.mode = Opt.help        ? MODE_HELP
               : Opt.version   ? MODE_VERSION
               : Opt.listMakes ? MODE_LIST_MAKES
               : Opt.listPorts ? MODE_LIST_PORTS
               : Opt.check     ? MODE_CHECK
                               : MODE_SEND;
    return ok;
}

// The option that picks ports[index] and that marvane-send takes: by its USB identity when
// that is the port's alone, else by its COM name (Windows) or its device (Linux).
static void portOptionOf(const SerialPortInfo *ports, int count, int index, char *out, int size) {
    const SerialPortInfo *p = &ports[index];
    char choice[280];
    if (p->usb && portChoiceOf(ports, count, index, choice, sizeof choice)) {
        snprintf(out, (size_t)size, "--port %.280s", choice);
    } else if (portNumberOf(p->name) > 0) {
        snprintf(out, (size_t)size, "--port %.15s", p->name);
    } else {
        snprintf(out, (size_t)size, "--device %.280s", p->device);
    }
}

// --port auto or usb:VID:PID[:SERIAL]: the one adapter that answers to it, as its COM number
// (Windows) or its device (Linux). EXIT_PORT_FAILED when none is plugged in.
static BYTE pickAdapter(const char *choice, ChosenPort *chosenPort, RunEnd *refused) {
    static SerialPortInfo ports[MAX_SERIAL_PORTS];
    int count = findSerialPorts(ports, MAX_SERIAL_PORTS);
    int chosen = -1;
    switch (pickPort(choice, ports, count, &chosen)) {
        case PICK_NOT_A_CHOICE:
            badInput("bad-port", "--port", "--port usb: takes VID:PID or VID:PID:SERIAL in hex",
                     choice);
            *refused = RUN_BAD_INPUT;
            return 0;
        case PICK_NONE:
            problem("no-adapter", "--port",
                    strcmp(choice, "auto") == 0 ? "no USB serial adapter is plugged in (--port %s)"
                                                : "no USB serial adapter %s is plugged in",
                    choice);
            *refused = RUN_PORT_FAILED;
            return 0;
        case PICK_MANY:
            problem("many-adapters", "--port",
                    "more than one USB serial adapter answers to --port %s; pick one:", choice);
            for (int i = 0; i < count; i++) {
                char option[300];
                if (ports[i].usb) {
                    portOptionOf(ports, count, i, option, sizeof option);
                    complain("  %s   %s %s", option, ports[i].name, ports[i].friendly);
                }
            }
            *refused = RUN_BAD_INPUT;
            return 0;
        case PICK_ONE:
            break;
    }
    chosenPort->adapter = &ports[chosen];
    if (portNumberOf(ports[chosen].name) > 0) {
        chosenPort->number = portNumberOf(ports[chosen].name);
    } else {
        chosenPort->device = ports[chosen].device;
    }
    return 1;
}

// The USB adapter a device path opens (--device, $MARVANE_PORT), found among the system's
// ports as the same file; 0 when it is none of them.
static const SerialPortInfo *adapterOf(const char *device) {
    static SerialPortInfo ports[MAX_SERIAL_PORTS];
    int count = findSerialPorts(ports, MAX_SERIAL_PORTS);
    FileIdentity wanted, port;
    for (int i = 0; i < count && filesIdentity(device, &wanted); i++) {
        if (ports[i].usb && filesIdentity(ports[i].device, &port) && port.volume == wanted.volume &&
            port.index == wanted.index) {
            return &ports[i];
        }
    }
    return 0;
}

// The port and the device it opens, from --port, --device and $MARVANE_PORT. An option
// overrides the variable: --device its device, --port its number (a device it names is still
// the one that number opens), so a variable that is overridden is not read at all.
BYTE choosePort(ChosenPort *choice, RunEnd *refused) {
    const char *portGiven = Opt.port.text;
    BYTE adapter = Opt.port.adapter;
    const char *variable = Opt.device != 0 ? 0 : getenv("MARVANE_PORT");
    *choice = {LinkSettings.portNumber, Opt.device, 0};  // the window program's default port
    *refused = RUN_BAD_INPUT;
    if (variable != 0 && variable[0] != 0) {
        BYTE isDevice = strchr(variable, '/') != 0 && HAS_DEVICES;
        if (isDevice && !adapter) {
            choice->device = variable;
        } else if (!isDevice && portGiven == 0 && portNumberOf(variable) > 0) {
            choice->number = portNumberOf(variable);
        } else if (!isDevice && portGiven == 0) {
            badInput("bad-variable", "MARVANE_PORT",
                     HAS_DEVICES ? "MARVANE_PORT is 1 to 256, COM1 to COM256 or a device path"
                                 : "MARVANE_PORT is 1 to 256 or COM1 to COM256",
                     variable);
            *refused = RUN_BAD_INPUT;
            return 0;
        }
    }
    if (adapter && Opt.device != 0) {
        badInput("options-clash", "--device",
                 "--port names an adapter by itself: give no --device with it", 0);
        return 0;
    }
    if (adapter) {
        return pickAdapter(portGiven, choice, refused);
    }
    if (portGiven != 0 && (choice->number = Opt.port.number) < 0) {
        badInput("bad-port", "--port",
                 strchr(portGiven, '/') != 0 && HAS_DEVICES
                     ? "a device path goes with --device, not --port (--port takes 1 to 256, "
                       "COMn, auto or usb:VID:PID)"
                     : "the port is 1 to 256 or COM1 to COM256 (--port)",
                 portGiven);
        return 0;
    }
    choice->adapter = choice->device != 0 ? adapterOf(choice->device) : 0;
    return 1;
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

// The other values, and the window program's choices made from them as its menu commands
// make them. 0 when one is wrong (said why).
BYTE chooseRateWaitAndMakes() {
    int rate = Opt.baud.text != 0 ? Opt.baud.value : LinkSettings.baudRate;
    BYTE offered = 0;
    for (int i = 0; i < BAUD_RATE_COUNT; i++) {
        offered = offered || BaudRates[i] == rate;
    }
    if (!offered) {
        char rates[64], what[96];
        rateList(rates, sizeof rates);
        snprintf(what, sizeof what, "the device takes %s baud (--baud)", rates);
        return badInput("bad-baud", "--baud", what, Opt.baud.text);
    }
    int wait = Opt.wait.text != 0 ? Opt.wait.value : 0;
    if (wait < 0 || wait > WAIT_MAX) {
        return badInput("bad-wait", "--wait", "the wait is 0 to 3600 seconds (--wait)",
                        Opt.wait.text);
    }
    if (Opt.device != 0 && !HAS_DEVICES) {
        return badInput("no-device-option", "--device",
                        "--device is not available here; name the port with --port", 0);
    }
    if (Opt.device != 0 && Opt.device[0] == 0) {
        return badInput("needs-value", "--device", "--device needs a path", 0);
    }
    for (int m = 0; m < MAKE_SLOTS; m++) {
        const MakeChoice *choice = &Opt.makes[m];
        const char *option = optionName(OPT_PUMP1 + m);
        if (choice->text != 0 && choice->make == 0) {
            problem("unknown-make", option, "unknown make for %s: %s (see --list-makes)", option,
                    choice->text);
            return 0;
        }
        if (choice->make != 0 && makeCommand(choice->make, MakeSlot[m]) == 0) {
            problem("make-not-offered", option, "the %s menu offers no %s (see --list-makes)",
                    SlotLabels[MakeSlot[m]], choice->make->label);
            return 0;
        }
    }
    if (Opt.quiet + Opt.verbose + Opt.json > 1) {  // the clash names one that was given
        return badInput("options-clash", Opt.json ? "--json" : "--verbose",
                        "--quiet, --verbose and --json choose the output: give one of them", 0);
    }
    if (Opt.noPort && !Opt.check) {
        return badInput("options-clash", "--no-port", "--no-port goes with --check", 0);
    }
    for (int m = 0; m < MAKE_SLOTS; m++) {
        if (const MakeRow *make = Opt.makes[m].make) {
            selectFile(MakeSlot[m], makeCatalogId(make, MakeSlot[m]));
        }
    }
    setBaud(rate);
    return 1;
}

// Unicode's format characters (category Cf, as of Unicode 15.1), first and last of each run:
// none shows, yet each changes what a text is. Zero-width spaces and joiners make two texts
// that look alike differ; direction marks, overrides and isolates reorder what is shown.
static const unsigned long FormatCharacters[][2] = {
    {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},   {0x06DD, 0x06DD},
    {0x070F, 0x070F},   {0x0890, 0x0891},   {0x08E2, 0x08E2},   {0x180E, 0x180E},
    {0x200B, 0x200F},   {0x202A, 0x202E},   {0x2060, 0x2064},   {0x2066, 0x206F},
    {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD}, {0x110CD, 0x110CD},
    {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001},
    {0xE0020, 0xE007F},
};

static BYTE isFormatCharacter(unsigned long code) {
    for (const auto &run : FormatCharacters) {
        if (code >= run[0] && code <= run[1]) {
            return 1;
        }
    }
    return 0;
}

// UTF-8 text's characters; -1 when it is not UTF-8, -2 when it holds one that would mislead
// a reader of the record: a control character (C0, C1: U+0085 is a line end), a line or
// paragraph separator, a format character.
static int readableLength(const char *text) {
    static const unsigned long Least[] = {0, 0x80, 0x800, 0x10000};  // shorter is overlong
    static const unsigned char Lead[] = {0x7F, 0x1F, 0x0F, 0x07};    // a first byte's bits
    int count = 0;
    for (const unsigned char *c = (const unsigned char *)text; *c != 0; count++) {
        int more = *c < 0x80 ? 0 : (*c & 0xE0) == 0xC0 ? 1 : (*c & 0xF0) == 0xE0 ? 2 : 3;
        unsigned long code = *c & Lead[more];
        for (int i = 1; i <= more; i++) {
            if ((c[i] & 0xC0) != 0x80) {
                return -1;
            }
            code = code << 6 | (c[i] & 0x3F);
        }
        if ((*c & 0xF8) == 0xF8 || (*c & 0xC0) == 0x80 || code < Least[more] || code > 0x10FFFF ||
            (code >= 0xD800 && code <= 0xDFFF)) {
            return -1;
        }
        if (code < 0x20 || (code >= 0x7F && code <= 0x9F) || code == 0x2028 || code == 0x2029 ||
            isFormatCharacter(code)) {
            return -2;
        }
        c += more + 1;
    }
    return count;
}

// --station, --operator (or their variables) and --note: text a reader of the record sees as
// it is, of a sensible length in characters.
const WhoText WhoTexts[WHO_TEXTS] = {
    {OPT_STATION, &Opt.station, "MARVANE_STATION", "station"},
    {OPT_OPERATOR, &Opt.operatorName, "MARVANE_OPERATOR", "operator"},
    {OPT_NOTE, &Opt.note, 0, "note"},
};

BYTE readWhoTexts() {
    BYTE ok = 1;
    for (const WhoText &t : WhoTexts) {
        const char *text = *t.text != 0 ? *t.text : t.variable ? getenv(t.variable) : 0;
        // Windows gives its code page's text: three bytes of UTF-8 a byte at most. Over four
        // bytes a character is more than the limit in any encoding.
        static char utf8[WHO_TEXT_MAX * 12 + 1];
        int length = 0;
        if (text != 0 && text[0] != 0 && strlen(text) > (size_t)WHO_TEXT_MAX * 4) {
            length = WHO_TEXT_MAX + 1;
        } else if (text != 0 && text[0] != 0) {
            consoleUtf8(text, utf8, sizeof utf8);
            length = readableLength(utf8);
        }
        const char *name = *t.text != 0 ? optionName(t.option) : t.variable;
        if (length > WHO_TEXT_MAX) {
            problem("bad-text", name, "%s takes up to %d characters", name, WHO_TEXT_MAX);
        } else if (length == -1) {
            problem("bad-text", name, "%s is not UTF-8 text", name);
        } else if (length == -2) {
            problem("bad-text", name,
                    "%s holds a control character, a line or paragraph separator or a format "
                    "character (a direction mark, a zero-width space): the record would not read "
                    "as typed",
                    name);
        }
        ok = ok && length >= 0 && length <= WHO_TEXT_MAX;
        *t.text = text != 0 && text[0] != 0 ? text : 0;
    }
    return ok;
}

// The makes' keys (readers: those a card-reader menu offers), on lines under the options'
// texts as wide as the help's.
static void keyList(char *out, int size, BYTE readers) {
    const char *const INDENT = "\n                      ";
    int lineLength = HELP_WIDTH;
    out[0] = 0;
    for (int i = 0; i < MAKE_COUNT; i++) {
        if (!readers || Makes[i].reader1 != 0) {
            int wide = 1 + (int)strlen(Makes[i].key) + 1;  // the space before it, the comma
            BYTE newLine = lineLength + wide > HELP_WIDTH;
            size_t length = strlen(out);  // snprintf cuts at the end of out, never past it
            snprintf(out + length, size - length, "%s%s,", newLine ? INDENT : " ", Makes[i].key);
            lineLength = newLine ? (int)strlen(INDENT) - 1 + wide - 1 : lineLength + wide;
        }
    }
    out[strlen(out) - 1] = '.';
}

// words as lines of at most width characters, broken at spaces, each ended by a newline.
static void wrapInto(char *out, size_t size, const char *words, int width) {
    out[0] = 0;
    while (*words != 0) {
        int take = (int)strlen(words);
        if (take > width) {
            take = width;
            while (take > 0 && words[take] != ' ') {
                take--;
            }
            take = take > 0 ? take : width;  // a word wider than a line is cut
        }
        size_t length = strlen(out);
        snprintf(out + length, size - length, "%.*s\n", take, words);
        words += take;
        words += *words == ' ' ? 1 : 0;
    }
}

void printHelp(Output *out) {
    static char text[8192], rates[64], pumps[512], readers[512];
    rateList(rates, sizeof rates);
    keyList(pumps, sizeof pumps, 0);
    keyList(readers, sizeof readers, 1);
    int length = snprintf(text, sizeof text, "%s", USAGE);
    snprintf(text + length, sizeof text - (size_t)length, HELP, rates, LinkSettings.baudRate, pumps,
             readers);
    // The exit statuses in the words of their rows, so that the help cannot miss one.
    char statuses[1024] = "Exit status:";
#define EXIT_STATUS(status, name, words)                                                         \
    snprintf(statuses + strlen(statuses), sizeof statuses - strlen(statuses), " %d %s;", status, \
             words);
#define RUN_END(id, name, status)
#include "send/exits.def"
#undef EXIT_STATUS
#undef RUN_END
    statuses[strlen(statuses) - 1] = '.';
    length = (int)strlen(text);
    wrapInto(text + length, sizeof text - (size_t)length, statuses, HELP_WIDTH);
    out->calls->help(out, text);
}

void listMakes(Output *out) {
    for (int m = 0; m < MAKE_SLOTS; m++) {
        const char *slot = SlotLabels[MakeSlot[m]], *option = optionName(OPT_PUMP1 + m);
        out->calls->makesOf(out, slot, option);
        for (int i = 0; i < MAKE_COUNT; i++) {
            char file[SLOT_NAME_SIZE];
            if (makeCommand(&Makes[i], MakeSlot[m]) == 0) {
                continue;
            }
            LoadStringA(GetModuleHandleA(NULL), makeCatalogId(&Makes[i], MakeSlot[m]), file,
                        sizeof file);
            out->calls->make(out, slot, option, Makes[i].key, Makes[i].label, file);
        }
    }
}

// --list-ports: each port as the system names it to the user, with the option that picks it.
void listPorts(Output *out) {
    static SerialPortInfo ports[MAX_SERIAL_PORTS];
    int count = findSerialPorts(ports, MAX_SERIAL_PORTS);
    for (int i = 0; i < count; i++) {
        char option[300];
        portOptionOf(ports, count, i, option, sizeof option);
        out->calls->port(out, &ports[i], option);
    }
    out->calls->portsListed(out, count);
}
