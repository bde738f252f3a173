// The device simulator, driven over its pseudo-terminal with hand-made frames: answers,
// saved data and report lines, the faults, pacing at a baud rate, the raw modes, the line
// settings file and the options. Native only; the program's own frames are tested elsewhere.
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/frame_oracle.h"
#include "tests/support/sim_process.h"

using simtest::SimProcess;
using simtest::SimTransfer;
using Bytes = std::vector<unsigned char>;

namespace {

const unsigned char STX = 0x02, ETX = 0x03, ENQ = 0x05, ACK = 0x06, NAK = 0x15, CAN = 0x18;

// Known frames, byte for byte: the header of each type, and the count frame of 3 blocks, id 3.
const Bytes kHeaderA = {0x02, 0x4C, 0x41, 0x4E, 0x03, 0x20};
const Bytes kHeaderC = {0x02, 0x4C, 0x43, 0x4E, 0x03, 0x1E};
const Bytes kHeaderE = {0x02, 0x4C, 0x45, 0x4E, 0x03, 0x1C};
const Bytes kCount3Id3 = {0x02, 0x30, 0x33, 0x33, 0x03, 0x65};

using oracle::blockFrame;
using oracle::checksum;
using oracle::countFrame;
using oracle::withChecksum;

Bytes zeros() {
    return Bytes(128, 0);
}
Bytes filled(unsigned char v) {
    return Bytes(128, v);
}

double secondsSince(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// The suites' frame oracle against known frames, once for all of them.
TEST(FrameOracle, MatchesKnownFramesByteForByte) {
    EXPECT_EQ(kHeaderA, oracle::headerFrame('A'));
    EXPECT_EQ(kHeaderC, oracle::headerFrame('C'));
    EXPECT_EQ(kHeaderE, oracle::headerFrame('E'));
    EXPECT_EQ(kCount3Id3, countFrame(3, '3'));
    Bytes zero = blockFrame(0, zeros());
    ASSERT_EQ(133u, zero.size());
    EXPECT_EQ(0x03, zero[131]);
    EXPECT_EQ(0x1B, zero[132]);
    EXPECT_TRUE(oracle::checksumOk(zero.data(), zero.size()));
    EXPECT_EQ(0x66, oracle::hexPair('6', '6'));  // 102 blocks
    EXPECT_EQ(-1, oracle::hexPair('6', 'f'));    // the PC sends upper case only
}

// A simulator on COM1 and the PC end of its line, opened as a raw 8N1 port.
class SimLine : public ::testing::Test {
protected:
    SimProcess sim;
    int fd = -1;

    void TearDown() override {
        closePort();
        sim.stop();
    }

    void startSim(const std::vector<std::string> &args = {}) {
        ASSERT_TRUE(sim.start(1, args)) << sim.error();
        openPort();
    }

    void openPort(speed_t speed = B9600) {
        fd = open(sim.linkPath().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0) << sim.linkPath();
        struct termios t;
        ASSERT_EQ(0, tcgetattr(fd, &t));
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        cfsetispeed(&t, speed);
        cfsetospeed(&t, speed);
        ASSERT_EQ(0, tcsetattr(fd, TCSANOW, &t));
    }

    void closePort() {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }

    void send(const Bytes &b) { ASSERT_EQ((ssize_t)b.size(), write(fd, b.data(), b.size())); }

    // Up to n bytes, waiting at most timeoutMs in all.
    Bytes receive(size_t n, int timeoutMs = 3000) {
        Bytes out;
        auto start = std::chrono::steady_clock::now();
        while (out.size() < n) {
            int left = timeoutMs - (int)(secondsSince(start) * 1000);
            if (left <= 0)
                break;
            struct pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, left) <= 0)
                break;
            if (p.revents & (POLLHUP | POLLERR))
                break;
            unsigned char buf[256];
            ssize_t r = read(fd, buf, n - out.size() < sizeof buf ? n - out.size() : sizeof buf);
            if (r <= 0)
                break;
            out.insert(out.end(), buf, buf + r);
        }
        return out;
    }

    // Nothing arrives for ms milliseconds.
    void expectQuiet(int ms) { EXPECT_EQ(Bytes{}, receive(1, ms)); }

    void openTransfer(const Bytes &header, int count, char id) {
        send(header);
        ASSERT_EQ((Bytes{ACK, ENQ}), receive(2));
        send({ACK});
        send(countFrame(count, id));
        ASSERT_EQ(Bytes{ACK}, receive(1));
    }

    std::vector<SimTransfer> waitForReport(size_t lines) {
        std::vector<SimTransfer> r;
        simtest::waitFor([&] { return (r = sim.readReport()).size() >= lines; }, 10.0);
        return r;
    }
};

TEST_F(SimLine, AGoodTransferIsAnsweredSavedAndReported) {
    startSim();
    // A 129-byte file: one full block, then 1 byte and 127 zeros.
    Bytes b0;
    for (int i = 0; i < 128; i++)
        b0.push_back((unsigned char)i);
    Bytes b1 = zeros();
    b1[0] = 0x5A;
    openTransfer(kHeaderC, 2, '0');
    send(blockFrame(0, b0));
    EXPECT_EQ(Bytes{ACK}, receive(1));
    send(blockFrame(1, b1));
    EXPECT_EQ(Bytes{ACK}, receive(1));

    auto report = waitForReport(1);
    ASSERT_EQ(1u, report.size());
    const SimTransfer &t = report[0];
    EXPECT_EQ(1, t.ordinal);
    EXPECT_EQ("C", t.type);
    EXPECT_EQ("0", t.id);
    EXPECT_EQ(2, t.blocks);
    EXPECT_EQ((std::vector<int>{1, 1}), t.sends);
    EXPECT_EQ("ok", t.outcome);
    EXPECT_EQ(256, t.bytes);
    EXPECT_EQ(9600, t.baud);
    EXPECT_EQ("0435216daf90411b9cc8a9c0d1319d7baab21332b37ccb7eacd695104f86e65f", t.sha256);
    EXPECT_GT(t.end, 1.6e9);
    EXPECT_LE(t.start, t.end);

    Bytes expected = b0;
    expected.insert(expected.end(), b1.begin(), b1.end());
    Bytes saved, numbered;
    ASSERT_TRUE(sim.readSaved("0", "C", &saved));
    EXPECT_EQ(expected, saved);
    ASSERT_TRUE(simtest::readFileBytes(sim.dir() + "/001_0_C.bin", &numbered));
    EXPECT_EQ(expected, numbered);
}

TEST_F(SimLine, AnEmptyFileEndsAtTheCountAndAnAllZeroBlockIsSaved) {
    startSim();
    openTransfer(kHeaderE, 0, '5');
    openTransfer(kHeaderA, 1, '3');
    send(blockFrame(0, zeros()));
    EXPECT_EQ(Bytes{ACK}, receive(1));
    auto report = waitForReport(2);
    ASSERT_EQ(2u, report.size());
    EXPECT_EQ("ok", report[0].outcome);
    EXPECT_EQ(0, report[0].blocks);
    EXPECT_EQ("E", report[0].type);
    EXPECT_EQ("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", report[0].sha256);
    Bytes saved;
    ASSERT_TRUE(sim.readSaved("5", "E", &saved));
    EXPECT_TRUE(saved.empty());
    EXPECT_EQ(2, report[1].ordinal);
    EXPECT_EQ("38723a2e5e8a17aa7950dc008209944e898f69a7bd10a23c839d341e935fd5ca", report[1].sha256);
    ASSERT_TRUE(sim.readSaved("3", "A", &saved));
    EXPECT_EQ(zeros(), saved);
}

TEST_F(SimLine, FramesTheDeviceCannotAcceptGetNak) {
    startSim();
    // Header: bad checksum, then a type letter that is not C, A or E.
    send({0x02, 0x4C, 0x41, 0x4E, 0x03, 0x21});
    EXPECT_EQ(Bytes{NAK}, receive(1));
    send(withChecksum({STX, 'L', 'X', 'N', ETX}));
    EXPECT_EQ(Bytes{NAK}, receive(1));
    // Garbage before a good header: the device finds the STX.
    send({0xFF, 0x41, 0x00});
    send(kHeaderA);
    EXPECT_EQ((Bytes{ACK, ENQ}), receive(2));
    send({ACK});
    // Count: lower-case hex, over 102 blocks, a bad id, then the good one.
    send(withChecksum({STX, '0', 'a', '3', ETX}));
    EXPECT_EQ(Bytes{NAK}, receive(1));
    send(countFrame(103, '3'));
    EXPECT_EQ(Bytes{NAK}, receive(1));
    send(countFrame(3, '7'));
    EXPECT_EQ(Bytes{NAK}, receive(1));
    send(kCount3Id3);
    EXPECT_EQ(Bytes{ACK}, receive(1));
    // Block 0: bad checksum, then the wrong index, then good.
    Bytes bad = blockFrame(0, filled(7));
    bad[132] ^= 0x01;
    send(bad);
    EXPECT_EQ(Bytes{NAK}, receive(1));
    send(blockFrame(1, filled(7)));
    EXPECT_EQ(Bytes{NAK}, receive(1));
    send(blockFrame(0, filled(7)));
    EXPECT_EQ(Bytes{ACK}, receive(1));
    // The ACK to block 0 was "lost": its resend is taken again, then block 1 goes on.
    send(blockFrame(0, filled(7)));
    EXPECT_EQ(Bytes{ACK}, receive(1));
    send(blockFrame(1, filled(8)));
    EXPECT_EQ(Bytes{ACK}, receive(1));
    send(blockFrame(2, filled(9)));
    EXPECT_EQ(Bytes{ACK}, receive(1));

    auto report = waitForReport(3);
    ASSERT_EQ(3u, report.size());
    EXPECT_EQ("rejected", report[0].outcome);
    EXPECT_EQ("rejected", report[1].outcome);
    EXPECT_EQ("ok", report[2].outcome);
    EXPECT_EQ(3, report[2].blocks);
    EXPECT_EQ((std::vector<int>{4, 1, 1}), report[2].sends);
    Bytes saved, expected = filled(7);
    for (unsigned char v : {8, 9}) {
        Bytes b = filled(v);
        expected.insert(expected.end(), b.begin(), b.end());
    }
    ASSERT_TRUE(sim.readSaved("3", "A", &saved));
    EXPECT_EQ(expected, saved);
}

// The bench bounds a run's time by the bytes that really crossed the line, resends included.
TEST_F(SimLine, EachReportLineCountsTheBytesOfItsExchangeBothWays) {
    startSim({"--fault", "nak-block=0:1"});
    openTransfer(kHeaderA, 2, '1');
    send(blockFrame(0, filled(1)));
    EXPECT_EQ(Bytes{NAK}, receive(1));
    send(blockFrame(0, filled(1)));
    EXPECT_EQ(Bytes{ACK}, receive(1));
    send(blockFrame(1, filled(2)));
    EXPECT_EQ(Bytes{ACK}, receive(1));
    openTransfer(kHeaderE, 0, '6');

    auto report = waitForReport(2);
    ASSERT_EQ(2u, report.size());
    // Header, the PC's ACK, the count frame, then block 0 twice and block 1.
    EXPECT_EQ(6 + 1 + 6 + 3 * 133, report[0].rx);
    // ACK ENQ, ACK to the count, NAK and ACK to block 0, ACK to block 1.
    EXPECT_EQ(6, report[0].tx);
    // The empty file's line counts only its own exchange.
    EXPECT_EQ(6 + 1 + 6, report[1].rx);
    EXPECT_EQ(3, report[1].tx);
}

TEST_F(SimLine, AFrameCutShortIsDroppedAndSilenceEndsATransfer) {
    startSim();
    send({0x02, 0x4C, 0x41});
    expectQuiet(1300);  // more than the 1 s a frame may pause
    send(kHeaderA);
    EXPECT_EQ((Bytes{ACK, ENQ}), receive(2));
    // No ACK from the PC: 3 s later the transfer is over, reported as failed.
    auto report = waitForReport(1);
    ASSERT_EQ(1u, report.size());
    EXPECT_EQ("failed", report[0].outcome);
    EXPECT_GE(report[0].end - report[0].start, 2.9);
    openTransfer(kHeaderC, 0, '0');
    report = waitForReport(2);
    ASSERT_EQ(2u, report.size());
    EXPECT_EQ(2, report[1].ordinal);
    EXPECT_EQ("ok", report[1].outcome);
}

TEST_F(SimLine, TransfersGoOnAcrossClosingAndReopeningThePort) {
    startSim();
    openTransfer(kHeaderA, 1, '1');
    send(blockFrame(0, filled(1)));
    EXPECT_EQ(Bytes{ACK}, receive(1));
    closePort();
    openPort();
    openTransfer(kHeaderA, 1, '2');
    send(blockFrame(0, filled(2)));
    EXPECT_EQ(Bytes{ACK}, receive(1));
    // A PC that gave up mid-transfer and comes back: the new header ends the old transfer.
    openTransfer(kHeaderC, 2, '0');
    send(blockFrame(0, filled(3)));
    EXPECT_EQ(Bytes{ACK}, receive(1));
    closePort();
    openPort();
    openTransfer(kHeaderC, 1, '0');
    send(blockFrame(0, filled(4)));
    EXPECT_EQ(Bytes{ACK}, receive(1));
    auto report = waitForReport(4);
    ASSERT_EQ(4u, report.size());
    EXPECT_EQ("ok", report[0].outcome);
    EXPECT_EQ("ok", report[1].outcome);
    EXPECT_EQ("failed", report[2].outcome);
    EXPECT_EQ((std::vector<int>{1}), report[2].sends);
    EXPECT_EQ("ok", report[3].outcome);
    Bytes saved, numbered;
    ASSERT_TRUE(sim.readSaved("2", "A", &saved));
    EXPECT_EQ(filled(2), saved);
    // The later transfer of 0/C overwrote the name; the numbered copy keeps the cut one.
    ASSERT_TRUE(sim.readSaved("0", "C", &saved));
    EXPECT_EQ(filled(4), saved);
    ASSERT_TRUE(simtest::readFileBytes(sim.dir() + "/003_0_C.bin", &numbered));
    EXPECT_EQ(filled(3), numbered);
}

TEST_F(SimLine, StoppingMidTransferReportsItIncomplete) {
    startSim();
    openTransfer(kHeaderC, 2, '0');
    send(blockFrame(0, filled(3)));
    EXPECT_EQ(Bytes{ACK}, receive(1));
    closePort();
    EXPECT_TRUE(sim.stop());
    auto report = sim.readReport();
    ASSERT_EQ(1u, report.size());
    EXPECT_EQ("incomplete", report[0].outcome);
    EXPECT_EQ((std::vector<int>{1}), report[0].sends);
    EXPECT_TRUE(simtest::fileExists(sim.dir() + "/stopped"));
}

// Faults at the header and the count frame.
TEST_F(SimLine, HeaderAndCountFaults) {
    startSim({"--fault", "silent-header@1", "--fault", "can-header@2", "--fault",
              "enq-before-ack@3", "--fault", "can-count@4", "--fault", "silent-count@5"});
    send(kHeaderA);
    expectQuiet(300);
    send(kHeaderA);  // transfer 2
    EXPECT_EQ(Bytes{CAN}, receive(1));
    send(kHeaderA);  // 3
    EXPECT_EQ((Bytes{ENQ, ACK}), receive(2));
    send(kHeaderA);  // 4
    EXPECT_EQ((Bytes{ACK, ENQ}), receive(2));
    send({ACK});
    send(kCount3Id3);
    EXPECT_EQ(Bytes{CAN}, receive(1));
    send(kHeaderA);  // 5
    EXPECT_EQ((Bytes{ACK, ENQ}), receive(2));
    send({ACK});
    send(kCount3Id3);
    expectQuiet(300);
    openTransfer(kHeaderA, 0, '1');  // 6: no fault left
    auto report = waitForReport(6);
    ASSERT_EQ(6u, report.size());
    EXPECT_EQ("failed", report[0].outcome);
    EXPECT_EQ("cancelled", report[1].outcome);
    EXPECT_EQ("failed", report[2].outcome);
    EXPECT_EQ("cancelled", report[3].outcome);
    EXPECT_EQ("failed", report[4].outcome);
    EXPECT_EQ("ok", report[5].outcome);
}

// Faults at the blocks, each limited to one transfer.
TEST_F(SimLine, BlockFaults) {
    startSim({"--fault", "nak-block=0:4@1", "--fault", "can-block=2@2", "--fault", "stray=1:0615@3",
              "--fault", "silent-block=1@id=4", "--fault", "late-ack=0:600@5"});
    openTransfer(kHeaderA, 1, '1');  // 1: four NAKs, then ACK on the fifth send
    for (int i = 0; i < 4; i++) {
        send(blockFrame(0, filled(1)));
        EXPECT_EQ(Bytes{NAK}, receive(1)) << "send " << i + 1;
    }
    send(blockFrame(0, filled(1)));
    EXPECT_EQ(Bytes{ACK}, receive(1));

    openTransfer(kHeaderA, 4, '2');  // 2: CAN to block 2
    for (int i = 0; i < 2; i++) {
        send(blockFrame(i, filled(2)));
        EXPECT_EQ(Bytes{ACK}, receive(1));
    }
    send(blockFrame(2, filled(2)));
    EXPECT_EQ(Bytes{CAN}, receive(1));

    openTransfer(kHeaderA, 2, '3');  // 3: stray bytes before the answer to block 1
    send(blockFrame(0, filled(3)));
    EXPECT_EQ(Bytes{ACK}, receive(1));
    send(blockFrame(1, filled(3)));
    EXPECT_EQ((Bytes{0x06, 0x15, ACK}), receive(3));

    openTransfer(kHeaderA, 3, '4');  // 4: silent from block 1 on
    send(blockFrame(0, filled(4)));
    EXPECT_EQ(Bytes{ACK}, receive(1));
    send(blockFrame(1, filled(4)));
    expectQuiet(300);
    send(blockFrame(1, filled(4)));
    expectQuiet(300);

    openTransfer(kHeaderA, 1, '5');  // 5: a late ACK
    auto sent = std::chrono::steady_clock::now();
    send(blockFrame(0, filled(5)));
    EXPECT_EQ(Bytes{}, receive(1, 450));
    EXPECT_EQ(Bytes{ACK}, receive(1, 5000));
    EXPECT_GE(secondsSince(sent), 0.6);

    auto report = waitForReport(5);
    ASSERT_EQ(5u, report.size());
    EXPECT_EQ("ok", report[0].outcome);
    EXPECT_EQ((std::vector<int>{5}), report[0].sends);
    EXPECT_EQ("cancelled", report[1].outcome);
    EXPECT_EQ((std::vector<int>{1, 1, 1}), report[1].sends);
    EXPECT_EQ("ok", report[2].outcome);
    EXPECT_EQ("failed", report[3].outcome);  // ended by the next header
    EXPECT_EQ((std::vector<int>{1, 2}), report[3].sends);
    EXPECT_EQ("ok", report[4].outcome);
}

TEST_F(SimLine, TheLineDiesAfterABlock) {
    startSim({"--fault", "dead-after-block=0"});
    openTransfer(kHeaderA, 2, '1');
    send(blockFrame(0, filled(1)));
    EXPECT_EQ(Bytes{ACK}, receive(1));
    // The pty is gone: the PC end hangs up.
    struct pollfd p = {fd, POLLIN, 0};
    ASSERT_EQ(1, poll(&p, 1, 3000));
    EXPECT_TRUE(p.revents & (POLLHUP | POLLERR));
    auto report = waitForReport(1);
    ASSERT_EQ(1u, report.size());
    EXPECT_EQ("failed", report[0].outcome);
}

TEST_F(SimLine, TheLineGoesSilentAfterABlockInSilentMode) {
    startSim({"--fault", "dead-after-block=0", "--dead-mode", "silent"});
    openTransfer(kHeaderA, 2, '1');
    send(blockFrame(0, filled(1)));
    EXPECT_EQ(Bytes{ACK}, receive(1));
    send(blockFrame(1, filled(1)));
    expectQuiet(300);
    send(kHeaderA);  // dead for good: not even a new transfer is answered
    expectQuiet(300);
    struct pollfd p = {fd, POLLOUT, 0};
    EXPECT_EQ(1, poll(&p, 1, 0));
    EXPECT_FALSE(p.revents & POLLHUP);
}

// 8N1 at 9600 baud: 10 bits a byte, 1.0417 ms.
TEST_F(SimLine, AnswersComeAfterTheWireTimeOfTheFrame) {
    startSim({"--baud", "9600"});
    auto t0 = std::chrono::steady_clock::now();
    send(kHeaderA);
    Bytes ack = receive(1);
    double ackAfter = secondsSince(t0);
    Bytes enq = receive(1);
    double enqAfter = secondsSince(t0);
    ASSERT_EQ(Bytes{ACK}, ack);
    ASSERT_EQ(Bytes{ENQ}, enq);
    EXPECT_GE(ackAfter, 7 * 10 / 9600.0);  // 6 header bytes in, then the ACK's own 10 bits
    EXPECT_GE(enqAfter, 8 * 10 / 9600.0);
    send({ACK});
    send(kCount3Id3);
    ASSERT_EQ(Bytes{ACK}, receive(1));
    auto t1 = std::chrono::steady_clock::now();
    send(blockFrame(0, zeros()));
    ASSERT_EQ(Bytes{ACK}, receive(1));
    double blockAfter = secondsSince(t1);
    EXPECT_GE(blockAfter, 0.138);  // 133 bytes: 138.5 ms on the wire
    EXPECT_LT(blockAfter, 2.0);
    // A block still on the wire when the simulator is told to stop reaches the device first.
    send(blockFrame(1, zeros()));
    EXPECT_TRUE(sim.stop());
    auto report = sim.readReport();
    ASSERT_EQ(1u, report.size());
    EXPECT_EQ((std::vector<int>{1, 1}), report[0].sends);
}

TEST_F(SimLine, AutoBaudFollowsTheRateThePcSet) {
    ASSERT_TRUE(sim.start(1, {"--baud", "auto"})) << sim.error();
    openPort(B2400);
    ASSERT_TRUE(simtest::waitFor([&] { return sim.termios().baud == 2400; }, 5.0));
    openTransfer(kHeaderA, 1, '1');
    auto t1 = std::chrono::steady_clock::now();
    send(blockFrame(0, zeros()));
    ASSERT_EQ(Bytes{ACK}, receive(1));
    EXPECT_GE(secondsSince(t1), 0.554);  // 133 bytes at 2400 baud
    auto report = waitForReport(1);
    ASSERT_EQ(1u, report.size());
    EXPECT_EQ(2400, report[0].baud);
}

TEST_F(SimLine, RawModes) {
    startSim({"--raw-reply", "3"});
    send({0x41, 0x42});
    EXPECT_EQ((Bytes{0, 1, 2, 3, 4, 5}), receive(6));
    closePort();
    sim.stop();
    startSim({"--raw-send", "0615"});
    expectQuiet(100);
    send({0x41});
    EXPECT_EQ((Bytes{0x06, 0x15}), receive(2));
    send({0x42});
    expectQuiet(200);
}

TEST_F(SimLine, TheTermiosFileShowsWhatThePcSet) {
    startSim();
    closePort();
    openPort(B2400);  // 2400 8N1 raw
    ASSERT_TRUE(simtest::waitFor([&] { return sim.termios().baud == 2400; }, 5.0));
    auto t = sim.termios();
    EXPECT_TRUE(t.valid);
    EXPECT_EQ(8, t.dataBits);
    EXPECT_EQ("none", t.parity);
    EXPECT_EQ(1, t.stopBits);
    EXPECT_TRUE(t.raw);
    struct termios tio;
    ASSERT_EQ(0, tcgetattr(fd, &tio));
    tio.c_cflag = (tio.c_cflag & ~CSIZE) | CS7 | PARENB | CSTOPB;
    tio.c_lflag |= ICANON;
    ASSERT_EQ(0, tcsetattr(fd, TCSANOW, &tio));
    // A pty keeps 8 data bits and no parity whatever is asked; stop bits and modes show.
    ASSERT_TRUE(simtest::waitFor([&] { return sim.termios().stopBits == 2; }, 5.0));
    t = sim.termios();
    EXPECT_FALSE(t.raw);
}

// Runs the simulator with these arguments; returns its exit status and output.
int runSim(const std::string &args, std::string *output) {
    std::string cmd = "'" + simtest::simulatorPath() + "' " + args + " 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    if (!p)
        return -1;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        output->append(buf, n);
    int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SimOptions, HelpListsEveryOptionAndFault) {
    std::string help;
    ASSERT_EQ(0, runSim("--help", &help));
    for (const char *word : {"--link",
                             "--device",
                             "--out",
                             "--ready-file",
                             "--stop-file",
                             "--stopped-file",
                             "--termios-file",
                             "--lifetime",
                             "--baud",
                             "auto",
                             "--raw-reply",
                             "--raw-send",
                             "--fault",
                             "--dead-mode",
                             "--log",
                             "--verbose",
                             "--help",
                             "silent-header",
                             "silent-count",
                             "silent-block=K",
                             "nak-block=K:N",
                             "can-header",
                             "can-count",
                             "can-block=K",
                             "enq-before-ack",
                             "stray=K:HEX",
                             "late-ack=K:MS",
                             "dead-after-block=K",
                             "@N",
                             "@id=",
                             "report.jsonl"})
        EXPECT_NE(std::string::npos, help.find(word)) << word;
}

TEST(SimOptions, BadOptionsAreRefusedWithAMessage) {
    for (const char *args :
         {"--bogus", "--baud fast", "--baud", "--raw-reply x", "--raw-send 061",
          "--fault nak-block=1", "--fault nak-block=x:2", "--fault stray=1:zz",
          "--fault silent-header@id=2", "--fault can-block=1@id=9", "--fault explode",
          "--dead-mode loud", "--link /tmp/a --device /dev/null"}) {
        std::string out;
        EXPECT_EQ(2, runSim(args, &out)) << args;
        EXPECT_NE(std::string::npos, out.find("marvane-sim:")) << args << ": " << out;
    }
}

}  // namespace
