// marvane-send's front end fed a run's events as the run tells them, with no port and no
// device: what the closing summary and messages say, and the exit status they come to.
#include <gtest/gtest.h>

#include <string>

#include "link/link.h"
#include "run/slots.h"
#include "send/send.h"

namespace {

ConsoleReport Report;  // as marvane-send keeps it: one for the process

RunListener *startReport(ReportStyle style, int transfers) {
    ReportSettings settings = {};
    settings.style = style;
    settings.transfers = transfers;
    settings.portName = settings.portText = "COM1";
    initReport(&Report, &settings);
    return &Report.listener;
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

TEST(SendReport, ASecondRunInTheProcessCountsFromZero) {
    setBaud(19200);
    RunListener *l = startReport(REPORT_LINES, 3);
    testing::internal::CaptureStdout();
    tellRunStarted(l);
    step(l, SLOT_POS, 300, 3, TRANSFER_DONE);
    step(l, SLOT_PC_CC, 200, 2, TRANSFER_DONE);
    finishReport(&Report, 1);
    tellRunStarted(l);
    step(l, SLOT_POS, 100, 1, TRANSFER_DONE);
    step(l, SLOT_PC_CC, 200, 2, TRANSFER_HEADER_UNANSWERED);
    testing::internal::CaptureStderr();
    finishReport(&Report, 0);
    testing::internal::GetCapturedStderr();
    std::string out = testing::internal::GetCapturedStdout();
    std::string last = out.substr(out.rfind('\n', out.size() - 2) + 1);
    EXPECT_EQ(0u, last.find("1 of 3 transfers sent, 100 bytes")) << out;
}

}  // namespace
