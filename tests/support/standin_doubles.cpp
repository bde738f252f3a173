// The doubles behind standin_doubles.h: the virtual clock, defined here in place of the
// stand-in's own clock, and the devices on COM1 to COM9, each at the far end of a pty whose
// bytes the clock moves whenever it waits. The ports themselves are the stand-in's ttys.
#include "tests/support/standin_doubles.h"

#include <errno.h>
#include <fcntl.h>
#include <pty.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <deque>

#include "platform/standin_clock.h"

namespace {

BYTE VirtualOn = 0;
uint64_t VirtualNow = 0;

uint64_t realNow() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t)now.tv_sec * 1000u + (uint64_t)now.tv_nsec / 1000000u;
}

// ----- the devices: the device's end of each pty, and the bytes it has sent with the time on
// the clock when they reach the line.

const int MAX_PEER_COM = 9;
struct Delivery {
    uint64_t due;
    BYTE value;
};
struct PeerLine {
    int device = -1;  // the pty's master
    int port = -1;    // its slave, held so that the line stays up while the program's is shut
    BYTE attached = 0;
    StandinPeer peer = {};
    std::deque<Delivery> pending;
};
PeerLine Lines[MAX_PEER_COM + 1];
BYTE Hearing = 0;

// Reads what the program wrote, for the device if one is attached. A read that finds
// nothing first lets the pty finish moving what is on its way: none is missed.
void hear(PeerLine &line) {
    BYTE bytes[256];
    ssize_t got;
    while (line.device >= 0 && (got = read(line.device, bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < got && line.attached; i++) {
            line.peer.onByte(line.peer.context, bytes[i]);
        }
    }
}

// Puts on the line what the device sent that is due by now.
void deliver(PeerLine &line) {
    while (!line.pending.empty() && line.pending.front().due <= clockNow()) {
        BYTE value = line.pending.front().value;
        line.pending.pop_front();
        if (write(line.device, &value, 1) != 1) {
            break;  // the program's side is full: the byte is lost, as in an overrun
        }
    }
}

// Makes COMn's pty, once: raw both ways from the start, as a null-modem line is.
void makeLine(int comNumber, PeerLine &line) {
    struct termios raw;
    memset(&raw, 0, sizeof raw);
    cfmakeraw(&raw);
    raw.c_cflag |= CREAD | CLOCAL;
    char name[128];
    if (openpty(&line.device, &line.port, name, &raw, NULL) != 0) {
        perror("standin doubles: openpty");
        abort();
    }
    fcntl(line.device, F_SETFL, O_NONBLOCK);
    fcntl(line.port, F_SETFL, O_NONBLOCK);
    char variable[32];
    snprintf(variable, sizeof variable, "MARVANE_COM%d", comNumber);
    setenv(variable, name, 1);
}

}  // namespace

uint64_t clockNow() {
    return VirtualOn ? VirtualNow : realNow();
}

// The device takes what the program wrote, at the time it was written, before time moves on.
void clockWaitUntil(uint64_t when) {
    for (int n = 1; n <= MAX_PEER_COM; n++) {
        standinPeerHear(n);
    }
    if (VirtualOn) {
        VirtualNow = when > VirtualNow ? when : VirtualNow;
    } else if (when > realNow()) {
        uint64_t left = when - realNow();
        struct timespec rest = {(time_t)(left / 1000u), (long)(left % 1000u) * 1000000L};
        while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
        }
    }
    for (int n = 1; n <= MAX_PEER_COM; n++) {
        deliver(Lines[n]);
    }
}

void standinReset() {
    for (int n = 1; n <= MAX_PEER_COM; n++) {
        if (Lines[n].attached) {
            standinAttachPeer(n, NULL);
        }
    }
    VirtualOn = 0;
}

void standinUseVirtualClock(BOOL on) {
    if (on && !VirtualOn) {
        VirtualNow = realNow();  // time goes on from where the real clock stood
    }
    VirtualOn = on ? 1 : 0;
}

DWORD standinNow() {
    return (DWORD)clockNow();
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
    PeerLine &line = Lines[comNumber];
    if (line.device < 0) {
        makeLine(comNumber, line);
    }
    // What either side had not read yet goes, with what the device had not yet sent.
    line.attached = 0;
    hear(line);
    BYTE value;
    while (read(line.port, &value, 1) == 1) {
    }
    line.pending.clear();
    line.attached = peer != NULL;
    if (peer != NULL) {
        line.peer = *peer;
    }
}

void standinPeerSend(int comNumber, const BYTE *bytes, int length, DWORD delayMs) {
    if (comNumber < 1 || comNumber > MAX_PEER_COM || !Lines[comNumber].attached) {
        return;
    }
    std::deque<Delivery> &pending = Lines[comNumber].pending;
    // Bytes leave in the order sent: a short delay never overtakes an earlier byte.
    uint64_t due = clockNow() + delayMs;
    if (!pending.empty() && pending.back().due > due) {
        due = pending.back().due;
    }
    for (int i = 0; i < length; i++) {
        pending.push_back({due, bytes[i]});
    }
}

void standinPeerHear(int comNumber) {
    if (Hearing || comNumber < 1 || comNumber > MAX_PEER_COM) {
        return;
    }
    Hearing = 1;
    hear(Lines[comNumber]);
    Hearing = 0;
}
