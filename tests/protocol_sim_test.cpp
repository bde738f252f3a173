// One file at a time to the device simulator over a pty, natively and under Wine: what the
// device saved is the file plus its zero padding, byte for byte, and a wrong or missing
// answer to the header fails it. A block's refusals are the fault matrix's and the peer's.
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
};

TEST_F(ProtocolSimTest, TheDeviceSavesTheFileAndItsPadding) {
    connect();
    // A short last block and the largest file; the block count of each size is the peer's.
    const size_t sizes[] = {129, 13000};
    const int blocks[] = {2, 102};
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

TEST_F(ProtocolSimTest, WrongOrMissingAnswersToTheHeader) {
    connect({"--fault", "enq-before-ack@1", "--fault", "silent-header@2"});
    Bytes data;
    std::string path = makeFile(128, &data);

    EXPECT_EQ(0, sendImageFile(path.c_str(), '3', 'A'));
    EXPECT_GT(TickCountdown, 0);  // at once: the header's wait ended before its ticks ran out

    // Let the ACK that followed the ENQ arrive, then start afresh as a new run would.
    closeLink();
    ASSERT_EQ(1, openLink(8, NOPARITY));
    Clock::time_point start = Clock::now();
    EXPECT_EQ(0, sendImageFile(path.c_str(), '3', 'A'));
    Clock::duration waited = Clock::now() - start;
    // 150 ticks of 10 ms, with room for a slow machine above.
    EXPECT_GE(waited, std::chrono::milliseconds(1400));
    EXPECT_LT(waited, std::chrono::seconds(10));
}

}  // namespace
