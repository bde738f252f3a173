// The console program on Linux: the terminal test, the image folder, the device each COMn
// opens (--device, or the stand-in's MARVANE_COMn and /dev/ttyS<n-1>), what a port's error
// means here, the ports this machine has, Ctrl+C, SIGTERM and standard output's reader gone.
#include <ctype.h>
#include <dirent.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "link/link.h"
#include "platform/standin_ports.h"
#include "send/send.h"

BYTE consoleIsTerminal() {
    return isatty(STDOUT_FILENO) ? 1 : 0;
}

BYTE consoleChangeDirectory(const char *dir) {
    return chdir(dir) == 0 ? 1 : 0;
}

void consoleCurrentDirectory(char *out, int size) {
    if (getcwd(out, (size_t)size) == NULL) {
        snprintf(out, (size_t)size, ".");
    }
}

BYTE consoleHasDevices() {
    return 1;
}

void consoleMapDevice(int portNumber, const char *path) {
    standinSetComPath(portNumber, path);
}

BYTE consoleDeviceOf(int portNumber, char *out, int size) {
    standinComPath(portNumber, out, size);
    return 1;
}

const char *consoleAccessDenied() {
    return "access denied; add your user to the dialout group (sudo usermod -aG dialout $USER) "
           "and log in again";
}

// What a serial device is, in the words on an adapter's box, from the driver the kernel gave
// it (sysfs); a driver not listed is named.
// clang-format off
static const struct {
    const char *driver;
    const char *what;
} TtyKinds[] = {
    {"ftdi_sio",   "USB serial adapter (FTDI)"},
    {"pl2303",     "USB serial adapter (Prolific)"},
    {"cp210x",     "USB serial adapter (Silicon Labs)"},
    {"ch341-uart", "USB serial adapter (WCH)"},
    {"cdc_acm",    "USB serial device (modem class)"},
    {"port",       "serial port on the PC itself"},
    {"serial8250", "serial port on the PC itself"},
    {"serial",     "serial port on the PC itself"},
};
// clang-format on

static void describeTty(const char *name, char *out, size_t size) {
    char link[PATH_MAX];
    char target[PATH_MAX];
    snprintf(link, sizeof link, "/sys/class/tty/%.200s/device/driver", name);
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0) {
        snprintf(out, size, "serial device");
        return;
    }
    target[n] = 0;
    const char *driver = strrchr(target, '/') ? strrchr(target, '/') + 1 : target;
    snprintf(out, size, "serial device (driver %.200s)", driver);
    for (const auto &kind : TtyKinds) {
        if (strcmp(driver, kind.driver) == 0) {
            snprintf(out, size, "%s", kind.what);
        }
    }
}

// A ttyS port is listed only where a UART answers (the kernel makes the nodes regardless).
static BYTE uartPresent(const char *name) {
    char path[PATH_MAX];
    snprintf(path, sizeof path, "/sys/class/tty/%.200s/type", name);
    FILE *f = fopen(path, "r");
    int type = 0;
    if (f != NULL) {
        if (fscanf(f, "%d", &type) != 1) {
            type = 0;
        }
        fclose(f);
    }
    return type != 0;
}

int consoleListPorts() {
    int count = 0;
    // USB adapters by their stable names first: what a technician recognises.
    DIR *byId = opendir("/dev/serial/by-id");
    if (byId != NULL) {
        struct dirent *entry;
        while ((entry = readdir(byId)) != NULL) {
            if (entry->d_name[0] == '.') {
                continue;
            }
            char path[PATH_MAX];
            char target[PATH_MAX];
            snprintf(path, sizeof path, "/dev/serial/by-id/%.255s", entry->d_name);
            if (realpath(path, target) != NULL) {
                listPort(target, entry->d_name);
                count++;
            }
        }
        closedir(byId);
    }
    DIR *dev = opendir("/dev");
    if (dev != NULL) {
        struct dirent *entry;
        while ((entry = readdir(dev)) != NULL) {
            const char *name = entry->d_name;
            BYTE usb = strncmp(name, "ttyUSB", 6) == 0 || strncmp(name, "ttyACM", 6) == 0;
            BYTE uart = strncmp(name, "ttyS", 4) == 0 && isdigit((unsigned char)name[4]);
            if (!usb && !(uart && uartPresent(name))) {
                continue;
            }
            char what[256];
            describeTty(name, what, sizeof what);
            char path[256];
            snprintf(path, sizeof path, "/dev/%.200s", name);
            char about[600];
            if (uart) {
                snprintf(about, sizeof about, "%s (--port %d)", what, atoi(name + 4) + 1);
            } else {
                snprintf(about, sizeof about, "%s (--device %s)", what, path);
            }
            listPort(path, about);
            count++;
        }
        closedir(dev);
    }
    return count;
}

// The current folder's entries that match `name` but for case, as Windows would find it:
// the one spelt as asked, else the first found, in `spelt`; a second one in `twin` (the one
// not spelt as asked). Returns how many there are.
static int scanAnyCase(const char *name, char *spelt, char *twin, int size) {
    DIR *dir = opendir(".");
    int matches = 0;
    spelt[0] = twin[0] = 0;
    for (struct dirent *entry; dir != NULL && (entry = readdir(dir)) != NULL;) {
        if (strcasecmp(entry->d_name, name) != 0) {
            continue;
        }
        BYTE exact = strcmp(entry->d_name, name) == 0;
        if (++matches > 1 && !exact) {
            snprintf(twin, (size_t)size, "%s", entry->d_name);
            continue;
        }
        if (matches > 1) {
            snprintf(twin, (size_t)size, "%s", spelt);
        }
        snprintf(spelt, (size_t)size, "%s", entry->d_name);
    }
    if (dir != NULL) {
        closedir(dir);
    }
    return matches;
}

BYTE consoleFileIdentity(const char *path, FileIdentity *identity) {
    char spelt[NAME_MAX + 1];
    char twin[NAME_MAX + 1];
    // A bare name is found whatever its case, as the images are.
    if (strchr(path, '/') == 0 && scanAnyCase(path, spelt, twin, sizeof twin) == 1) {
        path = spelt;
    }
    struct stat info;
    if (stat(path, &info) != 0) {
        return 0;
    }
    identity->volume = (unsigned long long)info.st_dev;
    identity->index = (unsigned long long)info.st_ino;
    return 1;
}

BYTE consoleCaseTwin(const char *name, char *twin, int size) {
    char spelt[NAME_MAX + 1];
    return scanAnyCase(name, spelt, twin, size) > 1;
}

void consoleNameOnDisk(const char *name, char *out, int size) {
    char twin[NAME_MAX + 1];
    if (strchr(name, '/') != 0 || scanAnyCase(name, out, twin, sizeof twin) == 0) {
        snprintf(out, (size_t)size, "%s", name);
    }
}

static volatile sig_atomic_t Interrupts = 0;

static void onSignal(int signal) {
    (void)signal;
    Interrupts = Interrupts + 1;
    if (Interrupts == 1) {
        requestStop();
        return;
    }
    // A second one while stopping: end at once, the bar's line ended first.
    (void)!write(STDOUT_FILENO, "\n", 1);
    _exit(EXIT_INTERRUPTED);
}

void consoleCatchInterrupts() {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, NULL);
    sigaction(SIGTERM, &action, NULL);
    // Whoever read standard output may go (`marvane-send | head`): the write that finds it out
    // then fails with EPIPE, which the report takes for a stop, instead of the signal ending
    // the program wherever the run was.
    signal(SIGPIPE, SIG_IGN);
}

BYTE consoleInterrupted() {
    return Interrupts > 0;
}
