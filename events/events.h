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
    IMAGE_CHANGED,     // its bytes are not the ones checked before the run (RunPolicy)
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

// The names of answers, endings and problems, as the programs' outputs and the suites spell
// them: "ACK", "none"; "sent", "block-unanswered"; "not-found", "changed".
const char *answerName(FrameAnswer answer);
const char *transferEndName(TransferEnd end);
const char *imageProblemName(ImageProblem problem);
const char *imageProblemText(ImageProblem problem);  // "not found", "too large", ...

// What a run does about what goes wrong around it: one set per program, set once where it
// starts. Zero is the window program's way throughout.
struct RunPolicy {
    // run/: a port that cannot be set up. 0: the run goes on and its first step fails by
    // answer time-out. 1: no step runs, and the run ends failed with nothing sent.
    BYTE stopsOnPortFailure;
    // link/: a write or read that fails because the port went away (an adapter pulled out).
    // 0: the failure is dropped and the run ends by its answer time-outs. 1: it stops at once.
    BYTE stopsWhenLost;
    // protocol/: how long a silent device is waited for, in milliseconds. While no header of
    // the run has been answered, an answer time-out sends the header again until this much
    // time has gone since the first; 0 sends it once. Only silence is waited out.
    DWORD deviceWaitMs;
    // protocol/: whether the bytes a step read may go out; 0 (none) takes any. A refused image
    // ends its transfer unread (IMAGE_CHANGED) with nothing sent.
    BYTE (*imageAccepted)(LPCSTR name, const BYTE *bytes, DWORD size);
};
extern RunPolicy Policy;

// A listener embeds a RunListener as its first member and keeps its state beside it, reset
// by runStarted; each call gets the listener it was made on, as `self`. The run calls them on
// its own thread, in the order of what happens. Tables of calls name each entry
// (.runStarted = ...) in this order: the compiler refuses one out of place. Slots are
// run/slots.h's indices; pass is 1, or 2 for PC_CC's second. A listener only listens: what
// the run does about what goes wrong is the program's RunPolicy, not a listener's.
struct RunListener;
struct RunListenerCalls {
    void (*runStarted)(RunListener *self);
    // openLink opened and set up the port.
    void (*portOpened)(RunListener *self);
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
    // Bytes written to the device as one piece: a header, the block count, a block frame, or
    // the PC's ACK to the device's ENQ.
    void (*frameWritten)(RunListener *self, const BYTE *bytes, int length);
    // What a wait for an answer took: the answer and its byte; ANSWER_NONE for silence until
    // the time-out (a wait cut short by a stop is not told).
    void (*answerTaken)(RunListener *self, FrameAnswer answer, BYTE answerByte);
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
inline void tellPortOpened(RunListener *l) {
    l->calls->portOpened(l);
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
inline void tellFrameWritten(RunListener *l, const BYTE *bytes, int length) {
    l->calls->frameWritten(l, bytes, length);
}
inline void tellAnswerTaken(RunListener *l, FrameAnswer answer, BYTE answerByte) {
    l->calls->answerTaken(l, answer, answerByte);
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

// The listener that hears nothing: it stands in wherever nobody listens. Its calls, one per
// entry, serve a listener that hears only part of a run. Every table of calls names every
// entry, those it does not hear with these, rather than leaving them out: a table that leaves
// one out does not compile (-Wmissing-field-initializers is an error on every target), so an
// event added here is decided in each listener, and no call needs a check for null. The
// tables are alike in shape for that reason, not copies of each other.
extern RunListener NullListener;
void nullRunStarted(RunListener *);
void nullPortOpened(RunListener *);
void nullPortFailed(RunListener *, LPCSTR, DWORD);
void nullPortLost(RunListener *, DWORD);
void nullStepStarted(RunListener *, int, int, LPCSTR, FileId, FileType);
void nullFileRead(RunListener *, DWORD, int);
void nullFileUnreadable(RunListener *, ImageProblem, DWORD);
void nullHeaderRepeated(RunListener *, int);
void nullFrameWritten(RunListener *, const BYTE *, int);
void nullAnswerTaken(RunListener *, FrameAnswer, BYTE);
void nullBlockAnswered(RunListener *, int, int, FrameAnswer, BYTE);
void nullMarkerChanged(RunListener *, int);
void nullStepEnded(RunListener *, int, int, const TransferResult *);
void nullStepsEnded(RunListener *, BYTE);
void nullRunEnded(RunListener *, BYTE);

// Who the run tells: set once by a program before its run; 0 puts NullListener back.
void setRunListener(RunListener *listener);
RunListener *runListener();

// Several listeners as one: every call goes to each of them, in the order added.
const int FAN_OUT_MAX = 5;
struct RunListenerFan {
    RunListener listener;  // give &fan.listener to the run
    RunListener *to[FAN_OUT_MAX];
    int count;
};
void initFan(RunListenerFan *fan);
// Adds a listener; returns 0 when the fan is full.
BYTE fanAdd(RunListenerFan *fan, RunListener *listener);
