// The main window's start-up facts as USER32 reports them to another process: a console
// program run in the same Wine prefix as marvane.exe finds the window by its class name and
// prints what it sees, one "name value" line each (and the About box's, when it is open).
// The end-to-end tests judge the values.
//
//   window_facts <class name> <path of marvane.exe> [--resize | --restore]
//
// The accelerator table is read from the program file's own resources: a table loaded by
// another process cannot be looked into. With --resize the window is resized first (the
// progress bar must stay where start-up put it); with --restore a minimised window is
// restored first, as a click on its taskbar button does.
#include <windows.h>

#include <commctrl.h>
#include <stdio.h>
#include <string.h>

static void printRect(const char *name, const RECT &r) {
    printf("%s %ld %ld %ld %ld\n", name, r.left, r.top, r.right, r.bottom);
}

// The progress bar's place in the main window's client coordinates, and its style and id.
static void printBar(const char *prefix, HWND window) {
    HWND bar = FindWindowExA(window, NULL, PROGRESS_CLASSA, NULL);
    printf("%s.found %d\n", prefix, bar != NULL ? 1 : 0);
    if (bar == NULL) {
        return;
    }
    RECT rect;
    GetWindowRect(bar, &rect);
    MapWindowPoints(HWND_DESKTOP, window, (POINT *)&rect, 2);
    char name[64];
    snprintf(name, sizeof name, "%s.rect", prefix);
    printRect(name, rect);
    printf("%s.style 0x%08lx\n", prefix, (unsigned long)GetWindowLongPtrA(bar, GWL_STYLE));
    printf("%s.id %ld\n", prefix, (long)GetWindowLongPtrA(bar, GWLP_ID));
    int children = 0;
    for (HWND child = GetWindow(window, GW_CHILD); child != NULL;
         child = GetWindow(child, GW_HWNDNEXT)) {
        children++;
    }
    printf("%s.children %d\n", prefix, children);
}

// What the program's own process must be asked: window_facts_hook.dll, beside this program,
// is set as a message hook on the window's thread and sends its lines here.
static char Received[8192];
static BOOL Answered = FALSE;

static LRESULT CALLBACK receiverProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COPYDATA) {
        const COPYDATASTRUCT *data = (const COPYDATASTRUCT *)lParam;
        DWORD size = data->cbData < sizeof Received - 1 ? data->cbData : sizeof Received - 1;
        memcpy(Received, data->lpData, size);
        Received[size] = 0;
        Answered = TRUE;
        return TRUE;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

static void askInside(HWND window) {
    WNDCLASSA receiverClass;
    memset(&receiverClass, 0, sizeof receiverClass);
    receiverClass.lpfnWndProc = receiverProc;
    receiverClass.hInstance = GetModuleHandleA(NULL);
    receiverClass.lpszClassName = "MarvaneWindowFacts";
    RegisterClassA(&receiverClass);
    HWND receiver = CreateWindowExA(0, "MarvaneWindowFacts", "", 0, 0, 0, 10, 10, NULL, NULL,
                                    receiverClass.hInstance, NULL);
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, path, MAX_PATH);
    while (length > 0 && path[length - 1] != '\\' && path[length - 1] != '/') {
        length--;
    }
    strcpy(path + length, "window_facts_hook.dll");
    HMODULE hookModule = LoadLibraryA(path);
    HOOKPROC hook =
        hookModule != NULL ? (HOOKPROC)(void *)GetProcAddress(hookModule, "windowFactsHook") : NULL;
    DWORD thread = GetWindowThreadProcessId(window, NULL);
    HHOOK installed =
        hook != NULL ? SetWindowsHookExA(WH_GETMESSAGE, hook, hookModule, thread) : NULL;
    printf("inside.hooked %d\n", installed != NULL ? 1 : 0);
    if (installed == NULL) {
        return;
    }
    PostMessageA(window, WM_NULL, 0, 0);  // wakes the program's loop, and with it the hook
    DWORD start = GetTickCount();
    // Thirty seconds: the program's thread answers when it next takes a message, which a
    // loaded machine can put off for seconds.
    while (!Answered && GetTickCount() - start < 30000) {
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
            DispatchMessageA(&msg);
        }
        if (!Answered) {
            MsgWaitForMultipleObjects(0, NULL, FALSE, 100, QS_ALLINPUT);
            PostMessageA(window, WM_NULL, 0, 0);
        }
    }
    UnhookWindowsHookEx(installed);
    DestroyWindow(receiver);
    printf("inside.answered %d\n%s", Answered ? 1 : 0, Received);
}

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: window_facts <class name> <marvane.exe> [--resize | --restore]\n");
        return 2;
    }
    bool resize = argc > 3 && strcmp(argv[3], "--resize") == 0;
    bool restore = argc > 3 && strcmp(argv[3], "--restore") == 0;
    // The tests start the inspector once the program's X window shows; on a loaded machine
    // give this process's view of the window list a few seconds to agree.
    HWND window = FindWindowA(argv[1], NULL);
    for (int i = 0; i < 200 && window == NULL; i++) {
        Sleep(100);
        window = FindWindowA(argv[1], NULL);
    }
    printf("found %d\n", window != NULL ? 1 : 0);
    if (window == NULL) {
        return 1;
    }
    if (resize) {
        // Wider and taller than start-up; the bar is never moved.
        SetWindowPos(window, NULL, 0, 0, 640, 480, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        RECT after;
        GetWindowRect(window, &after);
        printRect("resized.window", after);
        printBar("resized.bar", window);
        return 0;
    }
    if (restore) {
        SendMessageA(window, WM_SYSCOMMAND, SC_RESTORE, 0);
    }

    RECT rect;
    GetWindowRect(window, &rect);
    printRect("window", rect);
    RECT client;
    GetClientRect(window, &client);
    printRect("client", client);
    char text[256] = "";
    GetWindowTextA(window, text, sizeof text);
    printf("title %s\n", text);
    char className[256] = "";
    GetClassNameA(window, className, sizeof className);
    printf("class %s\n", className);
    printf("class.style 0x%08lx\n", (unsigned long)GetClassLongPtrA(window, GCL_STYLE));
    printf("window.style 0x%08lx\n", (unsigned long)GetWindowLongPtrA(window, GWL_STYLE));
    printf("window.exstyle 0x%08lx\n", (unsigned long)GetWindowLongPtrA(window, GWL_EXSTYLE));
    askInside(window);

    int scroll = GetSystemMetrics(SM_CYVSCROLL);
    printf("cyvscroll %d\n", scroll);
    printBar("bar", window);

    // The accelerator table, from the program file.
    HMODULE program = LoadLibraryExA(argv[2], NULL, LOAD_LIBRARY_AS_DATAFILE);
    HACCEL table = program != NULL ? LoadAcceleratorsA(program, MAKEINTRESOURCEA(109)) : NULL;
    int entries = table != NULL ? CopyAcceleratorTableA(table, NULL, 0) : -1;
    printf("accel.count %d\n", entries);
    if (entries > 0) {
        ACCEL accel[16];
        int got = CopyAcceleratorTableA(table, accel, entries < 16 ? entries : 16);
        for (int i = 0; i < got; i++) {
            printf("accel.%d 0x%02x %d %d\n", i, (unsigned)accel[i].fVirt, (int)accel[i].key,
                   (int)accel[i].cmd);
        }
    }
    return 0;
}
