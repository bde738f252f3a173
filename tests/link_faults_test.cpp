// Set-up faults and leftovers with the simulator's device model behind a pty, on virtual time:
// a port that refuses its settings, an answer left from the last run, a file that reads short,
// Exit while a block waits for its answer, and what openLink leaves on the port. The faults
// are this suite's: the program's calls of SetCommState, SetCommTimeouts, EscapeCommFunction
// and ReadFile come here first (tests/CMakeLists.txt links it with GNU ld's --wrap). Native
// only; link_test covers the refused settings and the leftover answer with marvane-sim,
// natively and under Wine.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "link/link.h"
#include "tests/support/device_peer.h"
#include "tests/support/event_recorder.h"
#include "tests/support/standin_doubles.h"
#include "protocol/protocol.h"
#include "run/download.h"
#include "run/slots.h"
#include "tests/support/test_window.h"

namespace {

// The faults: a port that refuses its settings or its time-outs (as a driver refuses what it
// cannot take, changing nothing), and the next disk-file read cut to `shortRead` bytes (a file
// that shrank between its size being taken and its read). What the program asked of the
// port is noted on the way.
bool refuseSettings = false, refuseTimeouts = false;
DWORD shortRead = MAXDWORD;
DCB lastSettings;
std::vector<DWORD> escapes;  // EscapeCommFunction's functions, in order

}  // namespace

extern "C" {
BOOL __real__Z12SetCommStatePvP4_DCB(HANDLE, DCB *);
BOOL __real__Z15SetCommTimeoutsPvP13_COMMTIMEOUTS(HANDLE, COMMTIMEOUTS *);
BOOL __real__Z18EscapeCommFunctionPvj(HANDLE, DWORD);
BOOL __real__Z8ReadFilePvS_jPjS_(HANDLE, void *, DWORD, DWORD *, void *);

BOOL __wrap__Z12SetCommStatePvP4_DCB(HANDLE port, DCB *dcb) {
    lastSettings = *dcb;
    return !refuseSettings && __real__Z12SetCommStatePvP4_DCB(port, dcb);
}
BOOL __wrap__Z15SetCommTimeoutsPvP13_COMMTIMEOUTS(HANDLE port, COMMTIMEOUTS *timeouts) {
    return !refuseTimeouts && __real__Z15SetCommTimeoutsPvP13_COMMTIMEOUTS(port, timeouts);
}
BOOL __wrap__Z18EscapeCommFunctionPvj(HANDLE port, DWORD function) {
    escapes.push_back(function);
    return __real__Z18EscapeCommFunctionPvj(port, function);
}
BOOL __wrap__Z8ReadFilePvS_jPjS_(HANDLE file, void *buffer, DWORD toRead, DWORD *read,
                                 void *overlapped) {
    if (file != SerialLink && shortRead < toRead) {
        toRead = shortRead;
        shortRead = MAXDWORD;
    }
    return __real__Z8ReadFilePvS_jPjS_(file, buffer, toRead, read, overlapped);
}
}

namespace {

const UINT MSG_EXIT = WM_USER + 1;
// The header, the PC's ACK, the count frame and block 0 have gone out.
const size_t BLOCK0_END = 6 + 1 + 6 + BLOCK_FRAME_SIZE;

// The main window's stand-in: counts down the ticks and notes when each was dispatched;
// MSG_EXIT destroys it, as Exit does, and so does the first tick after exitAtNextTick is set
// (Exit handled in the very pump that moved an answer into the ring).
std::vector<DWORD> tickTimes;
bool exitAtNextTick = false;

LRESULT CALLBACK hostProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_TIMER) {
        tickTimes.push_back(standinNow());
        onTick(wParam);
        if (exitAtNextTick) {
            exitAtNextTick = false;
            DestroyWindow(window);
        }
        return 0;
    }
    if (message == MSG_EXIT) {
        DestroyWindow(window);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

class LinkFaultsTest : public ::testing::Test {
protected:
    DevicePeer device;  // the controller: the simulator's device model
    EventRecorder recorder{[](int slot) { return Slots[slot].marker; }};
    HWND host = 0;
    std::string dir;

    void SetUp() override {
        refuseSettings = refuseTimeouts = false;
        shortRead = MAXDWORD;
        lastSettings = DCB();
        escapes.clear();
        host = device.startCase("LinkFaultsHost", hostProc, &recorder.listener);
        tickTimes.clear();
        exitAtNextTick = false;
        SerialLink = 0;
        dir = "/tmp/marvane-link-faults-" + std::to_string(getpid());
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        for (int slot = 0; slot < SLOT_COUNT; slot++) {
            Slots[slot].name[0] = 0;
        }
        strcpy(Slots[SLOT_POS].name, makeFile("POS.BIN", 300).c_str());
        strcpy(Slots[SLOT_PC_CC].name, makeFile("PC_CC.BIN", 200).c_str());
    }

    void TearDown() override {
        closeLink();
        if (IsWindow(host)) {
            stopTicks(host);
            DestroyWindow(host);
        }
        setRunListener(0);
        std::filesystem::remove_all(dir);
        standinReset();
    }

    std::string makeFile(const char *name, size_t size) {
        std::string path = dir + "/" + name;
        FILE *f = fopen(path.c_str(), "wb");
        for (size_t i = 0; i < size; i++) {
            fputc((int)((i * 13 + 5) & 0xFF), f);
        }
        fclose(f);
        return path;
    }

    // The operator chooses Exit as the device has heard `bytes` bytes (the window closes).
    void exitWhenTheWireHolds(size_t bytes) {
        device.afterByte = [this, bytes] {
            if (device.wire().size() == bytes) {
                PostMessageA(host, MSG_EXIT, 0, 0);
            }
        };
    }

    DWORD longestTickGap(DWORD from, DWORD to) const {
        DWORD last = from, gap = 0;
        for (DWORD t : tickTimes) {
            gap = t - last > gap ? t - last : gap;
            last = t;
        }
        return to - last > gap ? to - last : gap;
    }
};

// The time-outs every opened port gets: reads return at once with what has arrived, a write
// gives up after 10 ms a byte plus 1 s.
void expectTheProgramsTimeouts() {
    COMMTIMEOUTS timeouts = {};
    ASSERT_TRUE(GetCommTimeouts(SerialLink, &timeouts));
    EXPECT_EQ(MAXDWORD, timeouts.ReadIntervalTimeout);
    EXPECT_EQ(0u, timeouts.ReadTotalTimeoutMultiplier);
    EXPECT_EQ(0u, timeouts.ReadTotalTimeoutConstant);
    EXPECT_EQ(10u, timeouts.WriteTotalTimeoutMultiplier);
    EXPECT_EQ(1000u, timeouts.WriteTotalTimeoutConstant);
}

TEST_F(LinkFaultsTest, RefusedSettingsKeepThePortOpenButWithTheProgramsTimeouts) {
    refuseSettings = true;
    EXPECT_EQ(0, openLink(8, NOPARITY));
    EXPECT_EQ(std::vector<std::string>({"port-failed Unable to configure the serial port"}),
              recorder.lines());
    ASSERT_NE(INVALID_HANDLE_VALUE, SerialLink);  // the port stays open, the run goes on
    expectTheProgramsTimeouts();
    EXPECT_TRUE(escapes.empty());  // nothing more is asked of a refusing port
}

TEST_F(LinkFaultsTest, PortThatRefusesItsTimeoutsIsGivenUp) {
    // Under its old time-outs a read could block: the port is closed and the run's first
    // step fails as for a port that cannot be opened.
    refuseTimeouts = true;
    EXPECT_EQ(0, openLink(8, NOPARITY));
    EXPECT_EQ(std::vector<std::string>({"port-failed Unable to set the time-out parameters"}),
              recorder.lines());
    EXPECT_EQ(INVALID_HANDLE_VALUE, SerialLink);
    EXPECT_TRUE(escapes.empty());

    // Refusing both: the operator reads the first reason only, and the port is given up.
    refuseSettings = true;
    recorder.events.clear();
    EXPECT_EQ(0, openLink(8, NOPARITY));
    EXPECT_EQ(std::vector<std::string>({"port-failed Unable to configure the serial port"}),
              recorder.lines());
    EXPECT_EQ(INVALID_HANDLE_VALUE, SerialLink);
}

TEST_F(LinkFaultsTest, RunOverAPortThatRefusesItsSettingsEndsWithTheWindowAnswering) {
    // The device answers nothing; the port refuses its settings. Under the time-outs a new
    // handle has (all zero) a read would wait for a byte that never comes.
    device.fault("silent-header");
    refuseSettings = true;
    DWORD start = standinNow();
    EXPECT_EQ(0, runDownload());
    DWORD took = standinNow() - start;
    EXPECT_EQ(std::vector<std::string>({"port-failed Unable to configure the serial port"}),
              recorder.lines("port-failed"));
    EXPECT_EQ(MARK_FAILED, Slots[SLOT_POS].marker);
    EXPECT_EQ(MARK_WAITING, Slots[SLOT_PC_CC].marker);
    // The header went out over the open port, and the answer wait ran its 150 ticks with a
    // tick dispatched every 10 ms or so: no poll held the window.
    EXPECT_EQ(6u, device.wire().size());
    EXPECT_GE(tickTimes.size(), 150u);
    EXPECT_LE(longestTickGap(start, start + took), 50u);
    EXPECT_LT(took, 3000u);
    EXPECT_EQ(INVALID_HANDLE_VALUE, SerialLink);  // closed at the end as always
}

TEST_F(LinkFaultsTest, AnswerLeftByTheLastRunIsNotTakenAfterAFailedOpen) {
    // Run 1: the device answers the PC's ACK with NAK ACK before the count frame. Both come
    // in during the pause; the count's wait takes the NAK and the run fails with the ACK
    // still in the ring.
    device.reply({sim::kPcAck, {NAK, ACK}});
    EXPECT_EQ(0, runDownload());
    EXPECT_EQ(MARK_FAILED, Slots[SLOT_POS].marker);
    ASSERT_EQ(1, ReceiveRing.count) << "the first run should leave its surplus ACK";

    // Run 2: COM0 does not exist. The POS step must fail by its answer time-out.
    setPort(0);
    lastReceived = 0xEE;
    DWORD start = standinNow();
    EXPECT_EQ(0, runDownload());
    DWORD took = standinNow() - start;
    EXPECT_EQ(std::vector<std::string>({"port-failed Unable to open the port"}),
              recorder.lines("port-failed"));
    EXPECT_EQ(0xEE, lastReceived) << "a wait took the last run's byte";
    EXPECT_EQ(0, ReceiveRing.count);
    EXPECT_EQ(MARK_FAILED, Slots[SLOT_POS].marker);
    EXPECT_GE(took, 1490u);  // the header's wait ran out: 150 ticks
}

TEST_F(LinkFaultsTest, OpenLeavesTheDocumentedSettingsOnThePort) {
    // A byte left in the ring must not survive a successful open either.
    ReceiveRing.bytes[0] = ACK;
    ReceiveRing.writeIndex = 1;
    ReceiveRing.readIndex = 0;
    ReceiveRing.count = 1;
    setBaud(2400);
    ASSERT_EQ(1, openLink(8, NOPARITY));
    EXPECT_TRUE(recorder.lines().empty());
    EXPECT_EQ(0, ReceiveRing.count);
    EXPECT_EQ(0, ReceiveRing.readIndex);
    EXPECT_EQ(0, ReceiveRing.writeIndex);

    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(SerialLink, &dcb));
    EXPECT_EQ(2400u, dcb.BaudRate);
    EXPECT_EQ(8, dcb.ByteSize);
    EXPECT_EQ(NOPARITY, dcb.Parity);
    EXPECT_EQ(ONESTOPBIT, dcb.StopBits);
    EXPECT_EQ(1u, dcb.fBinary);
    EXPECT_EQ(1u, dcb.fParity);  // parity checking on, though no parity bit is sent
    EXPECT_EQ(0u, dcb.fOutxCtsFlow);
    EXPECT_EQ(0u, dcb.fOutxDsrFlow);
    EXPECT_EQ((DWORD)DTR_CONTROL_ENABLE, dcb.fDtrControl);
    EXPECT_EQ(0u, dcb.fDsrSensitivity);
    EXPECT_EQ(1u, dcb.fTXContinueOnXoff);
    EXPECT_EQ(0u, dcb.fOutX);
    EXPECT_EQ(0u, dcb.fInX);
    EXPECT_EQ(0u, dcb.fErrorChar);
    EXPECT_EQ(0u, dcb.fNull);
    EXPECT_EQ((DWORD)RTS_CONTROL_ENABLE, dcb.fRtsControl);
    EXPECT_EQ(0u, dcb.fAbortOnError);

    expectTheProgramsTimeouts();

    // The modem lines: DTR raised, then RTS.
    EXPECT_EQ((std::vector<DWORD>{SETDTR, SETRTS}), escapes);
}

TEST_F(LinkFaultsTest, EveryMarkerChangeOfARunIsToldWithItsNewMarker) {
    // POS, PC_CC twice and Pump 1: S, D, 1, 2, D, S, D. The reset at the start is not told.
    strcpy(Slots[SLOT_PUMP1].name, makeFile("GIL_PUMP.BIN", 130).c_str());
    EXPECT_EQ(1, runDownload());
    EXPECT_EQ(MARK_DONE, Slots[SLOT_PUMP1].marker);
    EXPECT_EQ(8, lastSettings.ByteSize);
    EXPECT_EQ(NOPARITY, lastSettings.Parity);
    EXPECT_EQ(std::vector<std::string>({"marker POS S", "marker POS D", "marker PC_CC 1",
                                        "marker PC_CC 2", "marker PC_CC D", "marker Pump1 S",
                                        "marker Pump1 D"}),
              recorder.lines("marker"));
    // No port message, and a good run ends as one.
    EXPECT_EQ(std::vector<std::string>({"steps-ended 1", "run-ended 1"}),
              recorder.lines("port-failed steps-ended run-ended"));
}

TEST_F(LinkFaultsTest, ByteThatComesWithTheLastTickIsTaken) {
    // The ring is looked at before the countdown: a byte read in the same pump as the tick
    // that ends the wait still answers it.
    ASSERT_EQ(1, openLink(8, NOPARITY));
    EXPECT_EQ(0, waitForByte());  // a silent wait ends on a tick: the phase of the next one
    DWORD end = standinNow();
    const BYTE answer[] = {ACK};
    standinPeerSend(1, answer, 1, ANSWER_TIMEOUT_TICKS * TICK_PERIOD_MS);
    EXPECT_EQ(1, waitForByte());
    EXPECT_EQ(ACK, lastReceived);
    EXPECT_EQ(end + ANSWER_TIMEOUT_TICKS * TICK_PERIOD_MS, standinNow());
    EXPECT_EQ(0, TickCountdown);  // the last tick had come too
}

TEST_F(LinkFaultsTest, MarkersOfTheLastRunAreResetWhenTheNextStarts) {
    strcpy(Slots[SLOT_PUMP1].name, makeFile("GIL_PUMP.BIN", 100).c_str());
    EXPECT_EQ(1, runDownload());
    EXPECT_EQ(MARK_DONE, Slots[SLOT_PC_CC].marker);
    // The next run cannot read POS: everything after it shows waiting again.
    std::filesystem::remove(Slots[SLOT_POS].name);
    EXPECT_EQ(0, runDownload());
    EXPECT_EQ(MARK_FAILED, Slots[SLOT_POS].marker);
    EXPECT_EQ(MARK_WAITING, Slots[SLOT_PC_CC].marker);
    EXPECT_EQ(MARK_WAITING, Slots[SLOT_PUMP1].marker);
    EXPECT_EQ(MARK_EMPTY, Slots[SLOT_PUMP2].marker);
}

TEST_F(LinkFaultsTest, FileThatReadsShortIsNotSent) {
    ASSERT_EQ(1, openLink(8, NOPARITY));
    std::string path = makeFile("SHORT.BIN", 300);
    shortRead = 200;
    EXPECT_EQ(0, sendImageFile(path.c_str(), '3', 'A'));
    EXPECT_TRUE(device.wire().empty()) << device.wire().size() << " bytes of a short read went out";
    // The same file read whole goes out whole: three blocks after header, ACK and count.
    EXPECT_EQ(1, sendImageFile(path.c_str(), '3', 'A'));
    EXPECT_EQ(6u + 1 + 6 + 3 * BLOCK_FRAME_SIZE, device.wire().size());
}

TEST_F(LinkFaultsTest, ExitWhileABlockWaitsSendsItNoMore) {
    // Block 0 goes unanswered and the operator chooses Exit as it arrives (the window closes).
    device.fault("silent-block=0");
    exitWhenTheWireHolds(BLOCK0_END);
    ASSERT_EQ(1, openLink(8, NOPARITY));
    std::string path = makeFile("EXIT.BIN", 300);
    EXPECT_EQ(0, sendImageFile(path.c_str(), '3', 'A'));
    EXPECT_FALSE(IsWindow(host));
    EXPECT_EQ(BLOCK0_END, device.wire().size()) << "the block was sent again after Exit";
}

TEST_F(LinkFaultsTest, ExitDuringThePauseSendsNoCountFrame) {
    const size_t HEADER_AND_ACK = 6 + 1;  // the pause starts once the PC has answered ENQ
    exitWhenTheWireHolds(HEADER_AND_ACK);
    ASSERT_EQ(1, openLink(8, NOPARITY));
    std::string path = makeFile("PAUSE.BIN", 300);
    EXPECT_EQ(0, sendImageFile(path.c_str(), '3', 'A'));
    EXPECT_EQ(HEADER_AND_ACK, device.wire().size()) << "the count frame went after Exit";
}

TEST_F(LinkFaultsTest, ExitWithTheLastAckInTheRingSendsNoNextHeader) {
    // POS's three blocks: Exit comes in the pump that takes the last block's ACK off the line.
    const size_t POS_END = 6 + 1 + 6 + 3 * BLOCK_FRAME_SIZE;
    device.afterByte = [this] {
        exitAtNextTick = exitAtNextTick || device.wire().size() == POS_END;
    };
    EXPECT_EQ(0, runDownload());
    EXPECT_FALSE(IsWindow(host));
    EXPECT_EQ(MARK_DONE, Slots[SLOT_POS].marker);  // the device has all of it
    EXPECT_EQ(POS_END, device.wire().size()) << "PC_CC's header went after Exit";
}

TEST_F(LinkFaultsTest, UnansweredBlockIsStillSentFiveTimesWhileTheProgramRuns) {
    device.fault("silent-block=0");
    ASSERT_EQ(1, openLink(8, NOPARITY));
    std::string path = makeFile("NOACK.BIN", 300);
    EXPECT_EQ(0, sendImageFile(path.c_str(), '3', 'A'));
    EXPECT_EQ(BLOCK0_END + 4 * BLOCK_FRAME_SIZE, device.wire().size());  // block 0 five times
}

}  // namespace
