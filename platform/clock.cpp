// The stand-in's clock: GetTickCount, Sleep and the virtual clock of the tests. Waiting for
// messages is the message code's business; it only asks the clock to let time pass.
#include <errno.h>
#include <time.h>

#include "platform/standin_internal.h"
#include "platform/standin_test.h"

static BYTE VirtualOn = 0;
static uint64_t VirtualNow = 0;

uint64_t realClockNow() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t)now.tv_sec * 1000u + (uint64_t)now.tv_nsec / 1000000u;
}

uint64_t clockNow() {
    return VirtualOn ? VirtualNow : realClockNow();
}

BYTE clockIsVirtual() {
    return VirtualOn;
}

static void realSleep(uint64_t ms) {
    struct timespec left;
    left.tv_sec = (time_t)(ms / 1000u);
    left.tv_nsec = (long)(ms % 1000u) * 1000000L;
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

void clockWaitUntil(uint64_t when) {
    if (VirtualOn) {
        if (when > VirtualNow) {
            VirtualNow = when;
        }
        return;
    }
    uint64_t now = realClockNow();
    if (when > now) {
        realSleep(when - now);
    }
}

void clockReset() {
    VirtualOn = 0;
}

void standinUseVirtualClock(BOOL on) {
    if (on && !VirtualOn) {
        VirtualNow = realClockNow();  // time goes on from where the real clock stood
    }
    VirtualOn = on ? 1 : 0;
}

void standinSetVirtualTime(DWORD ms) {
    // Forward only, so that no timer or delivery is due before it was set.
    uint64_t next = (VirtualNow & ~(uint64_t)0xffffffffu) | ms;
    if (next < VirtualNow) {
        next += (uint64_t)1 << 32;
    }
    VirtualNow = next;
}

DWORD standinNow() {
    return (DWORD)clockNow();
}

DWORD WINAPI GetTickCount(void) {
    return (DWORD)clockNow();  // wraps at 2^32 ms, as on Windows
}

void WINAPI Sleep(DWORD milliseconds) {
    if (milliseconds == INFINITE && !VirtualOn) {
        for (;;) {
            realSleep(1000000);
        }
    }
    clockWaitUntil(clockNow() + milliseconds);
}
