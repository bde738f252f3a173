// Runs one whole download natively over the stand-in, set up the way the program's start-up
// sets it: a shown 500 x 350 window that paints the status lines and hosts the 10 ms tick, a
// window in the progress bar's place along its bottom, every slot chosen, then runDownload. Prints
// one JSON line with the outcome, the markers, the elapsed time and the process's CPU time over the
// run. The benchmark (scripts/bench) runs it; the port is the one MARVANE_COM1 names.
//   run_harness <image folder> <baud>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include "link/link.h"
#include "ui/ui.h"
#include "resources/resource.h"
#include "run/download.h"
#include "run/slots.h"

// The program's main window in short: it paints the status lines and counts the ticks.
static LRESULT CALLBACK harnessProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_PAINT) {
        paintStatus(window);  // the step repaints cost what they cost in the program
        return 0;
    }
    return tickWindowProc(window, message, wParam, lParam);
}

static double cpuSeconds(const struct rusage &usage) {
    return (double)usage.ru_utime.tv_sec + (double)usage.ru_utime.tv_usec / 1e6 +
           (double)usage.ru_stime.tv_sec + (double)usage.ru_stime.tv_usec / 1e6;
}

static double monotonicSeconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

int main(int argc, char **argv) {
    int baud = argc == 3 ? atoi(argv[2]) : 0;
    if (argc != 3 || baud <= 0 || chdir(argv[1]) != 0) {
        fprintf(stderr, "usage: run_harness <image folder> <baud>\n");
        return 2;
    }
    HINSTANCE instance = GetModuleHandleA(NULL);
    WNDCLASSEXA windowClass;
    memset(&windowClass, 0, sizeof windowClass);
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = harnessProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = "MARVANEBENCH";
    if (!RegisterClassExA(&windowClass)) {
        fprintf(stderr, "run_harness: cannot register the window class\n");
        return 2;
    }
    HWND window = CreateWindowExA(0, "MARVANEBENCH", "bench", WS_VISIBLE, 200, 200, 500, 350, NULL,
                                  NULL, instance, NULL);
    if (window == NULL) {
        fprintf(stderr, "run_harness: cannot create the window\n");
        return 2;
    }
    WindowContext.instance = instance;
    WindowContext.mainWindow = window;
    GetClientRect(window, &WindowContext.clientRect);
    const RECT *client = &WindowContext.clientRect;
    const int barHeight = 17;  // a scroll bar's height at the default metrics
    // The stand-in has no common controls: a plain window of the bar's class takes the bar's
    // messages.
    windowClass.lpfnWndProc = DefWindowProcA;
    windowClass.lpszClassName = PROGRESS_CLASSA;
    RegisterClassExA(&windowClass);
    WindowContext.progressBar = CreateWindowExA(
        0, PROGRESS_CLASSA, NULL, WS_CHILD | WS_VISIBLE, client->left, client->bottom - barHeight,
        client->right, barHeight, window, NULL, instance, NULL);
    startTicks(window);
    setRunListener(&WindowListener);  // the window program's listener

    setPort(1);
    setBaud(baud);
    selectFile(SLOT_PUMP1, IDS_GIL_PUMP);
    selectFile(SLOT_PUMP2, IDS_TOK_PUMP);
    selectFile(SLOT_READER1, IDS_GIL_CARD);
    selectFile(SLOT_READER2, IDS_TOK_CARD);

    struct rusage before, after;
    double start = monotonicSeconds();
    getrusage(RUSAGE_SELF, &before);
    BYTE ok = runDownload();
    getrusage(RUSAGE_SELF, &after);
    double elapsed = monotonicSeconds() - start;

    char markers[SLOT_COUNT + 1];
    for (int i = 0; i < SLOT_COUNT; i++) {
        markers[i] = Slots[i].marker;
    }
    markers[SLOT_COUNT] = 0;
    printf("{\"ok\":%d,\"markers\":\"%s\",\"baud\":%d,\"elapsed\":%.4f,\"cpu\":%.4f}\n", ok,
           markers, baud, elapsed, cpuSeconds(after) - cpuSeconds(before));
    stopTicks(window);
    DestroyWindow(window);
    return ok ? 0 : 1;
}
