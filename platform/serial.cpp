// The stand-in's COM ports: "COMn" opens the tty named by MARVANE_COMn (or /dev/ttyS<n-1>),
// and the DCB, the time-outs and the modem-line calls get their Windows meaning for what the
// program sets: a standard rate, eight data bits, no parity, one stop bit, DTR and RTS on,
// reads that return at once with what has arrived. A suite's device is behind a pty too.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "platform/standin_internal.h"
#include "platform/standin_ports.h"

void standinComPath(int comNumber, char *out, int size) {
    char variable[32];
    snprintf(variable, sizeof variable, "MARVANE_COM%d", comNumber);
    const char *path = getenv(variable);
    if (path != NULL && path[0] != 0) {
        snprintf(out, (size_t)size, "%s", path);
    } else {
        snprintf(out, (size_t)size, "/dev/ttyS%d", comNumber - 1);
    }
}

void standinSetComPath(int comNumber, const char *path) {
    char variable[32];
    snprintf(variable, sizeof variable, "MARVANE_COM%d", comNumber);
    setenv(variable, path, 1);
}

// What a failed open of the device means, as Windows numbers it; an error not listed is a
// device that fails (ERROR_GEN_FAILURE).
static const struct {
    int error;
    DWORD windows;
} OpenErrors[] = {
    {ENOENT, ERROR_FILE_NOT_FOUND},
    {ENOTDIR, ERROR_PATH_NOT_FOUND},      // a file where the path wants a folder
    {ENXIO, ERROR_DEVICE_NOT_CONNECTED},  // a node with no device or UART behind it
    {ENODEV, ERROR_DEVICE_NOT_CONNECTED},
    {EIO, ERROR_DEVICE_NOT_CONNECTED},  // an adapter pulled out while it opened
    {EISDIR, ERROR_NOT_SUPPORTED},
    {EACCES, ERROR_ACCESS_DENIED},  // the one the dialout group mends
    {EPERM, ERROR_ACCESS_DENIED},
    {EBUSY, ERROR_SHARING_VIOLATION},  // another program set the tty exclusive
};

static DWORD openError(int error) {
    for (const auto &known : OpenErrors) {
        if (known.error == error) {
            return known.windows;
        }
    }
    return ERROR_GEN_FAILURE;
}

HANDLE serialOpen(int comNumber) {
    char path[PATH_MAX];
    standinComPath(comNumber, path, sizeof path);
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        setLastError(openError(errno));
        return INVALID_HANDLE_VALUE;
    }
    // Only a terminal is a port: a regular file, a FIFO or a device that is no tty
    // (/dev/null) is refused here, before the program configures it or writes to it.
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode) || !isatty(fd)) {
        close(fd);
        setLastError(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    // Windows gives a port to one opener: the advisory lock on the device decides, in this
    // process and in any other. The kernel drops it with the last descriptor however the
    // process ends; TIOCEXCL would outlive a process killed before it could clear it and
    // lock the next run out.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        setLastError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    StandinHandle record;
    memset(&record, 0, sizeof record);
    record.dcb.DCBlength = sizeof(DCB);  // nothing set yet: the program sets all it needs
    record.kind = HANDLE_TTY;
    record.fd = fd;
    setLastError(0);
    return handleAdd(record);
}

void serialClose(StandinHandle *record) {
    close(record->fd);  // drops the lock with it
}

// ----- reads and writes

// One rule for a port that fails under the program: every sign that the device is gone
// (EIO, ENXIO, ENODEV, a hang-up) is ERROR_DEVICE_NOT_CONNECTED, as Windows says of a USB
// adapter pulled out; any other failure is ERROR_GEN_FAILURE.
static DWORD lineError(int error) {
    return error == EIO || error == ENXIO || error == ENODEV ? ERROR_DEVICE_NOT_CONNECTED
                                                             : ERROR_GEN_FAILURE;
}

// A hung-up tty (an adapter pulled out, a pty's far side closed) reads as 0 bytes, as a
// line with nothing on it does; poll tells the two apart.
static BYTE hungUp(int fd) {
    struct pollfd watch = {fd, POLLIN, 0};
    return poll(&watch, 1, 0) > 0 && (watch.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

// Windows' reads as the program sets them: ReadIntervalTimeout MAXDWORD with no totals
// returns at once with what has arrived. Reads that would wait are not offered.
BOOL serialRead(StandinHandle *record, BYTE *buffer, DWORD toRead, DWORD *read) {
    const COMMTIMEOUTS &t = record->timeouts;
    if (t.ReadIntervalTimeout != MAXDWORD || t.ReadTotalTimeoutMultiplier != 0 ||
        t.ReadTotalTimeoutConstant != 0) {
        setLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    for (;;) {
        ssize_t got = ::read(record->fd, buffer, toRead);
        if (got > 0) {
            *read = (DWORD)got;
            return TRUE;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        // A gone device fails the read, as on Windows; what it sent before it went has
        // been read by then.
        if (got < 0 && errno != EAGAIN) {
            setLastError(lineError(errno));
            return FALSE;
        }
        if (hungUp(record->fd)) {
            setLastError(ERROR_DEVICE_NOT_CONNECTED);
            return FALSE;
        }
        *read = 0;  // nothing yet
        return TRUE;
    }
}

BOOL serialWrite(StandinHandle *record, const BYTE *buffer, DWORD toWrite, DWORD *written) {
    const COMMTIMEOUTS &t = record->timeouts;
    uint64_t total =
        (uint64_t)t.WriteTotalTimeoutMultiplier * toWrite + t.WriteTotalTimeoutConstant;
    uint64_t deadline = total == 0 ? UINT64_MAX : clockNow() + total;
    DWORD done = 0;
    while (done < toWrite) {
        ssize_t put = ::write(record->fd, buffer + done, toWrite - done);
        if (put > 0) {
            done += (DWORD)put;
            continue;
        }
        if (put < 0 && errno != EAGAIN && errno != EINTR) {
            *written = done;
            setLastError(lineError(errno));
            return FALSE;
        }
        uint64_t now = clockNow();
        if (now >= deadline) {
            break;  // Windows reports a write time-out as success with a short count
        }
        struct pollfd watch = {record->fd, POLLOUT, 0};
        // A line that goes away meanwhile wakes this, and the next write says so.
        poll(&watch, 1, deadline == UINT64_MAX ? -1 : (int)(deadline - now));
    }
    *written = done;
    return TRUE;
}

// ----- line settings, which the program asks of its port only, never of a file

// The termios speed code of a rate given as a number, as the C library takes one; 0 for a
// rate the line cannot run at (0 itself would hang the line up).
static BYTE baudCode(DWORD rate, speed_t *code) {
    struct termios probe;
    memset(&probe, 0, sizeof probe);
    if (rate == 0 || cfsetspeed(&probe, (speed_t)rate) != 0) {
        return 0;
    }
    *code = cfgetospeed(&probe);
    return 1;
}

BOOL WINAPI SetCommState(HANDLE port, DCB *dcb) {
    StandinHandle *record = handleGet(port);
    if (record == NULL) {
        return FALSE;
    }
    speed_t code = B9600;
    // What the stand-in cannot set is refused as Windows refuses what a port cannot take.
    if (!baudCode(dcb->BaudRate, &code) || dcb->ByteSize != 8 || dcb->Parity != NOPARITY ||
        dcb->StopBits != ONESTOPBIT) {
        setLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    struct termios tio;
    if (tcgetattr(record->fd, &tio) != 0) {
        setLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    // Raw bytes always: no line editing, echo, signals, flow control or translation.
    cfmakeraw(&tio);
    tio.c_iflag &= ~(tcflag_t)(IXON | IXOFF | IXANY | INPCK);
    tio.c_cflag &= ~(tcflag_t)(CSTOPB | CRTSCTS);
    tio.c_cflag |= CREAD | CLOCAL;
    tio.c_cc[VMIN] = 0;  // reads return at once
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, code);
    cfsetospeed(&tio, code);
    if (tcsetattr(record->fd, TCSANOW, &tio) != 0) {
        setLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    record->dcb = *dcb;  // DTR and RTS: up since the open, and EscapeCommFunction raises them
    return TRUE;
}

BOOL WINAPI GetCommState(HANDLE port, DCB *dcb) {
    StandinHandle *record = handleGet(port);
    if (record == NULL) {
        return FALSE;
    }
    *dcb = record->dcb;  // the last settings given
    return TRUE;
}

BOOL WINAPI GetCommTimeouts(HANDLE port, COMMTIMEOUTS *timeouts) {
    StandinHandle *record = handleGet(port);
    if (record == NULL) {
        return FALSE;
    }
    *timeouts = record->timeouts;
    return TRUE;
}

BOOL WINAPI SetCommTimeouts(HANDLE port, COMMTIMEOUTS *timeouts) {
    StandinHandle *record = handleGet(port);
    if (record == NULL) {
        return FALSE;
    }
    record->timeouts = *timeouts;
    return TRUE;
}

BOOL WINAPI EscapeCommFunction(HANDLE port, DWORD function) {
    StandinHandle *record = handleGet(port);
    if (record == NULL) {
        return FALSE;
    }
    if (function != SETDTR && function != SETRTS) {
        setLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    int line = function == SETDTR ? TIOCM_DTR : TIOCM_RTS;
    if (ioctl(record->fd, TIOCMBIS, &line) != 0) {
        setLastError(ERROR_NOT_SUPPORTED);  // a pty has no modem lines, as Wine says too
        return FALSE;
    }
    return TRUE;
}
