// The transfer protocol against the simulator's device model in process, behind a pty on
// virtual time: every byte on the wire and the tick at which it went are checked, and
// time-outs cost no real time. Native only; the simulator suite covers the same ground with
// marvane-sim itself, natively and under Wine.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "link/link.h"
#include "tests/support/device_peer.h"
#include "tests/support/event_recorder.h"
#include "tests/support/standin_doubles.h"
#include "protocol/protocol.h"
#include "tests/support/test_window.h"
#include "tests/support/frame_oracle.h"

namespace {

typedef std::vector<BYTE> Bytes;

// The header, the PC's ACK and the count frame come before the first block frame.
const size_t FIRST_BLOCK = 6 + 1 + 6;

class ProtocolPeerTest : public ::testing::Test {
protected:
    DevicePeer device;  // the controller: the simulator's device model
    EventRecorder recorder;
    HWND tickWindow = 0;
    std::string dir;

    void SetUp() override {
        tickWindow = device.startCase("TickHost", tickWindowProc, &recorder.listener);
        ASSERT_EQ(1, openLink(8, NOPARITY));
        char pattern[] = "/tmp/marvane-protocol-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        dir = pattern;
    }

    // A fresh device and a freshly opened link, for the next case of a grouped test.
    void restart() {
        closeLink();
        device = DevicePeer();
        device.attach(1);  // nothing of the last case stays on the line
        recorder.events.clear();
        ASSERT_EQ(1, openLink(8, NOPARITY));
    }

    void TearDown() override {
        closeLink();
        stopTicks(tickWindow);
        setRunListener(0);
        std::string command = "rm -rf '" + dir + "'";
        (void)system(command.c_str());
    }

    // A file of `size` bytes whose byte i is (i * 7 + 1) & 0xFF: never all zeros.
    std::string makeFile(const char *name, size_t size) {
        std::string path = dir + "/" + name;
        FILE *f = fopen(path.c_str(), "wb");
        for (size_t i = 0; i < size; i++) {
            fputc((int)((i * 7 + 1) & 0xFF), f);
        }
        fclose(f);
        return path;
    }

    // What the PC must write for makeFile's file of `size` bytes, as the frame oracle builds
    // it: the header, the PC's ACK, the count frame, then each block once, zero-padded.
    static Bytes expectedWire(char type, char id, size_t size) {
        int blocks = (int)((size + 127) / 128);
        Bytes wire = oracle::headerFrame(type);
        wire.push_back(ACK);
        Bytes count = oracle::countFrame(blocks, id);
        wire.insert(wire.end(), count.begin(), count.end());
        for (size_t at = 0; at < (size_t)blocks * 128; at += 128) {
            Bytes data(128, 0);
            for (size_t i = at; i < at + 128 && i < size; i++) {
                data[i - at] = (BYTE)((i * 7 + 1) & 0xFF);
            }
            Bytes block = oracle::blockFrame((int)(at / 128), data);
            wire.insert(wire.end(), block.begin(), block.end());
        }
        return wire;
    }

    // The n-th block frame the PC wrote, and the sends per block index: after the header,
    // its ACK and the count frame, the PC writes only block frames.
    Bytes sentBlock(int n) {
        auto from = device.wire().begin() + FIRST_BLOCK + n * BLOCK_FRAME_SIZE;
        return Bytes(from, from + BLOCK_FRAME_SIZE);
    }
    std::vector<int> blockSends() {
        std::vector<int> sends;
        for (size_t at = FIRST_BLOCK; at + BLOCK_FRAME_SIZE <= device.wire().size();
             at += BLOCK_FRAME_SIZE) {
            int index = oracle::hexPair(device.wire()[at + 1], device.wire()[at + 2]);
            sends.resize(sends.size() > (size_t)index ? sends.size() : index + 1);
            sends[index]++;
        }
        return sends;
    }
};

TEST_F(ProtocolPeerTest, WireBytesMatchTheDocumentedFrames) {
    // Header per type, the PC's ACK, the count frame (count 3 and id '3' is 02 30 33 33 03
    // 65), then every block once.
    std::string path = makeFile("three.bin", 3 * 128);
    ASSERT_EQ(1, sendImageFile(path.c_str(), '3', 'A'));
    EXPECT_EQ(expectedWire('A', '3', 3 * 128), device.wire());

    restart();
    path = makeFile("c.bin", 1);
    ASSERT_EQ(1, sendImageFile(path.c_str(), '0', 'C'));
    EXPECT_EQ(expectedWire('C', '0', 1), device.wire());
    restart();
    path = makeFile("e.bin", 1);
    ASSERT_EQ(1, sendImageFile(path.c_str(), '6', 'E'));
    EXPECT_EQ(expectedWire('E', '6', 1), device.wire());
}

TEST_F(ProtocolPeerTest, AllZeroBlockEndsIn031B) {
    std::string path = dir + "/zero.bin";
    FILE *f = fopen(path.c_str(), "wb");
    for (int i = 0; i < 128; i++) {
        fputc(0, f);
    }
    fclose(f);
    ASSERT_EQ(1, sendImageFile(path.c_str(), '0', 'C'));
    ASSERT_EQ(FIRST_BLOCK + BLOCK_FRAME_SIZE, device.wire().size());
    const Bytes block = sentBlock(0);
    EXPECT_EQ(Bytes({0x02, '0', '0'}), Bytes(block.begin(), block.begin() + 3));
    EXPECT_EQ(0x03, block[131]);
    EXPECT_EQ(0x1B, block[132]);
}

TEST_F(ProtocolPeerTest, BlockCountsAndPaddingBySize) {
    struct Case {
        size_t size;
        const char *countDigits;
    };
    const Case cases[] = {{0, "00"},   {1, "01"},     {127, "01"},  {128, "01"},
                          {129, "02"}, {12928, "65"}, {13000, "66"}};
    for (const Case &c : cases) {
        restart();
        std::string path = makeFile("sized.bin", c.size);
        ASSERT_EQ(1, sendImageFile(path.c_str(), '1', 'A')) << c.size;
        ASSERT_GE(device.wire().size(), FIRST_BLOCK) << c.size;
        EXPECT_EQ(c.countDigits, std::string(device.wire().begin() + 8, device.wire().begin() + 10))
            << c.size;
        // Every block once, the last padded with zeros; index 10 goes as '0' 'A'.
        EXPECT_EQ(expectedWire('A', '1', c.size), device.wire()) << c.size;
        if (c.size > 10 * 128) {
            EXPECT_EQ('0', sentBlock(10)[1]);
            EXPECT_EQ('A', sentBlock(10)[2]);
        }
    }
}

TEST_F(ProtocolPeerTest, FilesTheDeviceCannotTakeFailBeforeAnythingIsSent) {
    std::string big = makeFile("big.bin", 13001);
    EXPECT_EQ(0, sendImageFile(big.c_str(), '0', 'C'));
    std::string missing = dir + "/missing.bin";
    EXPECT_EQ(0, sendImageFile(missing.c_str(), '0', 'C'));
    EXPECT_EQ(0, sendImageFile(dir.c_str(), '0', 'C'));  // a directory, not a file
    EXPECT_TRUE(device.wire().empty());
}

TEST_F(ProtocolPeerTest, NakedBlockGoesAgainUpToFiveSends) {
    // Four NAKs then ACK: the fifth send goes through. Five NAKs: the PC gives up after
    // exactly five sends. The sends of block 1 are identical, each answer told with its attempt.
    const std::vector<std::string> naks = {"block 0 1 ACK", "block 1 1 NAK", "block 1 2 NAK",
                                           "block 1 3 NAK", "block 1 4 NAK"};
    const struct {
        const char *fault;
        BYTE result;
        std::vector<int> sends;
        std::vector<std::string> then;  // told after the four NAKs
    } cases[] = {
        {"nak-block=1:4", 1, {1, 5, 1}, {"block 1 5 ACK", "block 2 1 ACK"}},
        {"nak-block=1:5", 0, {1, 5}, {"block 1 5 NAK"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.fault);
        restart();
        device.fault(c.fault);
        std::string path = makeFile("nak.bin", 3 * 128);
        EXPECT_EQ(c.result, sendImageFile(path.c_str(), '3', 'A'));
        ASSERT_EQ(c.sends, blockSends());
        EXPECT_EQ(sentBlock(1), sentBlock(5));
        std::vector<std::string> told = naks;
        told.insert(told.end(), c.then.begin(), c.then.end());
        EXPECT_EQ(told, recorder.lines("block"));
    }
}

TEST_F(ProtocolPeerTest, CanEndsTheTransfer) {
    // CAN to block 2: blocks 0 to 2 went once each and nothing follows.
    device.fault("can-block=2");
    std::string path = makeFile("can.bin", 5 * 128);
    EXPECT_EQ(0, sendImageFile(path.c_str(), '3', 'A'));
    EXPECT_EQ(std::vector<int>({1, 1, 1}), blockSends());
    EXPECT_EQ(FIRST_BLOCK + 3 * BLOCK_FRAME_SIZE, device.wire().size());

    // CAN to the header or the count frame is a wrong answer like any other: nothing follows.
    for (std::string fault : {"can-header", "can-count"}) {
        restart();
        device.fault(fault);
        path = makeFile("can2.bin", 128);
        EXPECT_EQ(0, sendImageFile(path.c_str(), '3', 'A'));
        EXPECT_EQ(fault == "can-header" ? 6 : FIRST_BLOCK, device.wire().size()) << fault;
    }
}

TEST_F(ProtocolPeerTest, EnqBeforeAckFailsAtOnce) {
    device.fault("enq-before-ack");
    std::string path = makeFile("enq.bin", 128);
    DWORD start = standinNow();
    EXPECT_EQ(0, sendImageFile(path.c_str(), '3', 'A'));
    EXPECT_EQ(oracle::headerFrame('A'), device.wire());  // not even the PC's ACK went out
    EXPECT_LT(standinNow() - start, 100u);
}

TEST_F(ProtocolPeerTest, HeaderAndCountAnsweredWithAnythingElseFailAtOnce) {
    // The header takes ACK then ENQ, nothing else; the count frame takes ACK.
    // The result says which answer was wrong: the first (ACK due) or the second (ENQ due).
    const std::vector<std::pair<Bytes, int>> headerAnswers = {
        {{NAK, ENQ}, 1}, {{CAN, ENQ}, 1}, {{'A', ENQ}, 1}, {{ACK, NAK}, 2}, {{ACK, ACK}, 2}};
    for (const auto &answer : headerAnswers) {
        SCOPED_TRACE(testing::PrintToString(answer.first));
        restart();
        device.reply({sim::kHeaderFrame, answer.first});
        std::string path = makeFile("refused.bin", 128);
        DWORD start = standinNow();
        EXPECT_EQ(0, sendImageFile(path.c_str(), '3', 'A'));
        EXPECT_EQ(oracle::headerFrame('A'), device.wire());
        EXPECT_LT(standinNow() - start, 100u);
        EXPECT_EQ(TRANSFER_HEADER_UNANSWERED, LastTransfer.end);
        EXPECT_EQ(answer.second, LastTransfer.headerAnswers);
        EXPECT_EQ(answer.first[answer.second - 1], LastTransfer.answerByte);
    }
    for (BYTE refusal : {NAK, CAN, ENQ}) {
        SCOPED_TRACE(refusal);
        restart();
        device.reply({sim::kCountFrame, {refusal, ACK}});
        std::string path = makeFile("count.bin", 128);
        EXPECT_EQ(0, sendImageFile(path.c_str(), '3', 'A'));
        EXPECT_EQ(FIRST_BLOCK, device.wire().size());  // header, the PC's ACK, count: no block
    }
}

TEST_F(ProtocolPeerTest, SilenceFailsAfterTheAnswerTimeout) {
    device.fault("silent-header");
    std::string path = makeFile("silent.bin", 128);
    DWORD start = standinNow();
    EXPECT_EQ(0, sendImageFile(path.c_str(), '3', 'A'));
    DWORD elapsed = standinNow() - start;
    // 150 ticks of 10 ms; a wait lasts at least n - 1 periods.
    EXPECT_GE(elapsed, 1490u);
    EXPECT_LT(elapsed, 1700u);
    EXPECT_EQ(oracle::headerFrame('A'), device.wire());
}

TEST_F(ProtocolPeerTest, ASilentDeviceIsWaitedForOnlyBeforeItsFirstAnswer) {
    // Silent to the first two headers, then a device in download mode: with 5 s to wait the
    // header goes three times, 1.5 s apart, and the file follows.
    std::string path = makeFile("wait.bin", 128);
    Policy.deviceWaitMs = 5000;
    DeviceAnswered = 0;
    for (int transfer : {1, 2}) {
        sim::Reply silence = {sim::kHeaderFrame, {}};
        silence.transfer = transfer;
        device.reply(silence);
    }
    ASSERT_EQ(1, sendImageFile(path.c_str(), '3', 'A'));
    EXPECT_EQ(std::vector<std::string>({"header-repeated 2", "header-repeated 3"}),
              recorder.lines("header-repeated"));
    Bytes header = oracle::headerFrame('A');
    EXPECT_EQ(header, Bytes(device.wire().begin() + 6, device.wire().begin() + 12));
    EXPECT_GE(device.when()[12] - device.when()[0], 2 * 1490u);

    // Once a header of the run was answered, silence fails at the first time-out as before.
    restart();
    device.fault("silent-header");
    EXPECT_EQ(0, sendImageFile(path.c_str(), '3', 'A'));
    EXPECT_EQ(header, device.wire());

    // A device that stays silent is waited for until the time is up, then the header fails.
    restart();
    device.fault("silent-header");
    Policy.deviceWaitMs = 3000;
    DeviceAnswered = 0;
    DWORD start = standinNow();
    EXPECT_EQ(0, sendImageFile(path.c_str(), '3', 'A'));
    EXPECT_EQ(TRANSFER_HEADER_UNANSWERED, LastTransfer.end);
    EXPECT_GE(standinNow() - start, 3000u);
    EXPECT_LT(standinNow() - start, 3300u);
    EXPECT_EQ(2 * header.size(), device.wire().size());
    Policy.deviceWaitMs = 0;
}

TEST_F(ProtocolPeerTest, PauseBeforeTheCountFrameIsAtLeast24Ticks) {
    std::string path = makeFile("pause.bin", 128);
    ASSERT_EQ(1, sendImageFile(path.c_str(), '3', 'A'));
    // Byte 6 is the PC's ACK, byte 7 the count frame's STX.
    ASSERT_GT(device.when().size(), 7u);
    EXPECT_EQ(ACK, device.wire()[6]);
    EXPECT_GE(device.when()[7] - device.when()[6], 240u);
    EXPECT_LT(device.when()[7] - device.when()[6], 300u);
}

TEST_F(ProtocolPeerTest, LateAckIsTakenByTheNextWait) {
    // Block 0's ACK comes 1.6 s late, after the PC gave up at 1.5 s and sent the block
    // again; the device says nothing to the second send. The late ACK lands in the ring and
    // answers the second send's wait, and the transfer goes through.
    device.fault("late-ack=0:1600");
    sim::Reply secondSend = {sim::kBlockFrame, {}};
    secondSend.send = 2;
    device.reply(secondSend);
    std::string path = makeFile("late.bin", 2 * 128);
    ASSERT_EQ(1, sendImageFile(path.c_str(), '3', 'A'));
    EXPECT_EQ(std::vector<int>({2, 1}), blockSends());
}

TEST_F(ProtocolPeerTest, TheFileAndEachAnswerAreToldInOrder) {
    std::string path = makeFile("progress.bin", 2 * 128 + 5);
    ASSERT_EQ(1, sendImageFile(path.c_str(), '3', 'A'));
    // The step's start is the run's to tell (run_test).
    EXPECT_EQ(std::vector<std::string>(
                  {"file-read 261 3", "block 0 1 ACK", "block 1 1 ACK", "block 2 1 ACK"}),
              recorder.lines());
}

}  // namespace
