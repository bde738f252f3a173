// The serial link and tick waits. The port is open only during a run; bytes that arrive are
// moved into the ring one per dispatched message, and the waits pump the GUI thread's queue
// so that the window repaints and the tick timer counts down while the protocol waits.
#include "link/link.h"

#include <string.h>

#include <atomic>

#include "events/events.h"

LinkSettingsData LinkSettings = {1, 9600};
ReceiveRingData ReceiveRing;
HANDLE SerialLink = 0;
int TickCountdown = 0;
BYTE lastReceived = 0;
BYTE LinkQuitPending = 0;
DWORD LinkLostError = 0;

// Set by requestStop (1) and requestStopNow (2), from a signal handler or another thread: read
// and written whole.
static std::atomic<int> StopRequested(0);

// The window that hosts the tick timer and the id SetTimer gave back (0: no timer).
static HWND TickWindow = 0;
static UINT_PTR TickTimerId = 0;

// Write time-outs: 10 ms a byte plus 1000 ms. Reads return at once with what has arrived.
const DWORD WRITE_TIMEOUT_PER_BYTE_MS = 10;
const DWORD WRITE_TIMEOUT_CONSTANT_MS = 1000;

// Backstop for a wait whose ticks stopped coming (timer killed without the window going):
// three times the nominal length plus three seconds on the system clock. Ticks that are
// merely late never reach it.
static DWORD backstopFor(int ticks) {
    return (DWORD)ticks * TICK_PERIOD_MS * 3 + 3000;
}

void startTicks(HWND window) {
    TickWindow = window;
    TickTimerId = SetTimer(window, TICK_TIMER_ID, TICK_PERIOD_MS, NULL);
}

void stopTicks(HWND window) {
    KillTimer(window, TickTimerId);
    TickTimerId = 0;
}

void onTick(WPARAM timerId) {
    if (timerId == TICK_TIMER_ID && TickCountdown != 0) {
        TickCountdown--;
    }
}

void setPort(int portNumber) {
    LinkSettings.portNumber = portNumber;
}

void setBaud(int baudRate) {
    LinkSettings.baudRate = baudRate;
}

void applyLinkSettings(DCB *dcb, BYTE byteSize, BYTE parity) {
    dcb->BaudRate = (DWORD)LinkSettings.baudRate;
    dcb->ByteSize = byteSize;
    dcb->Parity = parity;
    dcb->StopBits = ONESTOPBIT;
    // The flag bits below; the rest of the flag word, bit 15 and up, stays as read.
    dcb->fBinary = 1;
    dcb->fParity = 1;  // parity checking on
    // No hardware handshake: neither CTS nor DSR holds the output back, DSR gates no input;
    // DTR and RTS are simply held on.
    dcb->fOutxCtsFlow = dcb->fOutxDsrFlow = dcb->fDsrSensitivity = 0;
    dcb->fDtrControl = DTR_CONTROL_ENABLE;
    dcb->fRtsControl = RTS_CONTROL_ENABLE;
    // No XON/XOFF either way, and sending goes on after an XOFF.
    dcb->fOutX = dcb->fInX = 0;
    dcb->fTXContinueOnXoff = 1;
    // Bytes with errors and null bytes come through as they are; an error aborts nothing.
    dcb->fErrorChar = dcb->fNull = dcb->fAbortOnError = 0;
}

// Tells the run's listener why the port could not be set up, with the system's reason.
static void portFailed(LPCSTR text) {
    DWORD error = GetLastError();
    tellPortFailed(runListener(), text, error);
}

BYTE openLink(BYTE byteSize, BYTE parity) {
    // Every run starts from an empty ring and no quit seen, however the last one ended and
    // whether or not this open succeeds: a surplus answer from the last run must not answer
    // this run's first wait. A quit seen earlier was posted again and stays with the main loop.
    ReceiveRing.writeIndex = 0;
    ReceiveRing.readIndex = 0;
    ReceiveRing.count = 0;
    LinkQuitPending = 0;
    LinkLostError = 0;

    char name[16];
    // COM1 to COM9 by their own names; from COM10 up (USB adapters, from the console
    // program) Windows knows a port only by its device name.
    const char *format = LinkSettings.portNumber < 10 ? "COM%d" : "\\\\.\\COM%d";
    wsprintfA(name, format, LinkSettings.portNumber);
    SerialLink = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (SerialLink == INVALID_HANDLE_VALUE) {
        portFailed("Unable to open the port");
        return 0;
    }

    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof(DCB);
    GetCommState(SerialLink, &dcb);
    applyLinkSettings(&dcb, byteSize, parity);
    // A port that refuses the settings stays open with its previous line settings and the
    // run goes on over it; its time-outs are still set below, so that no read can block
    // the window and no write can hang on a handshake the last program left on.
    BYTE configured = SetCommState(SerialLink, &dcb) ? 1 : 0;
    if (!configured) {
        portFailed("Unable to configure the serial port");
    }

    COMMTIMEOUTS timeouts;
    memset(&timeouts, 0, sizeof timeouts);
    GetCommTimeouts(SerialLink, &timeouts);
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = WRITE_TIMEOUT_PER_BYTE_MS;
    timeouts.WriteTotalTimeoutConstant = WRITE_TIMEOUT_CONSTANT_MS;
    if (!SetCommTimeouts(SerialLink, &timeouts)) {
        if (configured) {
            portFailed("Unable to set the time-out parameters");
        }
        // Under the old time-outs a read could block the window: give the port up, so the
        // run fails at its first step as when the port could not be opened.
        CloseHandle(SerialLink);
        SerialLink = INVALID_HANDLE_VALUE;
        return 0;
    }
    if (!configured) {
        return 0;
    }

    EscapeCommFunction(SerialLink, SETDTR);
    EscapeCommFunction(SerialLink, SETRTS);
    tellPortOpened(runListener());
    return 1;
}

BYTE closeLink() {
    if (SerialLink == INVALID_HANDLE_VALUE) {
        return 0;
    }
    if (!CloseHandle(SerialLink)) {
        GetLastError();
        return 0;
    }
    SerialLink = INVALID_HANDLE_VALUE;
    return 1;
}

// clang-format off
// What Windows gives for a port whose USB adapter was pulled out; the stand-in gives the
// same for a tty that hung up.
static const DWORD PortGoneErrors[] = {
    ERROR_BAD_COMMAND,           // the device no longer takes requests
    ERROR_GEN_FAILURE,           // a device attached to the system is not functioning
    ERROR_DEVICE_NOT_CONNECTED,  // the device is not connected
    ERROR_OPERATION_ABORTED,     // the request was cut off as the device went
};
// clang-format on

BYTE portGoneError(DWORD systemError) {
    for (DWORD gone : PortGoneErrors) {
        if (systemError == gone) {
            return 1;
        }
    }
    return 0;
}

// A failed write or read: any other failure is dropped (a dead link shows up as answer
// timeouts), a port that went away is told once a run.
static void noteFailure() {
    DWORD error = GetLastError();
    if (portGoneError(error) && LinkLostError == 0 && SerialLink != INVALID_HANDLE_VALUE) {
        LinkLostError = error;
        tellPortLost(runListener(), error);
    }
}

BYTE linkLost() {
    return Policy.stopsWhenLost && LinkLostError != 0;
}

void writeByte(BYTE value) {
    DWORD written = 0;
    if (!WriteFile(SerialLink, &value, 1, &written, NULL)) {
        noteFailure();
    }
}

void pollPort() {
    BYTE value;
    DWORD got = 0;
    if (!ReadFile(SerialLink, &value, 1, &got, NULL)) {
        noteFailure();
        return;
    }
    if (got == 0) {
        return;
    }
    // A full ring drops the newest byte: the unread ones are the answers the waits are after,
    // and a thousand unread bytes are noise whichever way they are cut.
    if (ReceiveRing.count >= RECEIVE_RING_SIZE) {
        return;
    }
    ReceiveRing.count += (int)got;
    ReceiveRing.bytes[ReceiveRing.writeIndex] = value;
    ReceiveRing.writeIndex = (ReceiveRing.writeIndex + 1) % RECEIVE_RING_SIZE;
}

BYTE takeByte(BYTE *out) {
    if (ReceiveRing.count <= 0) {
        return 0;
    }
    *out = ReceiveRing.bytes[ReceiveRing.readIndex];
    ReceiveRing.readIndex = (ReceiveRing.readIndex + 1) % RECEIVE_RING_SIZE;
    ReceiveRing.count--;
    return 1;
}

void requestStop() {
    int none = 0;  // a stop already asked for now stays so
    StopRequested.compare_exchange_strong(none, 1);
}

void requestStopNow() {
    StopRequested = 2;
}

BYTE linkStoppedNow() {
    return StopRequested == 2;
}

BYTE linkClosing() {
    return LinkQuitPending || linkLost() || (TickWindow != 0 && !IsWindow(TickWindow)) ||
           linkStoppedNow();
}

BYTE linkQuitting() {
    return StopRequested || linkClosing();
}

// A wait cannot end by its ticks once the program is quitting or the tick timer is gone.
static BYTE ticksCanArrive() {
    return !linkQuitting() && TickTimerId != 0;
}

// How long pumpOneMessage may block for the current wait (system clock, milliseconds).
static DWORD WaitDeadline = 0;

static BYTE pastDeadline() {
    return (LONG)(GetTickCount() - WaitDeadline) >= 0;
}

BYTE waitForByte() {
    TickCountdown = ANSWER_TIMEOUT_TICKS;
    WaitDeadline = GetTickCount() + backstopFor(ANSWER_TIMEOUT_TICKS);
    for (;;) {
        // The ring comes first: a byte already waiting is returned at once.
        if (takeByte(&lastReceived)) {
            return 1;
        }
        // A stop asked for still lets the device's answer to what went come (or time out).
        if (TickCountdown == 0 || linkClosing() || TickTimerId == 0 || pastDeadline()) {
            return 0;
        }
        pumpOneMessage();
    }
}

void delayTicks(int ticks) {
    TickCountdown = ticks;
    if (ticks <= 0) {
        return;
    }
    WaitDeadline = GetTickCount() + backstopFor(ticks);
    while (TickCountdown > 0 && ticksCanArrive() && !pastDeadline()) {
        pumpOneMessage();
    }
}

void pumpOneMessage() {
    MSG msg;
    if (!PeekMessageA(&msg, NULL, 0, 0, PM_NOREMOVE)) {
        // Nothing queued: sleep until something is (the tick comes every 10 ms) instead of
        // spinning; the caller looks at the ring and the countdown again either way.
        DWORD now = GetTickCount();
        DWORD left = pastDeadline() ? 0 : WaitDeadline - now;
        MsgWaitForMultipleObjects(0, NULL, FALSE, left, QS_ALLINPUT);
        return;
    }
    // One byte from the port per dispatched message.
    pollPort();
    BOOL got = GetMessageA(&msg, NULL, 0, 0);
    if (got == 0) {
        // The quit belongs to the main loop: post it again and let every wait end at once.
        LinkQuitPending = 1;
        PostQuitMessage((int)msg.wParam);
        return;
    }
    if (got == -1) {
        return;
    }
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
}
