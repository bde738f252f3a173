// The block transfer protocol: reads one image file, opens a transfer with the header
// handshake, announces the block count and sends the 128-byte blocks, each up to five times.
// The link must already be open; the waits and the byte writes are link/'s.
#include "protocol/protocol.h"

#include <string.h>

#include "link/link.h"
#include "protocol/window_context.h"

BYTE ImageBuffer[IMAGE_BUFFER_SIZE];
BlockFrame FrameBuffer;

static const char HEX_DIGITS[] = "0123456789ABCDEF";

BYTE FrameChecksum(const BYTE *bytes, int length) {
    BYTE sum = 0;
    for (int i = 0; i < length; i++) {
        sum = (BYTE)(sum + bytes[i]);
    }
    // The device checks that all bytes of the frame, checksum included, add up to a
    // multiple of 128.
    return (BYTE)((BYTE)(0x100 - sum) & 0x7F);
}

// Two upper-case hex digits, most significant first.
static void putHex(BYTE *out, int value) {
    out[0] = (BYTE)HEX_DIGITS[(value >> 4) & 0x0F];
    out[1] = (BYTE)HEX_DIGITS[value & 0x0F];
}

void buildHeaderFrame(HeaderFrame *frame, FileType fileType) {
    BYTE *bytes = frame->bytes;
    bytes[0] = STX;
    bytes[1] = 'L';
    bytes[2] = (BYTE)fileType;
    bytes[3] = 'N';
    bytes[4] = ETX;
    bytes[5] = FrameChecksum(bytes, 5);
}

void buildCountFrame(CountFrame *frame, int count, FileId fileId) {
    BYTE *bytes = frame->bytes;
    bytes[0] = STX;
    putHex(bytes + 1, count);
    bytes[3] = (BYTE)fileId;
    bytes[4] = ETX;
    bytes[5] = FrameChecksum(bytes, 5);
}

void buildBlockFrame(int index) {
    BYTE *bytes = FrameBuffer.bytes;
    bytes[0] = STX;
    putHex(bytes + 1, index);
    memcpy(bytes + 3, ImageBuffer + index * BLOCK_SIZE, BLOCK_SIZE);
    bytes[131] = ETX;
    bytes[132] = FrameChecksum(bytes, 132);
}

static void writeFrame(const BYTE *frame, int length) {
    for (int i = 0; i < length; i++) {
        writeByte(frame[i]);
    }
}

static void progress(UINT message, WPARAM wParam, LPARAM lParam) {
    SendMessageA(WindowContext.progressBar, message, wParam, lParam);
}

// Reads the whole file into ImageBuffer, zero-filled behind it. Fails for a file the device
// cannot take (over 13,000 bytes) and for one whose bytes could not all be read: zeros are
// never sent in place of the file's bytes.
static BYTE readImage(LPCSTR name, DWORD *size) {
    HANDLE file = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        GetLastError();
        return 0;
    }
    // A size that cannot be taken comes back as INVALID_FILE_SIZE, which is too large too.
    DWORD high = 0;
    *size = GetFileSize(file, &high);
    if (high != 0 || *size > MAX_IMAGE_SIZE) {
        CloseHandle(file);
        return 0;
    }
    memset(ImageBuffer, 0, sizeof ImageBuffer);
    DWORD got = 0;
    BYTE ok = (BYTE)(ReadFile(file, ImageBuffer, *size, &got, NULL) && got == *size);
    CloseHandle(file);
    return ok;
}

BYTE sendImageFile(LPCSTR name, FileId fileId, FileType fileType) {
    progress(PBM_SETPOS, 0, 0);
    DWORD size = 0;
    if (!readImage(name, &size)) {
        return 0;
    }
    int count = (int)((size + BLOCK_SIZE - 1) / BLOCK_SIZE);
    progress(PBM_SETRANGE, 0, MAKELPARAM(0, count));
    progress(PBM_SETSTEP, 1, 0);

    if (!openSession(count, fileId, fileType)) {
        return 0;
    }
    for (int index = 0; index < count; index++) {
        buildBlockFrame(index);
        if (!sendBlockWithRetry()) {
            return 0;
        }
        if (lastReceived == CAN) {
            return 0;  // the device cancelled: the remaining blocks are not sent
        }
        progress(PBM_STEPIT, 0, 0);
    }
    // There is no end-of-file frame: the answer to the last block ends the transfer.
    return 1;
}

BYTE openSession(int count, FileId fileId, FileType fileType) {
    HeaderFrame header;
    buildHeaderFrame(&header, fileType);
    writeFrame(header.bytes, HEADER_FRAME_SIZE);
    // The device takes the header with ACK, then asks with ENQ; nothing else will do.
    if (!waitForByte() || lastReceived != ACK) {
        return 0;
    }
    if (!waitForByte() || lastReceived != ENQ) {
        return 0;
    }
    writeByte(ACK);
    delayTicks(COUNT_FRAME_DELAY_TICKS);
    CountFrame countFrame;
    buildCountFrame(&countFrame, count, fileId);
    writeFrame(countFrame.bytes, COUNT_FRAME_SIZE);
    return (BYTE)(waitForByte() && lastReceived == ACK);
}

BYTE sendBlockWithRetry() {
    // Five sends, back to back: a NAK, noise, a stale byte or silence each start the next
    // send at once, and the ring is left as it is.
    for (int attempt = 0; attempt < BLOCK_SEND_ATTEMPTS; attempt++) {
        writeFrame(FrameBuffer.bytes, BLOCK_FRAME_SIZE);
        if (waitForByte() && (lastReceived == ACK || lastReceived == CAN)) {
            return 1;  // the caller tells ACK from CAN
        }
        if (linkQuitting()) {
            return 0;  // Exit during the run: sending the block again would only delay it
        }
    }
    return 0;
}
