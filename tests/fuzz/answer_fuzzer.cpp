// libFuzzer target: the fuzzer's input is the device's behaviour. The simulator's device
// model (sim::Device) takes the PC's bytes in process, behind the pty of COM1, and says when
// a frame is complete and what it would answer; for every such frame the input says what
// goes back instead (nothing, the device's own answer, NAK, CAN, ENQ, ACK, noise, or several
// bytes) and how late. One file is sent on virtual time, and the target checks that the
// transfer ends in bounded time, succeeds only when the answers really carried it, and that
// every byte written forms a well-formed frame.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "link/link.h"
#include "tests/support/standin_doubles.h"
#include "protocol/protocol.h"
#include "tests/support/test_window.h"
#include "tests/support/frame_oracle.h"
#include "tools/sim/device.h"

namespace {

struct Script {
    const uint8_t *data;
    size_t size;
    size_t at;
    uint8_t next() { return at < size ? data[at++] : 0; }
    bool done() const { return at >= size; }
};

Script script;
std::vector<uint8_t> wire;      // every byte the PC wrote
std::vector<uint8_t> answered;  // every byte the device sent, in order of sending
sim::Device device;             // frames the PC's bytes and knows the controller's answer

// What the device does when a frame is complete: one action byte and one delay byte.
void answerFrame(const std::vector<uint8_t> &own) {
    if (script.done()) {
        return;  // the device has gone quiet
    }
    uint8_t action = script.next();
    DWORD delay = (DWORD)script.next() * 20;  // 0 to 5.1 s: late answers included
    std::vector<uint8_t> bytes;
    switch (action % 8) {
        case 0:
            break;  // silence
        case 1:
            bytes = own;  // what the controller answers
            break;
        case 2:
            bytes = {NAK};
            break;
        case 3:
            bytes = {CAN};
            break;
        case 4:
            bytes = {ENQ};
            break;
        case 5:
            bytes = {ACK};
            break;
        case 6:
            bytes = {script.next()};  // noise
            break;
        case 7: {
            int n = script.next() % 4 + 1;
            for (int i = 0; i < n; i++) {
                bytes.push_back(script.next());
            }
            break;
        }
    }
    if (!bytes.empty()) {
        answered.insert(answered.end(), bytes.begin(), bytes.end());
        standinPeerSend(1, bytes.data(), (int)bytes.size(), delay);
    }
}

void onByte(void *, BYTE value) {
    wire.push_back(value);
    sim::Nanos now = (sim::Nanos)standinNow() * sim::kMillis;
    sim::Output out;
    device.onTime(now, &out);  // a frame cut short for a second is dropped, as on the line
    device.onByte(value, now, &out);
    if (!out.answers.empty()) {
        answerFrame(out.answers[0].bytes);
    }
}

void fail(const char *what) {
    fprintf(stderr, "invariant broken: %s\n", what);
    abort();
}

// Checks the PC's bytes: header, its ACK, the count frame, then whole block frames with
// indices that never go back, at most five sends each, carrying the file's bytes.
void checkWire(const std::vector<uint8_t> &file, int count) {
    const oracle::Bytes header = oracle::headerFrame('A');
    size_t n = wire.size();
    if (n == 0) {
        fail("nothing written");
    }
    if (memcmp(wire.data(), header.data(), n < 6 ? n : 6) != 0) {
        fail("header frame");
    }
    if (n <= 6) {
        return;
    }
    if (wire[6] != ACK) {
        fail("the PC's ACK after ENQ");
    }
    if (n <= 7) {
        return;
    }
    if (n < 13 || wire[7] != STX || wire[11] != ETX || !oracle::checksumOk(&wire[7], 6) ||
        oracle::hexPair(wire[8], wire[9]) != count || wire[10] != '4') {
        fail("count frame");
    }
    int lastIndex = -1, sends = 0;
    for (size_t at = 13; at < n; at += BLOCK_FRAME_SIZE) {
        if (n - at < (size_t)BLOCK_FRAME_SIZE) {
            fail("a block frame cut short");
        }
        const uint8_t *frame = &wire[at];
        int index = oracle::hexPair(frame[1], frame[2]);
        if (frame[0] != STX || frame[131] != ETX || !oracle::checksumOk(frame, BLOCK_FRAME_SIZE)) {
            fail("block frame");
        }
        if (index < lastIndex || index > lastIndex + 1 || index >= count) {
            fail("block index sequence");
        }
        sends = index == lastIndex ? sends + 1 : 1;
        if (sends > BLOCK_SEND_ATTEMPTS) {
            fail("more than five sends of a block");
        }
        lastIndex = index;
        for (int i = 0; i < BLOCK_SIZE; i++) {
            size_t offset = (size_t)index * BLOCK_SIZE + i;
            uint8_t expected = offset < file.size() ? file[offset] : 0;
            if (frame[3 + i] != expected) {
                fail("block data");
            }
        }
    }
}

// A success must be carried by the device's answers as the waits take them, in order:
// ACK ENQ to the header, ACK to the count, then per block up to four other bytes and an
// ACK (a CAN is never passed over).
bool answersCarry(int count) {
    size_t at = 0;
    auto take = [&](uint8_t want) { return at < answered.size() && answered[at++] == want; };
    if (!take(ACK) || !take(ENQ) || !take(ACK)) {
        return false;
    }
    for (int block = 0; block < count; block++) {
        int others = 0;
        while (at < answered.size() && answered[at] != ACK) {
            if (answered[at] == CAN || ++others > 4) {
                return false;
            }
            at++;
        }
        if (!take(ACK)) {
            return false;
        }
    }
    return true;
}

HWND tickWindow;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) {
        return 0;
    }
    static std::string folder;
    if (folder.empty()) {
        char pattern[] = "/tmp/marvane-fuzz-XXXXXX";
        if (!mkdtemp(pattern)) {
            return 0;
        }
        folder = pattern;
    }
    // The first two bytes choose the file's size: up to six blocks keeps runs short.
    size_t fileSize = ((size_t)data[0] << 8 | data[1]) % (6 * 128 + 1);
    std::vector<uint8_t> file(fileSize);
    for (size_t i = 0; i < fileSize; i++) {
        file[i] = (uint8_t)(i * 31 + 7);
    }
    // One file per size, written once: rewriting a file on every run made the disk the
    // bottleneck (a truncated file is flushed when it is closed).
    std::string imagePath = folder + "/" + std::to_string(fileSize) + ".BIN";
    if (access(imagePath.c_str(), F_OK) != 0) {
        FILE *f = fopen(imagePath.c_str(), "wb");
        if (!f) {
            return 0;
        }
        if (fileSize) {
            fwrite(file.data(), 1, fileSize, f);
        }
        fclose(f);
    }

    script = {data + 2, size - 2, 0};
    wire.clear();
    answered.clear();
    device = sim::Device();

    // One window for the whole campaign: the stand-in never reuses a window's slot, and
    // a window a run would make it look through more of them on every message.
    if (!tickWindow) {
        standinReset();
        standinUseVirtualClock(TRUE);
        tickWindow = createTickWindow(GetModuleHandleA(NULL));
    }
    // Each run starts from an empty queue and a device with nothing in flight.
    MSG msg;
    while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
    }
    StandinPeer peer = {&onByte, NULL};
    standinAttachPeer(1, &peer);
    startTicks(tickWindow);
    setRunListener(0);  // nobody listens: the wire and the answers are what it checks
    setPort(1);
    if (!openLink(8, NOPARITY)) {
        fail("the device's port would not open");
    }

    int count = (int)((fileSize + BLOCK_SIZE - 1) / BLOCK_SIZE);
    DWORD start = standinNow();
    BYTE ok = sendImageFile(imagePath.c_str(), '4', 'A');
    DWORD elapsed = standinNow() - start;
    standinPeerHear(1);  // what the PC wrote after its last wait
    closeLink();
    stopTicks(tickWindow);
    standinAttachPeer(1, NULL);  // drops answers still on their way
    // The device goes with its run: what a run allocates, it frees, or libFuzzer takes it
    // for a leak and runs the input again to look.
    device = sim::Device();

    // Three waits before the blocks, five per block, 150 ticks each, plus the pause.
    DWORD bound = (DWORD)(3 + BLOCK_SEND_ATTEMPTS * count) * 1510 + 260 + 100;
    if (elapsed > bound) {
        fail("the transfer took longer than its waits allow");
    }
    checkWire(file, count);
    if (ok && !answersCarry(count)) {
        fail("success without the device's answers");
    }
    if (ok && wire.size() < 13 + (size_t)count * BLOCK_FRAME_SIZE) {
        fail("success without every block sent");
    }
    return 0;
}
