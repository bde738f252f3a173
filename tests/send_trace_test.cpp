// marvane-send's wire trace against the simulator: the frames it names, each block's sends
// and the answers agree with what the device itself reports it received and answered.
#include <gtest/gtest.h>
#include <stdio.h>

#include <fstream>
#include <sstream>

#include "link/link.h"
#include "resources/resource.h"
#include "run/download.h"
#include "send/send.h"
#include "tests/support/run_fixture.h"
#include "tests/support/test_host.h"

RunFacts Facts;  // what marvane-send's main finds out: here the suite's

namespace {

using namespace runfix;

class SendTrace : public RunFixture {
protected:
    SendTrace() : RunFixture({"SendTraceHost", tickWindowProc, "trace-", false, 7}) {}
};

// A trace line's hex bytes, after its time (13 columns) and its text (44).
Bytes lineBytes(const std::string &text) {
    Bytes out;
    std::istringstream words(text.substr(57));
    for (std::string word; words >> word;) {
        out.push_back((unsigned char)std::stoul(word, 0, 16));
    }
    return out;
}

TEST_F(SendTrace, BlocksSendsAndAnswersAreWhatTheDeviceSaw) {
    // Block 2 of POS is refused twice; Pump 1's first block is cancelled.
    ASSERT_TRUE(sim.start(1, {"--fault", "nak-block=1:2@1", "--fault", "can-block=0@4"}))
        << sim.error();
    Bytes pos = makeImage("POS.BIN", 300);
    makeImage("PC_CC.BIN", 130);
    makeImage("GIL_PUMP.BIN", 10);
    selectFile(SLOT_PUMP1, IDS_GIL_PUMP);
    std::string path = dir + "/trace.txt";
    FILE *file = fopen(path.c_str(), "w");
    setRunListener(traceListener(file, "COM1"));
    EXPECT_EQ(0, runDownload());
    setRunListener(&recorder.listener);
    fclose(file);

    std::vector<SimTransfer> report;
    simtest::waitFor([&] { return (report = sim.readReport()).size() >= 4; }, 20.0, 20);
    ASSERT_EQ(4u, report.size());
    // Per transfer (a header starts one), each block's sends; the data of the frames the
    // device took; the answers by name.
    std::vector<std::vector<int>> sends;
    Bytes posData;
    int naks = 0, cans = 0, headers = 0, lines = 0;
    std::ifstream in(path);
    for (std::string text; std::getline(in, text); lines++) {
        EXPECT_NE(std::string::npos, text.find(" ms  ")) << text;
        if (text.find("> header") != std::string::npos) {
            headers++;
            sends.emplace_back();
        }
        size_t at = text.find("> block ");
        if (at != std::string::npos) {
            int number = std::stoi(text.substr(at + 8));
            Bytes frame = lineBytes(text);
            ASSERT_EQ(133u, frame.size()) << text;
            EXPECT_EQ(number - 1,
                      std::stoi(std::string(frame.begin() + 1, frame.begin() + 3), 0, 16));
            std::vector<int> &blocks = sends.back();
            blocks.resize((size_t)number);
            int sent = ++blocks[(size_t)number - 1];
            EXPECT_NE(std::string::npos, text.find(", send " + std::to_string(sent) + ","));
            if (sent == 1 && headers == 1) {
                posData.insert(posData.end(), frame.begin() + 3, frame.begin() + 131);
            }
        }
        naks += text.find("< NAK") != std::string::npos;
        cans += text.find("< CAN") != std::string::npos;
    }
    EXPECT_EQ(4, headers);
    ASSERT_EQ(4u, sends.size());
    for (size_t i = 0; i < 4; i++) {
        EXPECT_EQ(report[i].sends, sends[i]) << "transfer " << i + 1;
    }
    EXPECT_EQ(padded(pos), posData);
    EXPECT_EQ(2, naks);
    EXPECT_EQ(1, cans);
    EXPECT_GT(lines, 20);
}

}  // namespace
