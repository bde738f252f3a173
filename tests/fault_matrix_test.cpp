// The fault matrix: whole download runs against the device simulator with one fault each, in
// every phase where it can strike (header, the PC's ACK after ENQ, count frame, first, middle
// and last block, first and later files). Each run must end in a bound computed from its
// waits, mark exactly the slot that failed, leave later slots alone, free the port, and leave
// the device holding byte-identical copies of the files marked 'D'. Natively and under Wine
// (the dead line by hang-up, the unopenable and the held port are native only).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "link/link.h"
#include "protocol/protocol.h"
#include "resources/resource.h"
#include "run/download.h"
#include "run/slots.h"
#include "tests/support/run_fixture.h"
#include "tests/support/test_host.h"
#include "tests/support/sim_process.h"
#include "tests/support/sim_spawn.h"

namespace {

using namespace runfix;  // the whole-run suites' shared vocabulary

// The run every case makes: POS, PC_CC twice, Pump 1 and Reader 1 (Pump 2 and Reader 2
// empty), as transfers 1 to 5. Small files keep silence cheap: 1.5 s a wait.
struct TransferInfo {
    int slot;
    const char *id;
    const char *type;
};
const TransferInfo TRANSFERS[] = {
    {SLOT_POS, "0", "C"},   {SLOT_PC_CC, "1", "A"},   {SLOT_PC_CC, "2", "A"},
    {SLOT_PUMP1, "3", "A"}, {SLOT_READER1, "4", "A"},
};
const int TRANSFER_COUNT = 5;
const char *const ALL_DONE = "DDD D ";

// One row of the matrix: what the device does wrong (its faults), the six slot markers after
// the run, and the transfers (1 to 5) the simulator reports as complete. The rest is named
// where a row needs it: how many answer waits run out (150 ticks each), how long an answer
// is held back beyond them, how often the block the first fault names ("nak-block=1:4@3":
// block 1 of transfer 3) went out, and that no block after it reached the device.
struct Case {
    const char *what;
    std::vector<std::string> faults;
    const char *markers;
    const char *deviceOk;
    int timeoutCount = 0;
    int heldBackMs = 0;
    int faultedBlockSends = 0;  // 0: not checked
    bool nothingAfterFaultedBlock = false;

    Case &timeouts(int n) { return set(&Case::timeoutCount, n); }
    Case &heldBack(int ms) { return set(&Case::heldBackMs, ms); }
    Case &sends(int n) { return set(&Case::faultedBlockSends, n); }
    Case &nothingSentAfterIt() {
        nothingAfterFaultedBlock = true;
        return *this;
    }

private:
    Case &set(int Case::*field, int value) {
        this->*field = value;
        return *this;
    }
};

// The block and transfer a block fault names.
void faultedBlock(const std::string &fault, int *transfer, int *block) {
    *block = atoi(fault.c_str() + fault.find('=') + 1);
    *transfer = atoi(fault.c_str() + fault.find('@') + 1);
}

Case row(const char *what, std::vector<std::string> faults, const char *markers,
         const char *deviceOk) {
    Case c;
    c.what = what;
    c.faults = faults;
    c.markers = markers;
    c.deviceOk = deviceOk;
    return c;
}

// Markers when transfer n fails: POS 'E'; PC_CC 'e' on its first pass, 'E' on its second;
// Pump 1 or Reader 1 'E'. Slots not reached keep '-', the empty ones ' '.
const char *const FAIL_AT[] = {"", "E-- - ", "De- - ", "DE- - ", "DDE - ", "DDD E "};

class FaultMatrix : public runfix::RunFixture {
protected:
    Bytes files[TRANSFER_COUNT];  // what each transfer carries

    FaultMatrix() : RunFixture({"FaultMatrixHost", tickWindowProc, "fault-images-", true, 7}) {}

    void SetUp() override {
        RunFixture::SetUp();

        // POS and PC_CC have a first, a middle and a last block; Pump 1 has one block, which
        // is first and last; Reader 1 has two, the second holding one byte.
        files[0] = makeImage("POS.BIN", 300);
        files[1] = makeImage("PC_CC.BIN", 384);
        files[2] = files[1];
        files[3] = makeImage("GIL_PUMP.BIN", 100);
        files[4] = makeImage("GIL_CARD.BIN", 129);
        selectFile(SLOT_PUMP1, IDS_GIL_PUMP);
        selectFile(SLOT_READER1, IDS_GIL_CARD);
    }

    void TearDown() override {
        RunFixture::TearDown();
        setPort(1);
    }

    void startSim(const std::vector<std::string> &faults, bool deadSilent) {
        std::vector<std::string> args;
        for (const std::string &f : faults) {
            args.push_back("--fault");
            args.push_back(f);
        }
        if (deadSilent) {
            args.push_back("--dead-mode");
            args.push_back("silent");
        }
        sim.stop();
        ASSERT_TRUE(sim.start(1, args)) << sim.error();
    }

    // The bound of a run: every wait that runs out costs 150 ticks, and each of the five
    // transfers pauses 25 ticks before its count frame; ticks may come late (20 % allowed),
    // plus the answers held back and 3 s for the files, the wire and the simulator. A wait
    // of n ticks lasts at least n - 1 tick periods.
    static double upperBoundMs(const Case &c) {
        return (c.timeoutCount * ANSWER_TIMEOUT_TICKS + TRANSFER_COUNT * COUNT_FRAME_DELAY_TICKS) *
                   10.0 * 1.2 +
               c.heldBackMs + 3000;
    }
    // At least 140 ticks' worth per wait: under Wine 150 ticks were measured at 1486 ms, a
    // little under 149 periods, so the bound leaves room and still catches a short wait.
    static double lowerBoundMs(const Case &c) {
        return c.timeoutCount * (ANSWER_TIMEOUT_TICKS - 10) * 10.0 + c.heldBackMs;
    }

    // Runs one download against a simulator with the case's faults and checks it all.
    void runCase(const Case &c, bool deadLine = false) {
        SCOPED_TRACE(std::string(c.what));
        bool deadSilent = deadLine && runningUnderWine();  // a hang-up upsets the Wine server
        startSim(c.faults, deadSilent);
        if (HasFatalFailure()) {
            return;
        }
        auto started = std::chrono::steady_clock::now();
        BYTE ok = runDownload();
        double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started)
                .count();
        EXPECT_TRUE(recorder.lines("port-failed").empty()) << "only the port's set-up fails it";

        std::string got = markers();
        EXPECT_EQ(c.markers, got);
        EXPECT_EQ(got == ALL_DONE ? 1 : 0, ok);
        EXPECT_LE(ms, upperBoundMs(c)) << "the run took too long";
        EXPECT_GE(ms, lowerBoundMs(c)) << "the run ended before its waits ran out";

        if (deadLine && !deadSilent) {
            // The hang-up took the pty with it: the link is closed, and a fresh line opens.
            EXPECT_EQ(INVALID_HANDLE_VALUE, SerialLink);
        } else {
            expectPortFree();
        }
        ASSERT_TRUE(sim.stop() || deadLine) << sim.log();
        checkDevice(c, got);
        if (deadLine && !deadSilent) {
            startSim({}, false);
            expectPortFree();
        }
    }

    // The device completed exactly the listed transfers, holds each 'D' file as it was
    // read, and saw each checked block as often as the case says.
    void checkDevice(const Case &c, const std::string &got) {
        std::vector<SimTransfer> report = sim.readReport();
        std::string done;
        for (const SimTransfer &t : report) {
            if (t.outcome == "ok" && t.ordinal >= 1 && t.ordinal <= TRANSFER_COUNT) {
                done += (char)('0' + t.ordinal);
            }
        }
        EXPECT_EQ(c.deviceOk, done) << sim.log();
        for (int i = 0; i < TRANSFER_COUNT; i++) {
            const TransferInfo &t = TRANSFERS[i];
            if (got[t.slot] != MARK_DONE) {
                continue;
            }
            EXPECT_NE(std::string::npos, done.find((char)('1' + i)))
                << "slot " << t.slot << " shows D but the device never completed transfer "
                << i + 1;
            Bytes saved;
            ASSERT_TRUE(sim.readSaved(t.id, t.type, &saved)) << t.id << t.type;
            EXPECT_EQ(padded(files[i]), saved) << "file " << t.id << t.type;
        }
        if (c.faultedBlockSends == 0 && !c.nothingAfterFaultedBlock) {
            return;
        }
        int transfer = 0, block = 0;
        faultedBlock(c.faults[0], &transfer, &block);
        const SimTransfer *t = 0;
        for (const SimTransfer &r : report) {
            if (r.ordinal == transfer) {
                t = &r;
            }
        }
        ASSERT_TRUE(t != 0) << "no report of transfer " << transfer << "\n" << sim.log();
        if (c.faultedBlockSends > 0) {
            ASSERT_GT((int)t->sends.size(), block);
            EXPECT_EQ(c.faultedBlockSends, t->sends[block]) << "sends of block " << block;
        }
        if (c.nothingAfterFaultedBlock) {
            EXPECT_EQ(block + 1, (int)t->sends.size()) << "blocks after it were sent";
        }
    }

    // A run whose port cannot be opened: POS fails by its header's answer time-out, one
    // wait. Returns what the run told of the port.
    std::vector<std::string> runWithoutAPort() {
        auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(0, runDownload());
        double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started)
                .count();
        EXPECT_EQ(FAIL_AT[1], markers());
        Case oneWait = row("one wait", {}, "", "").timeouts(1);
        EXPECT_LE(ms, upperBoundMs(oneWait));
        EXPECT_GE(ms, lowerBoundMs(oneWait));
        return recorder.lines("port-failed");
    }

    void runAll(const std::vector<Case> &cases, bool deadLine = false) {
        for (const Case &c : cases) {
            runCase(c, deadLine);
            memcpy(Slots, InitialSlots, sizeof Slots);
            selectFile(SLOT_PUMP1, IDS_GIL_PUMP);
            selectFile(SLOT_READER1, IDS_GIL_CARD);
        }
    }
};

TEST_F(FaultMatrix, Silence) {
    runAll({
        row("no answer to the header, first file", {"silent-header@1"}, FAIL_AT[1], "").timeouts(1),
        row("no answer to the header, later file", {"silent-header@4"}, FAIL_AT[4], "123")
            .timeouts(1),
        row("no answer to the count frame, first file", {"silent-count@1"}, FAIL_AT[1], "")
            .timeouts(1),
        row("no answer to the count frame, later file", {"silent-count@2"}, FAIL_AT[2], "1")
            .timeouts(1),
        // Five sends of the block, each waited out.
        row("no answer from the first block on, first file", {"silent-block=0@1"}, FAIL_AT[1], "")
            .timeouts(5)
            .sends(5),
        row("no answer from the middle block on, PC_CC second pass", {"silent-block=1@3"},
            FAIL_AT[3], "12")
            .timeouts(5)
            .sends(5),
        row("no answer to the last block of the last file", {"silent-block=1@5"}, FAIL_AT[5],
            "1234")
            .timeouts(5)
            .sends(5),
    });
}

TEST_F(FaultMatrix, NakOneToFiveTimes) {
    // NAK n times, then ACK: n + 1 sends, and the fifth NAK ends the file at once.
    struct Where {
        const char *what;
        int transfer;
        int block;
        const char *deviceOkIfFailed;
    };
    const Where places[] = {{"first block, first file", 1, 0, ""},
                            {"middle block, PC_CC second pass", 3, 1, "12"},
                            {"last block, last file", 5, 1, "1234"}};
    std::vector<Case> cases;
    std::vector<std::string> names;
    names.reserve(15);
    for (const Where &w : places) {
        for (int n = 1; n <= 5; n++) {
            names.push_back(std::string("NAK ") + std::to_string(n) + " times, " + w.what);
            std::string fault = "nak-block=" + std::to_string(w.block) + ":" + std::to_string(n) +
                                "@" + std::to_string(w.transfer);
            bool fails = n == BLOCK_SEND_ATTEMPTS;
            cases.push_back(row(names.back().c_str(), {fault},
                                fails ? FAIL_AT[w.transfer] : ALL_DONE,
                                fails ? w.deviceOkIfFailed : "12345")
                                .sends(fails ? 5 : n + 1));
        }
    }
    runAll(cases);
}

TEST_F(FaultMatrix, Cancel) {
    std::vector<Case> cases = {
        row("CAN to the header, first file", {"can-header@1"}, FAIL_AT[1], ""),
        row("CAN to the header, PC_CC first pass", {"can-header@2"}, FAIL_AT[2], "1"),
        row("CAN to the count frame, first file", {"can-count@1"}, FAIL_AT[1], ""),
        row("CAN to the count frame, PC_CC second pass", {"can-count@3"}, FAIL_AT[3], "12"),
        // After a CAN no further block goes out.
        row("CAN to the first block, first file", {"can-block=0@1"}, FAIL_AT[1], "")
            .sends(1)
            .nothingSentAfterIt(),
        row("CAN to the middle block, PC_CC first pass", {"can-block=1@2"}, FAIL_AT[2], "1")
            .sends(1)
            .nothingSentAfterIt(),
        row("CAN to the only block of Pump 1", {"can-block=0@4"}, FAIL_AT[4], "123").sends(1),
        row("CAN to the last block of the last file", {"can-block=1@5"}, FAIL_AT[5], "1234")
            .sends(1),
    };
    runAll(cases);
}

TEST_F(FaultMatrix, EnqBeforeAck) {
    // The header's answer must be ACK then ENQ; ENQ first fails the file at once, before the
    // PC's own ACK and the count frame.
    runAll({
        row("ENQ before ACK, first file", {"enq-before-ack@1"}, FAIL_AT[1], ""),
        row("ENQ before ACK, PC_CC second pass", {"enq-before-ack@3"}, FAIL_AT[3], "12"),
        row("ENQ before ACK, last file", {"enq-before-ack@5"}, FAIL_AT[5], "1234"),
    });
}

TEST_F(FaultMatrix, StrayBytesBeforeAnAnswer) {
    // Each stray byte is taken as the answer to one send: the block goes again, and the
    // device acknowledges the resend too. The ring is not emptied between files, so those
    // extra ACKs reach the next file's header, which then sees ACK where ENQ belongs and
    // fails: never a 'D' the device does not hold.
    std::vector<Case> cases = {
        row("noise before the ACK to the first block, first file", {"stray=0:41@1"}, FAIL_AT[2],
            "1")
            .sends(2),
        row("two noise bytes before the ACK to PC_CC's middle block", {"stray=1:1515@3"},
            FAIL_AT[4], "123")
            .sends(3),
        row("five noise bytes use up the sends of POS's middle block", {"stray=1:0102030405@1"},
            FAIL_AT[1], "")
            .sends(5),
        // A CAN ahead of the ACK cancels on the PC's side though the device took the block.
        row("CAN before the ACK to Pump 1's only block", {"stray=0:18@4"}, FAIL_AT[4], "1234")
            .sends(1),
        // The resend reaches a device that has completed the file: it acknowledges it again.
        row("noise before the ACK to the last block of the last file", {"stray=1:41@5"}, ALL_DONE,
            "12345"),
    };
    runAll(cases);
}

TEST_F(FaultMatrix, LateAnswers) {
    std::vector<Case> cases = {
        // Within the 1.5 s wait a late ACK is just slow.
        row("ACK 1 s late to the middle block, PC_CC first pass", {"late-ack=1:1000@2"}, ALL_DONE,
            "12345")
            .heldBack(1000)
            .sends(1),
        // After the wait ran out the block goes again and its resend is acknowledged at
        // once; the late ACK then comes after the run and the port is closed.
        row("ACK 2 s late to the last block of the last file", {"late-ack=1:2000@5"}, ALL_DONE,
            "12345")
            .timeouts(1),
        // The late ACK comes while the next file's header waits (which the device leaves
        // unanswered): taken as the header's ACK, and the ENQ never follows.
        row("ACK 2 s late to POS's last block, into the next header's wait",
            {"late-ack=2:2000@1", "silent-header@2"}, FAIL_AT[2], "1")
            .timeouts(2)
            .heldBack(500),  // the header's wait had run 0.5 s when the late ACK came
    };
    runAll(cases);
}

TEST_F(FaultMatrix, DeadLine) {
    // Natively the simulator hangs up its pty; under Wine it just stops answering. Writes go
    // nowhere either way, and only the answer waits end the file.
    runAll(
        {
            row("line dies after the first block, first file", {"dead-after-block=0@1"}, FAIL_AT[1],
                "")
                .timeouts(5),
            row("line dies after the last block of POS", {"dead-after-block=2@1"}, FAIL_AT[2], "1")
                .timeouts(1),
            row("line dies after the middle block, PC_CC second pass", {"dead-after-block=1@3"},
                FAIL_AT[3], "12")
                .timeouts(5),
        },
        true);
}

TEST_F(FaultMatrix, PortThatCannotBeOpened) {
    if (runningUnderWine()) {
        GTEST_SKIP() << "Wine maps an unmapped COM port to the machine's own ttyS";
    }
    startSim({}, false);
    // COM3 names a path where nothing is.
    simtest::spawn::setEnv("MARVANE_COM3", simtest::portsDir() + "/nothing-here");
    setPort(3);
    EXPECT_EQ(std::vector<std::string>({"port-failed Unable to open the port"}), runWithoutAPort());
    EXPECT_EQ(INVALID_HANDLE_VALUE, SerialLink);
    EXPECT_EQ(0, closeLink());  // nothing is held
    setPort(1);
    expectPortFree();
    EXPECT_TRUE(sim.stop());
    EXPECT_TRUE(sim.readReport().empty()) << "the device on COM1 heard nothing";
}

TEST_F(FaultMatrix, PortHeldByAnotherProgram) {
    startSim({}, false);
    std::string notHeld = holdPort("COM1");
    if (!notHeld.empty()) {
        GTEST_SKIP() << notHeld;
    }
    EXPECT_EQ(std::vector<std::string>({"port-failed Unable to open the port"}), runWithoutAPort());
    releasePort();
    expectPortFree();  // once the other program lets go
    EXPECT_TRUE(sim.stop());
    EXPECT_TRUE(sim.readReport().empty());
}

}  // namespace
