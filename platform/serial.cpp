// The stand-in's COM ports: "COMn" opens the tty named by MARVANE_COMn (or /dev/ttyS<n-1>)
// or the in-process device a test attached, and gives the DCB, the time-outs and the
// modem-line calls their Windows meaning over termios. Handles are files.cpp's business.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <deque>

#include "platform/standin_internal.h"
#include "platform/standin_test.h"

static const int MAX_COM = 255;
static const int MAX_PEER_COM = 9;

// An in-process device: its callbacks and the bytes it has sent, each with the time on
// the clock in use when it becomes readable.
struct PeerDelivery {
    uint64_t due;
    BYTE value;
};
struct PeerPort {
    BYTE attached;
    StandinPeer peer;
    BYTE open;
    int generation;  // which open a handle belongs to; bumped by every open and reset
    std::deque<PeerDelivery> pending;
    DCB dcb;
    BYTE dcbSet;
};
static PeerPort Peers[MAX_PEER_COM + 1];

BYTE serialNameNumber(LPCSTR name, int *comNumber) {
    const char *at = name;
    BYTE prefixed = 0;
    if (strncmp(at, "\\\\.\\", 4) == 0 || strncmp(at, "//./", 4) == 0) {
        at += 4;
        prefixed = 1;
    }
    if (strncasecmp(at, "COM", 3) != 0) {
        return 0;
    }
    at += 3;
    int number = 0;
    int digits = 0;
    while (*at >= '0' && *at <= '9' && digits < 4) {
        number = number * 10 + (*at - '0');
        at++;
        digits++;
    }
    if (digits == 0 || number < 1 || number > MAX_COM) {
        return 0;
    }
    // The bare DOS names are COM1 to COM9, with or without a colon; higher ones need
    // the device prefix.
    if (!prefixed && (number > 9 || (*at == ':' && at[1] != 0) || (*at != ':' && *at != 0))) {
        return 0;
    }
    if (prefixed && *at != 0) {
        return 0;
    }
    *comNumber = number;
    return 1;
}

static void defaultDcb(DCB *dcb) {
    memset(dcb, 0, sizeof *dcb);
    dcb->DCBlength = sizeof(DCB);
    dcb->BaudRate = CBR_9600;
    dcb->fBinary = 1;
    dcb->fDtrControl = DTR_CONTROL_ENABLE;
    dcb->fRtsControl = RTS_CONTROL_ENABLE;
    dcb->XonLim = 2048;
    dcb->XoffLim = 512;
    dcb->ByteSize = 8;
    dcb->Parity = NOPARITY;
    dcb->StopBits = ONESTOPBIT;
    dcb->XonChar = 0x11;
    dcb->XoffChar = 0x13;
}

static HANDLE peerOpen(int comNumber, DWORD access) {
    PeerPort &port = Peers[comNumber];
    if (port.open) {
        SetLastError(ERROR_ACCESS_DENIED);  // one owner at a time, as for any COM port
        return INVALID_HANDLE_VALUE;
    }
    port.open = 1;
    port.generation++;
    port.pending.clear();
    StandinHandle record;
    memset(&record, 0, sizeof record);
    record.kind = HANDLE_PEER;
    record.fd = port.generation;
    record.comNumber = comNumber;
    record.access = access;
    defaultDcb(&record.dcb);
    HANDLE handle = handleAdd(record);
    if (port.peer.onOpen != NULL) {
        port.peer.onOpen(port.peer.context);
    }
    SetLastError(ERROR_SUCCESS);
    return handle;
}

HANDLE serialOpen(int comNumber, DWORD access) {
    if (comNumber <= MAX_PEER_COM && Peers[comNumber].attached) {
        return peerOpen(comNumber, access);
    }
    char variable[32];
    snprintf(variable, sizeof variable, "MARVANE_COM%d", comNumber);
    char fallback[32];
    snprintf(fallback, sizeof fallback, "/dev/ttyS%d", comNumber - 1);
    const char *path = getenv(variable);
    if (path == NULL || path[0] == 0) {
        path = fallback;
    }
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        DWORD error = ERROR_FILE_NOT_FOUND;
        if (errno == EACCES || errno == EPERM || errno == EBUSY) {
            error = ERROR_ACCESS_DENIED;
        }
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    // Windows gives a port to one opener. TIOCEXCL keeps other programs out but not root,
    // so the advisory lock on the device decides, in this process and in any other.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    ioctl(fd, TIOCEXCL);
    StandinHandle record;
    memset(&record, 0, sizeof record);
    record.kind = HANDLE_SERIAL;
    record.fd = fd;
    record.comNumber = comNumber;
    record.access = access;
    record.isTty = isatty(fd) ? 1 : 0;
    defaultDcb(&record.dcb);
    // The modem lines as the device has them; a pty has none, and they count as on.
    int lines = 0;
    if (ioctl(fd, TIOCMGET, &lines) == 0) {
        record.dcb.fDtrControl = (lines & TIOCM_DTR) ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
        record.dcb.fRtsControl = (lines & TIOCM_RTS) ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    }
    SetLastError(ERROR_SUCCESS);
    return handleAdd(record);
}

// The port a peer handle belongs to, or NULL once it was closed or the test reset.
static PeerPort *peerOf(StandinHandle *record) {
    PeerPort &port = Peers[record->comNumber];
    if (!port.attached || !port.open || port.generation != record->fd) {
        return NULL;
    }
    return &port;
}

BOOL serialClose(StandinHandle *record) {
    if (record->kind == HANDLE_SERIAL) {
        ioctl(record->fd, TIOCNXCL);
        close(record->fd);  // drops the lock with it
        return TRUE;
    }
    PeerPort *port = peerOf(record);
    if (port != NULL) {
        port->open = 0;
        port->pending.clear();  // what the device sends to a closed port is lost
        if (port->peer.onClose != NULL) {
            port->peer.onClose(port->peer.context);
        }
    }
    return TRUE;
}

// ----- time-outs

// When a read or write gives up, from the COMMTIMEOUTS and the byte count, as Windows
// reads them. UINT64_MAX: never.
struct ReadPlan {
    BYTE immediate;       // return at once with what has arrived
    BYTE firstByteEnds;   // return as soon as anything has arrived
    uint64_t totalMs;     // UINT64_MAX: no total time-out
    uint64_t intervalMs;  // UINT64_MAX: no interval time-out
};

static ReadPlan planRead(const COMMTIMEOUTS &t, DWORD toRead) {
    ReadPlan plan = {0, 0, UINT64_MAX, UINT64_MAX};
    if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
        t.ReadTotalTimeoutConstant == 0) {
        plan.immediate = 1;
        return plan;
    }
    if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
        t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != MAXDWORD) {
        plan.firstByteEnds = 1;
        plan.totalMs = t.ReadTotalTimeoutConstant;
        return plan;
    }
    if (t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0) {
        plan.totalMs = (uint64_t)t.ReadTotalTimeoutMultiplier * toRead + t.ReadTotalTimeoutConstant;
    }
    if (t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != MAXDWORD) {
        plan.intervalMs = t.ReadIntervalTimeout;
    }
    return plan;
}

static uint64_t writeDeadline(const COMMTIMEOUTS &t, DWORD toWrite, uint64_t start) {
    if (t.WriteTotalTimeoutMultiplier == 0 && t.WriteTotalTimeoutConstant == 0) {
        return UINT64_MAX;
    }
    return start + (uint64_t)t.WriteTotalTimeoutMultiplier * toWrite + t.WriteTotalTimeoutConstant;
}

static void warnForever(const char *what) {
    fprintf(stderr, "stand-in: %s waits for ever: nothing can arrive on this thread\n", what);
}

// ----- reads and writes on a device

static BOOL deviceRead(StandinHandle *record, BYTE *buffer, DWORD toRead, DWORD *read) {
    ReadPlan plan = planRead(record->timeouts, toRead);
    uint64_t start = realClockNow();
    uint64_t lastByte = start;
    DWORD done = 0;
    BYTE lineDown = 0;  // poll reported a hang-up: what is buffered is all there will be
    for (;;) {
        BYTE hungUp = 0;
        DWORD before = done;
        while (done < toRead) {
            ssize_t got = ::read(record->fd, buffer + done, toRead - done);
            if (got > 0) {
                done += (DWORD)got;
                lastByte = realClockNow();
                continue;
            }
            if (got < 0 && errno == EINTR) {
                continue;
            }
            // A raw tty answers 0 when nothing is there; EIO: the far side hung up (a pty
            // whose master is gone); 0 from anything else: the end of it.
            hungUp = got == 0 ? !record->isTty : errno != EAGAIN;
            break;
        }
        if (lineDown && done == before) {
            hungUp = 1;
        }
        if (done == toRead || hungUp || plan.immediate || (plan.firstByteEnds && done > 0)) {
            break;
        }
        uint64_t deadline = plan.totalMs == UINT64_MAX ? UINT64_MAX : start + plan.totalMs;
        if (done > 0 && plan.intervalMs != UINT64_MAX && lastByte + plan.intervalMs < deadline) {
            deadline = lastByte + plan.intervalMs;
        }
        uint64_t now = realClockNow();
        if (deadline != UINT64_MAX && now >= deadline) {
            break;
        }
        struct pollfd watch = {record->fd, POLLIN, 0};
        int waitMs = deadline == UINT64_MAX ? -1 : (int)(deadline - now);
        if (poll(&watch, 1, waitMs) > 0 && (watch.revents & (POLLHUP | POLLERR | POLLNVAL))) {
            lineDown = 1;
        }
    }
    *read = done;
    return TRUE;  // a time-out is no error: the count tells
}

static BOOL deviceWrite(StandinHandle *record, const BYTE *buffer, DWORD toWrite, DWORD *written) {
    uint64_t deadline = writeDeadline(record->timeouts, toWrite, realClockNow());
    DWORD done = 0;
    while (done < toWrite) {
        ssize_t put = ::write(record->fd, buffer + done, toWrite - done);
        if (put > 0) {
            done += (DWORD)put;
            continue;
        }
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put < 0 && errno != EAGAIN) {
            *written = done;
            SetLastError(ERROR_GEN_FAILURE);  // the line is gone
            return FALSE;
        }
        uint64_t now = realClockNow();
        if (deadline != UINT64_MAX && now >= deadline) {
            break;  // Windows reports a write time-out as success with a short count
        }
        struct pollfd watch = {record->fd, POLLOUT, 0};
        int waitMs = deadline == UINT64_MAX ? -1 : (int)(deadline - now);
        poll(&watch, 1, waitMs);
    }
    *written = done;
    return TRUE;
}

// ----- reads and writes on an in-process device

static DWORD takeDelivered(PeerPort *port, BYTE *buffer, DWORD room) {
    uint64_t now = clockNow();
    DWORD got = 0;
    while (got < room && !port->pending.empty() && port->pending.front().due <= now) {
        buffer[got++] = port->pending.front().value;
        port->pending.pop_front();
    }
    return got;
}

static BOOL peerRead(StandinHandle *record, BYTE *buffer, DWORD toRead, DWORD *read) {
    ReadPlan plan = planRead(record->timeouts, toRead);
    uint64_t start = clockNow();
    uint64_t lastByte = start;
    DWORD done = 0;
    for (;;) {
        PeerPort *port = peerOf(record);
        if (port == NULL) {
            break;  // the device went away: nothing more will come
        }
        DWORD got = takeDelivered(port, buffer + done, toRead - done);
        if (got > 0) {
            done += got;
            lastByte = clockNow();
        }
        if (done == toRead || plan.immediate || (plan.firstByteEnds && done > 0)) {
            break;
        }
        uint64_t deadline = plan.totalMs == UINT64_MAX ? UINT64_MAX : start + plan.totalMs;
        if (done > 0 && plan.intervalMs != UINT64_MAX && lastByte + plan.intervalMs < deadline) {
            deadline = lastByte + plan.intervalMs;
        }
        uint64_t now = clockNow();
        if (deadline != UINT64_MAX && now >= deadline) {
            break;
        }
        uint64_t next = port->pending.empty() ? UINT64_MAX : port->pending.front().due;
        if (next == UINT64_MAX && deadline == UINT64_MAX) {
            warnForever("ReadFile on an in-process port");
            for (;;) {
                pause();
            }
        }
        clockWaitUntil(next < deadline ? next : deadline);
    }
    *read = done;
    return TRUE;
}

static BOOL peerWrite(StandinHandle *record, const BYTE *buffer, DWORD toWrite, DWORD *written) {
    DWORD done = 0;
    while (done < toWrite) {
        PeerPort *port = peerOf(record);
        if (port == NULL) {
            *written = done;
            SetLastError(ERROR_GEN_FAILURE);
            return FALSE;
        }
        BYTE value = buffer[done++];
        if (port->peer.onByte != NULL) {
            port->peer.onByte(port->peer.context, value);
        }
    }
    *written = done;
    return TRUE;
}

BOOL serialRead(StandinHandle *record, BYTE *buffer, DWORD toRead, DWORD *read) {
    *read = 0;
    if (toRead == 0) {
        return TRUE;
    }
    return record->kind == HANDLE_SERIAL ? deviceRead(record, buffer, toRead, read)
                                         : peerRead(record, buffer, toRead, read);
}

BOOL serialWrite(StandinHandle *record, const BYTE *buffer, DWORD toWrite, DWORD *written) {
    *written = 0;
    if (toWrite == 0) {
        return TRUE;
    }
    return record->kind == HANDLE_SERIAL ? deviceWrite(record, buffer, toWrite, written)
                                         : peerWrite(record, buffer, toWrite, written);
}

// ----- line settings

struct BaudEntry {
    DWORD rate;
    speed_t code;
};
static const BaudEntry BaudRates[] = {
    {110, B110},       {300, B300},         {600, B600},         {1200, B1200},
    {1800, B1800},     {2400, B2400},       {4800, B4800},       {9600, B9600},
    {19200, B19200},   {38400, B38400},     {57600, B57600},     {115200, B115200},
    {230400, B230400}, {460800, B460800},   {500000, B500000},   {576000, B576000},
    {921600, B921600}, {1000000, B1000000}, {1500000, B1500000}, {2000000, B2000000},
};
static const int BaudRateCount = (int)(sizeof BaudRates / sizeof BaudRates[0]);

static BYTE baudCode(DWORD rate, speed_t *code) {
    for (int i = 0; i < BaudRateCount; i++) {
        if (BaudRates[i].rate == rate) {
            *code = BaudRates[i].code;
            return 1;
        }
    }
    return 0;
}

static DWORD baudRate(speed_t code) {
    for (int i = 0; i < BaudRateCount; i++) {
        if (BaudRates[i].code == code) {
            return BaudRates[i].rate;
        }
    }
    return 0;
}

// The settings a port can take; what Windows refuses with ERROR_INVALID_PARAMETER.
static BYTE dcbValid(const DCB *dcb) {
    speed_t code = B9600;
    return dcb->BaudRate != 0 && baudCode(dcb->BaudRate, &code) && dcb->ByteSize >= 5 &&
           dcb->ByteSize <= 8 && dcb->Parity <= 4 && dcb->StopBits <= TWOSTOPBITS;
}

// A port handle of either kind, or NULL with the last error set.
static StandinHandle *portOf(HANDLE handle) {
    StandinHandle *record = handleGet(handle);
    if (record == NULL) {
        return NULL;
    }
    if (record->kind != HANDLE_SERIAL && record->kind != HANDLE_PEER) {
        SetLastError(ERROR_INVALID_FUNCTION);  // a disk file has no line settings
        return NULL;
    }
    return record;
}

static void setModemLine(int fd, int line, BYTE on) {
    // A pty has no modem lines; the settings still take, as they do under Wine.
    ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line);
}

BOOL WINAPI SetCommState(HANDLE port, LPDCB dcb) {
    StandinHandle *record = portOf(port);
    if (record == NULL) {
        return FALSE;
    }
    if (dcb == NULL || !dcbValid(dcb)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (record->kind == HANDLE_PEER) {
        PeerPort *peer = peerOf(record);
        if (peer != NULL) {
            peer->dcb = *dcb;
            peer->dcbSet = 1;
        }
        record->dcb = *dcb;
        record->dcbSet = 1;
        return TRUE;
    }

    struct termios tio;
    if (tcgetattr(record->fd, &tio) != 0) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    // Raw bytes always: no line editing, echo, signals or character translation.
    tio.c_iflag &= ~(tcflag_t)(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                               IXOFF | IXANY | INPCK | IGNPAR);
    tio.c_oflag &= ~(tcflag_t)OPOST;
    tio.c_lflag &= ~(tcflag_t)(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~(tcflag_t)(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    tio.c_cflag |= CREAD | CLOCAL;
    static const tcflag_t Sizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag |= Sizes[dcb->ByteSize - 5];
    switch (dcb->Parity) {
        case ODDPARITY:
            tio.c_cflag |= PARENB | PARODD;
            break;
        case EVENPARITY:
            tio.c_cflag |= PARENB;
            break;
        case 3:  // mark
            tio.c_cflag |= PARENB | PARODD | CMSPAR;
            break;
        case 4:  // space
            tio.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    if (dcb->StopBits != ONESTOPBIT) {
        tio.c_cflag |= CSTOPB;  // termios has no 1.5: two is the nearest
    }
    if (dcb->fOutxCtsFlow || dcb->fRtsControl == RTS_CONTROL_HANDSHAKE) {
        tio.c_cflag |= CRTSCTS;
    }
    if (dcb->fParity) {
        tio.c_iflag |= INPCK;
    }
    if (dcb->fOutX) {
        tio.c_iflag |= IXON;
    }
    if (dcb->fInX) {
        tio.c_iflag |= IXOFF;
    }
    if (dcb->XonChar != 0) {
        tio.c_cc[VSTART] = (cc_t)dcb->XonChar;
    }
    if (dcb->XoffChar != 0) {
        tio.c_cc[VSTOP] = (cc_t)dcb->XoffChar;
    }
    tio.c_cc[VMIN] = 0;  // the waiting is done here, with poll
    tio.c_cc[VTIME] = 0;
    speed_t code = B9600;
    baudCode(dcb->BaudRate, &code);
    cfsetispeed(&tio, code);
    cfsetospeed(&tio, code);
    if (tcsetattr(record->fd, TCSANOW, &tio) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (dcb->fDtrControl != DTR_CONTROL_HANDSHAKE) {
        setModemLine(record->fd, TIOCM_DTR, dcb->fDtrControl == DTR_CONTROL_ENABLE);
    }
    if (dcb->fRtsControl == RTS_CONTROL_ENABLE || dcb->fRtsControl == RTS_CONTROL_DISABLE) {
        setModemLine(record->fd, TIOCM_RTS, dcb->fRtsControl == RTS_CONTROL_ENABLE);
    }
    record->dcb = *dcb;
    record->dcbSet = 1;
    return TRUE;
}

BOOL WINAPI GetCommState(HANDLE port, LPDCB dcb) {
    StandinHandle *record = portOf(port);
    if (record == NULL) {
        return FALSE;
    }
    if (dcb == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (record->kind == HANDLE_PEER) {
        *dcb = record->dcb;
        dcb->DCBlength = sizeof(DCB);
        return TRUE;
    }
    struct termios tio;
    if (tcgetattr(record->fd, &tio) != 0) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    // What termios holds comes from the device; the rest is what the program last set.
    DCB out = record->dcb;
    out.DCBlength = sizeof(DCB);
    out.fBinary = 1;
    out.BaudRate = baudRate(cfgetospeed(&tio));
    switch (tio.c_cflag & CSIZE) {
        case CS5:
            out.ByteSize = 5;
            break;
        case CS6:
            out.ByteSize = 6;
            break;
        case CS7:
            out.ByteSize = 7;
            break;
        default:
            out.ByteSize = 8;
            break;
    }
    if (!(tio.c_cflag & PARENB)) {
        out.Parity = NOPARITY;
    } else if (tio.c_cflag & CMSPAR) {
        out.Parity = (tio.c_cflag & PARODD) ? 3 : 4;
    } else {
        out.Parity = (tio.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    }
    out.StopBits = (tio.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
    if (out.StopBits == TWOSTOPBITS && record->dcbSet && record->dcb.StopBits == ONE5STOPBITS) {
        out.StopBits = ONE5STOPBITS;
    }
    out.fParity = (tio.c_iflag & INPCK) ? 1 : 0;
    out.fOutxCtsFlow = (tio.c_cflag & CRTSCTS) ? 1 : 0;
    if (tio.c_cflag & CRTSCTS) {
        out.fRtsControl = RTS_CONTROL_HANDSHAKE;
    } else if (out.fRtsControl == RTS_CONTROL_HANDSHAKE) {
        out.fRtsControl = RTS_CONTROL_ENABLE;
    }
    out.fOutX = (tio.c_iflag & IXON) ? 1 : 0;
    out.fInX = (tio.c_iflag & IXOFF) ? 1 : 0;
    out.XonChar = (char)tio.c_cc[VSTART];
    out.XoffChar = (char)tio.c_cc[VSTOP];
    int lines = 0;
    if (ioctl(record->fd, TIOCMGET, &lines) == 0) {
        if (out.fDtrControl != DTR_CONTROL_HANDSHAKE) {
            out.fDtrControl = (lines & TIOCM_DTR) ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
        }
        if (out.fRtsControl == RTS_CONTROL_ENABLE || out.fRtsControl == RTS_CONTROL_DISABLE) {
            out.fRtsControl = (lines & TIOCM_RTS) ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
        }
    }
    *dcb = out;
    return TRUE;
}

BOOL WINAPI GetCommTimeouts(HANDLE port, LPCOMMTIMEOUTS timeouts) {
    StandinHandle *record = portOf(port);
    if (record == NULL) {
        return FALSE;
    }
    if (timeouts == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *timeouts = record->timeouts;
    return TRUE;
}

BOOL WINAPI SetCommTimeouts(HANDLE port, LPCOMMTIMEOUTS timeouts) {
    StandinHandle *record = portOf(port);
    if (record == NULL) {
        return FALSE;
    }
    // All three read values at MAXDWORD is the one combination Windows refuses.
    if (timeouts == NULL || (timeouts->ReadIntervalTimeout == MAXDWORD &&
                             timeouts->ReadTotalTimeoutMultiplier == MAXDWORD &&
                             timeouts->ReadTotalTimeoutConstant == MAXDWORD)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    record->timeouts = *timeouts;
    return TRUE;
}

BOOL WINAPI EscapeCommFunction(HANDLE port, DWORD function) {
    StandinHandle *record = portOf(port);
    if (record == NULL) {
        return FALSE;
    }
    if (function < SETXOFF || function > CLRBREAK || function == 7) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (record->kind == HANDLE_PEER) {
        return TRUE;  // the in-process device has all the lines
    }
    int fd = record->fd;
    int line = 0;
    int result = 0;
    switch (function) {
        case SETDTR:
        case CLRDTR:
            line = TIOCM_DTR;
            result = ioctl(fd, function == SETDTR ? TIOCMBIS : TIOCMBIC, &line);
            break;
        case SETRTS:
        case CLRRTS:
            line = TIOCM_RTS;
            result = ioctl(fd, function == SETRTS ? TIOCMBIS : TIOCMBIC, &line);
            break;
        case SETXOFF:
            result = tcflow(fd, TCOOFF);
            break;
        case SETXON:
            result = tcflow(fd, TCOON);
            break;
        case SETBREAK:
            result = ioctl(fd, TIOCSBRK);
            break;
        case CLRBREAK:
            result = ioctl(fd, TIOCCBRK);
            break;
    }
    if (result != 0) {
        // A pty has no modem lines: Wine answers ERROR_NOT_SUPPORTED there.
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    return TRUE;
}

// ----- the in-process device, for the tests

void standinAttachPeer(int comNumber, const StandinPeer *peer) {
    if (comNumber < 1 || comNumber > MAX_PEER_COM) {
        return;
    }
    PeerPort &port = Peers[comNumber];
    if (peer == NULL) {
        port.attached = 0;
        port.open = 0;
        port.generation++;
        port.pending.clear();
        return;
    }
    port.attached = 1;
    port.peer = *peer;
}

void standinPeerSend(int comNumber, const BYTE *bytes, int length, DWORD delayMs) {
    if (comNumber < 1 || comNumber > MAX_PEER_COM || bytes == NULL) {
        return;
    }
    PeerPort &port = Peers[comNumber];
    if (!port.attached || !port.open) {
        return;  // nobody listens on a closed port
    }
    // Bytes leave in the order sent: a short delay never overtakes an earlier byte.
    uint64_t due = clockNow() + delayMs;
    if (!port.pending.empty() && port.pending.back().due > due) {
        due = port.pending.back().due;
    }
    for (int i = 0; i < length; i++) {
        PeerDelivery delivery = {due, bytes[i]};
        port.pending.push_back(delivery);
    }
}

BOOL standinPeerDcb(int comNumber, DCB *dcb) {
    if (comNumber < 1 || comNumber > MAX_PEER_COM || dcb == NULL) {
        return FALSE;
    }
    PeerPort &port = Peers[comNumber];
    if (!port.attached || !port.dcbSet) {
        return FALSE;
    }
    *dcb = port.dcb;
    return TRUE;
}

uint64_t peerNextDelivery() {
    uint64_t next = 0;
    for (int n = 1; n <= MAX_PEER_COM; n++) {
        const PeerPort &port = Peers[n];
        if (port.attached && port.open && !port.pending.empty()) {
            uint64_t due = port.pending.front().due;
            if (next == 0 || due < next) {
                next = due;
            }
        }
    }
    return next;
}

void peerReset() {
    for (int n = 1; n <= MAX_PEER_COM; n++) {
        PeerPort &port = Peers[n];
        port.attached = 0;
        port.open = 0;
        port.generation++;
        port.pending.clear();
        port.dcbSet = 0;
        memset(&port.peer, 0, sizeof port.peer);
    }
}
