// The line's two ends: opening the pseudo-terminal or the serial device, the link to the PC
// end (std::filesystem), the PC side's settings as termios shows them, and the stale answers
// of a session that is over. When bytes go and come is line.cpp's.
#include "tools/sim/port.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <filesystem>

#include "link/rates.h"

#include "tools/sim/files.h"
#include "tools/sim/options.h"
#include "tools/sim/report.h"

namespace sim {

PortData Port;

namespace {

// The rate a termios speed code stands for, among the rates the controller takes; 0 for any
// other.
long baudValue(speed_t code) {
    for (int rate : BaudRates) {
        speed_t own;
        if (baudCode(rate, &own) && own == code)
            return rate;
    }
    return 0;
}

// The PC side's settings as the termios file shows them; "" if they cannot be read.
std::string readSettings(int fd, long *baud) {
    struct termios t;
    *baud = 0;
    if (fd < 0 || tcgetattr(fd, &t) != 0)
        return "";
    *baud = baudValue(cfgetospeed(&t));
    int bits = 8;
    switch (t.c_cflag & CSIZE) {
        case CS5:
            bits = 5;
            break;
        case CS6:
            bits = 6;
            break;
        case CS7:
            bits = 7;
            break;
        default:
            bits = 8;
    }
    const char *parity = "none";
    if (t.c_cflag & PARENB) {
        if (t.c_cflag & CMSPAR)
            parity = (t.c_cflag & PARODD) ? "mark" : "space";
        else
            parity = (t.c_cflag & PARODD) ? "odd" : "even";
    }
    // Raw: no line editing, echo, signals, output processing or input translation, any of
    // which would change the frames' bytes on their way.
    bool raw = !(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) && !(t.c_oflag & OPOST) &&
               !(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IXON | PARMRK));
    return settingsJson(*baud, bits, parity, (t.c_cflag & CSTOPB) ? 2 : 1, raw);
}

bool setRaw(int fd, long baud) {
    struct termios t;
    if (tcgetattr(fd, &t) != 0)
        return false;
    cfmakeraw(&t);
    t.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    speed_t code = B9600;
    baudCode(baud, &code);
    cfsetispeed(&t, code);
    cfsetospeed(&t, code);
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

bool linkPcEnd(const char *name) {
    namespace fs = std::filesystem;
    fs::path link = Options.link;
    fs::path tmp = Options.link + ".tmp." + std::to_string(getpid());
    std::error_code ec, ignored;
    if (link.has_parent_path())
        fs::create_directories(link.parent_path(), ignored);
    fs::remove(tmp, ignored);
    fs::create_symlink(name, tmp, ec);
    if (!ec)
        fs::rename(tmp, link, ec);
    if (ec) {
        logf("cannot link %s to %s: %s", Options.link.c_str(), name, ec.message().c_str());
        fs::remove(tmp, ignored);
        return false;
    }
    return true;
}

}  // namespace

bool baudCode(long value, speed_t *code) {
    bool taken = false;
    for (int rate : BaudRates)
        taken = taken || rate == value;
    // The C library turns a rate given as a number into its speed code.
    struct termios probe = {};
    if (!taken || cfsetspeed(&probe, (speed_t)value) != 0)
        return false;
    *code = cfgetospeed(&probe);
    return true;
}

bool openPort() {
    if (!Options.device.empty()) {
        Port.fd = open(Options.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (Port.fd < 0 || !setRaw(Port.fd, Options.baud ? Options.baud : 9600)) {
            logf("cannot open %s: %s", Options.device.c_str(), strerror(errno));
            return false;
        }
        Port.name = Options.device;
        return true;
    }
    Port.fd = posix_openpt(O_RDWR | O_NOCTTY);
    char name[128];
    if (Port.fd < 0 || grantpt(Port.fd) != 0 || unlockpt(Port.fd) != 0 ||
        ptsname_r(Port.fd, name, sizeof name) != 0) {
        logf("cannot open a pseudo-terminal: %s", strerror(errno));
        return false;
    }
    Port.name = name;
    Port.slaveFd = open(name, O_RDWR | O_NOCTTY);
    if (Port.slaveFd < 0 || !setRaw(Port.slaveFd, 9600)) {
        logf("cannot open %s: %s", name, strerror(errno));
        return false;
    }
    fcntl(Port.fd, F_SETFL, fcntl(Port.fd, F_GETFL) | O_NONBLOCK);
    fcntl(Port.slaveFd, F_SETFL, fcntl(Port.slaveFd, F_GETFL) | O_NONBLOCK);
    Port.pty = true;
    // Opens of the PC end tell us a new session on the port begins (see flushStale).
    Port.watchFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (Port.watchFd >= 0 && inotify_add_watch(Port.watchFd, name, IN_OPEN) < 0) {
        close(Port.watchFd);
        Port.watchFd = -1;
    }
    if (!Options.link.empty())
        return linkPcEnd(name);
    printf("%s\n", name);
    fflush(stdout);
    return true;
}

bool updateSettings() {
    long baud = 0;
    std::string now = readSettings(Port.fd, &baud);
    if (Port.fd < 0 || now == Port.settings)
        return false;
    Port.settings = now;
    Port.baud = baud;
    if (!Options.termiosFile.empty())
        writeFileAtomically(Options.termiosFile, now.data(), now.size());
    if (Options.verbose)
        logf("line settings: %s", now.substr(0, now.size() - 1).c_str());
    return true;
}

// The PC end was opened again. Answers that went out while nobody had the port open (a late
// ACK after the PC gave up, say) would sit in the pty and greet the next run; a real port
// loses them, so drop what is still queued. Called before any byte is read, so the open is
// seen before the first byte the new session writes. Best effort: bytes the kernel still
// holds between the two ends are not visible here, so a PC side that cares flushes on open.
void flushStale() {
    char buf[512];
    bool opened = false;
    while (read(Port.watchFd, buf, sizeof buf) > 0)
        opened = true;
    if (!opened || Port.slaveFd < 0)
        return;
    // Reading our own end first waits for bytes still on their way into the pty's queue,
    // which a flush alone can miss.
    int stale = 0;
    for (ssize_t n; (n = read(Port.slaveFd, buf, sizeof buf)) > 0;)
        stale += (int)n;
    tcflush(Port.slaveFd, TCIFLUSH);
    if (Options.verbose || stale > 0)
        logf("the PC side opened the port; %d stale byte(s) dropped", stale);
}

void closePort() {
    close(Port.fd);
    Port.fd = -1;
    if (Port.slaveFd >= 0)
        close(Port.slaveFd);
    Port.slaveFd = -1;
    if (Port.watchFd >= 0)
        close(Port.watchFd);
    Port.watchFd = -1;
}

}  // namespace sim
