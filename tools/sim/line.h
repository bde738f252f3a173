// The line's timing: the PC's bytes taken no faster than the wire carries them, each answer
// given out once its wire time has passed, waits to the microsecond, and the line's death.
// What the bytes mean is the device's; opening the port is port.cpp's.
#pragma once

#include <signal.h>
#include <stdint.h>

#include <deque>
#include <vector>

#include "tools/sim/device.h"

namespace sim {

// One byte due on the line: `at` is when the answer may start, the wire adds the rest.
struct TxByte {
    Nanos at;
    uint8_t b;
};

struct LineData {
    Nanos byteTime = 0;  // wire time of one byte, 0 = no emulation
    std::deque<TxByte> tx;
    Nanos txFree = 0;
    bool rxHeld = false;  // a byte read from the port is still on the wire
    uint8_t rxByte = 0;
    Nanos rxArrival = 0;
    int rxQueued = 0;      // bytes already queued behind it when it was read...
    Nanos rxQueuedAt = 0;  // ...at this moment, so written by then
    bool dying = false, dead = false;
    Nanos dyingSince = 0;
    // Bytes on the wire, each way, for the report: the bench's wire-time bound counts them.
    long long rxCount = 0, txCount = 0;
};

extern LineData Line;
extern volatile sig_atomic_t Signalled;  // SIGTERM, SIGINT or SIGHUP came: stop

// CLOCK_MONOTONIC in nanoseconds.
Nanos mono();
// Sleeps to an absolute monotonic deadline, so waits never add up their errors.
void sleepUntil(Nanos deadline);
// The PC side's settings, read again; with --baud auto the wire time follows its rate.
void updateLine();
void queueAnswer(Nanos at, const std::vector<uint8_t> &bytes);
// Writes every answer byte whose wire time has come; a dying line dies once it is drained.
void writeDue(Nanos now);
// Reads what the line has brought and hands each byte that has arrived to `deliver`.
void readLineBytes(Nanos now, void (*deliver)(uint8_t b, Nanos t));
// Waits until `deadline`, or sooner for the line's own next event or a byte from the PC.
void waitForLine(Nanos now, Nanos deadline);

}  // namespace sim
