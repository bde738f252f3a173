// The line at the wire's speed (8N1: 10 bit times a byte, --baud): answers queued in time
// order and written when due, the PC's bytes timed as they would arrive, and the line's
// death by a fault. Opening and closing the port is port.cpp's, the answers the device's.
#include "tools/sim/line.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include "tools/sim/files.h"
#include "tools/sim/options.h"
#include "tools/sim/port.h"

namespace sim {

LineData Line;
volatile sig_atomic_t Signalled = 0;

namespace {

void killLine() {
    Line.dying = false;
    Line.dead = true;
    Line.tx.clear();
    if (Options.deadSilent) {
        logf("the line is dead: nothing more is answered");
        return;
    }
    logf("the line is dead: closing it");
    closePort();
    Line.rxHeld = false;
    Line.rxQueued = 0;
}

Nanos nextTxTime() {
    if (Line.tx.empty())
        return 0;
    const TxByte &head = Line.tx.front();
    if (!Line.byteTime)
        return head.at;
    return (head.at > Line.txFree ? head.at : Line.txFree) + Line.byteTime;
}

}  // namespace

Nanos mono() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (Nanos)ts.tv_sec * kSecond + ts.tv_nsec;
}

void sleepUntil(Nanos deadline) {
    struct timespec ts;
    ts.tv_sec = deadline / kSecond;
    ts.tv_nsec = deadline % kSecond;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
        if (Signalled)
            return;
    }
}

void updateLine() {
    if (updateSettings() && Options.baudAuto)
        Line.byteTime = Port.baud > 0 ? 10 * kSecond / Port.baud : 0;
}

void queueAnswer(Nanos at, const std::vector<uint8_t> &bytes) {
    // Kept in time order; bytes of equal time keep the order they were given in.
    auto pos = Line.tx.end();
    while (pos != Line.tx.begin() && (pos - 1)->at > at)
        --pos;
    for (uint8_t b : bytes)
        pos = Line.tx.insert(pos, TxByte{at, b}) + 1;
    // Counted as they are queued, so the answer that ends a transfer is in its report line.
    if (!Line.dead)
        Line.txCount += (long long)bytes.size();
}

// With emulation a byte is readable on the PC side once its last bit would have arrived: one
// byte time after the line is free for it.
void writeDue(Nanos now) {
    while (!Line.tx.empty()) {
        const TxByte &head = Line.tx.front();
        Nanos when = nextTxTime();
        if (when > now)
            return;
        if (Port.fd >= 0 && !Line.dead) {
            ssize_t w = write(Port.fd, &head.b, 1);
            if (w != 1)
                logf("answer byte %02X lost: %s", head.b, w < 0 ? strerror(errno) : "");
        }
        Line.txFree = when;
        Line.tx.pop_front();
    }
    if (Line.dying && Line.tx.empty()) {
        // The last answer is on its way: let the PC end take it before the line goes, as a
        // real port would have received it (closing a pty drops what is still queued). The
        // kernel moves written bytes into the queue a little later, hence the 50 ms first.
        int queued = 0;
        if (!Line.dyingSince)
            Line.dyingSince = now;
        if (!Options.deadSilent) {
            if (now - Line.dyingSince < 50 * kMillis)
                return;
            if (Port.slaveFd >= 0 && ioctl(Port.slaveFd, FIONREAD, &queued) == 0 && queued > 0 &&
                now - Line.dyingSince < kSecond)
                return;
        }
        killLine();
    }
}

// With emulation one byte at a time. A byte starts on the wire once the line is free for it
// and the PC has surely written it: by the moment it was seen queued (read, or counted
// behind the byte before), a moment taken after the read. The loop's `now` from before the
// read will not do: a byte written while the loop was held off would count from before it
// was written, and be answered sooner than the wire allows. It counts as arrived one byte
// time after its start; the caller delivers it then.
void readLineBytes(Nanos now, void (*deliver)(uint8_t b, Nanos t)) {
    if (Port.fd < 0)
        return;
    if (Port.pty && Line.byteTime) {
        if (Line.rxHeld)
            return;
        uint8_t b;
        if (read(Port.fd, &b, 1) != 1) {
            Line.rxQueued = 0;  // the queue was emptied another way (a flush): count afresh
            return;
        }
        Nanos seen = Line.rxQueuedAt;
        if (Line.rxQueued > 0) {
            Line.rxQueued--;
        } else {
            int queued = 0;
            if (ioctl(Port.fd, FIONREAD, &queued) != 0 || queued < 0)
                queued = 0;
            seen = mono();  // this byte and the `queued` behind it were all written by now
            Line.rxQueued = queued;
            Line.rxQueuedAt = seen;
        }
        Line.rxHeld = true;
        Line.rxByte = b;
        Line.rxArrival = (seen > Line.rxArrival ? seen : Line.rxArrival) + Line.byteTime;
        return;
    }
    uint8_t buf[4096];
    ssize_t n = read(Port.fd, buf, sizeof buf);
    if (n <= 0)
        return;
    if (Line.dead)
        return;
    for (ssize_t i = 0; i < n; i++)
        deliver(buf[i], now);
}

void waitForLine(Nanos now, Nanos deadline) {
    Nanos txAt = nextTxTime();
    if (txAt && txAt < deadline)
        deadline = txAt;
    if (Line.rxHeld && Line.rxArrival < deadline)
        deadline = Line.rxArrival;
    if (Line.dying && now + 5 * kMillis < deadline)
        deadline = now + 5 * kMillis;
    now = mono();
    if (deadline <= now)
        return;
    if (Line.rxHeld || Port.fd < 0) {
        sleepUntil(deadline);
        return;
    }
    struct pollfd fds[2];
    int nfds = 0;
    fds[nfds++] = {Port.fd, POLLIN, 0};
    if (Port.watchFd >= 0)
        fds[nfds++] = {Port.watchFd, POLLIN, 0};
    struct timespec ts;
    Nanos left = deadline - now;
    ts.tv_sec = left / kSecond;
    ts.tv_nsec = left % kSecond;
    int ready = ppoll(fds, nfds, &ts, nullptr);
    if (ready == 0)
        sleepUntil(deadline);  // never wake a deadline early
    if (ready > 0 && (fds[0].revents & (POLLERR | POLLNVAL)))
        sleepUntil(deadline);
}

}  // namespace sim
