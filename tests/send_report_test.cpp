// marvane-send's tally and text output fed a run's events as the run tells them, with no port
// and no device: what the closing summary and messages say, and how the run ended.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "link/link.h"
#include "run/slots.h"
#include "send/send.h"

// marvane-send's own stops the run when standard output fails; here the output is the suite's.
void flushOutput() {
    fflush(stdout);
}
RunFacts Facts;  // what its main finds out: here the suite's

namespace {

RunListenerFan Fan;  // the tally first, as marvane-send has it

RunListener *startReport(BYTE quiet, int transfers) {
    Run = {};  // as marvane-send starts: one run a process
    Facts.transfers = transfers;
    Facts.portName = Facts.portText = "COM1";
    initFan(&Fan);
    fanAdd(&Fan, tallyListener());
    fanAdd(&Fan, textListener(quiet, 0, 0));
    return &Fan.listener;
}

// How the run ended, and its closing words.
RunEnd finishReport(BYTE ok) {
    RunEnd end = runEndOf(ok);
    sayEnd(end);
    return end;
}

// One transfer of `blocks` blocks, each taken at its first send, ending as `end`.
void step(RunListener *l, int slot, DWORD size, int blocks, TransferEnd end) {
    tellStepStarted(l, slot, 1, SlotLabels[slot], '0', 'C');
    tellFileRead(l, size, blocks);
    for (int i = 0; i < blocks; i++) {
        tellBlockAnswered(l, i, 1, ANSWER_ACK, ACK);
    }
    TransferResult result = {};
    result.end = end;
    result.blocks = blocks;
    result.block = -1;
    result.answer = ANSWER_NONE;
    result.headerSent = 1;
    tellStepEnded(l, slot, 1, &result);
}

// A port another program holds: Windows says access denied, the stand-in (as Linux's flock)
// a sharing violation. The same fact in the same words on both.
TEST(SendReport, APortHeldByAnotherProgramIsSaidSoOnEverySystem) {
    const char *cause, *advice;
    describePort(HAS_DEVICES ? ERROR_SHARING_VIOLATION : ERROR_ACCESS_DENIED, &cause, &advice);
    EXPECT_STREQ("in use by another program", cause);
    EXPECT_STREQ("close it and run again", advice);
}

TEST(SendReport, ASecondRunInTheProcessCountsFromZero) {
    setBaud(19200);
    RunListener *l = startReport(0, 3);
    testing::internal::CaptureStdout();
    tellRunStarted(l);
    step(l, SLOT_POS, 300, 3, TRANSFER_DONE);
    step(l, SLOT_PC_CC, 200, 2, TRANSFER_DONE);
    finishReport(1);
    tellRunStarted(l);
    step(l, SLOT_POS, 100, 1, TRANSFER_DONE);
    step(l, SLOT_PC_CC, 200, 2, TRANSFER_HEADER_UNANSWERED);
    testing::internal::CaptureStderr();
    finishReport(0);
    testing::internal::GetCapturedStderr();
    std::string out = testing::internal::GetCapturedStdout();
    std::string last = out.substr(out.rfind('\n', out.size() - 2) + 1);
    EXPECT_EQ(0u, last.find("FAILED: 1 of 3 transfers sent, 100 bytes, 0 resends in ")) << out;
}

// How finishReport ends the run, and what it prints on each stream.
struct Told {
    RunEnd end;
    std::string out, err;
};
Told finish() {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    RunEnd end = finishReport(0);
    std::string err = testing::internal::GetCapturedStderr();
    return {end, testing::internal::GetCapturedStdout(), err};
}

TEST(SendReport, AWrongAnswerToTheHeaderIsNamedForWhatItIs) {
    // The header is answered ACK, then ENQ: `answers` is which of the two came wrong.
    const struct {
        int answers;
        FrameAnswer answer;
        BYTE byte;
        const char *said;
        BYTE busy;
    } cases[] = {
        {2, ANSWER_ACK, ACK, "ACK twice to the header: a stray byte on the line", 0},
        {1, ANSWER_CAN, CAN, "refused the header with CAN", 1},
        {1, ANSWER_NAK, NAK, "refused the header with NAK", 1},
        {2, ANSWER_OTHER, 0x7E, "0x7E, no control character: noise on the line or a wrong rate", 0},
    };
    for (const auto &c : cases) {
        RunListener *l = startReport(1, 4);
        tellRunStarted(l);
        tellStepStarted(l, SLOT_POS, 1, "POS.BIN", '0', 'C');
        tellFileRead(l, 300, 3);
        TransferResult result = {};
        result.end = TRANSFER_HEADER_UNANSWERED;
        result.block = -1;
        result.answer = c.answer;
        result.answerByte = c.byte;
        result.headerSent = 1;
        result.headerAnswers = c.answers;
        tellStepEnded(l, SLOT_POS, 1, &result);
        Told told = finish();
        EXPECT_EQ(RUN_FAILED, told.end);
        EXPECT_NE(std::string::npos, told.err.find(c.said)) << told.err;
        EXPECT_EQ(c.busy, told.err.find("busy") != std::string::npos) << told.err;
    }
}

// Last in the suite: the interrupt stays caught for the rest of the process.
TEST(SendReport, AfterCtrlCACancelIsStillAFailureAndARunNotStartedHasNoTime) {
#if defined(_WIN32)
    GTEST_SKIP() << "a console control event cannot be raised from inside the suite";
#else
    signalsCatch();
    raise(SIGINT);
    ASSERT_TRUE(signalsInterrupted());
    startReport(0, 4);
    Told told = finish();
    EXPECT_EQ(RUN_INTERRUPTED, told.end);
    EXPECT_EQ("FAILED: 0 of 4 transfers sent, 0 bytes, 0 resends\n", told.out);
    RunListener *l = startReport(1, 4);
    tellRunStarted(l);
    step(l, SLOT_POS, 300, 2, TRANSFER_CANCELLED);
    told = finish();
    EXPECT_EQ(RUN_FAILED, told.end);
    EXPECT_NE(std::string::npos, told.err.find("cancelled by the device (CAN)")) << told.err;
#endif
}

}  // namespace
