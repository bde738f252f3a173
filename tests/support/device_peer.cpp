// The device model at the far end of a COM port's pty, and the start of a case around it: the
// device's time is the virtual clock, and each answer leaves 2 ms of line time after its frame,
// later when the device delays it.
#include "tests/support/device_peer.h"

#include <gtest/gtest.h>

#include "link/link.h"
#include "tests/support/test_window.h"

namespace {

const DWORD LINE_MS = 2;

void take(void *context, BYTE value) {
    DevicePeer *peer = static_cast<DevicePeer *>(context);
    peer->heard.push_back(value);
    peer->heardAt.push_back(standinNow());
    sim::Nanos now = (sim::Nanos)standinNow() * sim::kMillis;
    sim::Output out;
    peer->device.onByte(value, now, &out);
    for (const sim::Answer &a : out.answers) {
        DWORD delay = (DWORD)((a.at - now) / sim::kMillis) + LINE_MS;
        standinPeerSend(peer->com, a.bytes.data(), (int)a.bytes.size(), delay);
    }
    if (peer->afterByte) {
        peer->afterByte();
    }
}

}  // namespace

HWND DevicePeer::startCase(const char *hostClass, WNDPROC hostProc, RunListener *listener) {
    standinReset();
    standinUseVirtualClock(TRUE);
    attach(1);
    HWND host = testwin::makeWindow(hostClass, hostProc);
    startTicks(host);
    setRunListener(listener);
    setPort(1);
    setBaud(9600);
    return host;
}

void DevicePeer::attach(int comNumber) {
    com = comNumber;
    StandinPeer peer = {&take, this};
    standinAttachPeer(comNumber, &peer);
}

const std::vector<BYTE> &DevicePeer::wire() {
    standinPeerHear(com);
    return heard;
}

const std::vector<DWORD> &DevicePeer::when() {
    standinPeerHear(com);
    return heardAt;
}

void DevicePeer::fault(const std::string &text) {
    sim::Fault parsed;
    std::string error;
    ASSERT_TRUE(sim::parseFault(text, &parsed, &error)) << error;
    device.faults.push_back(parsed);
}
