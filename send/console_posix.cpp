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
#include <sys/file.h>
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

FILE *filesOpenLog(const char *path, const char **why) {
    // A pipe takes a line only while a program reads it: with none, the record would go nowhere.
    struct stat info;
    BYTE pipe = stat(path, &info) == 0 && S_ISFIFO(info.st_mode);
    int fd = pipe ? open(path, O_WRONLY | O_APPEND | O_NONBLOCK)
                  : open(path, O_RDWR | O_APPEND | O_CREAT, 0666);  // read back: its last byte
    int error = errno;
    FILE *log = fd >= 0 && (!pipe || fcntl(fd, F_SETFL, O_APPEND) == 0)
                    ? fdopen(fd, pipe ? "a" : "a+")
                    : NULL;
    if (log == NULL) {
        *why = pipe && error == ENXIO ? "a pipe that no program reads"
                                      : strerror(fd >= 0 ? errno : error);
        if (fd >= 0) {
            close(fd);
        }
    }
    return log;
}

FILE *filesOpenTrace(const char *path, const char **why) {
    // Opened to write, a pipe waits for its reader: with none, for ever.
    struct stat info;
    if (stat(path, &info) == 0 && S_ISFIFO(info.st_mode)) {
        return filesOpenLog(path, why);
    }
    FILE *trace = fopen(path, "a");
    *why = trace == NULL ? strerror(errno) : 0;
    return trace;
}

// The log's lock, held for one append and its take-back, so that taking back a cut line never
// takes another writer's with it. A log that takes no lock (a pipe, some shares) goes without.
static BYTE lockLog(int fd) {
    for (DWORD waited = 0;; waited += 10) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK) {
            return 1;
        }
        if (waited >= LOG_LOCK_WAIT_MS) {
            return 0;
        }
        usleep(10 * 1000);
    }
}

BYTE filesAppendLine(FILE *log, const char *text, const char **why, BYTE *cutLeft) {
    int fd = fileno(log);
    *cutLeft = 0;
    if (!lockLog(fd)) {
        *why = LOG_HELD;
        return 0;
    }
    struct stat info;
    BYTE regular = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    char last = '\n';
    if (regular && info.st_size > 0 && pread(fd, &last, 1, info.st_size - 1) != 1) {
        last = '\n';
    }
    std::string line = std::string(last != '\n' ? "\n" : "") + text + "\n";
    // One write, so that records of processes appending to one log never mix; what a full
    // disk or a size limit cut short is written on until the system names why it stops.
    size_t done = 0;
    int error = 0;
    while (done < line.size() && error == 0) {
        ssize_t written = write(fd, line.data() + done, line.size() - done);
        done += written > 0 ? (size_t)written : 0;
        error = written < 0 ? errno : written == 0 ? EIO : 0;
    }
    // The line is whole or taken back; a log that cannot be cut (append-only) gets the cut
    // line ended, so that the next record starts on its own.
    if (error != 0 && done > 0 && (!regular || ftruncate(fd, info.st_size) != 0)) {
        *cutLeft = 1;
        (void)!write(fd, "\n", 1);
    }
    // On the disk, not in the system's cache: a battery that dies leaves it. A pipe or a
    // device keeps nothing to flush.
    if (error == 0 && fsync(fd) != 0 && errno != EINVAL) {
        error = errno;
    }
    flock(fd, LOCK_UN);
    *why = error != 0 ? strerror(error) : 0;
    return error == 0;
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

void portsAccessDenied(const char **cause, const char **advice) {
    *cause = "access denied";
    *advice =
        "add your user to the dialout group (sudo usermod -aG dialout $USER) and log in "
        "again";
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

// The first asks the run to stop; the second to stop now, not waiting for the answer in
// flight, so that the record and the closing words still come; a third ends the program at
// once (a run that cannot end), the bar's line ended first.
static void onSignal(int) {
    int count = Interrupts + 1;  // the handler blocks the other two: one runs at a time
    Interrupts = count;
    if (count <= 2) {
        count == 1 ? requestStop() : requestStopNow();
        return;
    }
    (void)!write(STDOUT_FILENO, "\n", 1);
    _exit(EXIT_INTERRUPTED);
}

void signalsCatch() {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int caught : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&action.sa_mask, caught);
    }
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
    // A log or trace past the process's file size limit fails its write with a cause to name,
    // rather than the signal ending the program without a word.
    signal(SIGXFSZ, SIG_IGN);
}

BYTE signalsInterrupted() {
    return Interrupts > 0;
}

PathKind filesKindOf(const char *path) {
    struct stat info;
    if (stat(path, &info) != 0 || S_ISREG(info.st_mode)) {
        return PATH_FILE;
    }
    return S_ISDIR(info.st_mode) ? PATH_FOLDER : PATH_DEVICE;
}

// The stand-in numbers a file's errors as Windows does: the system's own words come from
// asking it once more.
const char *filesWhyUnopened(const char *path, DWORD) {
    PathKind kind = filesKindOf(path);
    if (kind != PATH_FILE) {
        return kind == PATH_FOLDER ? "a folder, not a file"
                                   : "a device or pipe, not a regular file";
    }
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    int error = fd < 0 ? errno : EIO;  // it opens now: reading it failed
    if (fd >= 0) {
        close(fd);
    }
    return error == EACCES ? "permission denied" : strerror(error);
}

void signalsFinished() {}  // a signal's handler returns at once here
