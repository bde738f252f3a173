// Start-up and the main window: registers the class, creates the window and its progress
// bar, starts the tick timer and runs the message loop; also the About box. What the
// window shows and what the menu does are status.cpp's and commands.cpp's. Windows only.
#include "platform/winapi.h"

#include "link/link.h"
#include "resources/resource.h"
#include "ui/ui.h"

// Module state, all of it: the title and class name from the string table (100 characters
// each) and the accelerator table the message loop applies. The handles everybody else
// needs are in WindowContext.
const int NAME_SIZE = 100;
static char WindowTitle[NAME_SIZE];
static char WindowClassName[NAME_SIZE];
static HACCEL Accelerators;

static INT_PTR CALLBACK aboutProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    (void)lParam;
    switch (message) {
        case WM_INITDIALOG:
            return TRUE;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
                EndDialog(dialog, LOWORD(wParam));
                return TRUE;
            }
            break;
    }
    return FALSE;
}

static LRESULT onCommand(HWND window, WPARAM wParam, LPARAM lParam) {
    UINT commandId = LOWORD(wParam);
    switch (commandId) {
        case IDM_ABOUT:
            DialogBoxParamA(WindowContext.instance, MAKEINTRESOURCEA(IDD_ABOUTBOX), window,
                            aboutProc, 0);
            return 0;
        case IDM_EXIT:
            // The timer first, so no tick arrives for a window that is going away.
            stopTicks(window);
            DestroyWindow(WindowContext.progressBar);
            DestroyWindow(window);
            return 0;
        default:
            return handleCommand(window, commandId, wParam, lParam);
    }
}

static LRESULT onPaint(HWND window) {
    paintStatus(window);
    return 0;
}

static LRESULT onTimer(WPARAM timerId) {
    onTick(timerId);
    return 0;
}

static LRESULT onDestroy() {
    PostQuitMessage(0);
    return 0;
}

static LRESULT CALLBACK mainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COMMAND:
            return onCommand(window, wParam, lParam);
        case WM_PAINT:
            return onPaint(window);
        case WM_TIMER:
            return onTimer(wParam);
        case WM_DESTROY:
            return onDestroy();
        default:
            return DefWindowProcA(window, message, wParam, lParam);
    }
}

static void registerMainClass(HINSTANCE instance) {
    WNDCLASSEXA windowClass;
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = mainWindowProc;
    windowClass.cbClsExtra = 0;
    windowClass.cbWndExtra = 0;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_MARVANE));
    windowClass.hCursor = LoadCursorA(NULL, IDC_ARROW);
    // A system colour index plus one stands for that colour's brush.
    windowClass.hbrBackground = (HBRUSH)(INT_PTR)(COLOR_WINDOW + 1);
    windowClass.lpszMenuName = MAKEINTRESOURCEA(IDR_MAINMENU);
    windowClass.lpszClassName = WindowClassName;
    windowClass.hIconSm = LoadIconA(instance, MAKEINTRESOURCEA(IDI_SMALL));
    RegisterClassExA(&windowClass);
}

// The show command the process was started with, as WinMain's own parameter would give it.
static int startupShowCommand() {
    STARTUPINFOA startup;
    GetStartupInfoA(&startup);
    if (startup.dwFlags & STARTF_USESHOWWINDOW) {
        return startup.wShowWindow;
    }
    return SW_SHOWDEFAULT;
}

// The progress bar is a strip one scroll-bar height tall along the bottom of the client
// area as measured at start-up. It is never moved, not even when the window is resized.
static void createProgressBar(int showCommand) {
    INITCOMMONCONTROLSEX controls;
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_PROGRESS_CLASS;
    InitCommonControlsEx(&controls);

    const RECT *client = &WindowContext.clientRect;
    int height = GetSystemMetrics(SM_CYVSCROLL);
    WindowContext.progressBar =
        CreateWindowExA(0, PROGRESS_CLASSA, NULL, WS_CHILD | WS_VISIBLE | PBS_SMOOTH, client->left,
                        client->bottom - height, client->right, height, WindowContext.mainWindow,
                        NULL, WindowContext.instance, NULL);
    ShowWindow(WindowContext.progressBar, showCommand);
    UpdateWindow(WindowContext.progressBar);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previousInstance, LPSTR commandLine,
                   int showCommandParameter) {
    // No command line; the show command is read from the start-up information instead.
    (void)previousInstance;
    (void)commandLine;
    (void)showCommandParameter;
    int showCommand = startupShowCommand();

    LoadStringA(instance, IDS_APP_TITLE, WindowTitle, NAME_SIZE);
    LoadStringA(instance, IDS_WINDOW_CLASS, WindowClassName, NAME_SIZE);
    registerMainClass(instance);

    WindowContext.instance = instance;
    // No menu handle: the class menu applies.
    WindowContext.mainWindow = CreateWindowExA(0, WindowClassName, WindowTitle, WS_OVERLAPPEDWINDOW,
                                               200, 200, 500, 350, NULL, NULL, instance, NULL);
    if (WindowContext.mainWindow == NULL) {
        return 0;
    }
    ShowWindow(WindowContext.mainWindow, showCommand);
    UpdateWindow(WindowContext.mainWindow);

    Accelerators = LoadAcceleratorsA(instance, MAKEINTRESOURCEA(IDR_MAINMENU));
    // Measured once, after the window is shown and before the bar takes its strip: the
    // download run repaints this rectangle. Started minimised, it is empty.
    GetClientRect(WindowContext.mainWindow, &WindowContext.clientRect);
    createProgressBar(showCommand);

    startTicks(WindowContext.mainWindow);
    setRunListener(&WindowListener);

    MSG message;
    while (GetMessageA(&message, NULL, 0, 0)) {
        if (!TranslateAcceleratorA(message.hwnd, Accelerators, &message)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
    return (int)message.wParam;
}
