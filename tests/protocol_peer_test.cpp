// The transfer protocol against a scripted device on the stand-in's in-process port, on
// virtual time: every byte on the wire and the tick at which it went are checked, and
// time-outs cost no real time. Native only; the simulator suite covers the same ground on
// a real pty, natively and under Wine.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "link/link.h"
#include "tests/support/standin_doubles.h"
#include "protocol/protocol.h"
#include "ui/ui.h"
#include "tests/fixtures/test_window.h"
#include "tests/support/frame_oracle.h"

namespace {

typedef std::vector<BYTE> Bytes;

// What the device does with one frame: the bytes it answers (none: silence) and after how
// many milliseconds.
struct Reply {
    Bytes bytes;
    DWORD delayMs;
};

enum FrameKind { HEADER, COUNT, BLOCK };

// A device that takes the frames the way the controller does and answers as told.
struct ScriptedDevice {
    Bytes wire;                   // every byte the PC wrote, in order
    std::vector<DWORD> when;      // the clock when each arrived
    std::vector<Bytes> frames;    // frames as they arrived (the PC's lone ACK included)
    std::vector<int> blockSends;  // sends per block index
    // kind, block index, send number of that block (1-based)
    std::function<Reply(FrameKind, int, int)> answer;

    enum State { WANT_HEADER, WANT_PC_ACK, WANT_COUNT, WANT_BLOCK } state = WANT_HEADER;
    Bytes pending;

    static void onByte(void *context, BYTE value) {
        static_cast<ScriptedDevice *>(context)->take(value);
    }

    void take(BYTE value) {
        wire.push_back(value);
        when.push_back(standinNow());
        pending.push_back(value);
        size_t want = state == WANT_PC_ACK ? 1 : state == WANT_BLOCK ? BLOCK_FRAME_SIZE : 6;
        if (pending.size() < want) {
            return;
        }
        frames.push_back(pending);
        Bytes frame = pending;
        pending.clear();
        switch (state) {
            case WANT_HEADER:
                state = WANT_PC_ACK;
                send(answer ? answer(HEADER, 0, 1) : Reply{{ACK, ENQ}, 0});
                break;
            case WANT_PC_ACK:
                state = WANT_COUNT;
                break;
            case WANT_COUNT:
                state = WANT_BLOCK;
                send(answer ? answer(COUNT, 0, 1) : Reply{{ACK}, 0});
                break;
            case WANT_BLOCK: {
                int index = oracle::hexPair(frame[1], frame[2]);
                if ((int)blockSends.size() <= index) {
                    blockSends.resize(index + 1);
                }
                int sendNumber = ++blockSends[index];
                send(answer ? answer(BLOCK, index, sendNumber) : Reply{{ACK}, 0});
                break;
            }
        }
    }

    void send(const Reply &reply) {
        if (!reply.bytes.empty()) {
            standinPeerSend(1, reply.bytes.data(), (int)reply.bytes.size(), reply.delayMs);
        }
    }
};

// Records every message the protocol sends to the progress bar.
struct ProgressMessage {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    bool operator==(const ProgressMessage &o) const {
        return message == o.message && wParam == o.wParam && lParam == o.lParam;
    }
};
std::vector<ProgressMessage> progressLog;

LRESULT CALLBACK progressProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message > WM_USER && message <= WM_USER + 8) {  // the progress bar's messages
        progressLog.push_back({message, wParam, lParam});
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

class ProtocolPeerTest : public ::testing::Test {
protected:
    ScriptedDevice device;
    HWND tickWindow = 0;
    std::string dir;

    void SetUp() override {
        standinReset();
        standinUseVirtualClock(TRUE);
        StandinPeer peer = {&ScriptedDevice::onByte, NULL, NULL, &device};
        standinAttachPeer(1, &peer);
        tickWindow = testwin::makeWindow("TickHost", testwin::tickHostProc, 100, 100, 0);
        startTicks(tickWindow);
        RunFrontEnd = &WindowEvents;  // the window program's front end
        WindowContext.progressBar =
            testwin::makeWindow("ProgressRecorder", progressProc, 100, 100, 0);
        progressLog.clear();
        setPort(1);
        setBaud(9600);
        ASSERT_EQ(1, openLink(8, NOPARITY));
        char pattern[] = "/tmp/marvane-protocol-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        dir = pattern;
    }

    // A fresh device and a freshly opened link, for the next case of a grouped test.
    void restart() {
        closeLink();
        device = ScriptedDevice();
        progressLog.clear();
        ASSERT_EQ(1, openLink(8, NOPARITY));
    }

    void TearDown() override {
        closeLink();
        stopTicks(tickWindow);
        WindowContext.progressBar = 0;
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

    // The data bytes of every block frame the device received, in order.
    Bytes blockData() const {
        Bytes data;
        for (const Bytes &frame : device.frames) {
            if (frame.size() == (size_t)BLOCK_FRAME_SIZE) {
                data.insert(data.end(), frame.begin() + 3, frame.begin() + 131);
            }
        }
        return data;
    }
};

TEST_F(ProtocolPeerTest, WireBytesMatchTheDocumentedFrames) {
    // Header per type, the PC's ACK, the count frame: count 3 and id '3' is 02 30 33 33 03 65.
    std::string path = makeFile("three.bin", 3 * 128);
    ASSERT_EQ(1, sendImageFile(path.c_str(), '3', 'A'));
    ASSERT_GE(device.frames.size(), 3u);
    EXPECT_EQ(oracle::headerFrame('A'), device.frames[0]);
    EXPECT_EQ(Bytes({ACK}), device.frames[1]);
    EXPECT_EQ(oracle::countFrame(3, '3'), device.frames[2]);
    ASSERT_EQ(6u, device.frames.size());
    for (int i = 0; i < 3; i++) {
        const Bytes &block = device.frames[3 + i];
        EXPECT_EQ(oracle::blockFrame(i, Bytes(block.begin() + 3, block.begin() + 131)), block)
            << "block " << i;
    }

    restart();
    path = makeFile("c.bin", 1);
    ASSERT_EQ(1, sendImageFile(path.c_str(), '0', 'C'));
    EXPECT_EQ(oracle::headerFrame('C'), device.frames[0]);
    restart();
    path = makeFile("e.bin", 1);
    ASSERT_EQ(1, sendImageFile(path.c_str(), '6', 'E'));
    EXPECT_EQ(oracle::headerFrame('E'), device.frames[0]);
}

TEST_F(ProtocolPeerTest, AllZeroBlockEndsIn031B) {
    std::string path = dir + "/zero.bin";
    FILE *f = fopen(path.c_str(), "wb");
    for (int i = 0; i < 128; i++) {
        fputc(0, f);
    }
    fclose(f);
    ASSERT_EQ(1, sendImageFile(path.c_str(), '0', 'C'));
    const Bytes &block = device.frames.back();
    ASSERT_EQ((size_t)BLOCK_FRAME_SIZE, block.size());
    EXPECT_EQ(Bytes({0x02, '0', '0'}), Bytes(block.begin(), block.begin() + 3));
    EXPECT_EQ(0x03, block[131]);
    EXPECT_EQ(0x1B, block[132]);
}

TEST_F(ProtocolPeerTest, BlockCountsAndPaddingBySize) {
    struct Case {
        size_t size;
        int blocks;
        const char *countDigits;
    };
    const Case cases[] = {{0, 0, "00"},   {1, 1, "01"},       {127, 1, "01"},    {128, 1, "01"},
                          {129, 2, "02"}, {12928, 101, "65"}, {13000, 102, "66"}};
    for (const Case &c : cases) {
        restart();
        std::string path = makeFile("sized.bin", c.size);
        ASSERT_EQ(1, sendImageFile(path.c_str(), '1', 'A')) << c.size;
        const Bytes &count = device.frames[2];
        EXPECT_EQ(c.countDigits, std::string(count.begin() + 1, count.begin() + 3)) << c.size;
        EXPECT_EQ((size_t)(3 + c.blocks), device.frames.size()) << c.size;
        Bytes data = blockData();
        ASSERT_EQ((size_t)c.blocks * 128, data.size()) << c.size;
        for (size_t i = 0; i < data.size(); i++) {
            BYTE expected = i < c.size ? (BYTE)((i * 7 + 1) & 0xFF) : 0;
            ASSERT_EQ(expected, data[i]) << "size " << c.size << " offset " << i;
        }
        if (c.blocks >= 11) {
            // Index 10 goes as '0' 'A'.
            EXPECT_EQ('0', device.frames[3 + 10][1]);
            EXPECT_EQ('A', device.frames[3 + 10][2]);
        }
    }
}

TEST_F(ProtocolPeerTest, FilesTheDeviceCannotTakeFailBeforeAnythingIsSent) {
    std::string big = makeFile("big.bin", 13001);
    EXPECT_EQ(0, sendImageFile(big.c_str(), '0', 'C'));
    std::string missing = dir + "/missing.bin";
    EXPECT_EQ(0, sendImageFile(missing.c_str(), '0', 'C'));
    EXPECT_EQ(0, sendImageFile(dir.c_str(), '0', 'C'));  // a directory, not a file
    EXPECT_TRUE(device.wire.empty());
}

TEST_F(ProtocolPeerTest, NakFourTimesThenAckGoesOn) {
    device.answer = [](FrameKind kind, int index, int sendNumber) {
        if (kind == HEADER) {
            return Reply{{ACK, ENQ}, 0};
        }
        if (kind == BLOCK && index == 1 && sendNumber <= 4) {
            return Reply{{NAK}, 0};
        }
        return Reply{{ACK}, 0};
    };
    std::string path = makeFile("nak.bin", 3 * 128);
    ASSERT_EQ(1, sendImageFile(path.c_str(), '3', 'A'));
    EXPECT_EQ(std::vector<int>({1, 5, 1}), device.blockSends);
    // The five sends of block 1 are identical.
    EXPECT_EQ(device.frames[4], device.frames[8]);
}

TEST_F(ProtocolPeerTest, FiveNaksFailAfterExactlyFiveSends) {
    device.answer = [](FrameKind kind, int index, int) {
        if (kind == HEADER) {
            return Reply{{ACK, ENQ}, 0};
        }
        if (kind == BLOCK && index == 1) {
            return Reply{{NAK}, 0};
        }
        return Reply{{ACK}, 0};
    };
    std::string path = makeFile("nak5.bin", 3 * 128);
    EXPECT_EQ(0, sendImageFile(path.c_str(), '3', 'A'));
    EXPECT_EQ(std::vector<int>({1, 5}), device.blockSends);
}

TEST_F(ProtocolPeerTest, CanEndsTheTransfer) {
    // CAN to block 2: blocks 0 to 2 went once each and nothing follows.
    device.answer = [](FrameKind kind, int index, int) {
        if (kind == HEADER) {
            return Reply{{ACK, ENQ}, 0};
        }
        return Reply{{(BYTE)(kind == BLOCK && index == 2 ? CAN : ACK)}, 0};
    };
    std::string path = makeFile("can.bin", 5 * 128);
    EXPECT_EQ(0, sendImageFile(path.c_str(), '3', 'A'));
    EXPECT_EQ(std::vector<int>({1, 1, 1}), device.blockSends);

    // CAN to the header or the count frame is a wrong answer like any other.
    for (FrameKind where : {HEADER, COUNT}) {
        restart();
        device.answer = [where](FrameKind kind, int, int) {
            if (kind == where) {
                return Reply{{CAN}, 0};
            }
            return kind == HEADER ? Reply{{ACK, ENQ}, 0} : Reply{{ACK}, 0};
        };
        path = makeFile("can2.bin", 128);
        EXPECT_EQ(0, sendImageFile(path.c_str(), '3', 'A'));
        EXPECT_TRUE(device.blockSends.empty());
    }
}

TEST_F(ProtocolPeerTest, EnqBeforeAckFailsAtOnce) {
    device.answer = [](FrameKind kind, int, int) {
        return kind == HEADER ? Reply{{ENQ, ACK}, 0} : Reply{{ACK}, 0};
    };
    std::string path = makeFile("enq.bin", 128);
    DWORD start = standinNow();
    EXPECT_EQ(0, sendImageFile(path.c_str(), '3', 'A'));
    EXPECT_EQ(oracle::headerFrame('A'), device.wire);  // not even the PC's ACK went out
    EXPECT_LT(standinNow() - start, 100u);
}

TEST_F(ProtocolPeerTest, HeaderAndCountAnsweredWithAnythingElseFailAtOnce) {
    // The header takes ACK then ENQ, nothing else; the count frame takes ACK.
    const std::vector<Bytes> headerAnswers = {
        {NAK, ENQ}, {CAN, ENQ}, {'A', ENQ}, {ACK, NAK}, {ACK, ACK}};
    for (const Bytes &answer : headerAnswers) {
        SCOPED_TRACE(testing::PrintToString(answer));
        restart();
        device.answer = [answer](FrameKind kind, int, int) {
            return kind == HEADER ? Reply{answer, 0} : Reply{{ACK}, 0};
        };
        std::string path = makeFile("refused.bin", 128);
        DWORD start = standinNow();
        EXPECT_EQ(0, sendImageFile(path.c_str(), '3', 'A'));
        EXPECT_EQ(oracle::headerFrame('A'), device.wire);
        EXPECT_LT(standinNow() - start, 100u);
    }
    for (BYTE refusal : {NAK, CAN, ENQ}) {
        SCOPED_TRACE(refusal);
        restart();
        device.answer = [refusal](FrameKind kind, int, int) {
            return kind == COUNT ? Reply{{refusal, ACK}, 0} : Reply{{ACK, ENQ}, 0};
        };
        std::string path = makeFile("count.bin", 128);
        EXPECT_EQ(0, sendImageFile(path.c_str(), '3', 'A'));
        EXPECT_EQ(3u, device.frames.size());  // header, the PC's ACK, count: no block
    }
}

TEST_F(ProtocolPeerTest, SilenceFailsAfterTheAnswerTimeout) {
    device.answer = [](FrameKind, int, int) { return Reply{{}, 0}; };
    std::string path = makeFile("silent.bin", 128);
    DWORD start = standinNow();
    EXPECT_EQ(0, sendImageFile(path.c_str(), '3', 'A'));
    DWORD elapsed = standinNow() - start;
    // 150 ticks of 10 ms; a wait lasts at least n - 1 periods.
    EXPECT_GE(elapsed, 1490u);
    EXPECT_LT(elapsed, 1700u);
    EXPECT_EQ(oracle::headerFrame('A'), device.wire);
}

TEST_F(ProtocolPeerTest, PauseBeforeTheCountFrameIsAtLeast24Ticks) {
    std::string path = makeFile("pause.bin", 128);
    ASSERT_EQ(1, sendImageFile(path.c_str(), '3', 'A'));
    // Byte 6 is the PC's ACK, byte 7 the count frame's STX.
    ASSERT_GT(device.when.size(), 7u);
    EXPECT_EQ(ACK, device.wire[6]);
    EXPECT_GE(device.when[7] - device.when[6], 240u);
    EXPECT_LT(device.when[7] - device.when[6], 300u);
}

TEST_F(ProtocolPeerTest, LateAckIsTakenByTheNextWait) {
    // Block 0's ACK comes 1.6 s late, after the PC gave up at 1.5 s and sent the block
    // again; the device says nothing to the second send. The late ACK lands in the ring and
    // answers the second send's wait, and the transfer goes through.
    device.answer = [](FrameKind kind, int index, int sendNumber) {
        if (kind == HEADER) {
            return Reply{{ACK, ENQ}, 0};
        }
        if (kind == BLOCK && index == 0) {
            return sendNumber == 1 ? Reply{{ACK}, 1600} : Reply{{}, 0};
        }
        return Reply{{ACK}, 0};
    };
    std::string path = makeFile("late.bin", 2 * 128);
    ASSERT_EQ(1, sendImageFile(path.c_str(), '3', 'A'));
    EXPECT_EQ(2, device.blockSends[0]);
    EXPECT_EQ(1, device.blockSends[1]);
}

TEST_F(ProtocolPeerTest, ProgressMessagesArriveInOrder) {
    std::string path = makeFile("progress.bin", 2 * 128 + 5);
    ASSERT_EQ(1, sendImageFile(path.c_str(), '3', 'A'));
    // The empty bar at a file's start is the run's step starting (run_test).
    std::vector<ProgressMessage> expected = {
        {PBM_SETRANGE, 0, (LPARAM)(3 << 16)},  // low word 0, high word the block count
        {PBM_SETSTEP, 1, 0},
        {PBM_STEPIT, 0, 0},
        {PBM_STEPIT, 0, 0},
        {PBM_STEPIT, 0, 0},
    };
    EXPECT_EQ(expected, progressLog);
}

TEST_F(ProtocolPeerTest, MissingProgressBarIsHarmless) {
    WindowContext.progressBar = 0;
    std::string path = makeFile("nobar.bin", 128);
    EXPECT_EQ(1, sendImageFile(path.c_str(), '3', 'A'));
}

}  // namespace
