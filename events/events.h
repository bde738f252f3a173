// The run's own vocabulary and the interface through which it tells its listeners what
// happens: the run and each step starting and ending, the image read or not, each block's
// answer, the markers. link/, protocol/ and run/ all sit above this header; the window
// program's listener repaints and moves the progress bar, marvane-send's prints and records.
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
    TRANSFER_PORT_LOST,          // the port went away (an adapter pulled out) and the run stopped
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
    int headerAnswers;  // answer bytes taken to the header (ACK, then ENQ, are due): 0 to 2
};

// A listener embeds a RunListener as its first member and keeps its state beside it, reset
// by runStarted; each call gets the listener it was made on, as `self`. The run calls them on
// its own thread, in the order of what happens. Slots are run/slots.h's indices; pass is 1,
// or 2 for PC_CC's second. A listener only listens: what the run does about a port that
// fails is the run's policy (run/download.h), not a listener's.
struct RunListener;
struct RunListenerCalls {
    void (*runStarted)(RunListener *self);
    // openLink failed (one of its three texts) with the system's error.
    void (*portFailed)(RunListener *self, LPCSTR text, DWORD systemError);
    // A write or read failed because the port went away, with the system's error: once a run.
    void (*portLost)(RunListener *self, DWORD systemError);
    void (*stepStarted)(RunListener *self, int slot, int pass, LPCSTR name, FileId fileId,
                        FileType fileType);
    void (*fileRead)(RunListener *self, DWORD size, int blocks);
    void (*fileUnreadable)(RunListener *self, ImageProblem problem, DWORD systemError);
    // The device was silent, so the header went again: `sends` headers so far (2, 3, ...).
    void (*headerRepeated)(RunListener *self, int sends);
    // One send of block `index` (attempt 1 to 5) and how the device answered it.
    void (*blockAnswered)(RunListener *self, int index, int attempt, FrameAnswer answer,
                          BYTE answerByte);
    // A slot's marker changed while the run went (not the reset at its start).
    void (*markerChanged)(RunListener *self, int slot);
    void (*stepEnded)(RunListener *self, int slot, int pass, const TransferResult *result);
    // The steps are over, the link still open: `ok` when every step succeeded.
    void (*stepsEnded)(RunListener *self, BYTE ok);
    // The link is closed and the run is over.
    void (*runEnded)(RunListener *self, BYTE ok);
};
struct RunListener {
    const RunListenerCalls *calls;
};

// The calls, as the run makes them.
inline void tellRunStarted(RunListener *l) {
    l->calls->runStarted(l);
}
inline void tellPortFailed(RunListener *l, LPCSTR text, DWORD systemError) {
    l->calls->portFailed(l, text, systemError);
}
inline void tellPortLost(RunListener *l, DWORD systemError) {
    l->calls->portLost(l, systemError);
}
inline void tellStepStarted(RunListener *l, int slot, int pass, LPCSTR name, FileId fileId,
                            FileType fileType) {
    l->calls->stepStarted(l, slot, pass, name, fileId, fileType);
}
inline void tellFileRead(RunListener *l, DWORD size, int blocks) {
    l->calls->fileRead(l, size, blocks);
}
inline void tellFileUnreadable(RunListener *l, ImageProblem problem, DWORD systemError) {
    l->calls->fileUnreadable(l, problem, systemError);
}
inline void tellHeaderRepeated(RunListener *l, int sends) {
    l->calls->headerRepeated(l, sends);
}
inline void tellBlockAnswered(RunListener *l, int index, int attempt, FrameAnswer answer,
                              BYTE answerByte) {
    l->calls->blockAnswered(l, index, attempt, answer, answerByte);
}
inline void tellMarkerChanged(RunListener *l, int slot) {
    l->calls->markerChanged(l, slot);
}
inline void tellStepEnded(RunListener *l, int slot, int pass, const TransferResult *result) {
    l->calls->stepEnded(l, slot, pass, result);
}
inline void tellStepsEnded(RunListener *l, BYTE ok) {
    l->calls->stepsEnded(l, ok);
}
inline void tellRunEnded(RunListener *l, BYTE ok) {
    l->calls->runEnded(l, ok);
}

// The listener that hears nothing: it stands in wherever nobody listens.
extern RunListener NullListener;

// Who the run tells: set once by a program before its run; 0 puts NullListener back.
void setRunListener(RunListener *listener);
RunListener *runListener();

// Several listeners as one: every call goes to each of them, in the order added.
const int FAN_OUT_MAX = 4;
struct RunListenerFan {
    RunListener listener;  // give &fan.listener to the run
    RunListener *to[FAN_OUT_MAX];
    int count;
};
void initFan(RunListenerFan *fan);
// Adds a listener; returns 0 when the fan is full.
BYTE fanAdd(RunListenerFan *fan, RunListener *listener);
