// The suites' one model of the bytes on the wire, written from the frame layouts and checked
// against known frames (sim_test's FrameOracle test): the 7-bit checksum, the two hex digits
// and the header, count and block frames. What the device answers is sim::Device's.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace oracle {

typedef std::vector<uint8_t> Bytes;
const uint8_t STX = 0x02, ETX = 0x03;

// The two's complement of the byte sum, low 7 bits: a whole frame sums to 0 modulo 128.
inline uint8_t checksum(const uint8_t *bytes, size_t n) {
    unsigned sum = 0;
    for (size_t i = 0; i < n; i++) {
        sum += bytes[i];
    }
    return (uint8_t)((0u - sum) & 0x7F);
}

// A frame whose last byte is the checksum of the rest.
inline bool checksumOk(const uint8_t *frame, size_t n) {
    return n > 0 && frame[n - 1] == checksum(frame, n - 1);
}

// Two upper-case hex digits as the PC sends them, or -1.
inline int hexPair(uint8_t high, uint8_t low) {
    auto digit = [](uint8_t c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    };
    int h = digit(high), l = digit(low);
    return h < 0 || l < 0 ? -1 : h * 16 + l;
}

inline Bytes withChecksum(Bytes frame) {
    frame.push_back(checksum(frame.data(), frame.size()));
    return frame;
}

inline uint8_t hexDigit(int value) {
    return (uint8_t) "0123456789ABCDEF"[value & 15];
}

// STX 'L' type 'N' ETX checksum.
inline Bytes headerFrame(char type) {
    return withChecksum({STX, 'L', (uint8_t)type, 'N', ETX});
}

// STX, the block count in two hex digits, the file id, ETX, checksum.
inline Bytes countFrame(int blocks, char id) {
    return withChecksum({STX, hexDigit(blocks >> 4), hexDigit(blocks), (uint8_t)id, ETX});
}

// STX, the index in two hex digits, 128 data bytes, ETX, checksum.
inline Bytes blockFrame(int index, const Bytes &data) {
    Bytes frame = {STX, hexDigit(index >> 4), hexDigit(index)};
    frame.insert(frame.end(), data.begin(), data.end());
    frame.push_back(ETX);
    return withChecksum(frame);
}

}  // namespace oracle
