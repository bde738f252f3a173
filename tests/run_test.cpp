// The download run against the device simulator on a pty: which files go out, in what
// order, with which ids and types, what the markers end as and what the run tells its
// listeners, and that the port is free after every kind of ending. Natively and under Wine.
#include <gtest/gtest.h>
#include <string.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "link/link.h"
#include "resources/resource.h"
#include "run/download.h"
#include "run/slots.h"
#include "tests/support/run_fixture.h"
#include "tests/support/test_host.h"
#include "tests/support/sim_process.h"

namespace {

using namespace runfix;  // the whole-run suites' shared vocabulary

// Messages the test posts to its window, to act from inside a run as the menu would.
const UINT MSG_SELECT_READER1 = WM_USER + 1;  // Reader 1 -> Gilbarco
const UINT MSG_SECOND_RUN = WM_USER + 2;      // "Download Files" again
const UINT MSG_DESTROY_WINDOW = WM_USER + 3;  // the window goes, as on Exit
BYTE secondRunResult = 0xFF;

// The menu's doings posted from the test; the tick as the shared tick window has it.
LRESULT CALLBACK hostProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case MSG_SELECT_READER1:
            selectFile(SLOT_READER1, IDS_GIL_CARD);
            return 0;
        case MSG_SECOND_RUN:
            secondRunResult = runDownload();
            return 0;
        case MSG_DESTROY_WINDOW:
            DestroyWindow(window);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
    }
    return tickWindowProc(window, message, wParam, lParam);
}

class RunTest : public runfix::RunFixture {
protected:
    RunTest() : RunFixture({"RunTestHost", hostProc, "run-images-", false, 0}) {}

    void SetUp() override {
        RunFixture::SetUp();
        secondRunResult = 0xFF;
    }

    void startSim(const std::vector<std::string> &args = {}) {
        ASSERT_TRUE(sim.start(1, args)) << sim.error();
    }

    std::vector<SimTransfer> waitForTransfers(size_t n) {
        std::vector<SimTransfer> report;
        simtest::waitFor(
            [&] {
                report = sim.readReport();
                return report.size() >= n;
            },
            20.0, 20);
        return report;
    }

    void expectSaved(const std::string &id, const std::string &type, const Bytes &file) {
        Bytes saved;
        ASSERT_TRUE(sim.readSaved(id, type, &saved)) << id << type;
        EXPECT_EQ(padded(file), saved) << "file " << id << type;
    }
};

TEST_F(RunTest, WithoutPumpOneTheRunStopsAtPumpOne) {
    startSim();
    Bytes pos = makeImage("POS.BIN", 1000);
    Bytes pccc = makeImage("PC_CC.BIN", 700);
    EXPECT_EQ(0, runDownload());
    EXPECT_EQ("DDE   ", markers());
    std::vector<SimTransfer> report = waitForTransfers(3);
    ASSERT_EQ(3u, report.size());
    EXPECT_EQ("0C 1A 2A", report[0].id + report[0].type + " " + report[1].id + report[1].type +
                              " " + report[2].id + report[2].type);
    for (const SimTransfer &t : report) {
        EXPECT_EQ("ok", t.outcome);
    }
    expectSaved("0", "C", pos);
    expectSaved("1", "A", pccc);
    expectSaved("2", "A", pccc);
    // A failed run ends as one, and nothing is told after its end.
    std::vector<std::string> told = recorder.lines();
    ASSERT_LE(2u, told.size());
    EXPECT_EQ("steps-ended 0", told[told.size() - 2]);
    EXPECT_EQ("run-ended 0", told.back());
    expectPortFree();
}

TEST_F(RunTest, PumpOneAloneSucceedsStepByStep) {
    startSim();
    makeImage("POS.BIN", 300);
    makeImage("PC_CC.BIN", 200);
    Bytes pump = makeImage("GIL_PUMP.BIN", 129);
    selectFile(SLOT_PUMP1, IDS_GIL_PUMP);
    EXPECT_EQ(1, runDownload());
    EXPECT_EQ("DDD   ", markers());
    std::vector<SimTransfer> report = waitForTransfers(4);
    ASSERT_EQ(4u, report.size());
    EXPECT_EQ("3", report[3].id);
    EXPECT_EQ("A", report[3].type);
    EXPECT_EQ(2, report[3].blocks);
    expectSaved("3", "A", pump);
    // The run starts, each of its four transfers starts with its slot, pass, id and type, and
    // the run ends as a good one.
    EXPECT_EQ(
        std::vector<std::string>({"run-started", "step-started POS 1 '0' 'C'",
                                  "step-started PC_CC 1 '1' 'A'", "step-started PC_CC 2 '2' 'A'",
                                  "step-started Pump1 1 '3' 'A'", "steps-ended 1", "run-ended 1"}),
        recorder.lines("run-started step-started steps-ended run-ended"));
    expectPortFree();

    // Choosing a make again after the run marks the slot waiting again.
    selectFile(SLOT_PUMP1, IDS_GIL_PUMP);
    EXPECT_EQ('-', Slots[SLOT_PUMP1].marker);
    EXPECT_STREQ("GIL_PUMP.BIN", Slots[SLOT_PUMP1].name);
}

TEST_F(RunTest, AFanTellsEachListenerTheWholeRunAndNoneIsNeeded) {
    startSim();
    makeImage("POS.BIN", 100);
    makeImage("PC_CC.BIN", 0);
    // Nobody listening: the null listener stands in, and the run goes as ever.
    setRunListener(0);
    EXPECT_EQ(0, runDownload());  // Pump 1 has no make
    EXPECT_EQ("DDE   ", markers());
    // The same run told to one listener, then to two behind a fan: each hears all of it.
    setRunListener(&recorder.listener);
    EXPECT_EQ(0, runDownload());
    EventRecorder first(slotMarker), second(slotMarker);
    RunListenerFan fan;
    initFan(&fan);
    ASSERT_EQ(1, fanAdd(&fan, &first.listener));
    ASSERT_EQ(1, fanAdd(&fan, &second.listener));
    setRunListener(&fan.listener);
    EXPECT_EQ(0, runDownload());
    setRunListener(&recorder.listener);
    EXPECT_EQ(recorder.lines(), first.lines());
    EXPECT_EQ(recorder.lines(), second.lines());
    expectPortFree();
}

TEST_F(RunTest, MissingPosFailsWithoutAByteOnTheWire) {
    startSim();
    makeImage("PC_CC.BIN", 200);
    selectFile(SLOT_PUMP1, IDS_GIL_PUMP);
    makeImage("GIL_PUMP.BIN", 200);
    EXPECT_EQ(0, runDownload());
    EXPECT_EQ("E--   ", markers());
    expectPortFree();
    // Nothing reached the device: no transfer started, not even a rejected one.
    EXPECT_TRUE(sim.stop());
    EXPECT_TRUE(sim.readReport().empty());
}

TEST_F(RunTest, UnansweredPcCcPassesShowWhichPassFailed) {
    makeImage("POS.BIN", 300);
    makeImage("PC_CC.BIN", 300);
    struct Case {
        const char *fault;
        const char *expected;
    };
    // The device ignores the header of transfer 2 (PC_CC as '1') or 3 (PC_CC as '2').
    const Case cases[] = {{"silent-header@2", "De    "}, {"silent-header@3", "DE    "}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.fault);
        sim.stop();
        startSim({"--fault", c.fault});
        EXPECT_EQ(0, runDownload());
        EXPECT_EQ(c.expected, markers());
        expectPortFree();
    }
}

TEST_F(RunTest, EverySlotGoesWithItsIdAndType) {
    startSim();
    const char *names[] = {"POS.BIN",      "PC_CC.BIN",    "DW_PUMP.BIN",
                           "TOK_PUMP.BIN", "SAM_CARD.BIN", "GEN_CARD.BIN"};
    std::vector<Bytes> files;
    for (size_t i = 0; i < 6; i++) {
        files.push_back(makeImage(names[i], 200 + 150 * i));
    }
    selectFile(SLOT_PUMP1, IDS_DW_PUMP);
    selectFile(SLOT_PUMP2, IDS_TOK_PUMP);
    selectFile(SLOT_READER1, IDS_SAM_CARD);
    selectFile(SLOT_READER2, IDS_GEN_CARD);
    EXPECT_EQ(1, runDownload());
    EXPECT_EQ("DDDDDD", markers());
    std::vector<SimTransfer> report = waitForTransfers(7);
    std::string order;
    for (const SimTransfer &t : report) {
        order += t.id + t.type + " ";
        EXPECT_EQ("ok", t.outcome);
    }
    EXPECT_EQ("0C 1A 2A 3A 5A 4A 6E ", order);
    expectSaved("0", "C", files[0]);
    expectSaved("1", "A", files[1]);
    expectSaved("2", "A", files[1]);
    expectSaved("3", "A", files[2]);
    expectSaved("5", "A", files[3]);
    expectSaved("4", "A", files[4]);
    expectSaved("6", "E", files[5]);
    expectPortFree();
}

TEST_F(RunTest, MenuCommandsDuringARun) {
    startSim();
    makeImage("POS.BIN", 2000);
    makeImage("PC_CC.BIN", 300);
    makeImage("GIL_PUMP.BIN", 300);
    Bytes reader = makeImage("GIL_CARD.BIN", 400);
    selectFile(SLOT_PUMP1, IDS_GIL_PUMP);
    // Both arrive through the run's own waits: a make for a slot not yet sent, and a
    // second "Download Files", which is refused and disturbs nothing.
    PostMessageA(host, MSG_SELECT_READER1, 0, 0);
    PostMessageA(host, MSG_SECOND_RUN, 0, 0);
    EXPECT_EQ(1, runDownload());
    EXPECT_EQ(0, secondRunResult);
    EXPECT_EQ("DDD D ", markers());  // Pump 2 stays empty
    std::vector<SimTransfer> report = waitForTransfers(5);
    ASSERT_EQ(5u, report.size());
    EXPECT_EQ("4", report[4].id);
    expectSaved("4", "A", reader);
    expectPortFree();
    // And a later run still opens the port and goes through.
    EXPECT_EQ(1, runDownload());
    EXPECT_EQ("DDD D ", markers());  // Pump 2 stays empty
}

TEST_F(RunTest, DestroyingTheWindowEndsTheRun) {
    startSim({"--baud", "2400"});  // slow enough that the run is in its first file
    makeImage("POS.BIN", 6000);
    makeImage("PC_CC.BIN", 300);
    PostMessageA(host, MSG_DESTROY_WINDOW, 0, 0);
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    EXPECT_EQ(0, runDownload());
    // The step in flight fails at once. Missing the window's end, a wait would get no tick
    // and run to its backstop (150 * 10 * 3 + 3000 = 7500 ms); the bound leaves a loaded
    // machine seconds for the block on the wire (0.6 s at 2400 baud) and the rest.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_FALSE(IsWindow(host));
    EXPECT_EQ('E', Slots[SLOT_POS].marker);
    EXPECT_EQ(INVALID_HANDLE_VALUE, SerialLink);
    // The quit that the window's end posted is still there for the main loop.
    MSG msg;
    EXPECT_TRUE(PeekMessageA(&msg, NULL, WM_QUIT, WM_QUIT, PM_REMOVE));
    expectPortFree();
}

}  // namespace
