// The Win32 calls the program relies on, in the respects it relies on, through Win32 calls
// only: reading files, the message queue and its timers, windows and their painting, the
// progress bar, strings and wsprintfA. The same file runs natively on the stand-in and,
// cross-built, under Wine, so both must agree; what the stand-in does not offer (message
// filters, child windows, the progress bar: the program does without them there) is checked
// under Wine only.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "platform/winapi.h"
#include "resources/resource.h"
#include "tests/support/test_window.h"

namespace {

// Every message a test window receives, in order.
struct Heard {
    HWND window;
    UINT message;
    WPARAM wParam;
};
std::vector<Heard> heard;

LRESULT CALLBACK recordingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DESTROY || message == WM_PAINT || message == WM_TIMER || message >= WM_USER) {
        heard.push_back({window, message, wParam});
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

HWND makeWindow(DWORD style = 0, HWND parent = NULL) {
    return testwin::makeWindow("PlatformTestWindow", recordingProc, 200, 100, style, parent);
}

// Empties the queue without dispatching, so each test starts from nothing.
void drainQueue() {
    MSG msg;
    while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_PAINT) {
            DispatchMessageA(&msg);  // only painting takes a WM_PAINT away
        }
    }
}

class PlatformTest : public ::testing::Test {
protected:
    void SetUp() override {
        heard.clear();
        drainQueue();
    }
};

std::string tempName(const char *stem) {
    char name[64];
    wsprintfA(name, "platform-test-%s-%u.tmp", stem, (unsigned)GetTickCount());
    return name;
}

TEST_F(PlatformTest, FileReadBackWhole) {
    std::string name = tempName("read");
    const char data[] = "\x02LAN\x03 and more";
    FILE *out = fopen(name.c_str(), "wb");
    ASSERT_NE(nullptr, out);
    fwrite(data, 1, sizeof data - 1, out);
    fclose(out);

    HANDLE in =
        CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, in);
    DWORD high = 99;
    EXPECT_EQ(sizeof data - 1, GetFileSize(in, &high));
    EXPECT_EQ(0u, high);
    char back[64] = {0};
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(in, back, sizeof back, &got, NULL));
    EXPECT_EQ(sizeof data - 1, got);
    EXPECT_EQ(0, memcmp(back, data, got));
    // At the end of the file a read succeeds with nothing.
    ASSERT_TRUE(ReadFile(in, back, sizeof back, &got, NULL));
    EXPECT_EQ(0u, got);
    // A file opened to be read takes no writes.
    DWORD written = 0;
    EXPECT_FALSE(WriteFile(in, data, 1, &written, NULL));
    // A second opener that does not share reading with this one is turned away.
    EXPECT_EQ(INVALID_HANDLE_VALUE,
              CreateFileA(name.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL));
    ASSERT_TRUE(CloseHandle(in));

    // The handle is gone now: closing it again fails, and so does using it.
    EXPECT_FALSE(CloseHandle(in));
    EXPECT_EQ(0xffffffffu, GetFileSize(in, NULL));  // INVALID_FILE_SIZE
    EXPECT_FALSE(ReadFile(in, back, 1, &got, NULL));
    remove(name.c_str());
}

TEST_F(PlatformTest, WhatIsNoReadableFileDoesNotOpen) {
    EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileA("no-such-file-here.bin", GENERIC_READ,
                                                FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL));
    EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileA("no-such-folder/file.bin", GENERIC_READ,
                                                FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL));
    // The current folder opened as a file.
    EXPECT_EQ(INVALID_HANDLE_VALUE,
              CreateFileA(".", GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL));
}

TEST_F(PlatformTest, LateTimerGivesOneMessageThatPeekDoesNotConsume) {
    HWND window = makeWindow();
    ASSERT_NE((HWND)NULL, window);
    // Two periods go by unattended (ticks due at 200 and 400 ms). The next is due at 600 ms,
    // 180 ms after the GetMessage below, two calls from the look after it: only a thread held
    // off that long, a stall rather than a loaded machine's time slice, would see it.
    ASSERT_EQ(7u, SetTimer(window, 7, 200, NULL));
    Sleep(420);

    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, NULL, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(WM_TIMER, msg.message);
    EXPECT_EQ(window, msg.hwnd);
    EXPECT_EQ(7u, msg.wParam);
    // Looking did not take it: it is still there for the next look and for GetMessage.
    ASSERT_TRUE(PeekMessageA(&msg, NULL, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(WM_TIMER, msg.message);
    ASSERT_TRUE(GetMessageA(&msg, NULL, 0, 0));
    EXPECT_EQ(WM_TIMER, msg.message);
    // The missed periods are merged into that one message: nothing is left over.
    EXPECT_FALSE(PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE));
    DestroyWindow(window);
}

TEST_F(PlatformTest, QuitComesAfterPostedAndBeforePaintAndTimers) {
    HWND window = makeWindow(WS_VISIBLE);
    ASSERT_NE((HWND)NULL, window);
    drainQueue();
    SetTimer(window, 1, 10, NULL);
    Sleep(30);
    InvalidateRect(window, NULL, FALSE);
    PostQuitMessage(5);
    PostMessageA(window, WM_USER + 1, 11, 0);
    PostMessageA(NULL, WM_USER + 2, 22, 0);

    std::vector<UINT> order;
    MSG msg;
    for (int i = 0; i < 5 && PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE); i++) {
        order.push_back(msg.message);
        if (msg.message == WM_QUIT) {
            EXPECT_EQ(5u, msg.wParam);
        }
        DispatchMessageA(&msg);  // paints the window, so its WM_PAINT goes
        if (msg.message == WM_TIMER) {
            break;
        }
    }
    std::vector<UINT> expected = {WM_USER + 1, WM_USER + 2, WM_QUIT, WM_PAINT, WM_TIMER};
    EXPECT_EQ(expected, order);
    DestroyWindow(window);
    drainQueue();
}

TEST_F(PlatformTest, GetMessageReturnsZeroForQuit) {
    PostMessageA(NULL, WM_USER + 3, 0, 0);
    PostQuitMessage(9);
    MSG msg;
    EXPECT_EQ(TRUE, GetMessageA(&msg, NULL, 0, 0));
    EXPECT_EQ((UINT)(WM_USER + 3), msg.message);
    EXPECT_EQ(FALSE, GetMessageA(&msg, NULL, 0, 0));
    EXPECT_EQ((UINT)WM_QUIT, msg.message);
    EXPECT_EQ(9u, msg.wParam);
}

TEST_F(PlatformTest, PeekFiltersByRangeAndDispatchGoesToTheWindow) {
    HWND a = makeWindow();
    heard.clear();
    PostMessageA(a, WM_USER + 1, 1, 0);
    MSG msg;
#if defined(_WIN32)
    PostMessageA(a, WM_USER + 3, 3, 0);
    ASSERT_TRUE(PeekMessageA(&msg, NULL, WM_USER + 3, WM_USER + 3, PM_REMOVE));
    EXPECT_EQ(3u, msg.wParam);
#endif
    ASSERT_TRUE(PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE));
    EXPECT_EQ(1u, msg.wParam);
    EXPECT_EQ(a, msg.hwnd);
    EXPECT_FALSE(TranslateMessage(&msg));  // no key message, nothing to translate
    DispatchMessageA(&msg);
    ASSERT_EQ(1u, heard.size());
    EXPECT_EQ((UINT)(WM_USER + 1), heard[0].message);
    DestroyWindow(a);
}

TEST_F(PlatformTest, WaitForInputWakesForATimerOrAPostAndRunsOut) {
    HWND window = makeWindow();
    MSG msg;
    ASSERT_FALSE(PeekMessageA(&msg, NULL, 0, 0, PM_NOREMOVE));  // only the timer can wake it
    SetTimer(window, 3, 40, NULL);
    EXPECT_EQ(0u, MsgWaitForMultipleObjects(0, NULL, FALSE, 5000, QS_ALLINPUT));  // WAIT_OBJECT_0
    ASSERT_TRUE(PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE));
    EXPECT_EQ(WM_TIMER, msg.message);
    EXPECT_EQ(3u, msg.wParam);
    // Setting the same id again replaces the timer instead of adding one.
    SetTimer(window, 3, 10, NULL);
    EXPECT_TRUE(KillTimer(window, 3));
    EXPECT_FALSE(KillTimer(window, 3));

    // With nothing coming, a timed wait runs out (WAIT_TIMEOUT); a post ends it at once.
    DWORD start = GetTickCount();
    EXPECT_EQ(0x102u, MsgWaitForMultipleObjects(0, NULL, FALSE, 60, QS_ALLINPUT));
    EXPECT_GE(GetTickCount() - start, 40u);
    PostMessageA(window, WM_USER, 0, 0);
    EXPECT_EQ(0u, MsgWaitForMultipleObjects(0, NULL, FALSE, 5000, QS_ALLINPUT));
    DestroyWindow(window);
    drainQueue();
}

TEST_F(PlatformTest, DestroyWindowTellsParentThenChildAndTakesItsTimers) {
    HWND parent = makeWindow();
    HWND child = makeWindow(WS_CHILD, parent);
    ASSERT_NE((HWND)NULL, child);
    SetTimer(parent, 10000, 10, NULL);
    PostMessageA(parent, WM_USER + 5, 0, 0);
    heard.clear();
    ASSERT_TRUE(DestroyWindow(parent));
#if !defined(_WIN32)
    DestroyWindow(child);  // the stand-in's windows are all top-level
#endif

    std::vector<std::pair<HWND, UINT>> got;
    for (const Heard &h : heard) {
        got.push_back({h.window, h.message});
    }
    std::vector<std::pair<HWND, UINT>> expected = {{parent, WM_DESTROY}, {child, WM_DESTROY}};
    EXPECT_EQ(expected, got);
    EXPECT_FALSE(IsWindow(parent));
    EXPECT_FALSE(IsWindow(child));

    Sleep(40);
    MSG msg;
    EXPECT_FALSE(PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE))  // no tick, no stale post
        << msg.message << " for " << msg.hwnd;
    // A dead window takes nothing and answers nothing.
    EXPECT_FALSE(PostMessageA(parent, WM_USER, 0, 0));
    EXPECT_EQ(0, SendMessageA(parent, WM_USER, 0, 0));
    EXPECT_EQ(0u, SetTimer(parent, 1, 10, NULL));
    // A new window never gets the old handle.
    HWND next = makeWindow();
    EXPECT_NE(parent, next);
    EXPECT_NE(child, next);
    EXPECT_FALSE(IsWindow(parent));
    DestroyWindow(next);
}

TEST_F(PlatformTest, OnlyAShownWindowIsPaintedAndOnceForAllItsInvalidations) {
    HWND hidden = makeWindow();
    HWND shown = makeWindow(WS_VISIBLE);
    drainQueue();  // the first paint of a window coming into view
    heard.clear();
    RECT part = {0, 20, 100, 40};
    InvalidateRect(hidden, NULL, TRUE);
    InvalidateRect(shown, NULL, TRUE);
    InvalidateRect(shown, &part, FALSE);
    drainQueue();
    ASSERT_EQ(1u, heard.size());
    EXPECT_EQ(shown, heard[0].window);
    EXPECT_EQ((UINT)WM_PAINT, heard[0].message);
    DestroyWindow(hidden);
    DestroyWindow(shown);
}

TEST_F(PlatformTest, ClientAreaStartsAtTheOrigin) {
    HWND window = makeWindow();
    RECT client;
    ASSERT_TRUE(GetClientRect(window, &client));
    EXPECT_EQ(0, client.left);
    EXPECT_EQ(0, client.top);
    EXPECT_GT(client.right, 0);
    DestroyWindow(window);
}

#if defined(_WIN32)
class ProgressBarTest : public PlatformTest {
protected:
    HWND owner = NULL;
    HWND bar = NULL;
    void SetUp() override {
        PlatformTest::SetUp();
        INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
        InitCommonControlsEx(&controls);
        owner = makeWindow();
        bar = CreateWindowExA(0, PROGRESS_CLASSA, NULL, WS_CHILD, 0, 0, 100, 10, owner, NULL,
                              GetModuleHandleA(NULL), NULL);
        ASSERT_NE((HWND)NULL, bar);
    }
    void TearDown() override {
        DestroyWindow(owner);
        drainQueue();
    }
    LRESULT send(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
        return SendMessageA(bar, message, wParam, lParam);
    }
};

// PBM_SETPOS answers with the position it replaces: how the tests read the bar.
TEST_F(ProgressBarTest, RangeAndPositionAreKeptAndClamped) {
    EXPECT_EQ(0, send(PBM_SETPOS, 50));
    // PBM_SETRANGE answers with the range it replaces (0 to 100 at first).
    EXPECT_EQ(MAKELONG(0, 100), (LONG)send(PBM_SETRANGE, 0, MAKELPARAM(0, 20)));
    EXPECT_EQ(20, send(PBM_SETPOS, 15));  // 50 was held at the top of the new range
    EXPECT_EQ(15, send(PBM_SETPOS, 99));
    EXPECT_EQ(20, send(PBM_SETPOS, 0));  // held at the top of the range
}

TEST_F(ProgressBarTest, StepItAdvancesByTheStepAndStartsOverPastTheTop) {
    EXPECT_EQ(10, send(PBM_SETSTEP, 1));  // the default step is 10
    EXPECT_EQ(1, send(PBM_SETSTEP, 1));
    send(PBM_SETRANGE, 0, MAKELPARAM(0, 3));
    EXPECT_EQ(0, send(PBM_STEPIT));
    EXPECT_EQ(1, send(PBM_STEPIT));
    EXPECT_EQ(2, send(PBM_STEPIT));
    // One more step passes the top: the bar starts over from the bottom.
    EXPECT_EQ(3, send(PBM_STEPIT));
    EXPECT_EQ(1, send(PBM_SETPOS, 0));
}
#endif

TEST_F(PlatformTest, LoadStringCutsToTheBuffer) {
    char text[64];
    EXPECT_EQ(12, LoadStringA(GetModuleHandleA(NULL), IDS_GIL_PUMP, text, sizeof text));
    EXPECT_STREQ("GIL_PUMP.BIN", text);
    EXPECT_EQ(4, LoadStringA(GetModuleHandleA(NULL), IDS_GIL_PUMP, text, 5));
    EXPECT_STREQ("GIL_", text);
    strcpy(text, "junk");
    EXPECT_EQ(0, LoadStringA(GetModuleHandleA(NULL), 4999, text, sizeof text));
    EXPECT_STREQ("", text);
}

TEST_F(PlatformTest, WsprintfFormatsWhatTheProgramFormats) {
    char out[128];
    EXPECT_EQ(5, wsprintfA(out, "%5d", 42));
    EXPECT_STREQ("   42", out);
    wsprintfA(out, "[%c] %s", 'S', "POS.BIN");
    EXPECT_STREQ("[S] POS.BIN", out);
    wsprintfA(out, "COM%d (%5d)", 3, 19200);
    EXPECT_STREQ("COM3 (19200)", out);

    // The output stops at 1024 characters with the terminator; cut output counts as 1024.
    std::string longText(1500, 'x');
    std::vector<char> big(4096, '#');
    EXPECT_EQ(1024, wsprintfA(big.data(), "%s", longText.c_str()));
    EXPECT_EQ(1023u, strlen(big.data()));
}

}  // namespace
