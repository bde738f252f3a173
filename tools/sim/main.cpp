// marvane-sim: plays the station controller on a pseudo-terminal or a real serial port, for
// the tests, the demo and the bench. This file runs the session: the device fed from the
// line until a stop; the line, the report, the files and the options are the other files'.
#include <signal.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tools/sim/device.h"
#include "tools/sim/files.h"
#include "tools/sim/line.h"
#include "tools/sim/options.h"
#include "tools/sim/port.h"
#include "tools/sim/report.h"

using namespace sim;

namespace {

Device Controller;
int RawCounter = 0;  // --raw-reply's running counter
bool RawSent = false;

void onSignal(int) {
    Signalled = 1;
}

void catchSignals() {
    signal(SIGPIPE, SIG_IGN);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = onSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
}

void takeOutput(const Output &out) {
    for (const Answer &a : out.answers)
        queueAnswer(a.at, a.bytes);
    for (const Transfer &t : out.ended)
        saveTransfer(t);
    if (Options.verbose)
        for (const std::string &line : out.log)
            logf("%s", line.c_str());
    if (out.lineDies)
        Line.dying = true;
}

// One byte from the PC, arrived at t: to the raw modes or the device.
void deliver(uint8_t b, Nanos t) {
    Line.rxCount++;
    if (Options.rawReply >= 0) {
        std::vector<uint8_t> reply;
        for (int i = 0; i < Options.rawReply; i++)
            reply.push_back((uint8_t)(RawCounter++));
        queueAnswer(t, reply);
        return;
    }
    if (Options.rawSendGiven) {
        if (!RawSent)
            queueAnswer(t, Options.rawSend);
        RawSent = true;
        return;
    }
    Output out;
    Controller.onByte(b, t, &out);
    takeOutput(out);
}

// Serves the line from `start` until the stop file, a signal or the lifetime; says which.
const char *serve(Nanos start) {
    const Nanos kStopPoll = 25 * kMillis, kLinePoll = 20 * kMillis;
    Nanos end = start + (Nanos)(Options.lifetime * 1e9);
    Nanos nextStopPoll = start, nextLinePoll = start + kLinePoll;
    Nanos stopAsked = 0;
    for (;;) {
        Nanos now = mono();
        if (Signalled)
            return "stopped by a signal";
        if (now >= end)
            return "lifetime over";
        if (now >= nextStopPoll) {
            nextStopPoll = now + kStopPoll;
            if (!Options.stopFile.empty() && access(Options.stopFile.c_str(), F_OK) == 0)
                stopAsked = stopAsked ? stopAsked : now;
            // Bytes the PC wrote before the stop are still on the wire: the device takes them
            // first, as a real one would, so the report counts every send (2 s at most).
            int queued = 0;
            bool onTheWire = Line.rxHeld ||
                             (Port.fd >= 0 && ioctl(Port.fd, FIONREAD, &queued) == 0 && queued > 0);
            if (stopAsked && (!onTheWire || now - stopAsked > 2 * kSecond))
                return "stopped";
        }
        if (now >= nextLinePoll) {
            nextLinePoll = now + kLinePoll;
            updateLine();
        }
        if (Port.watchFd >= 0)
            flushStale();
        // A byte on the wire has arrived: the device sees it at its arrival time.
        if (Line.rxHeld && now >= Line.rxArrival) {
            Line.rxHeld = false;
            if (!Line.dead)
                deliver(Line.rxByte, Line.rxArrival);
        }
        writeDue(now);
        if (!Line.rxHeld) {
            readLineBytes(now, deliver);
            if (Line.rxHeld)
                continue;  // it may have arrived already
        }
        Nanos timer = Controller.nextTimer();
        if (timer && now >= timer) {
            Output out;
            Controller.onTime(now, &out);
            takeOutput(out);
            continue;
        }
        Nanos deadline = nextStopPoll < nextLinePoll ? nextStopPoll : nextLinePoll;
        if (deadline > end)
            deadline = end;
        if (timer && timer < deadline)
            deadline = timer;
        waitForLine(now, deadline);
    }
}

}  // namespace

int main(int argc, char **argv) {
    parseOptions(argc, argv);
    if (!Options.logFile.empty()) {
        FILE *f = fopen(Options.logFile.c_str(), "a");
        if (!f)
            badOption("cannot open the log " + Options.logFile);
        LogFile = f;
    }
    // Wake-ups on time to the microsecond, not the default 50 us slack: answers are paced.
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    catchSignals();
    Controller.faults = Options.faults;
    Controller.used.assign(Options.faults.size(), 0);
    Nanos start = mono();
    if (!openReport() || !openPort())
        return 1;
    if (Options.baud && Port.pty)
        Line.byteTime = 10 * kSecond / Options.baud;
    updateLine();
    writeMarker(Options.readyFile, Port.name + "\n");
    logf("listening on %s%s%s", Port.name.c_str(), Options.link.empty() ? "" : " as ",
         Options.link.c_str());

    const char *why = serve(start);
    Output out;
    Controller.finish(mono(), &out);
    takeOutput(out);
    closeReport();
    logf("%s", why);
    writeMarker(Options.stoppedFile, std::string(why) + "\n");
    if (LogFile != stderr)
        fclose(LogFile);
    return 0;
}
