// marvane-sim: plays the station controller on a pseudo-terminal or a real serial port, for
// the tests, the demo and the bench. This file owns the line (opening, pacing at the wire's
// speed, killing it), the session's files and the options; the exchange is device.cpp's.
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <openssl/sha.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <deque>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/sim/device.h"

using sim::Nanos;

namespace {

const char kHelp[] =
    "Usage: marvane-sim [options]\n"
    "Plays the fuel-station controller on a serial line: answers the PC's header, count and\n"
    "block frames, saves what it receives and reports each transfer, one JSON line each.\n"
    "\n"
    "The line:\n"
    "  --link PATH         open a pseudo-terminal and put a symlink to its PC end at PATH\n"
    "                      (an existing link is replaced); the PC side opens PATH\n"
    "  --device PATH       use this serial device instead, set to 8N1 raw at --baud (9600)\n"
    "                      With neither, the PC end's name is printed on standard output.\n"
    "  --baud N|auto       emulate a line of N baud (8N1, 10 bit times a byte): take the PC's\n"
    "                      bytes no faster than the wire carries them and send each answer\n"
    "                      only once its wire time has passed; auto: the rate the PC side set\n"
    "                      on the pseudo-terminal. Default: no emulation, answers at once.\n"
    "                      With --device, N is the line rate and the wire itself paces.\n"
    "\n"
    "Files:\n"
    "  --out DIR           save each transfer as DIR/<fileid>_<type>.bin (data as received,\n"
    "                      padding included; a later one overwrites) and as\n"
    "                      DIR/NNN_<fileid>_<type>.bin (NNN = transfer number), and append a\n"
    "                      line per transfer to DIR/report.jsonl (emptied at start):\n"
    "                      ordinal, type, id, blocks, sends (per block), outcome (ok,\n"
    "                      cancelled, failed, incomplete, rejected), detail, sha256, bytes,\n"
    "                      start, end (unix time), baud (the rate the PC side had set),\n"
    "                      rx, tx (bytes taken from the PC and answer bytes given to the\n"
    "                      line since the previous line: the transfer's whole exchange)\n"
    "  --ready-file PATH   written once the line is open and listening; holds the PC end's path\n"
    "  --stop-file PATH    stop cleanly as soon as PATH exists (checked every 25 ms); a\n"
    "                      transfer in progress is reported as incomplete\n"
    "  --stopped-file PATH written as the simulator exits, after the last report line\n"
    "  --termios-file PATH rewritten whenever the PC side changes the line settings, as one\n"
    "                      JSON line: baud, data_bits, parity, stop_bits, raw (a pseudo-\n"
    "                      terminal always keeps 8 data bits and no parity)\n"
    "  --lifetime SECS     stop anyway after SECS seconds (default 900)\n"
    "  --log PATH          append diagnostics to PATH instead of standard error\n"
    "  --verbose           log every frame, answer and ignored byte\n"
    "\n"
    "Raw modes, for link tests (no protocol):\n"
    "  --raw-reply N       answer every byte from the PC with N bytes of a running counter\n"
    "                      (00 01 ... FF 00 ...); N = 0 never answers\n"
    "  --raw-send HEX      on the first byte from the PC, send these bytes once (e.g. 0615)\n"
    "\n"
    "Faults (repeatable; each applies once in every transfer it matches):\n"
    "  --fault FAULT       FAULT is one of\n"
    "      silent-header       the header gets no answer\n"
    "      silent-count        the count frame gets no answer\n"
    "      silent-block=K      block K and everything after it in the transfer go unanswered\n"
    "      nak-block=K:N       block K is answered NAK N times, then ACK\n"
    "      can-header          the header is answered CAN\n"
    "      can-count           the count frame is answered CAN\n"
    "      can-block=K         block K is answered CAN (the transfer is cancelled)\n"
    "      enq-before-ack      the header is answered ENQ then ACK\n"
    "      stray=K:HEX         these bytes go out just before the answer to block K\n"
    "      late-ack=K:MS       the answer to block K goes out MS milliseconds late\n"
    "      dead-after-block=K  after the ACK to block K the line dies for the rest of the\n"
    "                          session (see --dead-mode)\n"
    "    followed by @N to limit it to the N-th transfer (1-based), or @id=X to transfers of\n"
    "    file id X (not for the header faults: the id comes after the header).\n"
    "    Examples: --fault nak-block=0:4  --fault silent-block=1@2  --fault can-block=2@id=3\n"
    "  --dead-mode close|silent\n"
    "                      how the line dies: close (default) ends the pseudo-terminal, so the\n"
    "                      PC side sees a hang-up; silent keeps it open and answers nothing\n"
    "                      (use silent under Wine, where a hang-up signals the Wine server)\n"
    "\n"
    "Frames the device cannot accept (bad checksum, letters, hex digits or block index) get\n"
    "NAK; a resend of the block just acknowledged is taken again (its ACK was lost); a frame\n"
    "cut short by 1 s of silence is dropped; a transfer ends when it is complete, when a new\n"
    "header comes, or after 3 s of silence from the PC.\n"
    "\n"
    "  --help              show this text\n"
    "Exit status: 0 after a clean stop, 1 if the line cannot be opened, 2 on bad options.\n";

struct Options {
    std::string link, device, out, readyFile, stopFile, stoppedFile, termiosFile, logFile;
    double lifetime = 900;
    long baud = 0;  // 0: no emulation
    bool baudAuto = false;
    int rawReply = -1;  // -1: protocol mode
    bool rawSendGiven = false;
    std::vector<uint8_t> rawSend;
    std::vector<sim::Fault> faults;
    bool deadSilent = false;
    bool verbose = false;
};

FILE *gLog = stderr;
volatile sig_atomic_t gSignalled = 0;

void onSignal(int) {
    gSignalled = 1;
}

void logf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void logf(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    fputs("marvane-sim: ", gLog);
    vfprintf(gLog, fmt, ap);
    fputc('\n', gLog);
    fflush(gLog);
    va_end(ap);
}

Nanos mono() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (Nanos)ts.tv_sec * sim::kSecond + ts.tv_nsec;
}

// Sleeps to an absolute monotonic deadline, so waits never add up their errors.
void sleepUntil(Nanos deadline) {
    struct timespec ts;
    ts.tv_sec = deadline / sim::kSecond;
    ts.tv_nsec = deadline % sim::kSecond;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
        if (gSignalled)
            return;
    }
}

struct BaudName {
    long value;
    speed_t code;
};
const BaudName kBauds[] = {
    {50, B50},       {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},     {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
};

long baudValue(speed_t code) {
    for (const BaudName &b : kBauds)
        if (b.code == code)
            return b.value;
    return 0;
}

bool baudCode(long value, speed_t *code) {
    for (const BaudName &b : kBauds)
        if (b.value == value) {
            *code = b.code;
            return true;
        }
    return false;
}

bool writeFileAtomically(const std::string &path, const void *data, size_t n) {
    std::string tmp = path + ".tmp." + std::to_string(getpid());
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    const char *p = (const char *)data;
    size_t done = 0;
    while (done < n) {
        ssize_t w = write(fd, p + done, n - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            break;
        done += (size_t)w;
    }
    close(fd);
    if (done != n || rename(tmp.c_str(), path.c_str()) != 0) {
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

void makeDirs(const std::string &path) {
    for (size_t i = 1; i <= path.size(); i++) {
        if (i == path.size() || path[i] == '/')
            mkdir(path.substr(0, i).c_str(), 0755);
    }
}

std::string parentOf(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

// A string of the device's bytes (a type letter may be any byte) for the report: each byte
// as the character of that number, so a reader gets back exactly the bytes.
std::string bytesAsText(const std::string &bytes) {
    std::string utf8;
    for (unsigned char c : bytes) {
        if (c < 0x80) {
            utf8 += (char)c;
        } else {
            utf8 += (char)(0xC0 | (c >> 6));
            utf8 += (char)(0x80 | (c & 0x3F));
        }
    }
    return utf8;
}

// One JSON line, ASCII only: what is not ASCII goes as \u escapes.
std::string jsonLine(const nlohmann::ordered_json &object) {
    return object.dump(-1, ' ', true) + "\n";
}

std::string sha256Hex(const std::vector<uint8_t> &data) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(data.data(), data.size(), digest);
    std::string hex;
    char pair[3];
    for (unsigned char b : digest) {
        snprintf(pair, sizeof pair, "%02x", b);
        hex += pair;
    }
    return hex;
}

// The PC side's line settings, as the termios file and the report show them.
struct LineState {
    long baud = 0;
    std::string json;
};

LineState readLine(int fd) {
    LineState s;
    struct termios t;
    if (fd < 0 || tcgetattr(fd, &t) != 0)
        return s;
    s.baud = baudValue(cfgetospeed(&t));
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
    s.json = jsonLine({{"baud", s.baud},
                       {"data_bits", bits},
                       {"parity", parity},
                       {"stop_bits", (t.c_cflag & CSTOPB) ? 2 : 1},
                       {"raw", raw}});
    return s;
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

[[noreturn]] void badOption(const std::string &message) {
    fprintf(stderr, "marvane-sim: %s (see --help)\n", message.c_str());
    exit(2);
}

bool parseNumber(const std::string &s, double lo, double hi, double *out) {
    char *end = nullptr;
    double v = strtod(s.c_str(), &end);
    if (s.empty() || *end != 0 || !(v >= lo && v <= hi))
        return false;
    *out = v;
    return true;
}

// The long options; each value is `optarg` in parseOptions. The ones whose value is kept as
// given come first, in the order of kTextFields.
enum OptionId {
    OPT_LINK = 256,
    OPT_DEVICE,
    OPT_OUT,
    OPT_READY_FILE,
    OPT_STOP_FILE,
    OPT_STOPPED_FILE,
    OPT_TERMIOS_FILE,
    OPT_LOG,
    OPT_BAUD,  // the first that is checked
    OPT_LIFETIME,
    OPT_VERBOSE,
    OPT_RAW_REPLY,
    OPT_RAW_SEND,
    OPT_FAULT,
    OPT_DEAD_MODE,
};

std::string Options::*const kTextFields[] = {
    &Options::link,         // --link
    &Options::device,       // --device
    &Options::out,          // --out
    &Options::readyFile,    // --ready-file
    &Options::stopFile,     // --stop-file
    &Options::stoppedFile,  // --stopped-file
    &Options::termiosFile,  // --termios-file
    &Options::logFile,      // --log
};

const struct option kOptions[] = {
    {"link", required_argument, nullptr, OPT_LINK},
    {"device", required_argument, nullptr, OPT_DEVICE},
    {"baud", required_argument, nullptr, OPT_BAUD},
    {"out", required_argument, nullptr, OPT_OUT},
    {"ready-file", required_argument, nullptr, OPT_READY_FILE},
    {"stop-file", required_argument, nullptr, OPT_STOP_FILE},
    {"stopped-file", required_argument, nullptr, OPT_STOPPED_FILE},
    {"termios-file", required_argument, nullptr, OPT_TERMIOS_FILE},
    {"lifetime", required_argument, nullptr, OPT_LIFETIME},
    {"log", required_argument, nullptr, OPT_LOG},
    {"verbose", no_argument, nullptr, OPT_VERBOSE},
    {"raw-reply", required_argument, nullptr, OPT_RAW_REPLY},
    {"raw-send", required_argument, nullptr, OPT_RAW_SEND},
    {"fault", required_argument, nullptr, OPT_FAULT},
    {"dead-mode", required_argument, nullptr, OPT_DEAD_MODE},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

Options parseOptions(int argc, char **argv) {
    Options o;
    opterr = 0;  // the messages below say it in the simulator's words
    int id;
    while ((id = getopt_long(argc, argv, ":h", kOptions, nullptr)) != -1) {
        std::string v = optarg ? optarg : "";
        double n = 0;
        if (id >= OPT_LINK && id < OPT_BAUD) {
            o.*kTextFields[id - OPT_LINK] = v;
            continue;
        }
        switch (id) {
            case 'h':
                fputs(kHelp, stdout);
                exit(0);
            case OPT_VERBOSE:
                o.verbose = true;
                break;
            case OPT_LIFETIME:
                if (!parseNumber(v, 0.1, 1e7, &o.lifetime))
                    badOption("bad --lifetime '" + v + "'");
                break;
            case OPT_BAUD:
                o.baudAuto = v == "auto";
                o.baud = 0;
                if (!o.baudAuto) {
                    if (!parseNumber(v, 1, 4000000, &n) || n != (long)n)
                        badOption("bad --baud '" + v + "'");
                    o.baud = (long)n;
                }
                break;
            case OPT_RAW_REPLY:
                if (!parseNumber(v, 0, 65536, &n) || n != (int)n)
                    badOption("bad --raw-reply '" + v + "'");
                o.rawReply = (int)n;
                break;
            case OPT_RAW_SEND:
                if (!sim::parseHex(v, &o.rawSend))
                    badOption("bad --raw-send '" + v + "': hex bytes");
                o.rawSendGiven = true;
                break;
            case OPT_FAULT: {
                sim::Fault f;
                std::string error;
                if (!sim::parseFault(v, &f, &error))
                    badOption(error);
                o.faults.push_back(f);
                break;
            }
            case OPT_DEAD_MODE:
                if (v != "close" && v != "silent")
                    badOption("--dead-mode is close or silent");
                o.deadSilent = v == "silent";
                break;
            case ':':
                badOption(std::string(argv[optind - 1]) + " needs a value");
            default:
                badOption("unknown option '" + std::string(argv[optind - 1]) + "'");
        }
    }
    if (optind < argc)
        badOption("unknown option '" + std::string(argv[optind]) + "'");
    if (!o.link.empty() && !o.device.empty())
        badOption("--link and --device exclude each other");
    if (o.rawReply >= 0 && o.rawSendGiven)
        badOption("choose one of --raw-reply and --raw-send");
    if ((o.rawReply >= 0 || o.rawSendGiven) && !o.faults.empty())
        badOption("faults apply to the protocol, not to the raw modes");
    if (!o.device.empty() && o.baudAuto)
        badOption("--baud auto needs a pseudo-terminal");
    speed_t code;
    if (!o.device.empty() && o.baud && !baudCode(o.baud, &code))
        badOption("--device needs a standard rate");
    return o;
}

// One byte due on the line: `at` is when the answer may start, the wire adds the rest.
struct TxByte {
    Nanos at;
    uint8_t b;
};

struct Session {
    Options opt;
    int fd = -1;       // the master (or the device)
    int slaveFd = -1;  // held so the pty outlives the PC side closing it
    std::string slaveName;
    int watchFd = -1;
    Nanos byteTime = 0;   // wire time of one byte, 0 = no emulation
    bool paceRx = false;  // we pace the PC's bytes (a pty); a real device paces itself
    std::deque<TxByte> tx;
    Nanos txFree = 0;
    bool rxHeld = false;
    uint8_t rxByte = 0;
    Nanos rxArrival = 0;
    bool lineDying = false, lineDead = false;
    Nanos dyingSince = 0;
    sim::Device device;
    int rawCounter = 0;
    bool rawSent = false;
    int reportFd = -1;
    // Bytes on the wire, each way, for the report: the bench's wire-time bound counts them.
    long long rxCount = 0, txCount = 0;
    long long rxReported = 0, txReported = 0;
    LineState line;
    double realOffset = 0;  // unix time minus monotonic time, seconds
};

double unixTime(const Session &s, Nanos t) {
    return (double)t / 1e9 + s.realOffset;
}

void queueAnswer(Session *s, Nanos at, const std::vector<uint8_t> &bytes) {
    // Kept in time order; bytes of equal time keep the order they were given in.
    auto pos = s->tx.end();
    while (pos != s->tx.begin() && (pos - 1)->at > at)
        --pos;
    for (uint8_t b : bytes)
        pos = s->tx.insert(pos, TxByte{at, b}) + 1;
    // Counted as they are queued, so the answer that ends a transfer is in its report line.
    if (!s->lineDead)
        s->txCount += (long long)bytes.size();
}

void saveTransfer(Session *s, const sim::Transfer &t) {
    if (!s->opt.out.empty() && t.hasCount) {
        std::string base = t.id + "_" + t.type + ".bin";
        char numbered[16];
        snprintf(numbered, sizeof numbered, "%03d_", t.ordinal);
        const void *p = t.data.empty() ? "" : (const void *)t.data.data();
        if (!writeFileAtomically(s->opt.out + "/" + base, p, t.data.size()) ||
            !writeFileAtomically(s->opt.out + "/" + numbered + base, p, t.data.size()))
            logf("cannot save %s in %s: %s", base.c_str(), s->opt.out.c_str(), strerror(errno));
    }
    // Times to the microsecond, as unix time.
    auto unixMicros = [s](Nanos t) { return (double)llround(unixTime(*s, t) * 1e6) / 1e6; };
    std::string lineText = jsonLine({
        {"ordinal", t.ordinal},
        {"type", bytesAsText(t.type)},
        {"id", bytesAsText(t.id)},
        {"blocks", t.blocks < 0 ? 0 : t.blocks},
        {"sends", t.sends},
        {"outcome", t.outcome},
        {"detail", bytesAsText(t.detail)},
        {"sha256", sha256Hex(t.data)},
        {"bytes", t.data.size()},
        {"start", unixMicros(t.start)},
        {"end", unixMicros(t.end)},
        {"baud", s->line.baud},
        {"rx", s->rxCount - s->rxReported},
        {"tx", s->txCount - s->txReported},
    });
    s->rxReported = s->rxCount;
    s->txReported = s->txCount;
    // One write per line, so a reader polling the file never sees half a line.
    if (s->reportFd >= 0 && write(s->reportFd, lineText.data(), lineText.size()) < 0)
        logf("cannot write the report: %s", strerror(errno));
    logf("transfer %d type %s id %s: %s%s%s", t.ordinal, t.type.c_str(), t.id.c_str(),
         t.outcome.c_str(), t.detail.empty() ? "" : ": ", t.detail.c_str());
}

void takeOutput(Session *s, sim::Output *out) {
    for (const sim::Answer &a : out->answers)
        queueAnswer(s, a.at, a.bytes);
    for (const sim::Transfer &t : out->ended)
        saveTransfer(s, t);
    if (s->opt.verbose)
        for (const std::string &line : out->log)
            logf("%s", line.c_str());
    if (out->lineDies)
        s->lineDying = true;
    *out = sim::Output();
}

void deliver(Session *s, uint8_t b, Nanos t) {
    s->rxCount++;
    if (s->opt.rawReply >= 0) {
        std::vector<uint8_t> reply;
        for (int i = 0; i < s->opt.rawReply; i++)
            reply.push_back((uint8_t)(s->rawCounter++));
        queueAnswer(s, t, reply);
        return;
    }
    if (s->opt.rawSendGiven) {
        if (!s->rawSent)
            queueAnswer(s, t, s->opt.rawSend);
        s->rawSent = true;
        return;
    }
    sim::Output out;
    s->device.onByte(b, t, &out);
    takeOutput(s, &out);
}

void killLine(Session *s) {
    s->lineDying = false;
    s->lineDead = true;
    s->tx.clear();
    if (s->opt.deadSilent) {
        logf("the line is dead: nothing more is answered");
        return;
    }
    logf("the line is dead: closing it");
    close(s->fd);
    s->fd = -1;
    if (s->slaveFd >= 0)
        close(s->slaveFd);
    s->slaveFd = -1;
    if (s->watchFd >= 0)
        close(s->watchFd);
    s->watchFd = -1;
    s->rxHeld = false;
}

void updateLine(Session *s) {
    LineState now = readLine(s->fd);
    if (s->fd < 0 || now.json == s->line.json)
        return;
    s->line = now;
    if (s->opt.baudAuto)
        s->byteTime = now.baud > 0 ? 10 * sim::kSecond / now.baud : 0;
    if (!s->opt.termiosFile.empty())
        writeFileAtomically(s->opt.termiosFile, now.json.data(), now.json.size());
    if (s->opt.verbose)
        logf("line settings: %s", now.json.substr(0, now.json.size() - 1).c_str());
}

bool openLine(Session *s) {
    if (!s->opt.device.empty()) {
        s->fd = open(s->opt.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (s->fd < 0 || !setRaw(s->fd, s->opt.baud ? s->opt.baud : 9600)) {
            logf("cannot open %s: %s", s->opt.device.c_str(), strerror(errno));
            return false;
        }
        s->slaveName = s->opt.device;
        return true;
    }
    s->fd = posix_openpt(O_RDWR | O_NOCTTY);
    char name[128];
    if (s->fd < 0 || grantpt(s->fd) != 0 || unlockpt(s->fd) != 0 ||
        ptsname_r(s->fd, name, sizeof name) != 0) {
        logf("cannot open a pseudo-terminal: %s", strerror(errno));
        return false;
    }
    s->slaveName = name;
    s->slaveFd = open(name, O_RDWR | O_NOCTTY);
    if (s->slaveFd < 0 || !setRaw(s->slaveFd, 9600)) {
        logf("cannot open %s: %s", name, strerror(errno));
        return false;
    }
    fcntl(s->fd, F_SETFL, fcntl(s->fd, F_GETFL) | O_NONBLOCK);
    fcntl(s->slaveFd, F_SETFL, fcntl(s->slaveFd, F_GETFL) | O_NONBLOCK);
    s->paceRx = true;
    // Opens of the PC end tell us a new session on the port begins (see flushStale).
    s->watchFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (s->watchFd >= 0 && inotify_add_watch(s->watchFd, name, IN_OPEN) < 0) {
        close(s->watchFd);
        s->watchFd = -1;
    }
    if (!s->opt.link.empty()) {
        std::string parent = parentOf(s->opt.link);
        if (!parent.empty())
            makeDirs(parent);
        std::string tmp = s->opt.link + ".tmp." + std::to_string(getpid());
        unlink(tmp.c_str());
        if (symlink(name, tmp.c_str()) != 0 || rename(tmp.c_str(), s->opt.link.c_str()) != 0) {
            logf("cannot link %s to %s: %s", s->opt.link.c_str(), name, strerror(errno));
            unlink(tmp.c_str());
            return false;
        }
    } else {
        printf("%s\n", name);
        fflush(stdout);
    }
    return true;
}

// The PC end was opened again. Answers that went out while nobody had the port open (a late
// ACK after the PC gave up, say) would sit in the pty and greet the next run; a real port
// loses them, so drop what is still queued. Called before any byte is read, so the open is
// seen before the first byte the new session writes. Best effort: bytes the kernel still
// holds between the two ends are not visible here, so a PC side that cares flushes on open.
void flushStale(Session *s) {
    char buf[512];
    bool opened = false;
    while (read(s->watchFd, buf, sizeof buf) > 0)
        opened = true;
    if (!opened || s->slaveFd < 0)
        return;
    // Reading our own end first waits for bytes still on their way into the pty's queue,
    // which a flush alone can miss.
    int stale = 0;
    for (ssize_t n; (n = read(s->slaveFd, buf, sizeof buf)) > 0;)
        stale += (int)n;
    tcflush(s->slaveFd, TCIFLUSH);
    if (s->opt.verbose || stale > 0)
        logf("the PC side opened the port; %d stale byte(s) dropped", stale);
}

// Writes every byte whose wire time has come. With emulation a byte is readable on the PC
// side once its last bit would have arrived: one byte time after the line is free for it.
void writeDue(Session *s, Nanos now) {
    while (!s->tx.empty()) {
        const TxByte &head = s->tx.front();
        Nanos when = head.at;
        if (s->byteTime)
            when = (head.at > s->txFree ? head.at : s->txFree) + s->byteTime;
        if (when > now)
            return;
        if (s->fd >= 0 && !s->lineDead) {
            ssize_t w = write(s->fd, &head.b, 1);
            if (w != 1)
                logf("answer byte %02X lost: %s", head.b, w < 0 ? strerror(errno) : "");
        }
        s->txFree = when;
        s->tx.pop_front();
    }
    if (s->lineDying && s->tx.empty()) {
        // The last answer is on its way: let the PC end take it before the line goes, as a
        // real port would have received it (closing a pty drops what is still queued). The
        // kernel moves written bytes into the queue a little later, hence the 50 ms first.
        int queued = 0;
        if (!s->dyingSince)
            s->dyingSince = now;
        if (!s->opt.deadSilent) {
            if (now - s->dyingSince < 50 * sim::kMillis)
                return;
            if (s->slaveFd >= 0 && ioctl(s->slaveFd, FIONREAD, &queued) == 0 && queued > 0 &&
                now - s->dyingSince < sim::kSecond)
                return;
        }
        killLine(s);
    }
}

Nanos nextTxTime(const Session &s) {
    if (s.tx.empty())
        return 0;
    const TxByte &head = s.tx.front();
    if (!s.byteTime)
        return head.at;
    return (head.at > s.txFree ? head.at : s.txFree) + s.byteTime;
}

// Reads what the line has brought. With emulation one byte at a time: a byte read at `now`
// started on the wire when the line was free for it (at once if it was already waiting)
// and counts as arrived one byte time later.
void readLineBytes(Session *s, Nanos now, bool waiting) {
    if (s->fd < 0)
        return;
    if (s->paceRx && s->byteTime) {
        if (s->rxHeld)
            return;
        uint8_t b;
        if (read(s->fd, &b, 1) != 1)
            return;
        Nanos start = waiting ? s->rxArrival : now;
        if (start < s->rxArrival)
            start = s->rxArrival;
        s->rxHeld = true;
        s->rxByte = b;
        s->rxArrival = start + s->byteTime;
        return;
    }
    uint8_t buf[4096];
    ssize_t n = read(s->fd, buf, sizeof buf);
    if (n <= 0)
        return;
    if (s->lineDead)
        return;
    for (ssize_t i = 0; i < n; i++)
        deliver(s, buf[i], now);
}

void writeMarker(const std::string &path, const std::string &text) {
    if (!path.empty())
        writeFileAtomically(path, text.data(), text.size());
}

}  // namespace

int main(int argc, char **argv) {
    Session s;
    s.opt = parseOptions(argc, argv);
    if (!s.opt.logFile.empty()) {
        FILE *f = fopen(s.opt.logFile.c_str(), "a");
        if (!f)
            badOption("cannot open the log " + s.opt.logFile);
        gLog = f;
    }
    // Wake-ups on time to the microsecond, not the default 50 us slack: answers are paced.
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    signal(SIGPIPE, SIG_IGN);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = onSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);

    s.device.faults = s.opt.faults;
    s.device.used.assign(s.opt.faults.size(), 0);
    struct timespec real;
    clock_gettime(CLOCK_REALTIME, &real);
    Nanos start = mono();
    s.realOffset = (double)real.tv_sec + real.tv_nsec / 1e9 - (double)start / 1e9;
    if (!s.opt.out.empty()) {
        makeDirs(s.opt.out);
        std::string report = s.opt.out + "/report.jsonl";
        s.reportFd = open(report.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
        if (s.reportFd < 0) {
            logf("cannot write %s: %s", report.c_str(), strerror(errno));
            return 1;
        }
    }
    if (!openLine(&s))
        return 1;
    if (s.opt.baud && s.paceRx)
        s.byteTime = 10 * sim::kSecond / s.opt.baud;
    updateLine(&s);
    writeMarker(s.opt.readyFile, s.slaveName + "\n");
    logf("listening on %s%s%s", s.slaveName.c_str(), s.opt.link.empty() ? "" : " as ",
         s.opt.link.c_str());

    const Nanos kStopPoll = 25 * sim::kMillis, kLinePoll = 20 * sim::kMillis;
    Nanos end = start + (Nanos)(s.opt.lifetime * 1e9);
    Nanos nextStopPoll = start, nextLinePoll = start + kLinePoll;
    bool waiting = false;  // the last read found a byte: the next may already be waiting
    const char *why = "stopped";
    for (;;) {
        Nanos now = mono();
        if (gSignalled) {
            why = "stopped by a signal";
            break;
        }
        if (now >= end) {
            why = "lifetime over";
            break;
        }
        if (now >= nextStopPoll) {
            nextStopPoll = now + kStopPoll;
            if (!s.opt.stopFile.empty() && access(s.opt.stopFile.c_str(), F_OK) == 0)
                break;
        }
        if (now >= nextLinePoll) {
            nextLinePoll = now + kLinePoll;
            updateLine(&s);
        }
        if (s.watchFd >= 0)
            flushStale(&s);
        // A byte on the wire has arrived: the device sees it at its arrival time.
        if (s.rxHeld && now >= s.rxArrival) {
            s.rxHeld = false;
            if (!s.lineDead)
                deliver(&s, s.rxByte, s.rxArrival);
            waiting = true;
        }
        writeDue(&s, now);
        if (!s.rxHeld) {
            readLineBytes(&s, now, waiting);
            waiting = false;
            if (s.rxHeld)
                continue;  // it may have arrived already
        }
        Nanos timer = s.device.nextTimer();
        if (timer && now >= timer) {
            sim::Output out;
            s.device.onTime(now, &out);
            takeOutput(&s, &out);
            continue;
        }

        Nanos deadline = nextStopPoll < nextLinePoll ? nextStopPoll : nextLinePoll;
        if (deadline > end)
            deadline = end;
        if (timer && timer < deadline)
            deadline = timer;
        Nanos txAt = nextTxTime(s);
        if (txAt && txAt < deadline)
            deadline = txAt;
        if (s.rxHeld && s.rxArrival < deadline)
            deadline = s.rxArrival;
        if (s.lineDying && now + 5 * sim::kMillis < deadline)
            deadline = now + 5 * sim::kMillis;
        now = mono();
        if (deadline <= now)
            continue;
        if (s.rxHeld || s.fd < 0) {
            sleepUntil(deadline);
            continue;
        }
        struct pollfd fds[2];
        int nfds = 0;
        fds[nfds++] = {s.fd, POLLIN, 0};
        if (s.watchFd >= 0)
            fds[nfds++] = {s.watchFd, POLLIN, 0};
        struct timespec ts;
        Nanos left = deadline - now;
        ts.tv_sec = left / sim::kSecond;
        ts.tv_nsec = left % sim::kSecond;
        int ready = ppoll(fds, nfds, &ts, nullptr);
        if (ready == 0)
            sleepUntil(deadline);  // never wake a deadline early
        if (ready > 0 && (fds[0].revents & (POLLERR | POLLNVAL)))
            sleepUntil(deadline);
    }

    sim::Output out;
    s.device.finish(mono(), &out);
    takeOutput(&s, &out);
    if (s.reportFd >= 0)
        close(s.reportFd);
    logf("%s", why);
    writeMarker(s.opt.stoppedFile, std::string(why) + "\n");
    if (gLog != stderr)
        fclose(gLog);
    return 0;
}
