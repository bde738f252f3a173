// The status display, the menu commands and the window's listener of the run, driven through
// the stand-in with the program's drawing, repaints and boxes recorded on their way to it:
// what the operator reads on the seven lines (formatStatusLine, and where DrawTextA put them),
// which slot a menu entry fills, which commands repaint, and what the progress bar, the step
// repaints and the port's message boxes show of a run. The expected texts are typed from the
// operator's view of the program, not taken from the code.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "link/link.h"
#include "tests/support/device_peer.h"
#include "tests/support/recordings.h"
#include "tests/support/standin_doubles.h"
#include "ui/ui.h"
#include "resources/resource.h"
#include "run/download.h"
#include "run/slots.h"
#include "tests/support/test_window.h"

namespace {

struct DrawnLine {
    std::string text;
    RECT rect;
    UINT format;
};

// handleCommand's calls of DefWindowProcA, caught on their way: this suite is linked with
// the program's references to it routed here first (tests/CMakeLists.txt). The stand-in's
// own DefWindowProcA still runs, and its answer is replaced by one it never gives, so a
// command that is not handed on cannot pass for one that is.
struct DefProcCall {
    HWND window;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};
std::vector<DefProcCall> defProcCalls;
const LRESULT DEF_PROC_ANSWER = 0x5EED;

// Every message the progress bar is sent, as "SETRANGE 0 0x30000" (wParam, then lParam),
// with " closed" when the port was closed as it came.
std::vector<std::string> barLog;

LRESULT CALLBACK barProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    const struct {
        UINT message;
        const char *name;
    } names[] = {
        {PBM_SETRANGE, "SETRANGE"},
        {PBM_SETPOS, "SETPOS"},
        {PBM_SETSTEP, "SETSTEP"},
        {PBM_STEPIT, "STEPIT"},
    };
    if (message <= WM_USER) {
        return DefWindowProcA(window, message, wParam, lParam);
    }
    std::string name = "WM_USER+" + std::to_string(message - WM_USER);
    for (const auto &known : names) {
        name = known.message == message ? known.name : name;
    }
    bool portOpen = SerialLink != 0 && SerialLink != INVALID_HANDLE_VALUE;  // 0: never opened
    char text[64];
    snprintf(text, sizeof text, "%s %lu %#lx%s", name.c_str(), (unsigned long)wParam,
             (unsigned long)lParam, portOpen ? "" : " closed");
    barLog.push_back(text);
    return 0;
}

}  // namespace

extern "C" LRESULT __real__Z14DefWindowProcAP6HWND__jml(HWND, UINT, WPARAM, LPARAM);
extern "C" LRESULT __wrap__Z14DefWindowProcAP6HWND__jml(HWND window, UINT message, WPARAM wParam,
                                                        LPARAM lParam) {
    defProcCalls.push_back({window, message, wParam, lParam});
    __real__Z14DefWindowProcAP6HWND__jml(window, message, wParam, lParam);
    return DEF_PROC_ANSWER;
}

// A port that refuses its settings or its time-outs, on demand: the program's calls of
// SetCommState and SetCommTimeouts come here first (tests/CMakeLists.txt), as DefWindowProcA's.
namespace {
bool refuseSettings = false, refuseTimeouts = false;
}
extern "C" BOOL __real__Z12SetCommStatePvP4_DCB(HANDLE, DCB *);
extern "C" BOOL __real__Z15SetCommTimeoutsPvP13_COMMTIMEOUTS(HANDLE, COMMTIMEOUTS *);
extern "C" BOOL __wrap__Z12SetCommStatePvP4_DCB(HANDLE port, DCB *dcb) {
    return !refuseSettings && __real__Z12SetCommStatePvP4_DCB(port, dcb);
}
extern "C" BOOL __wrap__Z15SetCommTimeoutsPvP13_COMMTIMEOUTS(HANDLE port, COMMTIMEOUTS *timeouts) {
    return !refuseTimeouts && __real__Z15SetCommTimeoutsPvP13_COMMTIMEOUTS(port, timeouts);
}

namespace {

class UiTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The state as the process starts, taken before the first test changes anything.
        static const ImageSlot *startSlots = snapshotSlots();
        static const LinkSettingsData startSettings = LinkSettings;
        for (int i = 0; i < SLOT_COUNT; i++) {
            Slots[i] = startSlots[i];
        }
        LinkSettings = startSettings;

        standinReset();
        standinClearRecordings();
        WindowContext = WindowContextData();
        WindowContext.instance = GetModuleHandleA(NULL);

        window = testwin::makeWindow("UITEST", tickWindowProc);
        ASSERT_NE(window, (HWND)NULL);
    }
    void TearDown() override {
        DestroyWindow(window);
        setRunListener(0);
        if (!folder.empty()) {
            EXPECT_EQ(chdir(previous), 0);
            std::string command = "rm -rf '" + folder + "'";
            EXPECT_EQ(system(command.c_str()), 0);
        }
    }

    // A fresh folder as the current directory, holding the files named, of the sizes given.
    void enterImageFolder(const std::vector<std::pair<const char *, size_t>> &files) {
        char pattern[] = "/tmp/ui_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
        ASSERT_EQ(chdir(pattern), 0);
        folder = pattern;
        for (const auto &file : files) {
            FILE *image = fopen(file.first, "wb");
            ASSERT_NE(image, nullptr);
            for (size_t i = 0; i < file.second; i++) {
                fputc((int)(i & 0xFF), image);
            }
            fclose(image);
        }
    }

    static const ImageSlot *snapshotSlots() {
        static ImageSlot copy[SLOT_COUNT];
        for (int i = 0; i < SLOT_COUNT; i++) {
            copy[i] = Slots[i];
        }
        return copy;
    }

    std::vector<DrawnLine> paint() {
        standinClearDrawn();
        paintStatus(window);
        std::vector<DrawnLine> lines;
        for (int i = 0; i < standinDrawnCount(); i++) {
            const StandinDrawnText *drawn = standinDrawn(i);
            EXPECT_EQ(drawn->window, window);
            lines.push_back({drawn->text, drawn->rect, drawn->format});
        }
        return lines;
    }

    // Status line `number` (1 to 7) as the operator reads it.
    static std::string line(int number) {
        char text[STATUS_LINE_SIZE];
        formatStatusLine(number, text);
        return text;
    }

    // Runs a command the way the window procedure passes it on.
    LRESULT command(UINT id) { return handleCommand(window, id, MAKELONG(id, 0), 0); }

    // Commands are checked one after the other in one test: each looks only at the
    // invalidations since its own start.
    int invalidationsSince(int mark) { return standinInvalidationCount() - mark; }

    void expectOneWholeRepaint(int mark) {
        ASSERT_EQ(invalidationsSince(mark), 1);
        const StandinInvalidation *invalidation = standinInvalidation(mark);
        EXPECT_EQ(invalidation->window, window);
        EXPECT_TRUE(invalidation->whole);
        EXPECT_TRUE(invalidation->erase);
    }

    HWND window = NULL;
    std::string folder;
    char previous[4096];
};

TEST_F(UiTest, StartUpShowsDefaultsOnSevenLinesAtTheirPositions) {
    std::vector<DrawnLine> lines = paint();
    ASSERT_EQ(lines.size(), 7u);

    const char *expected[7] = {
        "    Port Settings    =>   Com 1 ( 9600)",
        "[-] POS file            =>   POS.BIN",
        "[-] PC_CC file       =>   PC_CC.BIN",
        "[ ] Pump 1 file      =>   ",
        "[ ] Pump 2 file      =>   ",
        "[ ] Reader 1 file   =>   ",
        "[ ] Reader 2 file   =>   ",
    };
    const int tops[7] = {25, 75, 100, 125, 150, 175, 200};

    RECT client;
    GetClientRect(window, &client);
    for (int i = 0; i < 7; i++) {
        SCOPED_TRACE(i + 1);
        EXPECT_EQ(line(i + 1), expected[i]);
        EXPECT_EQ(lines[i].text, expected[i]);
        EXPECT_EQ(lines[i].rect.left, client.left + 50);
        EXPECT_EQ(lines[i].rect.top, client.top + tops[i]);
        // The rest of the client area: a small window clips, nothing wraps.
        EXPECT_EQ(lines[i].rect.right, client.right);
        EXPECT_EQ(lines[i].rect.bottom, client.bottom);
        EXPECT_EQ(lines[i].format, 0u);
    }
}

TEST_F(UiTest, PortAndRateCommandsShowOnTheFirstLine) {
    // The rate fills five places, right-aligned; the port is named by its number.
    struct {
        UINT id;
        const char *line;
    } cases[] = {
        {IDM_BAUD_19200, "    Port Settings    =>   Com 1 (19200)"},
        {IDM_BAUD_4800, "    Port Settings    =>   Com 1 ( 4800)"},
        {IDM_BAUD_2400, "    Port Settings    =>   Com 1 ( 2400)"},
        {IDM_BAUD_9600, "    Port Settings    =>   Com 1 ( 9600)"},
        {IDM_COM2, "    Port Settings    =>   Com 2 ( 9600)"},
        {IDM_COM3, "    Port Settings    =>   Com 3 ( 9600)"},
        {IDM_COM4, "    Port Settings    =>   Com 4 ( 9600)"},
        {IDM_COM1, "    Port Settings    =>   Com 1 ( 9600)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.id);
        int mark = standinInvalidationCount();
        EXPECT_EQ(command(c.id), 0);
        expectOneWholeRepaint(mark);
        EXPECT_EQ(line(1), c.line);
    }

    // Any other port number has no name.
    setPort(7);
    EXPECT_EQ(line(1), "    Port Settings    =>   No Port ( 9600)");
    setPort(0);
    EXPECT_EQ(line(1), "    Port Settings    =>   No Port ( 9600)");
}

TEST_F(UiTest, AMakeOfEachMenuFillsItsOwnSlotOnly) {
    // One make of each menu, its command and file typed here, not taken from the table of
    // makes. That the menus offer every make with the table's command is menu_resource_test's.
    struct {
        UINT id;
        int slot;
        const char *file;
    } makes[] = {
        {32815, SLOT_PUMP1, "DON_PUMP.BIN"},    // Pump 1 > Dong Hwa
        {32792, SLOT_PUMP2, "GEN_PUMP.BIN"},    // Pump 2 > Tavro Generic
        {32789, SLOT_READER1, "DW_CARD.BIN"},   // Reader 1 > Wayne/Dresser
        {32797, SLOT_READER2, "GIL_CARD.BIN"},  // Reader2 > Gilbarco
    };
    const char *labels[SLOT_COUNT] = {
        "[-] POS file            =>   ", "[-] PC_CC file       =>   ", "[-] Pump 1 file      =>   ",
        "[-] Pump 2 file      =>   ",    "[-] Reader 1 file   =>   ",  "[-] Reader 2 file   =>   ",
    };

    for (const auto &make : makes) {
        SCOPED_TRACE(make.id);
        // Every other slot holds something recognisable that must survive.
        for (int i = 0; i < SLOT_COUNT; i++) {
            snprintf(Slots[i].name, SLOT_NAME_SIZE, "OTHER%d.BIN", i);
            Slots[i].marker = 'D';
        }
        int mark = standinInvalidationCount();
        EXPECT_EQ(command(make.id), 0);
        expectOneWholeRepaint(mark);
        for (int i = 0; i < SLOT_COUNT; i++) {
            if (i == make.slot) {
                EXPECT_STREQ(Slots[i].name, make.file);
                EXPECT_EQ(Slots[i].marker, '-');
            } else {
                EXPECT_EQ(Slots[i].name, "OTHER" + std::to_string(i) + ".BIN");
                EXPECT_EQ(Slots[i].marker, 'D');
            }
        }
        EXPECT_EQ(line(make.slot + 2), std::string(labels[make.slot]) + make.file);
    }
}

TEST_F(UiTest, ChoosingTheSameMakeAgainOrAnotherReplacesTheName) {
    command(IDM_PUMP1_GIL);
    command(IDM_PUMP1_GIL);
    EXPECT_STREQ(Slots[SLOT_PUMP1].name, "GIL_PUMP.BIN");
    EXPECT_EQ(Slots[SLOT_PUMP1].marker, '-');

    // A longer name first, then a shorter one: nothing of the old name is left.
    command(IDM_PUMP2_GEN);
    command(IDM_PUMP2_DW);
    EXPECT_EQ(line(5), "[-] Pump 2 file      =>   DW_PUMP.BIN");
}

TEST_F(UiTest, SelectEntriesChangeNothingAndRepaintNothing) {
    command(IDM_PUMP1_TOK);
    Slots[SLOT_READER2].marker = 'E';
    std::vector<DrawnLine> before = paint();
    int mark = standinInvalidationCount();

    for (UINT id : {32802u, 32803u, 32804u, 32805u}) {
        SCOPED_TRACE(id);
        EXPECT_EQ(command(id), 0);
    }
    EXPECT_EQ(invalidationsSince(mark), 0);
    std::vector<DrawnLine> after = paint();
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = 0; i < after.size(); i++) {
        EXPECT_EQ(after[i].text, before[i].text);
    }
}

TEST_F(UiTest, UnknownCommandsGoToTheDefaultWindowProcedure) {
    // Ids no make can take (the build refuses 0 and other commands' ids for a make's row).
    for (UINT id : {0u, (UINT)IDM_ABOUT, (UINT)IDM_EXIT}) {
        SCOPED_TRACE(id);
        WPARAM wParam = MAKELONG(id, 1);
        defProcCalls.clear();
        int mark = standinInvalidationCount();
        // Handed on as the message came, and the default procedure's answer is the result.
        EXPECT_EQ(handleCommand(window, id, wParam, 0x1234), DEF_PROC_ANSWER);
        ASSERT_EQ(defProcCalls.size(), 1u);
        EXPECT_EQ(defProcCalls[0].window, window);
        EXPECT_EQ(defProcCalls[0].message, (UINT)WM_COMMAND);
        EXPECT_EQ(defProcCalls[0].wParam, wParam);
        EXPECT_EQ(defProcCalls[0].lParam, 0x1234);
        EXPECT_EQ(invalidationsSince(mark), 0);
    }
    EXPECT_EQ(line(1), "    Port Settings    =>   Com 1 ( 9600)");
    EXPECT_EQ(line(4), "[ ] Pump 1 file      =>   ");
    EXPECT_EQ(line(7), "[ ] Reader 2 file   =>   ");

    // The commands it knows are its own: none reaches the default procedure.
    defProcCalls.clear();
    for (UINT id : {IDM_COM2, IDM_BAUD_4800, IDM_PUMP1_GIL, IDM_READER2_SAM, IDM_PUMP2_SELECT}) {
        EXPECT_EQ(command(id), 0);
    }
    EXPECT_TRUE(defProcCalls.empty());
}

TEST_F(UiTest, OnlyCatalogEntriesFillASlot) {
    // The window's title and class name (109, just before the catalog), which the build
    // refuses for a make's entry, and 0 are no driver files: the slot keeps what it had.
    for (UINT id : {(UINT)IDS_APP_TITLE, (UINT)IDS_WINDOW_CLASS, 0u}) {
        SCOPED_TRACE(id);
        selectFile(SLOT_PUMP1, id);
        EXPECT_STREQ(Slots[SLOT_PUMP1].name, "");
        EXPECT_EQ(Slots[SLOT_PUMP1].marker, ' ');
    }
    // Its first and last entries do.
    selectFile(SLOT_READER1, 110);
    EXPECT_EQ(line(6), "[-] Reader 1 file   =>   DW_CARD.BIN");
    selectFile(SLOT_PUMP2, 127);
    EXPECT_EQ(line(5), "[-] Pump 2 file      =>   MEC_PUMP.BIN");
}

TEST_F(UiTest, LongestNameIsCutInsideTheLineBuffer) {
    // 499 characters, the most a slot holds: the line buffer is 100, so it must be cut (a
    // write past it shows under AddressSanitizer).
    std::string longName(SLOT_NAME_SIZE - 1, 'N');
    snprintf(Slots[SLOT_READER1].name, SLOT_NAME_SIZE, "%s", longName.c_str());
    Slots[SLOT_READER1].marker = '-';
    LinkSettings.baudRate = -2147483647;  // the widest number the rate field can show

    std::vector<DrawnLine> lines = paint();
    ASSERT_EQ(lines.size(), 7u);
    const std::string label = "[-] Reader 1 file   =>   ";
    EXPECT_LT(lines[5].text.size(), 100u);
    EXPECT_GT(lines[5].text.size(), label.size() + 12);  // a catalog name would still fit
    EXPECT_EQ(lines[5].text.substr(0, label.size()), label);
    EXPECT_EQ(lines[5].text.find_first_not_of('N', label.size()), std::string::npos);
    EXPECT_EQ(lines[0].text, "    Port Settings    =>   Com 1 (-2147483647)");
    // The lines below are unharmed.
    EXPECT_EQ(lines[6].text, "[ ] Reader 2 file   =>   ");
}

// A device that never answers: "Download Files" starts a run on the chosen port, the run
// gives up on POS.BIN, and the display then shows the failure.
struct SilentDevice {
    int bytesReceived = 0;
    static void onByte(void *context, BYTE) {
        static_cast<SilentDevice *>(context)->bytesReceived++;
    }
};

TEST_F(UiTest, DownloadFilesRunsTheDownloadOnTheChosenPort) {
    // The images are read by bare name from the current directory.
    enterImageFolder({{"POS.BIN", 13}});

    standinUseVirtualClock(TRUE);
    SilentDevice device;
    StandinPeer peer = {SilentDevice::onByte, &device};
    standinAttachPeer(3, &peer);
    WindowContext.mainWindow = window;
    startTicks(window);
    setRunListener(&WindowListener);  // the window program's listener

    command(IDM_COM3);
    EXPECT_EQ(command(IDM_DOWNLOAD), 0);
    stopTicks(window);
    standinPeerHear(3);

    EXPECT_GT(device.bytesReceived, 0);
    EXPECT_EQ(Slots[SLOT_POS].marker, 'E');
    EXPECT_EQ(line(2), "[E] POS file            =>   POS.BIN");
    EXPECT_EQ(line(3), "[-] PC_CC file       =>   PC_CC.BIN");
}

// What one file of `blocks` blocks (its range as lParam) puts on the bar: emptied as it
// starts, its range and a step of one, then one step per block the device took.
void expectFile(std::vector<std::string> *bar, const char *range, int blocks) {
    bar->insert(bar->end(), {"SETPOS 0 0", std::string("SETRANGE 0 ") + range, "SETSTEP 1 0"});
    bar->insert(bar->end(), blocks, "STEPIT 0 0");
}

TEST_F(UiTest, ARunShowsOnTheBarAndRepaintsEachMarkerChange) {
    // POS of 3 blocks, PC_CC of 2 (sent twice), Pump 1 of 2, against the device model.
    enterImageFolder({{"POS.BIN", 300}, {"PC_CC.BIN", 200}, {"GIL_PUMP.BIN", 130}});
    command(IDM_PUMP1_GIL);
    DevicePeer device;
    HWND host = device.startCase("UiRunHost", tickWindowProc, &WindowListener);
    WindowContext.mainWindow = host;
    WindowContext.progressBar = testwin::makeWindow("UiBar", barProc);
    WindowContext.clientRect = {0, 0, 280, 150};  // as measured at start-up
    barLog.clear();
    int mark = standinInvalidationCount();

    // A good run, one NAK to POS's block 1 (no step for it): the bar empties as the run
    // starts (the port not yet open) and again before the port is closed.
    device.fault("nak-block=1:1@1");
    EXPECT_EQ(runDownload(), 1);
    std::vector<std::string> bar = {"SETPOS 0 0 closed"};
    expectFile(&bar, "0x30000", 3);
    for (int file = 0; file < 3; file++) {
        expectFile(&bar, "0x20000", 2);
    }
    bar.push_back("SETPOS 0 0");
    EXPECT_EQ(barLog, bar);
    // Seven marker changes (S D 1 2 D S D), each repainted over the start-up rectangle and
    // drawn over the old text.
    ASSERT_EQ(invalidationsSince(mark), 7);
    for (int i = mark; i < standinInvalidationCount(); i++) {
        const StandinInvalidation *repaint = standinInvalidation(i);
        EXPECT_EQ(repaint->window, host);
        EXPECT_FALSE(repaint->whole);
        EXPECT_FALSE(repaint->erase);
        EXPECT_EQ(repaint->rect.right, 280);
        EXPECT_EQ(repaint->rect.bottom, 150);
    }
    EXPECT_EQ(standinMessageBoxCount(), 0);

    // A failed run (PC_CC's second header refused): one unit shows once the port is closed.
    device = DevicePeer();
    device.attach(1);
    device.fault("can-header@3");
    barLog.clear();
    EXPECT_EQ(runDownload(), 0);
    bar = {"SETPOS 0 0 closed"};
    expectFile(&bar, "0x30000", 3);
    expectFile(&bar, "0x20000", 2);
    expectFile(&bar, "0x20000", 0);
    bar.push_back("SETPOS 1 0 closed");
    EXPECT_EQ(barLog, bar);

    // Without a bar (its creation is not checked) a run goes just the same.
    DestroyWindow(WindowContext.progressBar);
    WindowContext.progressBar = NULL;
    device = DevicePeer();
    device.attach(1);
    EXPECT_EQ(runDownload(), 1);
    stopTicks(host);
    DestroyWindow(host);
}

TEST_F(UiTest, PortSetUpFailuresShowTheirTextInAnErrorBox) {
    // No COM0; a device on COM3 whose port refuses its settings, then its time-outs.
    SilentDevice device;
    StandinPeer peer = {SilentDevice::onByte, &device};
    standinAttachPeer(3, &peer);
    setRunListener(&WindowListener);
    const struct {
        int port;
        bool refuseSettings, refuseTimeouts;
        const char *text;
    } cases[] = {
        {0, false, false, "Unable to open the port"},
        {3, true, false, "Unable to configure the serial port"},
        {3, false, true, "Unable to set the time-out parameters"},
    };
    for (const auto &c : cases) {
        refuseSettings = c.refuseSettings;
        refuseTimeouts = c.refuseTimeouts;
        setPort(c.port);
        EXPECT_EQ(openLink(8, NOPARITY), 0) << c.text;
        closeLink();
    }
    refuseSettings = refuseTimeouts = false;
    ASSERT_EQ(standinMessageBoxCount(), 3);
    for (int i = 0; i < 3; i++) {
        const StandinMessageBox *box = standinMessageBox(i);
        EXPECT_EQ(box->owner, (HWND)NULL);
        EXPECT_STREQ(box->text, cases[i].text);
        EXPECT_STREQ(box->caption, "Error");
        EXPECT_EQ(box->type, (UINT)MB_OK);
    }
}

}  // namespace
