// The stand-in's own ground, native only: COM ports over a pty (exclusivity, termios seen
// from the far side, time-outs, hang-up, why an open fails), and the doubles of
// tests/support/standin_doubles.h plugged into it (the virtual clock, the device on a pty).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/standin_doubles.h"
#include "platform/winapi.h"
#include "tests/support/test_window.h"

namespace {

// What the stand-in leaves in GetLastError, as Windows numbers it.
const DWORD FILE_NOT_FOUND = 2, ACCESS_DENIED = 5, SHARING_VIOLATION = 32, NOT_SUPPORTED = 50,
            INVALID_PARAMETER = 87, DEVICE_NOT_CONNECTED = 1167;

uint64_t realMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t)now.tv_sec * 1000u + (uint64_t)now.tv_nsec / 1000000u;
}

// A pty whose slave is COM3 through MARVANE_COM3; the test holds the master.
class PtyPortTest : public ::testing::Test {
protected:
    int master = -1;
    int slave = -1;
    HANDLE port = INVALID_HANDLE_VALUE;

    void SetUp() override {
        standinReset();
        char name[128];
        ASSERT_EQ(0, openpty(&master, &slave, name, NULL, NULL));
        setenv("MARVANE_COM3", name, 1);
        port = openCom3();
        ASSERT_NE(INVALID_HANDLE_VALUE, port);
    }
    void TearDown() override {
        if (port != INVALID_HANDLE_VALUE) {
            CloseHandle(port);
        }
        if (master >= 0) {
            close(master);
        }
        close(slave);
        unsetenv("MARVANE_COM3");
    }
    static HANDLE openCom3() {
        return CreateFileA("COM3", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    }
    void setTimeouts(DWORD interval, DWORD readPerByte, DWORD readConstant, DWORD writePerByte,
                     DWORD writeConstant) {
        COMMTIMEOUTS t = {interval, readPerByte, readConstant, writePerByte, writeConstant};
        ASSERT_TRUE(SetCommTimeouts(port, &t));
    }
    // The line settings as the program's open does them: read, change, write back.
    BOOL configure(DWORD baud, BYTE byteSize, BYTE parity, BYTE stopBits) {
        DCB dcb;
        memset(&dcb, 0, sizeof dcb);
        dcb.DCBlength = sizeof dcb;
        GetCommState(port, &dcb);
        dcb.BaudRate = baud;
        dcb.ByteSize = byteSize;
        dcb.Parity = parity;
        dcb.StopBits = stopBits;
        DWORD flags;
        memcpy(&flags, (BYTE *)&dcb + 8, 4);
        flags = (flags & 0xFFFF9093u) | 0x1093u;  // binary, DTR and RTS on, no handshake
        memcpy((BYTE *)&dcb + 8, &flags, 4);
        return SetCommState(port, &dcb);
    }
};

TEST_F(PtyPortTest, PortHasOneOwnerAtATimeInAnyProcess) {
    // A port in use is a sharing violation here, told apart from one the user may not open.
    EXPECT_EQ(INVALID_HANDLE_VALUE, openCom3());
    EXPECT_EQ(SHARING_VIOLATION, GetLastError());

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        HANDLE h = openCom3();
        _exit(h == INVALID_HANDLE_VALUE && GetLastError() == SHARING_VIOLATION ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the other process got in";

    // Once closed, the port is free again.
    ASSERT_TRUE(CloseHandle(port));
    port = openCom3();
    EXPECT_NE(INVALID_HANDLE_VALUE, port);
}

TEST(SerialNames, MissingDeviceIsFileNotFound) {
    standinReset();
    setenv("MARVANE_COM4", "/dev/no-such-tty-here", 1);
    EXPECT_EQ(INVALID_HANDLE_VALUE,
              CreateFileA("COM4", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL));
    EXPECT_EQ(FILE_NOT_FOUND, GetLastError());
    unsetenv("MARVANE_COM4");
}

TEST_F(PtyPortTest, LineSettingsReachTheFarSideAndComeBack) {
    const struct {
        DWORD baud;
        speed_t code;
    } rates[] = {{2400, B2400}, {9600, B9600}, {19200, B19200}};
    for (const auto &rate : rates) {
        SCOPED_TRACE(rate.baud);
        ASSERT_TRUE(configure(rate.baud, 8, NOPARITY, ONESTOPBIT));
        struct termios far;
        ASSERT_EQ(0, tcgetattr(master, &far));
        EXPECT_EQ(rate.code, cfgetospeed(&far));
        EXPECT_EQ((tcflag_t)CS8, far.c_cflag & CSIZE);
        EXPECT_FALSE(far.c_cflag & (PARENB | CSTOPB | CRTSCTS));
        EXPECT_FALSE(far.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP));
        EXPECT_FALSE(far.c_lflag & (ICANON | ECHO | ISIG));  // raw: bytes pass untouched
        EXPECT_FALSE(far.c_oflag & OPOST);

        DCB back;
        memset(&back, 0, sizeof back);
        ASSERT_TRUE(GetCommState(port, &back));
        EXPECT_EQ(28u, back.DCBlength);
        EXPECT_EQ(rate.baud, back.BaudRate);
        EXPECT_EQ(8, back.ByteSize);
        EXPECT_EQ(NOPARITY, back.Parity);
        EXPECT_EQ(ONESTOPBIT, back.StopBits);
        EXPECT_EQ(1u, back.fBinary);
        EXPECT_EQ(0u, back.fOutxCtsFlow);
        EXPECT_EQ((DWORD)DTR_CONTROL_ENABLE, back.fDtrControl);
        EXPECT_EQ((DWORD)RTS_CONTROL_ENABLE, back.fRtsControl);
    }
}

TEST_F(PtyPortTest, ImpossibleSettingsAreRefusedAndChangeNothing) {
    ASSERT_TRUE(configure(9600, 8, NOPARITY, ONESTOPBIT));
    struct {
        DWORD baud;
        BYTE byteSize, parity, stopBits;
    } bad[] = {{9600, 9, 0, 0}, {9600, 4, 0, 0}, {9600, 8, 5, 0},
               {9600, 8, 0, 3}, {0, 8, 0, 0},    {12345, 8, 0, 0}};
    for (const auto &b : bad) {
        EXPECT_FALSE(configure(b.baud, b.byteSize, b.parity, b.stopBits));
        EXPECT_EQ(INVALID_PARAMETER, GetLastError());
    }
    struct termios far;
    ASSERT_EQ(0, tcgetattr(master, &far));
    EXPECT_EQ(B9600, cfgetospeed(&far));
    EXPECT_EQ((tcflag_t)CS8, far.c_cflag & CSIZE);
}

TEST_F(PtyPortTest, ModemLinesAreNotThereOnAPty) {
    // As under Wine: a pty has no DTR or RTS, and the settings above still took.
    const DWORD lines[] = {SETDTR, SETRTS};
    for (DWORD function : lines) {
        EXPECT_FALSE(EscapeCommFunction(port, function));
        EXPECT_EQ(NOT_SUPPORTED, GetLastError());
    }
    EXPECT_FALSE(EscapeCommFunction(port, 77));
    EXPECT_EQ(INVALID_PARAMETER, GetLastError());
}

TEST_F(PtyPortTest, ReadReturnsAtOnceWithWhatHasArrived) {
    ASSERT_TRUE(configure(9600, 8, NOPARITY, ONESTOPBIT));
    BYTE value = 0;
    DWORD got = 99;
    // Reads that would wait for their bytes are not offered: before the time-outs are set
    // for reads that return at once, and with any others, a read fails.
    EXPECT_FALSE(ReadFile(port, &value, 1, &got, NULL));
    EXPECT_EQ(NOT_SUPPORTED, GetLastError());
    setTimeouts(MAXDWORD, 0, 100, 10, 1000);
    EXPECT_FALSE(ReadFile(port, &value, 1, &got, NULL));
    setTimeouts(MAXDWORD, 0, 0, 10, 1000);
    EXPECT_TRUE(ReadFile(port, &value, 1, &got, NULL));
    EXPECT_EQ(0u, got);

    ASSERT_EQ(3, write(master, "\x06\x05\x18", 3));
    std::vector<BYTE> seen;
    // The bytes are in the pty at once, but give the line discipline its moment.
    for (int tries = 0; tries < 1000 && seen.size() < 3; tries++) {
        if (ReadFile(port, &value, 1, &got, NULL) && got == 1) {
            seen.push_back(value);
        } else {
            usleep(1000);
        }
    }
    EXPECT_EQ((std::vector<BYTE>{0x06, 0x05, 0x18}), seen);

    // What the program writes arrives on the far side byte for byte.
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(port, "\x02LAN\x03 ", 6, &written, NULL));
    EXPECT_EQ(6u, written);
    char far[16] = {0};
    ssize_t n = 0;
    for (int tries = 0; tries < 1000 && n < 6; tries++) {
        ssize_t r = read(master, far + n, sizeof far - n);
        n += r > 0 ? r : 0;
    }
    EXPECT_EQ(0, memcmp(far, "\x02LAN\x03 ", 6));
}

TEST_F(PtyPortTest, TotalTimeoutBoundsAWrite) {
    ASSERT_TRUE(configure(9600, 8, NOPARITY, ONESTOPBIT));
    setTimeouts(MAXDWORD, 0, 0, 0, 150);
    // Nobody reads the far side, so the pty fills and the time-out ends the write with a
    // short count, reported as success.
    std::vector<BYTE> big(1 << 20, 0x55);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(port, big.data(), (DWORD)big.size(), &written, NULL));
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, (DWORD)big.size());
}

TEST_F(PtyPortTest, GonePortFailsReadsAndWritesAsAPulledOutAdapter) {
    ASSERT_TRUE(configure(9600, 8, NOPARITY, ONESTOPBIT));
    setTimeouts(MAXDWORD, 0, 0, 10, 1000);
    BYTE value;
    DWORD got = 99, written = 99;
    EXPECT_TRUE(ReadFile(port, &value, 1, &got, NULL));  // nothing yet is no failure
    EXPECT_EQ(0u, got);
    // The far side closing hangs the port up, as pulling a USB adapter out does: reads
    // give 0 bytes, as on a quiet line, and writes EIO.
    close(master);
    master = -1;
    EXPECT_FALSE(ReadFile(port, &value, 1, &got, NULL));
    EXPECT_EQ(DEVICE_NOT_CONNECTED, GetLastError());
    EXPECT_FALSE(WriteFile(port, "x", 1, &written, NULL));
    EXPECT_EQ(DEVICE_NOT_CONNECTED, GetLastError());
    EXPECT_EQ(0u, written);
}

// The error COM4 on `path` leaves when it does not open (0: it opened).
DWORD openError(const char *path) {
    setenv("MARVANE_COM4", path, 1);
    HANDLE port =
        CreateFileA("COM4", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    return port == INVALID_HANDLE_VALUE ? GetLastError() : (CloseHandle(port), 0);
}

// As a user without root's rights, who meets permissions and exclusive ttys.
DWORD openErrorAsUser(const char *path) {
    bool root = geteuid() == 0;
    if (root && seteuid(65534) != 0) {
        return 0;
    }
    DWORD error = openError(path);
    if (root && seteuid(0) != 0) {
        abort();
    }
    return error;
}

TEST(StandinOpen, EachCauseGivesItsWindowsError) {
    standinReset();
    char dir[] = "/tmp/standin-open-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    std::string file = std::string(dir) + "/file", fifo = std::string(dir) + "/fifo";
    close(creat(file.c_str(), 0600));
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    // No terminal is a port: refused before anything is set up.
    for (const char *path : {(const char *)dir, file.c_str(), fifo.c_str(), "/dev/null"}) {
        EXPECT_EQ(NOT_SUPPORTED, openError(path)) << path;
    }
    // /dev/tty with no controlling terminal: a node with no device behind it.
    pid_t child = fork();
    if (child == 0) {
        setsid();
        _exit(openError("/dev/tty") == DEVICE_NOT_CONNECTED ? 0 : 1);
    }
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_EQ(0, status) << "/dev/tty";
    // A tty another program holds exclusively, then one this user may not open.
    int master, slave;
    char pts[128];
    ASSERT_EQ(0, openpty(&master, &slave, pts, NULL, NULL));
    ASSERT_EQ(0, chmod(pts, 0666));
    ASSERT_EQ(0, ioctl(slave, TIOCEXCL));
    EXPECT_EQ(SHARING_VIOLATION, openErrorAsUser(pts));
    ASSERT_EQ(0, chmod(pts, geteuid() == 0 ? 0600 : 0));
    EXPECT_EQ(ACCESS_DENIED, openErrorAsUser(pts));
    close(master);
    close(slave);
    unlink(fifo.c_str());
    unlink(file.c_str());
    rmdir(dir);
}

// ----- the virtual clock and the device behind a pty

struct Echo {
    std::vector<BYTE> heard;
    std::vector<DWORD> when;
};

void echoByte(void *context, BYTE value) {
    Echo *echo = static_cast<Echo *>(context);
    echo->heard.push_back(value);
    echo->when.push_back(standinNow());
}

int ticks = 0;
LRESULT CALLBACK tickProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_TIMER) {
        ticks++;
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

class VirtualTest : public ::testing::Test {
protected:
    Echo echo;
    HANDLE port = INVALID_HANDLE_VALUE;
    HWND window = NULL;
    void SetUp() override {
        standinReset();
        standinUseVirtualClock(TRUE);
        StandinPeer peer = {echoByte, &echo};
        standinAttachPeer(2, &peer);
        port = CreateFileA("COM2", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        ASSERT_NE(INVALID_HANDLE_VALUE, port);
        COMMTIMEOUTS t = {MAXDWORD, 0, 0, 10, 1000};
        ASSERT_TRUE(SetCommTimeouts(port, &t));
        window = testwin::makeWindow("StandinTicks", tickProc, 10, 10);
        ticks = 0;
    }
    void TearDown() override {
        CloseHandle(port);
        DestroyWindow(window);  // and its timers
        standinReset();
    }
    std::vector<BYTE> readAll() {
        std::vector<BYTE> out;
        BYTE value;
        DWORD got;
        while (ReadFile(port, &value, 1, &got, NULL) && got == 1) {
            out.push_back(value);
        }
        return out;
    }
};

TEST_F(VirtualTest, HundredFiftyTicksCostNoRealTime) {
    SetTimer(window, 10000, 10, NULL);
    DWORD start = standinNow();
    uint64_t realStart = realMs();
    MSG msg;
    while (ticks < 150 && GetMessageA(&msg, NULL, 0, 0)) {
        DispatchMessageA(&msg);
    }
    EXPECT_EQ(150, ticks);
    EXPECT_EQ(1500u, standinNow() - start);  // one period per tick, none merged
    EXPECT_LT(realMs() - realStart, 1000u);  // on the real clock it would take 1.5 s

    // A timed wait with nothing to wake it runs out on virtual time too.
    KillTimer(window, 10000);
    start = standinNow();
    realStart = realMs();
    EXPECT_EQ(0x102u /* WAIT_TIMEOUT */,
              MsgWaitForMultipleObjects(0, NULL, FALSE, 800, QS_ALLINPUT));
    EXPECT_EQ(800u, standinNow() - start);
    EXPECT_LT(realMs() - realStart, 500u);
}

TEST_F(VirtualTest, TimersSurviveTheTickCountWrapping) {
    standinSetVirtualTime(0xFFFFFFF0u);
    SetTimer(window, 1, 10, NULL);
    MSG msg;
    while (ticks < 3 && GetMessageA(&msg, NULL, 0, 0)) {
        DispatchMessageA(&msg);
    }
    EXPECT_EQ(3, ticks);
    EXPECT_EQ(0x0000000Eu, GetTickCount());  // 30 ms on from 2^32 - 16
}

TEST_F(VirtualTest, DeviceHearsEveryByteWhenWrittenAndAnswersInOrderOnTime) {
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(port, "\x02\x4C", 2, &written, NULL));
    EXPECT_EQ(2u, written);
    DWORD wroteAt = standinNow();
    Sleep(20);  // the clock's first wait hands the device the bytes, at the time they went
    EXPECT_EQ((std::vector<BYTE>{0x02, 0x4C}), echo.heard);
    EXPECT_EQ((std::vector<DWORD>{wroteAt, wroteAt}), echo.when);

    const BYTE late[] = {0x06};
    const BYTE early[] = {0x05};
    standinPeerSend(2, late, 1, 50);
    standinPeerSend(2, early, 1, 10);  // sent second, so it cannot come first
    Sleep(20);
    EXPECT_TRUE(readAll().empty());
    Sleep(30);
    EXPECT_EQ((std::vector<BYTE>{0x06, 0x05}), readAll());

    // Attaching again drops what is on the line either way, and what is on its way.
    standinPeerSend(2, late, 1, 0);
    Sleep(10);                          // on the line, not read
    standinPeerSend(2, early, 1, 100);  // on its way
    ASSERT_TRUE(WriteFile(port, "\x15", 1, &written, NULL));
    StandinPeer peer = {echoByte, &echo};
    standinAttachPeer(2, &peer);
    Sleep(200);
    EXPECT_TRUE(readAll().empty());
    EXPECT_EQ(2u, echo.heard.size()) << "the device heard what was written before it came";
}

}  // namespace
