// The console program on Linux: the terminal test, the image folder, the device each COMn
// opens (--device, or the stand-in's MARVANE_COMn and /dev/ttyS<n-1>), what a port's error
// means here, the ports this machine has, Ctrl+C, SIGTERM, SIGHUP and standard output's reader
// gone.
#include <ctype.h>
#include <dirent.h>
#include <limits.h>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <pwd.h>
#include <unistd.h>

#include "link/link.h"
#include "platform/standin_ports.h"
#include "send/send.h"

void consoleWhoAndWhere(char *computer, int computerSize, char *user, int userSize) {
    if (gethostname(computer, (size_t)computerSize) != 0) {
        computer[0] = 0;
    }
    computer[computerSize - 1] = 0;
    struct passwd *account = getpwuid(geteuid());
    snprintf(user, (size_t)userSize, "%s", account != NULL ? account->pw_name : "");
}

void consoleKeepAwake(BYTE) {}  // a Linux bench machine is not a laptop on battery

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

// A ttyS port is listed only where a UART answers (the kernel makes the nodes regardless).

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
    sigaction(SIGHUP, &action, NULL);  // the terminal or the remote session closed
    // Whoever read standard output may go (`marvane-send | head`): the write that finds it out
    // then fails with EPIPE, which the report takes for a stop, instead of the signal ending
    // the program wherever the run was.
    signal(SIGPIPE, SIG_IGN);
}

const char *consoleWhatIs(const char *path, DWORD systemError) {
    static char other[64];
    struct stat info;
    if (stat(path, &info) == 0 && S_ISDIR(info.st_mode)) {
        return "a folder, not a file";
    }
    if (stat(path, &info) == 0 && !S_ISREG(info.st_mode)) {
        return "a device or pipe, not a regular file";
    }
    if (access(path, R_OK) != 0 && errno == EACCES) {
        return "permission denied";
    }
    snprintf(other, sizeof other, "system error %u", (unsigned)systemError);
    return other;
}

void consoleFinished() {}  // a signal's handler returns at once here

BYTE consoleInterrupted() {
    return Interrupts > 0;
}
