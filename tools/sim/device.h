// The simulated controller's side of the block transfer exchange, free of any I/O: it takes
// the PC's bytes with their arrival times and says what to answer and when, and which
// transfers ended how. The line, its pacing and the report are the program's other files'.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace sim {

const uint8_t STX = 0x02, ETX = 0x03, ENQ = 0x05, ACK = 0x06, NAK = 0x15, CAN = 0x18;

// All times are CLOCK_MONOTONIC nanoseconds.
typedef int64_t Nanos;
const Nanos kMillis = 1000000;
const Nanos kSecond = 1000 * kMillis;
// A frame that stops arriving for this long is dropped unanswered.
const Nanos kFrameGap = 1 * kSecond;
// A transfer that hears nothing from the PC for this long has ended.
const Nanos kTransferSilence = 3 * kSecond;
// Block counts beyond this do not fit the controller's 13,056-byte image area.
const int kMaxBlocks = 102;
const int kBlockSize = 128;
const int kBlockFrameSize = 133;
const int kShortFrameSize = 6;

// The 7-bit frame checksum: two's complement of the byte sum, low 7 bits kept.
uint8_t frameChecksum(const uint8_t *bytes, size_t n);
// Value of one upper-case hex digit, or -1 (lower case is not what the PC sends).
int hexDigit(uint8_t c);
// "0615" -> {0x06, 0x15}; false on odd length or a non-hex character (either case).
bool parseHex(const std::string &text, std::vector<uint8_t> *out);

enum FaultKind {
    kSilentHeader,
    kSilentCount,
    kSilentBlock,
    kNakBlock,
    kCanHeader,
    kCanCount,
    kCanBlock,
    kEnqBeforeAck,
    kStray,
    kLateAck,
    kDeadAfterBlock,
};

struct Fault {
    FaultKind kind;
    int block = 0;               // K for the block faults
    int times = 0;               // N of nak-block
    Nanos delay = 0;             // late-ack
    std::vector<uint8_t> bytes;  // stray
    int onlyOrdinal = 0;         // @N: only the N-th transfer (1-based), 0 = every transfer
    char onlyId = 0;             // @id=X: only transfers of that file id, 0 = any
    std::string text;            // as given, for the report
};

// Parses one --fault argument; on failure returns false with a message in *error.
bool parseFault(const std::string &text, Fault *out, std::string *error);

enum FrameKind { kHeaderFrame, kPcAck, kCountFrame, kBlockFrame };

// An answer scripted by an in-process caller (a test): what goes back to one frame instead
// of the device's own answer, a fault's included, and how late. The device goes on as if it
// had answered; one gone silent by a fault stays silent. 0 in a limit matches any.
struct Reply {
    FrameKind frame;             // kPcAck: the PC's lone ACK after the header's ENQ
    std::vector<uint8_t> bytes;  // empty: silence
    Nanos delay = 0;
    int block = 0;     // kBlockFrame: the block index
    int send = 0;      // kBlockFrame: only its n-th send in the transfer (1-based)
    int transfer = 0;  // only the n-th transfer (1-based)
    char id = 0;       // only transfers of that file id
};

// One transfer as it ended, for the report and the saved file.
struct Transfer {
    int ordinal = 0;
    std::string type;        // the header's type letter ("C", "A", "E"), or what came instead
    std::string id;          // the count frame's file id, "" if none was accepted
    int blocks = -1;         // the announced block count, -1 before an accepted count frame
    std::vector<int> sends;  // frames received per block index
    std::string outcome;     // ok, cancelled, failed, incomplete, rejected
    std::string detail;
    std::vector<uint8_t> data;  // the accepted blocks, in order, padding and all
    Nanos start = 0, end = 0;   // monotonic
    bool hasCount = false;      // a count frame was accepted: there is something to save
};

// Bytes to send: not before `at`, in the order given.
struct Answer {
    Nanos at;
    std::vector<uint8_t> bytes;
};

struct Output {
    std::vector<Answer> answers;
    std::vector<Transfer> ended;
    bool lineDies = false;         // a dead-after-block fault fired: the caller kills the line
    std::vector<std::string> log;  // one line per event, for --verbose
};

enum DeviceState { kIdle, kWaitPcAck, kWaitCount, kWaitBlock, kSilent, kDead };

struct Device {
    std::vector<Fault> faults;
    std::vector<Reply> replies;  // the first that matches a frame answers it

    DeviceState state = kIdle;
    int ordinal = 0;
    Transfer current;
    std::vector<uint8_t> frame;  // the frame being collected, from its STX
    size_t frameWant = 0;
    Nanos lastRx = 0;
    int expected = 0;  // next block index the device waits for
    bool lastAnswerNak = false;
    int strayGarbage = 0;  // bytes outside any frame in the current transfer
    std::string silentWhy;
    bool silentOnBlocks = false;  // gone silent at a block: the PC's resends are blocks too
    int lastIndexDone = -1;       // last block of the transfer that just ended ok, or -1
    // per-transfer fault bookkeeping, parallel to `faults`
    std::vector<int> used;

    void onByte(uint8_t b, Nanos t, Output *out);
    // Ends what timed out by `t`: a frame cut short, a transfer the PC went quiet on.
    void onTime(Nanos t, Output *out);
    // The earliest time onTime has something to do, or 0 for none.
    Nanos nextTimer() const;
    // The session is over: a transfer in progress is reported "incomplete".
    void finish(Nanos t, Output *out);
    bool inTransfer() const { return state != kIdle && state != kDead; }
    bool midFrame() const { return !frame.empty(); }

private:
    void handleFrame(Nanos t, Output *out);
    void handleHeader(Nanos t, Output *out);
    void handleCount(Nanos t, Output *out);
    void handleBlock(Nanos t, Output *out);
    void endTransfer(Nanos t, const std::string &outcome, const std::string &detail, Output *out);
    // The index-th fault of `kind` that applies to the current transfer at `block`, or -1.
    int matchFault(FaultKind kind, int block, bool needId) const;
    void answer(Nanos t, std::vector<uint8_t> bytes, Output *out);
    // Answers a frame of the transfer with `bytes` after `delay`, or as a matching Reply says.
    void reply(FrameKind frame, int block, Nanos t, std::vector<uint8_t> bytes, Output *out,
               Nanos delay = 0);
};

}  // namespace sim
