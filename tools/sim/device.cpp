// The simulated controller's exchange: frame collection and checks, the answers, the faults
// a technician can ask for, and what each transfer came to. Timing of the line and all
// file and terminal work are the program's other files'.
#include "tools/sim/device.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>

namespace sim {

uint8_t frameChecksum(const uint8_t *bytes, size_t n) {
    unsigned sum = 0;
    for (size_t i = 0; i < n; i++)
        sum += bytes[i];
    return (uint8_t)(((256 - sum % 256) % 256) & 0x7F);
}

int hexDigit(uint8_t c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool parseHex(const std::string &text, std::vector<uint8_t> *out) {
    if (text.empty() || text.size() % 2 != 0)
        return false;
    out->clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        char pair[3] = {text[i], text[i + 1], 0};
        char *end = nullptr;
        if (!isxdigit((unsigned char)pair[0]) || !isxdigit((unsigned char)pair[1]))
            return false;
        out->push_back((uint8_t)strtoul(pair, &end, 16));
    }
    return true;
}

static bool parseInt(const std::string &s, long lo, long hi, long *out) {
    if (s.empty() || s.size() > 9)
        return false;
    for (char c : s)
        if (c < '0' || c > '9')
            return false;
    long v = atol(s.c_str());
    if (v < lo || v > hi)
        return false;
    *out = v;
    return true;
}

bool parseFault(const std::string &text, Fault *out, std::string *error) {
    Fault f;
    f.text = text;
    std::string body = text, limit;
    size_t at = text.find('@');
    if (at != std::string::npos) {
        body = text.substr(0, at);
        limit = text.substr(at + 1);
    }
    std::string name = body, args;
    size_t eq = body.find('=');
    if (eq != std::string::npos) {
        name = body.substr(0, eq);
        args = body.substr(eq + 1);
    }
    struct Known {
        const char *name;
        FaultKind kind;
        char shape;  // '-' no argument, 'K' block, 'N' K:N, 'H' K:HEX, 'M' K:MS
    };
    static const Known known[] = {
        {"silent-header", kSilentHeader, '-'},
        {"silent-count", kSilentCount, '-'},
        {"silent-block", kSilentBlock, 'K'},
        {"nak-block", kNakBlock, 'N'},
        {"can-header", kCanHeader, '-'},
        {"can-count", kCanCount, '-'},
        {"can-block", kCanBlock, 'K'},
        {"enq-before-ack", kEnqBeforeAck, '-'},
        {"stray", kStray, 'H'},
        {"late-ack", kLateAck, 'M'},
        {"dead-after-block", kDeadAfterBlock, 'K'},
    };
    const Known *k = nullptr;
    for (const Known &candidate : known)
        if (name == candidate.name)
            k = &candidate;
    if (!k) {
        *error = "unknown fault '" + name + "'";
        return false;
    }
    f.kind = k->kind;
    if (k->shape == '-') {
        if (eq != std::string::npos) {
            *error = "fault '" + name + "' takes no argument";
            return false;
        }
    } else {
        std::string first = args, second;
        size_t colon = args.find(':');
        if (colon != std::string::npos) {
            first = args.substr(0, colon);
            second = args.substr(colon + 1);
        }
        long v = 0;
        if (!parseInt(first, 0, kMaxBlocks - 1, &v)) {
            *error = "fault '" + text + "': block index must be 0 to 101";
            return false;
        }
        f.block = (int)v;
        if (k->shape == 'K' && colon != std::string::npos) {
            *error = "fault '" + text + "' takes only a block index";
            return false;
        }
        if (k->shape == 'N') {
            if (!parseInt(second, 1, 1000, &v)) {
                *error = "fault '" + text + "': expected nak-block=K:N with N from 1 to 1000";
                return false;
            }
            f.times = (int)v;
        }
        if (k->shape == 'M') {
            if (!parseInt(second, 0, 600000, &v)) {
                *error = "fault '" + text + "': expected late-ack=K:MS (milliseconds)";
                return false;
            }
            f.delay = (Nanos)v * kMillis;
        }
        if (k->shape == 'H' && !parseHex(second, &f.bytes)) {
            *error = "fault '" + text + "': expected stray=K:HEX, e.g. stray=2:0615";
            return false;
        }
    }
    if (at != std::string::npos) {
        long v = 0;
        if (limit.compare(0, 3, "id=") == 0 && limit.size() == 4 && limit[3] >= '0' &&
            limit[3] <= '6') {
            f.onlyId = limit[3];
        } else if (parseInt(limit, 1, 100000, &v)) {
            f.onlyOrdinal = (int)v;
        } else {
            *error = "fault '" + text + "': limit must be @N (transfer number) or @id=0..6";
            return false;
        }
    }
    if (f.onlyId && (f.kind == kSilentHeader || f.kind == kCanHeader || f.kind == kEnqBeforeAck)) {
        *error = "fault '" + text +
                 "': the file id travels in the count frame, after the header; limit header "
                 "faults by transfer number (@N)";
        return false;
    }
    *out = f;
    return true;
}

static std::string hex2(int v) {
    char buf[8];
    snprintf(buf, sizeof buf, "%02X", v & 0xFF);
    return buf;
}

int Device::matchFault(FaultKind kind, int block, bool needId) const {
    for (size_t i = 0; i < faults.size(); i++) {
        const Fault &f = faults[i];
        if (f.kind != kind || (block >= 0 && f.block != block))
            continue;
        if (f.onlyOrdinal && f.onlyOrdinal != ordinal)
            continue;
        if (f.onlyId && (!needId || current.id.size() != 1 || current.id[0] != f.onlyId))
            continue;
        int limit = kind == kNakBlock ? f.times : 1;
        if (used[i] < limit)
            return (int)i;
    }
    return -1;
}

void Device::answer(Nanos t, std::vector<uint8_t> bytes, Output *out) {
    out->answers.push_back(Answer{t, bytes});
    lastAnswerNak = !bytes.empty() && bytes.back() == NAK;
}

void Device::reply(FrameKind frame, int block, Nanos t, std::vector<uint8_t> bytes, Output *out,
                   Nanos delay) {
    for (const Reply &r : replies) {
        bool sameBlock =
            frame != kBlockFrame ||
            (r.block == block &&
             (!r.send || (block < (int)current.sends.size() && current.sends[block] == r.send)));
        if (r.frame == frame && sameBlock && (!r.transfer || r.transfer == ordinal) &&
            (!r.id || (current.id.size() == 1 && current.id[0] == r.id))) {
            bytes = r.bytes;
            delay = r.delay;
            break;
        }
    }
    if (!bytes.empty())
        answer(t + delay, bytes, out);
}

void Device::endTransfer(Nanos t, const std::string &outcome, const std::string &detail,
                         Output *out) {
    current.outcome = outcome;
    current.detail = detail;
    if (strayGarbage > 0)
        current.detail += "; " + std::to_string(strayGarbage) + " byte(s) outside frames ignored";
    current.end = t;
    out->ended.push_back(current);
    out->log.push_back("transfer " + std::to_string(current.ordinal) + " " + outcome + ": " +
                       current.detail);
    current = Transfer();
    state = kIdle;
    expected = 0;
    strayGarbage = 0;
    lastAnswerNak = false;
}

static std::string waitingFor(DeviceState state, int expected, const std::string &silentWhy) {
    switch (state) {
        case kWaitPcAck:
            return "waiting for the PC's ACK after ENQ";
        case kWaitCount:
            return "waiting for the count frame";
        case kWaitBlock:
            return "waiting for block " + std::to_string(expected);
        case kSilent:
            return silentWhy;
        default:
            return "idle";
    }
}

void Device::onByte(uint8_t b, Nanos t, Output *out) {
    if (state == kDead)
        return;
    // What timed out before this byte arrived ends first, however late the caller got to
    // the timer: a header after a second's pause is a fresh frame, not the tail of a cut one.
    Nanos due = nextTimer();
    if (due && t >= due)
        onTime(t, out);
    lastRx = t;
    if (!frame.empty()) {
        frame.push_back(b);
        if (frame.size() == 2) {
            // The second byte tells a header ('L') from the frame the state expects; an idle
            // device still takes the last block of the transfer it just finished, in case
            // its ACK was lost.
            bool blockSized = state == kWaitBlock || (state == kSilent && silentOnBlocks) ||
                              (state == kIdle && lastIndexDone >= 0);
            frameWant = (b == 'L' || !blockSized) ? kShortFrameSize : kBlockFrameSize;
        }
        if (frame.size() == frameWant)
            handleFrame(t, out);
        return;
    }
    if (b == STX) {
        frame.push_back(b);
        frameWant = 0;
        return;
    }
    if (state == kWaitPcAck && b == ACK) {
        state = kWaitCount;
        out->log.push_back("PC ACK after ENQ");
        reply(kPcAck, 0, t, {}, out);
        return;
    }
    if (inTransfer())
        strayGarbage++;
    out->log.push_back("ignored byte " + hex2(b));
}

void Device::handleFrame(Nanos t, Output *out) {
    if (frame[1] == 'L') {
        handleHeader(t, out);
    } else if (state == kSilent) {
        // The PC keeps sending to a device that has stopped answering: count its sends.
        if (frame.size() == (size_t)kBlockFrameSize && !current.sends.empty()) {
            int hi = hexDigit(frame[1]), lo = hexDigit(frame[2]);
            int idx = (hi >= 0 && lo >= 0) ? hi * 16 + lo : -1;
            if (idx >= 0 && idx < (int)current.sends.size())
                current.sends[idx]++;
        }
        out->log.push_back("frame not answered (device silent)");
    } else if (state == kWaitBlock) {
        handleBlock(t, out);
    } else if (state == kWaitCount || state == kWaitPcAck) {
        handleCount(t, out);
    } else if (frame.size() == (size_t)kBlockFrameSize && hexDigit(frame[1]) >= 0 &&
               hexDigit(frame[2]) >= 0 &&
               hexDigit(frame[1]) * 16 + hexDigit(frame[2]) == lastIndexDone && frame[131] == ETX &&
               frame[132] == frameChecksum(frame.data(), 132)) {
        out->log.push_back("last block again after the transfer ended (its ACK was lost): ACK");
        answer(t, {ACK}, out);
    } else {
        out->log.push_back("NAK to a frame outside a transfer");
        answer(t, {NAK}, out);
    }
    frame.clear();
    frameWant = 0;
}

void Device::handleHeader(Nanos t, Output *out) {
    const std::vector<uint8_t> &f = frame;
    if (inTransfer()) {
        std::string why = state == kSilent
                              ? silentWhy + "; then a new header came"
                              : "a new header came while " + waitingFor(state, expected, silentWhy);
        endTransfer(t, (lastAnswerNak && state != kSilent) ? "rejected" : "failed", why, out);
    }
    lastIndexDone = -1;
    silentOnBlocks = false;
    ordinal++;
    used.assign(faults.size(), 0);
    current = Transfer();
    current.ordinal = ordinal;
    current.type = std::string(1, (char)f[2]);
    current.start = t;
    std::string why;
    if (f[2] != 'C' && f[2] != 'A' && f[2] != 'E')
        why = "header type " + hex2(f[2]) + " is not C, A or E";
    else if (f[3] != 'N')
        why = "header has " + hex2(f[3]) + " where 'N' belongs";
    else if (f[4] != ETX)
        why = "header has no ETX";
    else if (f[5] != frameChecksum(f.data(), 5))
        why =
            "bad header checksum " + hex2(f[5]) + ", expected " + hex2(frameChecksum(f.data(), 5));
    state = kWaitPcAck;  // in a transfer from here on, so endTransfer reports it
    if (!why.empty()) {
        reply(kHeaderFrame, 0, t, {NAK}, out);
        endTransfer(t, "rejected", why + " (NAK)", out);
        return;
    }
    out->log.push_back("header " + current.type);
    int i;
    if ((i = matchFault(kSilentHeader, -1, false)) >= 0) {
        used[i]++;
        state = kSilent;
        silentWhy = "the header went unanswered (fault " + faults[i].text + ")";
    } else if ((i = matchFault(kCanHeader, -1, false)) >= 0) {
        used[i]++;
        reply(kHeaderFrame, 0, t, {CAN}, out);
        endTransfer(t, "cancelled", "CAN to the header (fault " + faults[i].text + ")", out);
    } else if ((i = matchFault(kEnqBeforeAck, -1, false)) >= 0) {
        used[i]++;
        reply(kHeaderFrame, 0, t, {ENQ, ACK}, out);
    } else {
        reply(kHeaderFrame, 0, t, {ACK, ENQ}, out);
    }
}

void Device::handleCount(Nanos t, Output *out) {
    const std::vector<uint8_t> &f = frame;
    int hi = hexDigit(f[1]), lo = hexDigit(f[2]);
    std::string why;
    if (state == kWaitPcAck)
        why = "count frame before the PC's ACK to ENQ";
    else if (hi < 0 || lo < 0)
        why = "block count is not two upper-case hex digits";
    else if (f[3] < '0' || f[3] > '6')
        why = "file id " + hex2(f[3]) + " is not '0' to '6'";
    else if (f[4] != ETX)
        why = "count frame has no ETX";
    else if (f[5] != frameChecksum(f.data(), 5))
        why = "bad count checksum " + hex2(f[5]) + ", expected " + hex2(frameChecksum(f.data(), 5));
    else if (hi * 16 + lo > kMaxBlocks)
        why = "block count " + std::to_string(hi * 16 + lo) + " is over 102";
    if (!why.empty()) {
        out->log.push_back("NAK: " + why);
        current.detail = why;
        reply(kCountFrame, 0, t, {NAK}, out);
        return;
    }
    current.id = std::string(1, (char)f[3]);
    current.blocks = hi * 16 + lo;
    current.hasCount = true;
    out->log.push_back("count " + std::to_string(current.blocks) + " id " + current.id);
    int i;
    if ((i = matchFault(kSilentCount, -1, true)) >= 0) {
        used[i]++;
        state = kSilent;
        silentWhy = "the count frame went unanswered (fault " + faults[i].text + ")";
        return;
    }
    if ((i = matchFault(kCanCount, -1, true)) >= 0) {
        used[i]++;
        reply(kCountFrame, 0, t, {CAN}, out);
        endTransfer(t, "cancelled", "CAN to the count frame (fault " + faults[i].text + ")", out);
        return;
    }
    reply(kCountFrame, 0, t, {ACK}, out);
    expected = 0;
    state = kWaitBlock;
    if (current.blocks == 0)
        endTransfer(t, "ok", "empty file: no blocks", out);
}

void Device::handleBlock(Nanos t, Output *out) {
    const std::vector<uint8_t> &f = frame;
    int hi = hexDigit(f[1]), lo = hexDigit(f[2]);
    bool hexOk = hi >= 0 && lo >= 0;
    int idx = hexOk ? hi * 16 + lo : -1;
    bool resend = hexOk && expected > 0 && idx == expected - 1;
    int slot = (hexOk && (idx == expected || resend)) ? idx : expected;
    if ((int)current.sends.size() <= slot)
        current.sends.resize(slot + 1, 0);
    current.sends[slot]++;

    std::string why;
    if (!hexOk)
        why = "block index is not two upper-case hex digits";
    else if (f[131] != ETX)
        why = "block " + std::to_string(idx) + " has no ETX after its data";
    else if (f[132] != frameChecksum(f.data(), 132))
        why = "bad checksum on block " + std::to_string(idx) + ": " + hex2(f[132]) + ", expected " +
              hex2(frameChecksum(f.data(), 132));
    else if (idx != expected && !resend)
        why = "block index " + std::to_string(idx) + " where " + std::to_string(expected) +
              " was expected";
    if (!why.empty()) {
        out->log.push_back("NAK: " + why);
        current.detail = why;
        reply(kBlockFrame, slot, t, {NAK}, out);
        return;
    }

    int i;
    if ((i = matchFault(kSilentBlock, slot, true)) >= 0) {
        used[i]++;
        state = kSilent;
        silentOnBlocks = true;
        silentWhy =
            "block " + std::to_string(slot) + " went unanswered (fault " + faults[i].text + ")";
        out->log.push_back(silentWhy);
        return;
    }
    std::vector<uint8_t> bytes;
    Nanos delay = 0;
    if ((i = matchFault(kStray, slot, true)) >= 0) {
        used[i]++;
        bytes = faults[i].bytes;
    }
    if ((i = matchFault(kLateAck, slot, true)) >= 0) {
        used[i]++;
        delay = faults[i].delay;
    }
    if ((i = matchFault(kCanBlock, slot, true)) >= 0) {
        used[i]++;
        bytes.push_back(CAN);
        reply(kBlockFrame, slot, t, bytes, out, delay);
        endTransfer(t, "cancelled",
                    "CAN to block " + std::to_string(slot) + " (fault " + faults[i].text + ")",
                    out);
        return;
    }
    if ((i = matchFault(kNakBlock, slot, true)) >= 0) {
        used[i]++;
        bytes.push_back(NAK);
        reply(kBlockFrame, slot, t, bytes, out, delay);
        out->log.push_back("NAK to block " + std::to_string(slot) + " (fault)");
        return;
    }
    bytes.push_back(ACK);
    reply(kBlockFrame, slot, t, bytes, out, delay);
    size_t offset = (size_t)slot * kBlockSize;
    if (current.data.size() < offset + kBlockSize)
        current.data.resize(offset + kBlockSize);
    std::copy(f.begin() + 3, f.begin() + 3 + kBlockSize, current.data.begin() + offset);
    if (resend) {
        out->log.push_back("block " + std::to_string(idx) + " again (its ACK was lost)");
    } else {
        expected++;
    }
    current.detail.clear();
    bool dies = false;
    std::string deadSpec;
    if ((i = matchFault(kDeadAfterBlock, slot, true)) >= 0) {
        used[i]++;
        dies = true;
        deadSpec = faults[i].text;
    }
    if (expected == current.blocks) {
        endTransfer(t, "ok", "", out);
        lastIndexDone = slot;
    } else if (dies) {
        endTransfer(
            t, "failed",
            "the line went dead after block " + std::to_string(slot) + " (fault " + deadSpec + ")",
            out);
    }
    if (dies) {
        out->lineDies = true;
        state = kDead;
    }
}

void Device::onTime(Nanos t, Output *out) {
    if (state == kDead)
        return;
    if (!frame.empty() && t - lastRx >= kFrameGap) {
        out->log.push_back("frame of " + std::to_string(frame.size()) +
                           " byte(s) cut short: dropped");
        frame.clear();
        frameWant = 0;
    }
    if (inTransfer() && t - lastRx >= kTransferSilence) {
        std::string why = waitingFor(state, expected, silentWhy);
        std::string detail = "the PC went quiet while " + why;
        if (state == kSilent)
            detail = why + "; then the PC went quiet";
        if (!current.detail.empty() && state != kSilent)
            detail += " (last refused: " + current.detail + ")";
        endTransfer(lastRx + kTransferSilence,
                    (lastAnswerNak && state != kSilent) ? "rejected" : "failed", detail, out);
    }
}

Nanos Device::nextTimer() const {
    if (state == kDead)
        return 0;
    Nanos next = 0;
    if (!frame.empty())
        next = lastRx + kFrameGap;
    if (inTransfer() && (next == 0 || lastRx + kTransferSilence < next))
        next = lastRx + kTransferSilence;
    return next;
}

void Device::finish(Nanos t, Output *out) {
    if (inTransfer())
        endTransfer(t, "incomplete",
                    "the simulator stopped while " + waitingFor(state, expected, silentWhy), out);
}

}  // namespace sim
