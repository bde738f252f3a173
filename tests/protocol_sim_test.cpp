// One file at a time to the device simulator over a pty, natively and under Wine: what the
// device saved is the file plus its zero padding, byte for byte, and each of the device's
// ways of refusing a block ends the transfer as it should.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "link/link.h"
#include "protocol/protocol.h"
#include "tests/support/test_host.h"
#include "tests/support/sim_process.h"

namespace {

using simtest::SimProcess;
using simtest::SimTransfer;
typedef std::vector<unsigned char> Bytes;
typedef std::chrono::steady_clock Clock;

class ProtocolSimTest : public ::testing::Test {
protected:
    SimProcess sim;
    HWND host = 0;
    std::string dir;

    void SetUp() override {
        resetMessageState();
        host = createTickWindow(GetModuleHandleA(NULL));
        startTicks(host);
        setRunListener(0);  // nobody listens: the device's report is what this suite checks
        static int serial = 0;
        dir = simtest::testTmpDir() + "/protocol-sim-" + std::to_string(++serial);
        std::filesystem::remove_all(simtest::hostPath(dir));
        std::filesystem::create_directories(simtest::hostPath(dir));
    }

    void TearDown() override {
        closeLink();
        stopTicks(host);
        DestroyWindow(host);
        sim.stop();
        resetMessageState();
    }

    // Starts the simulator on COM2 and opens the link to it.
    void connect(const std::vector<std::string> &args = {}) {
        ASSERT_TRUE(sim.start(2, args)) << sim.error();
        setPort(2);
        setBaud(19200);
        ASSERT_EQ(1, openLink(8, NOPARITY));
    }

    std::string makeFile(size_t size, Bytes *data) {
        data->resize(size);
        for (size_t i = 0; i < size; i++) {
            (*data)[i] = (unsigned char)(i * 13 + size);
        }
        std::string name = dir + "/image-" + std::to_string(size) + ".bin";
        std::ofstream out(simtest::hostPath(name), std::ios::binary);
        out.write((const char *)data->data(), (std::streamsize)size);
        return simtest::hostPath(name);
    }

    SimTransfer lastTransfer() {
        std::vector<SimTransfer> report;
        simtest::waitFor(
            [&] {
                report = sim.readReport();
                return !report.empty();
            },
            10.0, 20);
        return report.empty() ? SimTransfer() : report.back();
    }
};

TEST_F(ProtocolSimTest, TheDeviceSavesTheFileAndItsPadding) {
    connect();
    const size_t sizes[] = {0, 1, 127, 128, 129, 12928, 13000};
    const int blocks[] = {0, 1, 1, 1, 2, 101, 102};
    for (size_t i = 0; i < sizeof sizes / sizeof sizes[0]; i++) {
        SCOPED_TRACE(sizes[i]);
        Bytes data;
        std::string path = makeFile(sizes[i], &data);
        ASSERT_EQ(1, sendImageFile(path.c_str(), '1', 'A'));
        std::vector<SimTransfer> report;
        ASSERT_TRUE(simtest::waitFor(
            [&] {
                report = sim.readReport();
                return report.size() == i + 1;
            },
            10.0, 20));
        EXPECT_EQ("ok", report.back().outcome);
        EXPECT_EQ(blocks[i], report.back().blocks);
        Bytes saved;
        ASSERT_TRUE(sim.readSaved("1", "A", &saved));
        Bytes expected = data;
        expected.resize((size_t)blocks[i] * 128, 0);
        EXPECT_EQ(expected, saved);
    }
}

TEST_F(ProtocolSimTest, OversizedFileGoesNowhere) {
    connect();
    Bytes data;
    std::string path = makeFile(13001, &data);
    EXPECT_EQ(0, sendImageFile(path.c_str(), '1', 'A'));
    EXPECT_TRUE(sim.stop());
    EXPECT_TRUE(sim.readReport().empty());
}

TEST_F(ProtocolSimTest, RefusedBlocks) {
    struct Case {
        const char *fault;
        BYTE result;
        std::vector<int> sends;  // frames the device received per block index
    };
    const Case cases[] = {
        {"nak-block=1:4", 1, {1, 5, 1}},  // the fifth send goes through
        {"nak-block=1:5", 0, {1, 5}},     // five sends, then the PC gives up
        {"can-block=2", 0, {1, 1, 1}},    // nothing after the CAN
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.fault);
        closeLink();
        sim.stop();
        connect({"--fault", c.fault});
        Bytes data;
        std::string path = makeFile(3 * 128, &data);
        EXPECT_EQ(c.result, sendImageFile(path.c_str(), '3', 'A'));
        // A failed transfer is reported once the PC has been silent for 3 s.
        EXPECT_EQ(c.sends, lastTransfer().sends);
    }
}

TEST_F(ProtocolSimTest, WrongOrMissingAnswersToTheHeader) {
    connect({"--fault", "enq-before-ack@1", "--fault", "silent-header@2"});
    Bytes data;
    std::string path = makeFile(128, &data);

    Clock::time_point start = Clock::now();
    EXPECT_EQ(0, sendImageFile(path.c_str(), '3', 'A'));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));  // at once

    // Let the ACK that followed the ENQ arrive, then start afresh as a new run would.
    closeLink();
    ASSERT_EQ(1, openLink(8, NOPARITY));
    start = Clock::now();
    EXPECT_EQ(0, sendImageFile(path.c_str(), '3', 'A'));
    Clock::duration waited = Clock::now() - start;
    // 150 ticks of 10 ms, with room for a slow machine above.
    EXPECT_GE(waited, std::chrono::milliseconds(1400));
    EXPECT_LT(waited, std::chrono::seconds(10));
}

TEST_F(ProtocolSimTest, LateAckIsTakenByTheNextWait) {
    // Block 0's ACK comes 1.7 s late, after the PC gave up and sent the block again; that
    // late ACK answers the second send, and the transfer goes through.
    connect({"--fault", "late-ack=0:1700"});
    Bytes data;
    std::string path = makeFile(2 * 128, &data);
    EXPECT_EQ(1, sendImageFile(path.c_str(), '3', 'A'));
    SimTransfer t = lastTransfer();
    ASSERT_GE(t.sends.size(), 1u);
    EXPECT_EQ(2, t.sends[0]);
}

}  // namespace
