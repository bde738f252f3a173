// The program's one window onto the Win32 API. On Windows it is just <windows.h> and
// <commctrl.h>; elsewhere it declares the types, constants and calls the program's modules
// and tools make, and nothing else, and platform/*.cpp implements them over POSIX.
// scripts/check-standin fails the tests when a name here has no caller.
#pragma once

#if defined(_WIN32)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <commctrl.h>
#include <wincrypt.h>

#else  // the stand-in

#include <stddef.h>
#include <stdint.h>

// Calling conventions mean nothing on these hosts; the names keep the code identical.
#define WINAPI
#define CALLBACK

typedef int BOOL;
typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef unsigned int DWORD;  // 32 bits, as on Windows (long is 64 bits here)
typedef unsigned int UINT;
typedef int LONG;
typedef uintptr_t UINT_PTR;
typedef intptr_t LONG_PTR;
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;
typedef WORD ATOM;
typedef void *HANDLE;
typedef char *LPSTR;
typedef const char *LPCSTR;

// Distinct handle types, as STRICT gives them on Windows.
#define MARVANE_DECLARE_HANDLE(name) \
    struct name##__ {                \
        int unused;                  \
    };                               \
    typedef struct name##__ *name
MARVANE_DECLARE_HANDLE(HWND);
MARVANE_DECLARE_HANDLE(HINSTANCE);
MARVANE_DECLARE_HANDLE(HDC);
MARVANE_DECLARE_HANDLE(HICON);
MARVANE_DECLARE_HANDLE(HBRUSH);
MARVANE_DECLARE_HANDLE(HMENU);
#undef MARVANE_DECLARE_HANDLE
typedef HINSTANCE HMODULE;
typedef HICON HCURSOR;

#define TRUE 1
#define FALSE 0
#define MAXDWORD 0xffffffffu
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define LOWORD(l) ((WORD)(((UINT_PTR)(l)) & 0xffff))
#define MAKELONG(a, b) \
    ((LONG)(((WORD)(((UINT_PTR)(a)) & 0xffff)) | ((DWORD)((WORD)(((UINT_PTR)(b)) & 0xffff))) << 16))
#define MAKELPARAM(l, h) ((LPARAM)(DWORD)MAKELONG(l, h))

typedef struct tagRECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
} RECT;

typedef struct tagMSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
} MSG;

typedef struct tagPAINTSTRUCT {
    HDC hdc;
    BOOL fErase;
    RECT rcPaint;
} PAINTSTRUCT;

typedef LRESULT(CALLBACK *WNDPROC)(HWND, UINT, WPARAM, LPARAM);

typedef struct tagWNDCLASSEXA {
    UINT cbSize;
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCSTR lpszMenuName;
    LPCSTR lpszClassName;
    HICON hIconSm;
} WNDCLASSEXA;

// The Windows layout: 28 bytes, the flag bits in the one 32-bit word at offset 8.
typedef struct _DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
} DCB;

typedef struct _COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
} COMMTIMEOUTS;

// Files and ports: image files are only read, COM ports opened for both ways.
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define OPEN_EXISTING 3
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_SHARING_VIOLATION 32u
#define ERROR_NOT_SUPPORTED 50u  // a port's name that opens no serial port
// What a write or read gives once a port's adapter is gone.
#define ERROR_BAD_COMMAND 22u
#define ERROR_GEN_FAILURE 31u
#define ERROR_OPERATION_ABORTED 995u
#define ERROR_DEVICE_NOT_CONNECTED 1167u
HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, void *security, DWORD disposition,
                          DWORD flags, HANDLE templateFile);
DWORD WINAPI GetFileSize(HANDLE file, DWORD *sizeHigh);
BOOL WINAPI ReadFile(HANDLE file, void *buffer, DWORD toRead, DWORD *read, void *overlapped);
BOOL WINAPI WriteFile(HANDLE file, const void *buffer, DWORD toWrite, DWORD *written,
                      void *overlapped);
BOOL WINAPI CloseHandle(HANDLE handle);
DWORD WINAPI GetLastError(void);

// Serial ports: eight data bits, no parity, one stop bit, DTR and RTS raised.
#define NOPARITY 0
#define ONESTOPBIT 0
#define DTR_CONTROL_ENABLE 1
#define RTS_CONTROL_ENABLE 1
#define SETRTS 3
#define SETDTR 5
BOOL WINAPI GetCommState(HANDLE port, DCB *dcb);
BOOL WINAPI SetCommState(HANDLE port, DCB *dcb);
BOOL WINAPI GetCommTimeouts(HANDLE port, COMMTIMEOUTS *timeouts);
BOOL WINAPI SetCommTimeouts(HANDLE port, COMMTIMEOUTS *timeouts);
BOOL WINAPI EscapeCommFunction(HANDLE port, DWORD function);

// Time and waiting.
#define QS_ALLINPUT 0x04ffu
DWORD WINAPI GetTickCount(void);
void WINAPI Sleep(DWORD milliseconds);
// Only the form with no handles: a wait for input with a time-out.
DWORD WINAPI MsgWaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL waitAll,
                                       DWORD milliseconds, DWORD wakeMask);

// Windows, messages and timers.
#define WM_DESTROY 0x0002
#define WM_PAINT 0x000F
#define WM_QUIT 0x0012
#define WM_COMMAND 0x0111
#define WM_TIMER 0x0113
#define WM_USER 0x0400
#define PM_NOREMOVE 0x0000
#define PM_REMOVE 0x0001
#define WS_OVERLAPPED 0x00000000u
#define WS_CHILD 0x40000000u
#define WS_VISIBLE 0x10000000u
HMODULE WINAPI GetModuleHandleA(LPCSTR name);
ATOM WINAPI RegisterClassExA(const WNDCLASSEXA *windowClass);
HWND WINAPI CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR title, DWORD style, int x,
                            int y, int width, int height, HWND parent, HMENU menu,
                            HINSTANCE instance, void *param);
BOOL WINAPI DestroyWindow(HWND window);
BOOL WINAPI IsWindow(HWND window);
LRESULT WINAPI DefWindowProcA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT WINAPI SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
BOOL WINAPI PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
BOOL WINAPI PeekMessageA(MSG *msg, HWND window, UINT filterMin, UINT filterMax, UINT removeFlags);
BOOL WINAPI GetMessageA(MSG *msg, HWND window, UINT filterMin, UINT filterMax);
BOOL WINAPI TranslateMessage(const MSG *msg);
LRESULT WINAPI DispatchMessageA(const MSG *msg);
void WINAPI PostQuitMessage(int exitCode);
// Window timers only: a timer with its own procedure is not offered.
UINT_PTR WINAPI SetTimer(HWND window, UINT_PTR id, UINT elapse, void *proc);
BOOL WINAPI KillTimer(HWND window, UINT_PTR id);

// The progress bar (common controls).
#define PROGRESS_CLASSA "msctls_progress32"
#define PBM_SETRANGE (WM_USER + 1)
#define PBM_SETPOS (WM_USER + 2)
#define PBM_SETSTEP (WM_USER + 4)
#define PBM_STEPIT (WM_USER + 5)

// Painting.
BOOL WINAPI InvalidateRect(HWND window, const RECT *rect, BOOL erase);
HDC WINAPI BeginPaint(HWND window, PAINTSTRUCT *paint);
BOOL WINAPI EndPaint(HWND window, const PAINTSTRUCT *paint);
BOOL WINAPI GetClientRect(HWND window, RECT *rect);
int WINAPI DrawTextA(HDC dc, LPCSTR text, int length, RECT *rect, UINT format);

// Resources, message boxes, formatting.
#define MB_OK 0x00000000u
int WINAPI LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int bufferMax);
int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
// The conversions the program formats with (%d, %5d, %s, %c, ...), at most 1024 characters.
int wsprintfA(LPSTR buffer, LPCSTR format, ...) __attribute__((format(printf, 2, 3)));

#endif
