// What a run tells its front end as it goes: the run and each step starting and ending, the
// image read or not, each block's answer. The window program turns these into repaints and
// progress-bar messages (ui/window_events.cpp); marvane-send prints them. The run's own
// state (markers, the link) is link/, protocol/ and run/'s; a front end only listens.
#pragma once

#include "platform/winapi.h"

// What a transfer tells the device it carries: the file id '0' to '6' (which file of the
// run) and the type letter 'C', 'A' or 'E'. The run gives the values for each step.
typedef char FileId;
typedef char FileType;

// How the device answered a frame: the byte itself travels beside it.
enum FrameAnswer {
    ANSWER_ACK,
    ANSWER_NAK,
    ANSWER_CAN,
    ANSWER_OTHER,  // any other byte: noise, a stale answer, ENQ where ACK was due
    ANSWER_NONE,   // nothing within the answer time-out
};

// Why an image could not be read.
enum ImageProblem {
    IMAGE_READ,        // no problem: read whole
    IMAGE_NOT_FOUND,   // no such file (or folder on its path)
    IMAGE_NOT_OPENED,  // there, but could not be opened: no permission, in use, a folder
    IMAGE_TOO_LARGE,   // more than the device takes
    IMAGE_SHORT,       // fewer bytes came than its size promised, or the read failed
};

// How one transfer ended, and where: what sendImageFile leaves in LastTransfer.
enum TransferEnd {
    TRANSFER_DONE,
    TRANSFER_UNREADABLE,         // the image could not be read: nothing was sent
    TRANSFER_HEADER_UNANSWERED,  // no ACK and ENQ to the header
    TRANSFER_COUNT_UNANSWERED,   // no ACK to the block count
    TRANSFER_BLOCK_UNANSWERED,   // five sends of a block, neither ACK nor CAN
    TRANSFER_CANCELLED,          // the device answered a block with CAN
    TRANSFER_STOPPED,            // the program is quitting: nothing more was sent
};

struct TransferResult {
    TransferEnd end;
    int blocks;          // the file's block count, -1 before it was read
    int block;           // the block concerned (0-based), -1 for the others
    FrameAnswer answer;  // the last answer taken, ANSWER_NONE when none came
    BYTE answerByte;     // that answer's byte
    ImageProblem problem;
    DWORD systemError;  // GetLastError of a failed open or read, 0 otherwise
    BYTE headerSent;    // the transfer reached the device: it may hold part of the file
};

// The front end's side. Every member is set; the run calls them on its own thread, in the
// order of what happens. Slots are run/slots.h's indices; pass is 1, or 2 for PC_CC's second.
struct RunEvents {
    void (*runStarted)();
    // openLink failed (one of its three texts) with the system's error; the run goes on.
    void (*portFailed)(LPCSTR text, DWORD systemError);
    void (*stepStarted)(int slot, int pass, LPCSTR name, FileId fileId, FileType fileType);
    void (*fileRead)(DWORD size, int blocks);
    void (*fileUnreadable)(ImageProblem problem, DWORD systemError);
    // One send of block `index` (attempt 1 to 5) and how the device answered it.
    void (*blockAnswered)(int index, int attempt, FrameAnswer answer, BYTE answerByte);
    // A slot's marker changed while the run went (not the reset at its start).
    void (*markerChanged)(int slot);
    void (*stepEnded)(int slot, int pass, const TransferResult *result);
    void (*runEnded)(BYTE ok);
};

// The front end in use. A program sets it once before its first run; with none set (0) the
// run tells nobody.
inline const RunEvents *RunFrontEnd = 0;
