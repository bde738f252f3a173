// sim::Device's frame checks in-process, with times chosen by the test: every check that
// turns a frame away, what the device answers, and how a transfer ends. The simulator
// suite drives the same device over a pty; this one needs no line and no waiting.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/frame_oracle.h"
#include "tools/sim/device.h"

namespace {

using oracle::Bytes;
const sim::Nanos MS = sim::kMillis;

class SimDevice : public ::testing::Test {
protected:
    sim::Device device;
    sim::Output out;
    sim::Nanos now = 1000 * MS;

    // Feeds the bytes 1 ms apart and returns what the device answered to them.
    Bytes feed(const Bytes &bytes) {
        out = sim::Output();
        for (uint8_t b : bytes) {
            now += MS;
            device.onByte(b, now, &out);
        }
        Bytes answered;
        for (const sim::Answer &a : out.answers) {
            answered.insert(answered.end(), a.bytes.begin(), a.bytes.end());
        }
        return answered;
    }
    // A transfer opened as the PC opens one: header, its ACK to ENQ, the count frame.
    void open(char type, int blocks, char id) {
        ASSERT_EQ(Bytes({sim::ACK, sim::ENQ}), feed(oracle::headerFrame(type)));
        ASSERT_EQ(Bytes(), feed({sim::ACK}));
        ASSERT_EQ(Bytes({sim::ACK}), feed(oracle::countFrame(blocks, id)));
    }
    // The frame with one byte changed: the checksum is made again unless told otherwise.
    static Bytes changed(Bytes frame, size_t at, uint8_t value, bool fixChecksum = true) {
        frame[at] = value;
        if (fixChecksum) {
            frame.pop_back();
            frame = oracle::withChecksum(frame);
        }
        return frame;
    }
};

TEST_F(SimDevice, HeaderChecksTurnAwayEachFaultWithNak) {
    const Bytes header = oracle::headerFrame('A');
    const struct {
        Bytes frame;
        const char *why;
    } bad[] = {
        {changed(header, 2, 'X'), "is not C, A or E"},
        {changed(header, 3, 'M'), "where 'N' belongs"},
        {changed(header, 4, 0x04), "no ETX"},
        {changed(header, 5, 0x21, false), "bad header checksum"},
    };
    for (const auto &b : bad) {
        EXPECT_EQ(Bytes({sim::NAK}), feed(b.frame)) << b.why;
        ASSERT_EQ(1u, out.ended.size()) << b.why;
        EXPECT_EQ("rejected", out.ended[0].outcome);
        EXPECT_NE(std::string::npos, out.ended[0].detail.find(b.why)) << out.ended[0].detail;
    }
}

TEST_F(SimDevice, CountChecksNakAndTheGoodCountStillGoesThrough) {
    ASSERT_EQ(Bytes({sim::ACK, sim::ENQ}), feed(oracle::headerFrame('A')));
    // A count frame before the PC's ACK to ENQ is refused too.
    EXPECT_EQ(Bytes({sim::NAK}), feed(oracle::countFrame(3, '3')));
    feed({sim::ACK});
    const Bytes count = oracle::countFrame(3, '3');
    const Bytes bad[] = {changed(count, 2, 'a'), oracle::countFrame(103, '3'),
                         oracle::countFrame(3, '7'), changed(count, 4, 0x04),
                         changed(count, 5, (uint8_t)(count[5] ^ 1), false)};
    for (const Bytes &frame : bad) {
        EXPECT_EQ(Bytes({sim::NAK}), feed(frame));
    }
    EXPECT_EQ(Bytes({sim::ACK}), feed(count));
    EXPECT_EQ("3", device.current.id);
    EXPECT_EQ(3, device.current.blocks);
}

TEST_F(SimDevice, BlockChecksAndTheResendOfTheLastBlock) {
    open('C', 2, '0');
    const Bytes block0 = oracle::blockFrame(0, Bytes(128, 7));
    EXPECT_EQ(Bytes({sim::NAK}), feed(changed(block0, 131, 0x04)));  // no ETX
    EXPECT_EQ(Bytes({sim::NAK}),
              feed(changed(block0, 132, (uint8_t)(block0[132] ^ 1), false)));  // checksum
    EXPECT_EQ(Bytes({sim::NAK}), feed(oracle::blockFrame(1, Bytes(128, 7))));  // ahead of its turn
    EXPECT_EQ(Bytes({sim::ACK}), feed(block0));
    EXPECT_EQ(Bytes({sim::ACK}), feed(block0));  // its ACK was lost: taken again, not stored twice
    EXPECT_EQ(Bytes({sim::ACK}), feed(oracle::blockFrame(1, Bytes(128, 8))));
    ASSERT_EQ(1u, out.ended.size());
    EXPECT_EQ("ok", out.ended[0].outcome);
    EXPECT_EQ((std::vector<int>{5, 1}), out.ended[0].sends);
    Bytes data(128, 7);
    data.insert(data.end(), 128, 8);
    EXPECT_EQ(data, out.ended[0].data);
    // After the transfer the last block again is still acknowledged, anything else NAKed.
    EXPECT_EQ(Bytes({sim::ACK}), feed(oracle::blockFrame(1, Bytes(128, 8))));
    EXPECT_EQ(Bytes({sim::NAK}), feed(oracle::blockFrame(0, Bytes(128, 8))));
}

TEST_F(SimDevice, AFrameCutShortIsDroppedAndSilenceEndsTheTransfer) {
    feed({sim::STX, 'L', 'A'});
    EXPECT_EQ(now + sim::kFrameGap, device.nextTimer());
    device.onTime(now + sim::kFrameGap, &out);
    EXPECT_FALSE(device.midFrame());
    EXPECT_EQ(Bytes({sim::ACK, sim::ENQ}), feed(oracle::headerFrame('A')));  // a fresh frame
    // The same when the header comes before anyone called onTime: the pause still counts.
    device = sim::Device();
    feed({sim::STX, 'L', 'A'});
    now += sim::kFrameGap;
    EXPECT_EQ(Bytes({sim::ACK, sim::ENQ}), feed(oracle::headerFrame('A')));
    sim::Nanos quiet = now + sim::kTransferSilence;
    device.onTime(quiet - MS, &out);
    EXPECT_TRUE(out.ended.empty());
    device.onTime(quiet, &out);
    ASSERT_EQ(1u, out.ended.size());
    EXPECT_EQ("failed", out.ended[0].outcome);
    EXPECT_NE(std::string::npos, out.ended[0].detail.find("waiting for the PC's ACK"));
}

TEST_F(SimDevice, ScriptedRepliesStandInForItsAnswersAndItGoesOn) {
    sim::Reply quiet = {sim::kBlockFrame, {}};  // block 0's second send goes unanswered
    quiet.send = 2;
    sim::Reply late = {sim::kBlockFrame, {sim::ACK}, 500 * MS, 1};  // block 1 of id '3', late
    late.id = '3';
    sim::Reply firstHeader = {sim::kHeaderFrame, {sim::NAK, sim::ENQ}};
    firstHeader.transfer = 1;
    device.replies = {quiet, late, firstHeader, {sim::kPcAck, {sim::CAN}}};
    EXPECT_EQ(Bytes({sim::NAK, sim::ENQ}), feed(oracle::headerFrame('A')));
    EXPECT_EQ(Bytes({sim::CAN}), feed({sim::ACK}));
    EXPECT_EQ(Bytes({sim::ACK}), feed(oracle::countFrame(2, '3')));
    const Bytes block0 = oracle::blockFrame(0, Bytes(128, 1));
    EXPECT_EQ(Bytes({sim::ACK}), feed(block0));
    EXPECT_EQ(Bytes(), feed(block0));
    EXPECT_EQ(Bytes({sim::ACK}), feed(oracle::blockFrame(1, Bytes(128, 2))));
    EXPECT_EQ(now + 500 * MS, out.answers[0].at);
    ASSERT_EQ(1u, out.ended.size());
    EXPECT_EQ("ok", out.ended[0].outcome);
    EXPECT_EQ((std::vector<int>{2, 1}), out.ended[0].sends);
    // The next transfer's header gets the device's own answer.
    EXPECT_EQ(Bytes({sim::ACK, sim::ENQ}), feed(oracle::headerFrame('A')));
}

}  // namespace
