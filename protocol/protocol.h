// The block transfer protocol: the three frame kinds, their checksum, and the exchange that
// sends one image file to the device over the open link. Opening the link and the waits
// belong to link/; which files go, in what order, to run/.
#pragma once

#include "platform/winapi.h"
#include "events/events.h"

const int BLOCK_SIZE = 128;
const int MAX_BLOCKS = 102;
const DWORD MAX_IMAGE_SIZE = 13000;                     // the largest file the device takes
const int IMAGE_BUFFER_SIZE = MAX_BLOCKS * BLOCK_SIZE;  // 13,056 bytes
const int HEADER_FRAME_SIZE = 6;
const int COUNT_FRAME_SIZE = 6;
const int BLOCK_FRAME_SIZE = 133;
const int BLOCK_SEND_ATTEMPTS = 5;       // five sends, then give up
const int COUNT_FRAME_DELAY_TICKS = 25;  // pause before the count frame, 250 ms

// The three frames, each sent byte by byte as it stands, its checksum last.
struct HeaderFrame {
    BYTE bytes[HEADER_FRAME_SIZE];  // STX 'L' type 'N' ETX checksum: opens a transfer
};
struct CountFrame {
    BYTE bytes[COUNT_FRAME_SIZE];  // STX, the block count in two hex digits, id, ETX, checksum
};
struct BlockFrame {
    BYTE
        bytes[BLOCK_FRAME_SIZE];  // STX, the index in two hex digits, 128 data bytes, ETX, checksum
};

// One file's bytes from offset 0, zero-filled to the end of the last block.
extern BYTE ImageBuffer[IMAGE_BUFFER_SIZE];
// The frame buffer: the block being sent, rebuilt for every block.
extern BlockFrame FrameBuffer;

// How the last sendImageFile ended, and where (events/events.h).
extern TransferResult LastTransfer;

// A header of this run was answered, so silence is no longer waited out (Policy.deviceWaitMs);
// the run clears it.
extern BYTE DeviceAnswered;

// Two's complement of the 8-bit sum of the bytes, low 7 bits kept: 0x00 to 0x7F.
BYTE FrameChecksum(const BYTE *bytes, int length);
void buildHeaderFrame(HeaderFrame *frame, FileType fileType);
void buildCountFrame(CountFrame *frame, int count, FileId fileId);
void buildBlockFrame(int index);  // block `index` of ImageBuffer into FrameBuffer

// Blocks of 128 bytes that `size` bytes fill, the last one padded.
int blockCount(DWORD size);
// Reads the whole image into ImageBuffer, zero-filled behind it. Fails for a file the device
// cannot take (over 13,000 bytes) and for one whose bytes could not all be read, saying why.
BYTE readImage(LPCSTR name, DWORD *size, ImageProblem *problem, DWORD *systemError);

BYTE sendImageFile(LPCSTR name, FileId fileId, FileType fileType);
BYTE openSession(int count, FileId fileId, FileType fileType);
BYTE sendBlockWithRetry();
