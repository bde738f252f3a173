// The simulator's device model (sim::Device) as the controller on a COM port, in process and
// on the virtual clock, at the far end of the pty the stand-in opens: every byte the PC writes
// is kept with its time and handed to the device, whose answers go back over the line.
// Native suites only.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "events/events.h"
#include "tests/support/standin_doubles.h"
#include "tools/sim/device.h"

struct DevicePeer {
    sim::Device device;
    std::function<void()> afterByte;  // the suite's own step after each byte, if any
    int com = 1;

    // How a case starts: the stand-in afresh on its virtual clock, this device on COM1, the
    // run told to `listener`, and the link's ticks from a new window of `hostClass` (its
    // procedure `hostProc`, which passes WM_TIMER to onTick); COM1 at 9600 baud. Returns
    // that window.
    HWND startCase(const char *hostClass, WNDPROC hostProc, RunListener *listener);
    // Attaches to COMn, dropping what was on the line. The port keeps this object: a
    // DevicePeer assigned to it afresh (a new device for the next case) stays attached.
    void attach(int comNumber);
    // Every byte the PC wrote, in order, and the clock when each arrived: what it wrote since
    // the clock last waited is heard first.
    const std::vector<BYTE> &wire();
    const std::vector<DWORD> &when();
    // A fault as marvane-sim's --fault takes it, e.g. "nak-block=1:4".
    void fault(const std::string &text);
    void reply(const sim::Reply &reply) { device.replies.push_back(reply); }

    std::vector<BYTE> heard;  // wire() and when() as heard so far
    std::vector<DWORD> heardAt;
};
