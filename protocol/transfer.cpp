// The block transfer protocol: reads one image file, opens a transfer with the header
// handshake, announces the block count and sends the 128-byte blocks, each up to five times.
// The link must already be open; the waits and the byte writes are link/'s.
#include "protocol/protocol.h"

#include <string.h>

#include "link/link.h"

BYTE ImageBuffer[IMAGE_BUFFER_SIZE];
BlockFrame FrameBuffer;
TransferResult LastTransfer;
BYTE DeviceAnswered = 0;

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

// Which block FrameBuffer holds, for the reports of its answers.
static int FrameBlock = 0;

void buildBlockFrame(int index) {
    FrameBlock = index;
    BYTE *bytes = FrameBuffer.bytes;
    bytes[0] = STX;
    putHex(bytes + 1, index);
    memcpy(bytes + 3, ImageBuffer + index * BLOCK_SIZE, BLOCK_SIZE);
    bytes[131] = ETX;
    bytes[132] = FrameChecksum(bytes, 132);
}

// A frame goes out whole, or not at all once the program is quitting: after Exit or an
// interrupt nothing more reaches the device. Only a stop asked for now cuts one short (a line
// held back takes a second a byte): what went is told as written.
static BYTE writeFrame(const BYTE *frame, int length) {
    if (linkQuitting()) {
        return 0;
    }
    for (int i = 0; i < length; i++) {
        if (i > 0 && linkStoppedNow()) {  // the first was looked at above
            tellFrameWritten(runListener(), frame, i);
            return 0;
        }
        writeByte(frame[i]);
    }
    tellFrameWritten(runListener(), frame, length);
    return 1;
}

static void report(TransferEnd end, int block) {
    LastTransfer.end = end;
    LastTransfer.block = block;
}

static FrameAnswer answerOf(BYTE value) {
    switch (value) {
        case ACK:
            return ANSWER_ACK;
        case NAK:
            return ANSWER_NAK;
        case CAN:
            return ANSWER_CAN;
        default:
            return ANSWER_OTHER;
    }
}

// waitForByte, noting what came. A wait that ends with nothing because the program is
// closing is no silence of the device's; one that ran its course after a stop is.
static BYTE awaitAnswer() {
    if (!waitForByte()) {
        LastTransfer.answer = ANSWER_NONE;
        LastTransfer.answerByte = 0;
        if (!linkClosing()) {
            tellAnswerTaken(runListener(), ANSWER_NONE, 0);
        }
        return 0;
    }
    LastTransfer.answer = answerOf(lastReceived);
    LastTransfer.answerByte = lastReceived;
    tellAnswerTaken(runListener(), LastTransfer.answer, lastReceived);
    return 1;
}

// The end of a transfer that failed at `end`, unless the port went away or the program is
// quitting.
static BYTE failed(TransferEnd end, int block) {
    report(linkLost() ? TRANSFER_PORT_LOST : linkQuitting() ? TRANSFER_STOPPED : end, block);
    return 0;
}

int blockCount(DWORD size) {
    return (int)((size + BLOCK_SIZE - 1) / BLOCK_SIZE);
}

BYTE readImage(LPCSTR name, DWORD *size, ImageProblem *problem, DWORD *systemError) {
    *size = 0;
    *systemError = 0;
    HANDLE file = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        *systemError = GetLastError();
        BYTE missing = *systemError == ERROR_FILE_NOT_FOUND || *systemError == ERROR_PATH_NOT_FOUND;
        *problem = missing ? IMAGE_NOT_FOUND : IMAGE_NOT_OPENED;
        return 0;
    }
    // A size that cannot be taken comes back as INVALID_FILE_SIZE, which is too large too.
    DWORD high = 0;
    *size = GetFileSize(file, &high);
    if (high != 0 || *size > MAX_IMAGE_SIZE) {
        CloseHandle(file);
        *problem = IMAGE_TOO_LARGE;
        return 0;
    }
    // Zeros are never sent in place of the file's bytes: all of them must come.
    memset(ImageBuffer, 0, sizeof ImageBuffer);
    DWORD got = 0;
    BYTE ok = (BYTE)(ReadFile(file, ImageBuffer, *size, &got, NULL) && got == *size);
    if (!ok) {
        *systemError = GetLastError();
    }
    CloseHandle(file);
    *problem = ok ? IMAGE_READ : IMAGE_SHORT;
    return ok;
}

BYTE sendImageFile(LPCSTR name, FileId fileId, FileType fileType) {
    memset(&LastTransfer, 0, sizeof LastTransfer);
    LastTransfer.blocks = -1;
    LastTransfer.answer = ANSWER_NONE;
    DWORD size = 0;
    BYTE read = readImage(name, &size, &LastTransfer.problem, &LastTransfer.systemError);
    if (read && Policy.imageAccepted != 0 && !Policy.imageAccepted(name, ImageBuffer, size)) {
        LastTransfer.problem = IMAGE_CHANGED;  // not the bytes the program checked: none go
        read = 0;
    }
    if (!read) {
        report(TRANSFER_UNREADABLE, -1);
        tellFileUnreadable(runListener(), LastTransfer.problem, LastTransfer.systemError);
        return 0;
    }
    int count = blockCount(size);
    LastTransfer.blocks = count;
    tellFileRead(runListener(), size, count);

    if (!openSession(count, fileId, fileType)) {
        return 0;
    }
    for (int index = 0; index < count; index++) {
        buildBlockFrame(index);
        if (!sendBlockWithRetry()) {
            return failed(TRANSFER_BLOCK_UNANSWERED, index);
        }
        if (lastReceived == CAN) {
            // The device cancelled: the remaining blocks are not sent.
            report(TRANSFER_CANCELLED, index);
            return 0;
        }
    }
    // There is no end-of-file frame: the answer to the last block ends the transfer.
    report(TRANSFER_DONE, -1);
    return 1;
}

BYTE openSession(int count, FileId fileId, FileType fileType) {
    HeaderFrame header;
    buildHeaderFrame(&header, fileType);
    if (!writeFrame(header.bytes, HEADER_FRAME_SIZE)) {
        return failed(TRANSFER_STOPPED, -1);
    }
    LastTransfer.headerSent = 1;
    // A controller not yet waiting for a download is silent: until some header of the run
    // is answered, and for Policy.deviceWaitMs, the header goes again as an operator choosing
    // "Download Files" again would send it.
    DWORD firstSent = GetTickCount();
    int sends = 1;
    while (!awaitAnswer()) {
        if (DeviceAnswered || GetTickCount() - firstSent >= Policy.deviceWaitMs) {
            return failed(TRANSFER_HEADER_UNANSWERED, -1);
        }
        if (!writeFrame(header.bytes, HEADER_FRAME_SIZE)) {
            return failed(TRANSFER_STOPPED, -1);
        }
        tellHeaderRepeated(runListener(), ++sends);
    }
    DeviceAnswered = 1;
    LastTransfer.headerAnswers = 1;
    // The device takes the header with ACK, then asks with ENQ; nothing else will do.
    if (lastReceived != ACK) {
        return failed(TRANSFER_HEADER_UNANSWERED, -1);
    }
    if (!awaitAnswer()) {
        return failed(TRANSFER_HEADER_UNANSWERED, -1);
    }
    LastTransfer.headerAnswers = 2;
    if (lastReceived != ENQ) {
        return failed(TRANSFER_HEADER_UNANSWERED, -1);
    }
    BYTE ack = ACK;
    if (!writeFrame(&ack, 1)) {
        return failed(TRANSFER_STOPPED, -1);
    }
    delayTicks(COUNT_FRAME_DELAY_TICKS);
    CountFrame countFrame;
    buildCountFrame(&countFrame, count, fileId);
    // A pause cut short by Exit sends no count frame.
    if (!writeFrame(countFrame.bytes, COUNT_FRAME_SIZE)) {
        return failed(TRANSFER_STOPPED, -1);
    }
    if (!awaitAnswer() || lastReceived != ACK) {
        return failed(TRANSFER_COUNT_UNANSWERED, -1);
    }
    return 1;
}

BYTE sendBlockWithRetry() {
    // Five sends, back to back: a NAK, noise, a stale byte or silence each start the next
    // send at once, and the ring is left as it is. Once the program is quitting the block is
    // not sent again.
    for (int attempt = 1; attempt <= BLOCK_SEND_ATTEMPTS; attempt++) {
        if (!writeFrame(FrameBuffer.bytes, BLOCK_FRAME_SIZE)) {
            return 0;
        }
        awaitAnswer();
        tellBlockAnswered(runListener(), FrameBlock, attempt, LastTransfer.answer,
                          LastTransfer.answerByte);
        if (LastTransfer.answer == ANSWER_ACK || LastTransfer.answer == ANSWER_CAN) {
            return 1;  // the caller tells ACK from CAN
        }
    }
    return 0;
}
