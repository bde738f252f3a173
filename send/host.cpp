// The console program's stand-in for the main window: a hidden window of its own class that
// hosts the tick timer and takes the progress-bar messages and the step repaints. From the
// markers and those messages it prints one line per transfer as it starts and as it ends,
// and on a terminal a bar for the file in flight. The run itself is run/'s.
#include <stdio.h>
#include <string.h>

#include "link/link.h"
#include "protocol/window_context.h"
#include "run/download.h"
#include "send/send.h"

const char *const SlotLabels[SLOT_COUNT] = {"POS",    "PC_CC",    "Pump 1",
                                            "Pump 2", "Reader 1", "Reader 2"};

static const char HOST_CLASS[] = "MARVANESEND";
const int BAR_WIDTH = 30;  // characters between the brackets

static BYTE Quiet = 0;
static BYTE ShowBar = 0;
static BYTE BarShown = 0;
static BYTE PortSetupFailed = 0;
static char PortDescription[600] = "COM1";

// The transfer being reported: which slot and pass, since when, and the blocks of the file
// as the progress messages announce them (-1 until the file has been read).
struct Transfer {
    BYTE active;
    int slot;
    int pass;  // PC_CC: 1 or 2; the others 1
    DWORD startMs;
    int blocks;
    int blocksSent;
    BYTE announced;  // its start line is out
};
static Transfer Current;
static Transfer Failed;  // the transfer that failed, if one did (slot -1: none)

// The markers as last seen: a change is a transfer starting or ending.
static SlotMarker Seen[SLOT_COUNT];

// What a marker says about a slot's transfers (PC_CC has two): how many have started, how
// many have been sent, and whether the last one started failed.
struct SlotProgress {
    int started;
    int sent;
    BYTE failed;
};

static SlotProgress progressOf(int slot, SlotMarker marker) {
    BYTE twice = slot == SLOT_PC_CC;
    SlotProgress none = {0, 0, 0};
    SlotProgress first = {1, 0, 0};
    SlotProgress second = {2, 1, 0};
    SlotProgress done = {twice ? 2 : 1, twice ? 2 : 1, 0};
    SlotProgress failed = {twice ? 2 : 1, twice ? 1 : 0, 1};
    SlotProgress firstFailed = {1, 0, 1};
    switch (marker) {
        case MARK_SENDING:
        case MARK_PASS1:
            return first;
        case MARK_PASS2:
            return second;
        case MARK_DONE:
            return done;
        case MARK_FAILED:
            return failed;
        case MARK_PASS1_FAILED:
            return firstFailed;
        default:
            return none;  // ' ' no file, '-' waiting
    }
}

static const StepInfo *stepOf(int slot) {
    for (int i = 0; i < STEP_COUNT; i++) {
        if (Steps[i].slot == slot) {
            return &Steps[i];
        }
    }
    return &Steps[0];
}

static char fileIdOf(const Transfer *t) {
    const StepInfo *step = stepOf(t->slot);
    return t->pass == 2 ? step->secondPassId : step->fileId;
}

static void clearBar() {
    if (BarShown) {
        printf("\r%*s\r", BAR_WIDTH + 40, "");
        fflush(stdout);
        BarShown = 0;
    }
}

static void drawBar() {
    if (!ShowBar || Quiet || PortSetupFailed || !Current.active || Current.blocks <= 0) {
        return;
    }
    int filled = Current.blocksSent * BAR_WIDTH / Current.blocks;
    char bar[BAR_WIDTH + 1];
    for (int i = 0; i < BAR_WIDTH; i++) {
        bar[i] = i < filled ? '#' : '.';
    }
    bar[BAR_WIDTH] = 0;
    printf("\r%-12s [%s] %3d/%d blocks", Slots[Current.slot].name, bar, Current.blocksSent,
           Current.blocks);
    fflush(stdout);
    BarShown = 1;
}

// The part every line of a transfer starts with: slot, file, id and type.
static void printHead(const Transfer *t) {
    printf("%-8s  %-12s  id %c  type %c  ", SlotLabels[t->slot], Slots[t->slot].name, fileIdOf(t),
           stepOf(t->slot)->fileType);
}

static BYTE reporting() {
    return !Quiet && !PortSetupFailed;
}

static void announce() {
    if (Current.announced) {
        return;
    }
    Current.announced = 1;
    if (!reporting()) {
        return;
    }
    clearBar();
    printHead(&Current);
    const char *pass = "";
    if (Current.slot == SLOT_PC_CC) {
        pass = Current.pass == 2 ? ", second pass" : ", first pass";
    }
    if (Current.blocks >= 0) {
        printf("%3d blocks  sending%s\n", Current.blocks, pass);
    } else {
        printf("  - blocks  sending%s\n", pass);
    }
    fflush(stdout);
}

static void beginTransfer(int slot, int pass) {
    memset(&Current, 0, sizeof Current);
    Current.active = 1;
    Current.slot = slot;
    Current.pass = pass;
    Current.startMs = GetTickCount();
    Current.blocks = -1;
}

static void endTransfer(BYTE sent) {
    announce();
    double seconds = (double)(GetTickCount() - Current.startMs) / 1000.0;
    if (!sent) {
        Failed = Current;
    }
    if (reporting()) {
        clearBar();
        printHead(&Current);
        if (sent) {
            printf("%3d blocks  sent in %.2f s\n", Current.blocks, seconds);
        } else if (Current.blocks < 0) {
            printf("  - blocks  failed: the file could not be read\n");
        } else {
            printf("%3d blocks  failed after %d sent, %.2f s\n", Current.blocks, Current.blocksSent,
                   seconds);
        }
        fflush(stdout);
    }
    Current.active = 0;
}

// Compares each slot's marker with the one last seen and reports the transfers that
// started or ended in between, in order. The markers change just before the progress
// messages that follow them, so every change is seen by the next message at the latest.
static void observe() {
    for (int slot = 0; slot < SLOT_COUNT; slot++) {
        SlotMarker now = Slots[slot].marker;
        if (now == Seen[slot]) {
            continue;
        }
        SlotProgress before = progressOf(slot, Seen[slot]);
        SlotProgress after = progressOf(slot, now);
        Seen[slot] = now;
        for (int pass = 1; pass <= after.started; pass++) {
            if (pass > before.started) {
                beginTransfer(slot, pass);
            }
            if (pass <= after.sent && pass > before.sent) {
                endTransfer(1);
            }
            if (after.failed && !before.failed && pass == after.started) {
                endTransfer(0);
            }
        }
    }
}

static LRESULT CALLBACK hostProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_TIMER:
            onTick(wParam);
            return 0;
        case PBM_SETPOS:
            // Each file starts with position 0, and the run ends with 0 or 1.
            observe();
            return 0;
        case PBM_SETRANGE:
            // Sent once the file is read: the range is 0 to its block count.
            observe();
            Current.blocks = (int)HIWORD(lParam);
            announce();
            drawBar();
            return 0;
        case PBM_SETSTEP:
            return 0;
        case PBM_STEPIT:
            // One step per block the device has taken.
            Current.blocksSent++;
            drawBar();
            return 0;
        case WM_PAINT:
            observe();  // a step repaint, if the system delivers one to a hidden window
            break;
        default:
            break;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

HWND createHost(HINSTANCE instance) {
    WNDCLASSEXA windowClass;
    memset(&windowClass, 0, sizeof windowClass);
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = hostProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = HOST_CLASS;
    if (!RegisterClassExA(&windowClass)) {
        return 0;
    }
    // Never shown: it exists for the tick timer and as the target of the run's messages.
    HWND host =
        CreateWindowExA(0, HOST_CLASS, "", WS_OVERLAPPED, 0, 0, 0, 0, NULL, NULL, instance, NULL);
    if (host == NULL) {
        return 0;
    }
    WindowContext.instance = instance;
    WindowContext.mainWindow = host;
    WindowContext.progressBar = host;
    GetClientRect(host, &WindowContext.clientRect);
    return host;
}

void setReporting(BYTE quiet, BYTE bar) {
    Quiet = quiet;
    ShowBar = bar;
}

void setPortDescription(const char *description) {
    snprintf(PortDescription, sizeof PortDescription, "%s", description);
}

// The console program's showPortError, linked in place of the window program's message
// box: the same text, on standard error. A run over a port that is not set up cannot
// succeed, so the quit that the link's waits honour ends it at its first wait instead of
// after the POS step's answer timeout, and the exit status says why.
void showPortError(LPCSTR text) {
    GetLastError();  // fetched and dropped, as for the box
    clearBar();
    fflush(stdout);
    fprintf(stderr, "Error: %s (%s)\n", text, PortDescription);
    PortSetupFailed = 1;
    PostQuitMessage(EXIT_PORT_FAILED);
}

int runAndReport(HWND host) {
    for (int slot = 0; slot < SLOT_COUNT; slot++) {
        Seen[slot] = Slots[slot].marker;
    }
    memset(&Failed, 0, sizeof Failed);
    Failed.slot = -1;
    startTicks(host);
    BYTE ok = runDownload();
    stopTicks(host);
    observe();  // the run's last progress message has shown every change already
    clearBar();
    fflush(stdout);
    if (ok) {
        return EXIT_SENT;
    }
    if (PortSetupFailed) {
        return EXIT_PORT_FAILED;
    }
    if (Failed.slot < 0) {
        fprintf(stderr, "marvane-send: the run failed\n");
        return EXIT_STEP_FAILED;
    }
    fprintf(stderr, "marvane-send: %s (%s, id %c, type %c) failed", SlotLabels[Failed.slot],
            Slots[Failed.slot].name, fileIdOf(&Failed), stepOf(Failed.slot)->fileType);
    if (Failed.blocks < 0) {
        fprintf(stderr, ": the file could not be read\n");
    } else {
        fprintf(stderr, " after %d of %d blocks\n", Failed.blocksSent, Failed.blocks);
    }
    return EXIT_STEP_FAILED;
}
