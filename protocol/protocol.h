// The block transfer protocol: the three frame kinds, their checksum, and the exchange that
// sends one image file to the device over the open link. Opening the link and the waits
// belong to link/; which files go, in what order, to run/.
#pragma once

#include "platform/winapi.h"

const int BLOCK_SIZE = 128;
const int MAX_BLOCKS = 102;
const DWORD MAX_IMAGE_SIZE = 13000;                     // the largest file the device takes
const int IMAGE_BUFFER_SIZE = MAX_BLOCKS * BLOCK_SIZE;  // 13,056 bytes
const int HEADER_FRAME_SIZE = 6;
const int COUNT_FRAME_SIZE = 6;
const int BLOCK_FRAME_SIZE = 133;
const int BLOCK_SEND_ATTEMPTS = 5;       // five sends, then give up
const int COUNT_FRAME_DELAY_TICKS = 25;  // pause before the count frame, 250 ms

// One file's bytes from offset 0, zero-filled to the end of the last block.
extern BYTE ImageBuffer[IMAGE_BUFFER_SIZE];
// The frame buffer: the BlockFrame being sent, rebuilt for every block.
extern BYTE FrameBuffer[BLOCK_FRAME_SIZE];

// Two's complement of the 8-bit sum of the bytes, low 7 bits kept: 0x00 to 0x7F.
BYTE FrameChecksum(const BYTE *bytes, int length);
void buildHeaderFrame(BYTE *frame, char fileType);          // 6 bytes
void buildCountFrame(BYTE *frame, int count, char fileId);  // 6 bytes
void buildBlockFrame(int index);                            // into FrameBuffer

BYTE sendImageFile(LPCSTR name, char fileId, char fileType);
BYTE openSession(int count, char fileId, char fileType);
BYTE sendBlockWithRetry();
