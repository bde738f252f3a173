// marvane-send: the window program's "Download Files" from a command line. Reads the
// options, makes the choices through the menu's own command table, checks every file of
// the run before the port is touched, then runs the same runDownload (host.cpp reports it).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "link/link.h"
#include "protocol/protocol.h"
#include "protocol/window_context.h"
#include "resources/resource.h"
#include "run/download.h"
#include "send/send.h"
#include "ui/ui.h"

static const char HELP[] =
    "Usage: marvane-send [options]\n"
    "Sends the controller's images over one serial port, as \"Download Files\" does in the\n"
    "window program: POS.BIN (id 0, type C), PC_CC.BIN twice (ids 1 and 2, type A), then the\n"
    "Pump 1 (id 3), Pump 2 (id 5), Reader 1 (id 4, type A) and Reader 2 (id 6, type E)\n"
    "drivers that are chosen. The files are read by bare name from the current folder.\n"
    "\n"
    "  --port N          COM port 1 to 4 (default 1)\n"
    "  --baud N          19200, 9600, 4800 or 2400 (default 9600)\n"
    "  --device PATH     (Linux) the serial device to use as that COM port, e.g. /dev/ttyUSB0;\n"
    "                    without it COMn is $MARVANE_COMn, else /dev/ttyS<n-1>\n"
    "  --dir DIR         read the files from DIR instead of the current folder\n"
    "  --pump1 MAKE      the Pump 1 driver (a run needs one)\n"
    "  --pump2 MAKE      the Pump 2 driver\n"
    "  --reader1 MAKE    the Reader 1 driver\n"
    "  --reader2 MAKE    the Reader 2 driver\n"
    "                    MAKE is the menu's label, in any case (\"Deer (LTS)\", \"tavro "
    "generic\")\n"
    "                    or one word: wayne, gilbarco, tokheim, schlumberger, kraus, bennett,\n"
    "                    tatsuno, deer, nuovo, donghwa, dart, mechanical, generic. Card readers\n"
    "                    come in wayne, gilbarco, tokheim, schlumberger and generic only.\n"
    "  --list-makes      print the makes of each slot with their file names, then stop\n"
    "  --check           check the files, print what would be sent, in order, with id and\n"
    "                    type, then stop without opening the port\n"
    "  --quiet           print nothing but failures\n"
    "  --progress        show the bar even when standard output is not a terminal\n"
    "  --help            show this text\n"
    "\n"
    "Before the port is opened every file of the run must exist, be readable and hold at\n"
    "most 13,000 bytes, and Pump 1 must have a make. Each transfer prints a line as it starts\n"
    "and as it ends; on a terminal a bar shows the blocks of the file in flight.\n"
    "\n"
    "Exit status: 0 every file sent; 1 a step failed (it is named); 2 bad options or files;\n"
    "3 the port could not be opened or set up.\n";

// The makes' one-word keys and menu labels, each tied to its row of the menu's command
// table by its Pump 1 command (every make has a pump).
struct MakeName {
    const char *key;
    const char *label;
    UINT pump1Command;
};

static const MakeName MakeNames[] = {
    {"wayne", "Wayne/Dresser", IDM_PUMP1_DW},
    {"gilbarco", "Gilbarco", IDM_PUMP1_GIL},
    {"tokheim", "Tokheim", IDM_PUMP1_TOK},
    {"schlumberger", "Schlumberger", IDM_PUMP1_SAM},
    {"kraus", "Kraus", IDM_PUMP1_KRS},
    {"bennett", "Bennett", IDM_PUMP1_BEN},
    {"tatsuno", "Tatsuno", IDM_PUMP1_TAT},
    {"deer", "Deer (LTS)", IDM_PUMP1_LTS},
    {"nuovo", "Nuovo", IDM_PUMP1_NUO},
    {"donghwa", "Dong Hwa", IDM_PUMP1_DON},
    {"dart", "DART", IDM_PUMP1_DRT},
    {"mechanical", "Mechanical", IDM_PUMP1_MEC},
    {"generic", "Tavro Generic", IDM_PUMP1_GEN},
};
static const int MAKE_NAME_COUNT = (int)(sizeof MakeNames / sizeof MakeNames[0]);

// The four slots a make is chosen for, with their options.
const int MAKE_SLOTS = 4;
static const int MakeSlot[MAKE_SLOTS] = {SLOT_PUMP1, SLOT_PUMP2, SLOT_READER1, SLOT_READER2};
static const char *const MakeOption[MAKE_SLOTS] = {"--pump1", "--pump2", "--reader1", "--reader2"};

// The rates of the "Baud Rate" menu and their commands.
struct BaudCommand {
    int baud;
    UINT command;
};
static const BaudCommand BaudCommands[] = {
    {19200, IDM_BAUD_19200},
    {9600, IDM_BAUD_9600},
    {4800, IDM_BAUD_4800},
    {2400, IDM_BAUD_2400},
};
const int PORT_COUNT = 4;  // "Com 1" to "Com 4"

struct Options {
    int port;
    int baud;
    const char *device;
    const char *dir;
    const char *makes[MAKE_SLOTS];
    BYTE listMakes;
    BYTE check;
    BYTE quiet;
    BYTE progress;
    BYTE help;
};

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

static int badInput(const char *what, const char *value) {
    fprintf(stderr, "marvane-send: %s%s%s\nTry 'marvane-send --help'.\n", what, value ? ": " : "",
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

static const MakeRow *rowOf(const MakeName *make) {
    for (int i = 0; i < MAKE_COUNT; i++) {
        if (Makes[i].pump1 == make->pump1Command) {
            return &Makes[i];
        }
    }
    return 0;
}

// The menu command that chooses `make` for the slot, 0 where that menu does not offer it.
static UINT commandFor(const MakeName *make, int slot) {
    const MakeRow *row = rowOf(make);
    if (row == 0) {
        return 0;
    }
    switch (slot) {
        case SLOT_PUMP1:
            return row->pump1;
        case SLOT_PUMP2:
            return row->pump2;
        case SLOT_READER1:
            return row->reader1;
        default:
            return row->reader2;
    }
}

static UINT catalogFor(const MakeName *make, int slot) {
    const MakeRow *row = rowOf(make);
    if (row == 0) {
        return 0;
    }
    return slot == SLOT_PUMP1 || slot == SLOT_PUMP2 ? row->pumpCatalog : row->readerCatalog;
}

static const MakeName *findMake(const char *text) {
    for (int i = 0; i < MAKE_NAME_COUNT; i++) {
        if (sameText(text, MakeNames[i].key) || sameText(text, MakeNames[i].label)) {
            return &MakeNames[i];
        }
    }
    return 0;
}

// Reads the options into *o; returns EXIT_SENT or EXIT_BAD_INPUT (said why).
static int parseOptions(int argc, char **argv, Options *o) {
    for (int i = 1; i < argc; i++) {
        char name[32];
        const char *arg = argv[i];
        const char *value = 0;
        // --name=value or --name value
        const char *equals = strchr(arg, '=');
        if (strncmp(arg, "--", 2) == 0 && equals != 0 && equals - arg < (int)sizeof name) {
            memcpy(name, arg, (size_t)(equals - arg));
            name[equals - arg] = 0;
            arg = name;
            value = equals + 1;
        }
        BYTE *flag = 0;
        if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
            flag = &o->help;
        } else if (strcmp(arg, "--list-makes") == 0) {
            flag = &o->listMakes;
        } else if (strcmp(arg, "--check") == 0) {
            flag = &o->check;
        } else if (strcmp(arg, "--quiet") == 0 || strcmp(arg, "-q") == 0) {
            flag = &o->quiet;
        } else if (strcmp(arg, "--progress") == 0) {
            flag = &o->progress;
        }
        if (flag != 0) {
            if (value != 0) {
                return badInput("this option takes no value", argv[i]);
            }
            *flag = 1;
            continue;
        }

        const char **text = 0;
        const char *port = 0;
        const char *baud = 0;
        if (strcmp(arg, "--port") == 0) {
            text = &port;
        } else if (strcmp(arg, "--baud") == 0) {
            text = &baud;
        } else if (strcmp(arg, "--device") == 0) {
            text = &o->device;
        } else if (strcmp(arg, "--dir") == 0) {
            text = &o->dir;
        }
        for (int m = 0; m < MAKE_SLOTS; m++) {
            if (strcmp(arg, MakeOption[m]) == 0) {
                text = &o->makes[m];
            }
        }
        if (text == 0) {
            return badInput(arg[0] == '-' ? "unknown option" : "unexpected argument", argv[i]);
        }
        if (value == 0) {
            if (i + 1 >= argc) {
                return badInput("this option needs a value", arg);
            }
            value = argv[++i];
        }
        *text = value;
        if (port != 0) {
            o->port = wholeNumber(port);
            if (o->port < 1 || o->port > PORT_COUNT) {
                return badInput("the port must be 1, 2, 3 or 4 (--port)", port);
            }
        }
        if (baud != 0) {
            int rate = wholeNumber(baud);
            o->baud = 0;
            for (const BaudCommand &b : BaudCommands) {
                if (b.baud == rate) {
                    o->baud = rate;
                }
            }
            if (o->baud == 0) {
                return badInput("the device takes 19200, 9600, 4800 or 2400 baud (--baud)", baud);
            }
        }
    }
    if (o->device != 0 && !consoleHasDevices()) {
        return badInput("--device is not available here; name the port with --port", 0);
    }
    if (o->device != 0 && o->device[0] == 0) {
        return badInput("--device needs a path", 0);
    }
    return EXIT_SENT;
}

static void listMakes() {
    for (int m = 0; m < MAKE_SLOTS; m++) {
        int slot = MakeSlot[m];
        printf("%s (%s):\n", SlotLabels[slot], MakeOption[m]);
        for (int i = 0; i < MAKE_NAME_COUNT; i++) {
            const MakeName *make = &MakeNames[i];
            if (commandFor(make, slot) == 0) {
                continue;
            }
            char file[SLOT_NAME_SIZE];
            LoadStringA(WindowContext.instance, catalogFor(make, slot), file, SLOT_NAME_SIZE);
            printf("  %-13s %-15s %s\n", make->key, make->label, file);
        }
    }
}

// Chooses the makes through the menu's commands; EXIT_BAD_INPUT (said why) for a make that
// is unknown or that the slot's menu does not offer.
static int chooseMakes(HWND host, const Options *o) {
    for (int m = 0; m < MAKE_SLOTS; m++) {
        if (o->makes[m] == 0) {
            continue;
        }
        int slot = MakeSlot[m];
        const MakeName *make = findMake(o->makes[m]);
        if (make == 0) {
            fprintf(stderr, "marvane-send: unknown make for %s: %s (see --list-makes)\n",
                    MakeOption[m], o->makes[m]);
            return EXIT_BAD_INPUT;
        }
        UINT command = commandFor(make, slot);
        if (command == 0) {
            fprintf(stderr, "marvane-send: the %s menu offers no %s (see --list-makes)\n",
                    SlotLabels[slot], make->label);
            return EXIT_BAD_INPUT;
        }
        handleCommand(host, command, command, 0);
    }
    return EXIT_SENT;
}

// The bytes of a file are read into this buffer to prove that they can be; one byte more
// than the device takes, so a longer file shows.
static BYTE CheckBuffer[MAX_IMAGE_SIZE + 1];

// Whether the file can be sent: it opens, all of it reads, and the device can take it.
// Says why not on standard error.
static BYTE checkFile(const char *label, const char *name, DWORD *size) {
    HANDLE file = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        fprintf(stderr, "marvane-send: %s file %s %s\n", label, name,
                error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                    ? "not found"
                    : "cannot be opened");
        return 0;
    }
    DWORD high = 0;
    *size = GetFileSize(file, &high);
    BYTE ok = 1;
    if (high != 0 || *size > MAX_IMAGE_SIZE) {
        fprintf(stderr,
                "marvane-send: %s file %s is too large: the device takes %u bytes at most\n", label,
                name, (unsigned)MAX_IMAGE_SIZE);
        ok = 0;
    } else {
        DWORD got = 0;
        if (!ReadFile(file, CheckBuffer, *size, &got, NULL) || got != *size) {
            fprintf(stderr, "marvane-send: %s file %s cannot be read\n", label, name);
            ok = 0;
        }
    }
    CloseHandle(file);
    return ok;
}

// Checks every file of the run and that Pump 1 has a make, all before the port is touched;
// with `plan`, prints what would be sent. Returns EXIT_SENT or EXIT_BAD_INPUT.
static int preflight(BYTE plan, const char *portName) {
    BYTE ok = 1;
    if (Slots[SLOT_PUMP1].name[0] == 0) {
        fprintf(stderr, "marvane-send: Pump 1 has no make (--pump1): the run would fail there\n");
        ok = 0;
    }
    DWORD sizes[SLOT_COUNT] = {0};
    for (int i = 0; i < STEP_COUNT; i++) {
        int slot = Steps[i].slot;
        if (Slots[slot].name[0] != 0 &&
            !checkFile(SlotLabels[slot], Slots[slot].name, &sizes[slot])) {
            ok = 0;
        }
    }
    if (!ok || !plan) {
        return ok ? EXIT_SENT : EXIT_BAD_INPUT;
    }
    printf("Would send over %s at %d baud:\n", portName, LinkSettings.baudRate);
    int order = 0;
    for (int i = 0; i < STEP_COUNT; i++) {
        const StepInfo *step = &Steps[i];
        const char *name = Slots[step->slot].name;
        if (name[0] == 0) {
            printf("     %-8s  %-12s  skipped: no make chosen\n", SlotLabels[step->slot], "-");
            continue;
        }
        int passes = step->secondPassId != 0 ? 2 : 1;
        for (int pass = 1; pass <= passes; pass++) {
            DWORD size = sizes[step->slot];
            printf("  %d  %-8s  %-12s  id %c  type %c  %5u bytes  %3u blocks\n", ++order,
                   SlotLabels[step->slot], name, pass == 2 ? step->secondPassId : step->fileId,
                   step->fileType, (unsigned)size,
                   (unsigned)((size + BLOCK_SIZE - 1) / BLOCK_SIZE));
        }
    }
    return EXIT_SENT;
}

int main(int argc, char **argv) {
    Options o;
    memset(&o, 0, sizeof o);
    o.port = LinkSettings.portNumber;  // the window program's defaults
    o.baud = LinkSettings.baudRate;
    int status = parseOptions(argc, argv, &o);
    if (status != EXIT_SENT) {
        return status;
    }
    if (o.help) {
        fputs(HELP, stdout);
        return EXIT_SENT;
    }

    HWND host = createHost(GetModuleHandleA(NULL));
    if (host == 0) {
        fprintf(stderr, "marvane-send: cannot make the window that hosts the timer\n");
        return EXIT_PORT_FAILED;
    }
    if (o.listMakes) {
        listMakes();
        return EXIT_SENT;
    }
    status = chooseMakes(host, &o);
    if (status != EXIT_SENT) {
        return status;
    }
    if (o.dir != 0 && !consoleChangeDirectory(o.dir)) {
        return badInput("no such folder (--dir)", o.dir);
    }
    UINT portCommand = IDM_COM1 + (UINT)(o.port - 1);
    handleCommand(host, portCommand, portCommand, 0);
    for (const BaudCommand &b : BaudCommands) {
        if (b.baud == o.baud) {
            handleCommand(host, b.command, b.command, 0);
        }
    }

    char portName[600];
    if (o.device != 0) {
        snprintf(portName, sizeof portName, "COM%d (%s)", o.port, o.device);
    } else {
        snprintf(portName, sizeof portName, "COM%d", o.port);
    }
    status = preflight(o.check, portName);
    if (status != EXIT_SENT || o.check) {
        return status;
    }

    if (o.device != 0) {
        consoleMapDevice(o.port, o.device);
    }
    setPortDescription(portName);
    setReporting(o.quiet, o.progress || consoleIsTerminal());
    if (!o.quiet) {
        printf("Sending over %s at %d baud\n", portName, LinkSettings.baudRate);
        fflush(stdout);
    }
    status = runAndReport(host);
    DestroyWindow(host);
    return status;
}
