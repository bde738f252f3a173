// The simulator's device model (sim::Device) as the controller on a stand-in COM port, in
// process and on the clock in use: every byte the PC writes is kept with its time and handed
// to the device, whose answers go back over the port. Native suites only.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "tests/support/standin_doubles.h"
#include "tools/sim/device.h"

struct DevicePeer {
    sim::Device device;
    std::vector<BYTE> wire;           // every byte the PC wrote, in order
    std::vector<DWORD> when;          // the clock when each arrived
    std::function<void()> afterByte;  // the suite's own step after each byte, if any
    int com = 1;

    // Attaches to COMn. The port keeps this object: a DevicePeer assigned to it afresh (a new
    // device for the next case) stays attached.
    void attach(int comNumber);
    // A fault as marvane-sim's --fault takes it, e.g. "nak-block=1:4".
    void fault(const std::string &text);
    void reply(const sim::Reply &reply) { device.replies.push_back(reply); }
};
