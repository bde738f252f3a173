// The console program on Linux: the terminal test, the image folder and its case-blind
// lookup, the device each COMn opens (--device, or the stand-in's MARVANE_COMn and
// /dev/ttyS<n-1>), what a port's error means here, Ctrl+C, SIGTERM, SIGHUP and SIGPIPE, and
// the log appended a record at a time.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

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

unsigned long consoleProcessId() {
    return (unsigned long)getpid();
}

FILE *filesOpenLog(const char *path) {
    return fopen(path, "a+");  // O_APPEND: the system puts each write at the end; read back
}

BYTE filesAppendLine(FILE *log, const char *text) {
    int fd = fileno(log);
    struct stat info;
    char last = '\n';
    if (fstat(fd, &info) == 0 && info.st_size > 0 && pread(fd, &last, 1, info.st_size - 1) != 1) {
        last = '\n';  // a log that cannot be read back (a device) is taken to end a line
    }
    std::string line = std::string(last != '\n' ? "\n" : "") + text + "\n";
    // One write, so that records of processes appending to one log never mix; a write cut
    // short (a full disk, a size limit) is taken back: the log holds the record whole or not.
    ssize_t written = write(fd, line.data(), line.size());
    if (written == (ssize_t)line.size()) {
        return 1;
    }
    off_t end = lseek(fd, 0, SEEK_CUR);  // where the cut write left it
    if (written > 0 && end >= written) {
        (void)!ftruncate(fd, end - written);
    }
    return 0;
}

BYTE filesIsStandardOutput(const char *path) {
    struct stat out, named;
    return fstat(STDOUT_FILENO, &out) == 0 && stat(path, &named) == 0 &&
           out.st_dev == named.st_dev && out.st_ino == named.st_ino;
}

int filesNameBehind(const char *path, char *out, int size) {
    char target[PATH_MAX];
    ssize_t length = readlink(path, target, sizeof target - 1);
    if (length < 0) {
        return 0;
    }
    target[length] = 0;
    const char *slash = strrchr(path, '/');
    int folder = target[0] == '/' || slash == 0 ? 0 : (int)(slash - path + 1);
    snprintf(out, (size_t)size, "%.*s%s", folder, path, target);
    return 1;
}

void consoleUtf8(const char *text, char *out, int size) {
    snprintf(out, (size_t)size, "%s", text);  // the locale's, taken to be UTF-8
}

void consoleKeepAwake(BYTE) {}  // a Linux bench machine is not a laptop on battery

BYTE consoleIsTerminal() {
    return isatty(STDOUT_FILENO) ? 1 : 0;
}

BYTE filesChangeDirectory(const char *dir) {
    return chdir(dir) == 0 ? 1 : 0;
}

void filesCurrentDirectory(char *out, int size) {
    if (getcwd(out, (size_t)size) == NULL) {
        snprintf(out, (size_t)size, ".");
    }
}

// A relative device is the caller's, found from where the command was given: --dir moves
// the current folder before the port opens.
void portsMapDevice(int portNumber, const char *path) {
    char here[PATH_MAX], full[PATH_MAX + 300];
    if (path[0] != '/' && getcwd(here, sizeof here) != NULL) {
        snprintf(full, sizeof full, "%s/%s", here, path);
        path = full;
    }
    standinSetComPath(portNumber, path);
}

BYTE portsDeviceOf(int portNumber, char *out, int size) {
    standinComPath(portNumber, out, size);
    return 1;
}

const char *portsAccessDenied() {
    return "access denied; add your user to the dialout group (sudo usermod -aG dialout $USER) "
           "and log in again";
}

// As Windows finds a file whatever the case of its name: in the path's folder, the entry
// spelt as asked, else the first found; a second one is its twin. Both keep the folder as given.
BYTE filesFindName(const char *name, char *onDisk, char *twin, int size) {
    const char *base = strrchr(name, '/') != 0 ? strrchr(name, '/') + 1 : name;
    int prefix = (int)(base - name);  // the folder, its slash included
    char folder[PATH_MAX];
    snprintf(folder, sizeof folder, "%.*s", prefix > 1 ? prefix - 1 : 1, prefix > 0 ? name : ".");
    DIR *dir = opendir(folder);
    int matches = 0;
    onDisk[0] = twin[0] = 0;
    for (struct dirent *entry; dir != NULL && (entry = readdir(dir)) != NULL;) {
        if (base[0] == 0 || strcasecmp(entry->d_name, base) != 0) {
            continue;
        }
        BYTE exact = strcmp(entry->d_name, base) == 0;
        if (++matches > 1 && exact) {
            snprintf(twin, (size_t)size, "%s", onDisk);
        } else if (matches > 1) {
            snprintf(twin, (size_t)size, "%.*s%s", prefix, name, entry->d_name);
        }
        if (matches == 1 || exact) {
            snprintf(onDisk, (size_t)size, "%.*s%s", prefix, name, entry->d_name);
        }
    }
    if (dir != NULL) {
        closedir(dir);
    }
    if (matches == 0) {
        snprintf(onDisk, (size_t)size, "%s", name);
    }
    return matches > 0;
}

BYTE filesIdentity(const char *path, FileIdentity *identity) {
    char onDisk[PATH_MAX], twin[PATH_MAX];
    struct stat info;
    if (stat(filesFindName(path, onDisk, twin, sizeof onDisk) ? onDisk : path, &info) != 0) {
        return 0;
    }
    *identity = {(unsigned long long)info.st_dev, (unsigned long long)info.st_ino};
    return 1;
}

static volatile sig_atomic_t Interrupts = 0;

static void onSignal(int) {
    Interrupts = Interrupts + 1;
    if (Interrupts == 1) {
        requestStop();
        return;
    }
    // A second one while stopping: end at once, the bar's line ended first.
    (void)!write(STDOUT_FILENO, "\n", 1);
    _exit(EXIT_INTERRUPTED);
}

void signalsCatch() {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, NULL);
    sigaction(SIGTERM, &action, NULL);
    sigaction(SIGHUP, &action, NULL);  // the terminal or the remote session closed
}

void signalsStart() {
    // A standard stream the caller closed (`>&-`) would be the number of the next file opened:
    // the log would get what marvane-send prints. The null device takes its place.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            (void)!open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);  // the lowest: fd
        }
    }
    // Whoever read standard output may go (`marvane-send | head`): the write that finds it out
    // then fails with EPIPE, which stops a run or ends a check with its record, instead of the
    // signal ending the program wherever it was.
    signal(SIGPIPE, SIG_IGN);
}

BYTE signalsInterrupted() {
    return Interrupts > 0;
}

const char *filesWhatIs(const char *path, DWORD systemError) {
    static char other[64];
    struct stat info;
    if (stat(path, &info) == 0) {
        if (S_ISDIR(info.st_mode)) {
            return "a folder, not a file";
        }
        if (!S_ISREG(info.st_mode)) {
            return "a device or pipe, not a regular file";
        }
    }
    if (access(path, R_OK) != 0 && errno == EACCES) {
        return "permission denied";
    }
    snprintf(other, sizeof other, "system error %u", (unsigned)systemError);
    return other;
}

void signalsFinished() {}  // a signal's handler returns at once here
