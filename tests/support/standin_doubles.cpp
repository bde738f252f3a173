// The test doubles behind standin_doubles.h: the virtual clock, the in-process devices on
// COM1 to COM9 and the recordings, all handed to the stand-in as its hook. The stand-in's
// calls themselves (queues, windows, ports) are platform/'s.
#include "tests/support/standin_doubles.h"

#include <errno.h>
#include <string.h>
#include <time.h>

#include <deque>
#include <vector>

#include "platform/standin_hook.h"

namespace {

// ----- the clock

BYTE VirtualOn = 0;
uint64_t VirtualNow = 0;

uint64_t realNow() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t)now.tv_sec * 1000u + (uint64_t)now.tv_nsec / 1000000u;
}

uint64_t now() {
    return VirtualOn ? VirtualNow : realNow();
}

void waitUntil(uint64_t when) {
    if (VirtualOn) {
        VirtualNow = when > VirtualNow ? when : VirtualNow;
        return;
    }
    uint64_t from = realNow();
    if (when <= from) {
        return;
    }
    struct timespec left = {(time_t)((when - from) / 1000u),
                            (long)((when - from) % 1000u) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// ----- the in-process devices: their callbacks and the bytes each has sent, with the time
// on the clock in use when they become readable.

const int MAX_PEER_COM = 9;
struct Delivery {
    uint64_t due;
    BYTE value;
};
struct PeerPort {
    BYTE attached;
    BYTE open;
    StandinPeer peer;
    std::deque<Delivery> pending;
    DCB dcb;
    BYTE dcbSet;
    BYTE refuses[2];             // a test's fault: settings (0) or time-outs (1) refused
    std::vector<DWORD> escapes;  // EscapeCommFunction calls, in order
};
PeerPort Peers[MAX_PEER_COM + 1];
DWORD ShortenNextRead = 0xFFFFFFFFu;  // all ones: reads are whole

PeerPort *attached(int comNumber) {
    return comNumber >= 1 && comNumber <= MAX_PEER_COM && Peers[comNumber].attached
               ? &Peers[comNumber]
               : NULL;
}

int portOpen(int comNumber) {
    PeerPort *port = attached(comNumber);
    if (port == NULL) {
        return 0;
    }
    if (port->open) {
        return -1;  // one owner at a time, as for any COM port
    }
    port->open = 1;
    port->pending.clear();
    if (port->peer.onOpen != NULL) {
        port->peer.onOpen(port->peer.context);
    }
    return 1;
}

int portRead(int comNumber, BYTE *buffer, DWORD room) {
    PeerPort *port = attached(comNumber);
    if (port == NULL || !port->open) {
        return -1;  // the device went away: nothing more will come
    }
    uint64_t at = now();
    DWORD got = 0;
    while (got < room && !port->pending.empty() && port->pending.front().due <= at) {
        buffer[got++] = port->pending.front().value;
        port->pending.pop_front();
    }
    return (int)got;
}

uint64_t portNextArrival(int comNumber) {
    PeerPort *port = attached(comNumber);
    return port != NULL && port->open && !port->pending.empty() ? port->pending.front().due : 0;
}

BYTE portWrite(int comNumber, BYTE value) {
    PeerPort *port = attached(comNumber);
    if (port == NULL || !port->open) {
        return 0;
    }
    if (port->peer.onByte != NULL) {
        port->peer.onByte(port->peer.context, value);
    }
    return 1;
}

void portSet(int comNumber, const DCB *dcb) {
    PeerPort *port = attached(comNumber);
    if (port != NULL) {
        port->dcb = *dcb;
        port->dcbSet = 1;
    }
}

void portClose(int comNumber) {
    PeerPort *port = attached(comNumber);
    if (port != NULL && port->open) {
        port->open = 0;
        port->pending.clear();  // what the device sends to a closed port is lost
        if (port->peer.onClose != NULL) {
            port->peer.onClose(port->peer.context);
        }
    }
}

BYTE portTakes(int comNumber, int what) {
    PeerPort *port = attached(comNumber);
    return port == NULL || !port->refuses[what != 0];
}

void portEscape(int comNumber, DWORD function) {
    PeerPort *port = attached(comNumber);
    if (port != NULL) {
        port->escapes.push_back(function);
    }
}

DWORD fileReadRoom(DWORD toRead) {
    DWORD room = ShortenNextRead < toRead ? ShortenNextRead : toRead;
    ShortenNextRead = 0xFFFFFFFFu;
    return room;
}

// ----- the recordings

std::vector<StandinDrawnText> Drawn;
std::vector<StandinMessageBox> MessageBoxes;
std::vector<StandinInvalidation> Invalidations;

void copyCut(char *to, size_t room, const char *from, size_t length) {
    length = length < room - 1 ? length : room - 1;
    memcpy(to, from, length);
    to[length] = 0;
}

void drawn(HWND window, LPCSTR text, int length, const RECT *rect, UINT format) {
    StandinDrawnText record;
    memset(&record, 0, sizeof record);
    record.window = window;
    copyCut(record.text, sizeof record.text, text, (size_t)length);
    record.rect = *rect;
    record.format = format;
    Drawn.push_back(record);
}

void invalidated(HWND window, const RECT *rect, BOOL erase) {
    StandinInvalidation record;
    memset(&record, 0, sizeof record);
    record.window = window;
    record.whole = rect == NULL;
    if (rect != NULL) {
        record.rect = *rect;
    }
    record.erase = erase;
    Invalidations.push_back(record);
}

void shown(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    StandinMessageBox record;
    memset(&record, 0, sizeof record);
    record.owner = owner;
    copyCut(record.text, sizeof record.text, text, strlen(text));
    copyCut(record.caption, sizeof record.caption, caption, strlen(caption));
    record.type = type;
    MessageBoxes.push_back(record);
}

const StandinHook Doubles = {now,       waitUntil, portOpen,   portRead,    portNextArrival,
                             portWrite, portSet,   portClose,  drawn,       invalidated,
                             shown,     portTakes, portEscape, fileReadRoom};

// Plugged in as soon as a suite links the doubles: the clock stays real until asked.
struct PlugIn {
    PlugIn() { standinSetHook(&Doubles); }
} plugIn;

}  // namespace

void standinReset() {
    standinSetHook(&Doubles);
    standinForget();
    Drawn.clear();
    MessageBoxes.clear();
    Invalidations.clear();
    for (int n = 1; n <= MAX_PEER_COM; n++) {
        Peers[n] = PeerPort();
    }
    ShortenNextRead = 0xFFFFFFFFu;
    VirtualOn = 0;
}

int standinDrawnCount() {
    return (int)Drawn.size();
}

const StandinDrawnText *standinDrawn(int index) {
    return index >= 0 && index < (int)Drawn.size() ? &Drawn[index] : NULL;
}

void standinClearDrawn() {
    Drawn.clear();
}

int standinMessageBoxCount() {
    return (int)MessageBoxes.size();
}

const StandinMessageBox *standinMessageBox(int index) {
    return index >= 0 && index < (int)MessageBoxes.size() ? &MessageBoxes[index] : NULL;
}

int standinInvalidationCount() {
    return (int)Invalidations.size();
}

const StandinInvalidation *standinInvalidation(int index) {
    return index >= 0 && index < (int)Invalidations.size() ? &Invalidations[index] : NULL;
}

void standinUseVirtualClock(BOOL on) {
    if (on && !VirtualOn) {
        VirtualNow = realNow();  // time goes on from where the real clock stood
    }
    VirtualOn = on ? 1 : 0;
}

DWORD standinNow() {
    return (DWORD)now();
}

void standinSetVirtualTime(DWORD ms) {
    // Forward only, so that no timer or delivery is due before it was set.
    uint64_t next = (VirtualNow & ~(uint64_t)0xffffffffu) | ms;
    if (next < VirtualNow) {
        next += (uint64_t)1 << 32;
    }
    VirtualNow = next;
}

void standinAttachPeer(int comNumber, const StandinPeer *peer) {
    if (comNumber < 1 || comNumber > MAX_PEER_COM) {
        return;
    }
    PeerPort &port = Peers[comNumber];
    port.attached = peer != NULL;
    port.open = 0;
    port.pending.clear();
    if (peer != NULL) {
        port.peer = *peer;
    }
    port.escapes.clear();
}

void standinPeerSend(int comNumber, const BYTE *bytes, int length, DWORD delayMs) {
    PeerPort *port = attached(comNumber);
    if (port == NULL || !port->open) {
        return;  // nobody listens on a closed port
    }
    // Bytes leave in the order sent: a short delay never overtakes an earlier byte.
    uint64_t due = now() + delayMs;
    if (!port->pending.empty() && port->pending.back().due > due) {
        due = port->pending.back().due;
    }
    for (int i = 0; i < length; i++) {
        port->pending.push_back({due, bytes[i]});
    }
}

BOOL standinPeerDcb(int comNumber, DCB *dcb) {
    PeerPort *port = attached(comNumber);
    if (port == NULL || !port->dcbSet) {
        return FALSE;
    }
    *dcb = port->dcb;
    return TRUE;
}

void standinFailCommState(int comNumber, BOOL on) {
    if (comNumber >= 1 && comNumber <= MAX_PEER_COM) {
        Peers[comNumber].refuses[0] = on ? 1 : 0;
    }
}

void standinFailCommTimeouts(int comNumber, BOOL on) {
    if (comNumber >= 1 && comNumber <= MAX_PEER_COM) {
        Peers[comNumber].refuses[1] = on ? 1 : 0;
    }
}

void standinShortenNextFileRead(DWORD bytes) {
    ShortenNextRead = bytes;
}

int standinPeerEscapeCount(int comNumber) {
    PeerPort *port = attached(comNumber);
    return port != NULL ? (int)port->escapes.size() : 0;
}

DWORD standinPeerEscape(int comNumber, int index) {
    PeerPort *port = attached(comNumber);
    return port != NULL && index >= 0 && index < (int)port->escapes.size() ? port->escapes[index]
                                                                           : 0;
}
