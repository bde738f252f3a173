// Bad image files in whole runs against the simulator: empty, one byte, the 13,000-byte
// limit and past it, a missing file, a folder in a file's place, a file another program holds
// without sharing, and names at the 499-character limit of a slot. Each must give a clear
// marker, put on the wire exactly what the device should get, and (in the sanitizers' build)
// touch no memory out of bounds. Native only.
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "link/link.h"
#include "protocol/protocol.h"
#include "resources/resource.h"
#include "run/download.h"
#include "run/slots.h"
#include "tests/support/run_fixture.h"
#include "tests/support/test_host.h"
#include "tests/support/sim_process.h"

namespace {

using namespace runfix;  // the whole-run suites' shared vocabulary

// "0C 1A 2A": the transfers the device saw, as file id and type.
std::string transfers(const std::vector<SimTransfer> &report) {
    std::string s;
    for (const SimTransfer &t : report) {
        s += (s.empty() ? "" : " ") + t.id + t.type;
    }
    return s;
}

class BadFiles : public runfix::RunFixture {
protected:
    BadFiles() : RunFixture({"BadFilesHost", tickWindowProc, "bad-files-", true, 0}) {}

    void SetUp() override {
        RunFixture::SetUp();
        ASSERT_TRUE(sim.start(1)) << sim.error();
        selectFile(SLOT_PUMP1, IDS_GIL_PUMP);
    }

    void TearDown() override {
        RunFixture::TearDown();
        std::filesystem::remove_all(dir);
    }

    // Seeded by the caller, at `path` as given (relative to the image folder).
    static Bytes makeImage(const std::string &path, size_t size, unsigned seed) {
        return runfix::writeSeededFile(path, size, seed);
    }

    // Runs the download; returns what the device saw, after it stopped (so a transfer that
    // was cut off is reported too), and checks that the port was left free.
    std::vector<SimTransfer> runAndStop(BYTE expectedResult) {
        EXPECT_EQ(expectedResult, runDownload());
        EXPECT_TRUE(recorder.lines("port-failed").empty());
        EXPECT_EQ(INVALID_HANDLE_VALUE, SerialLink);
        EXPECT_EQ(1, openLink(8, NOPARITY));
        EXPECT_EQ(1, closeLink());
        EXPECT_TRUE(sim.stop());
        return sim.readReport();
    }

    void expectSaved(const std::string &id, const std::string &type, const Bytes &file) {
        Bytes saved;
        ASSERT_TRUE(sim.readSaved(id, type, &saved)) << id << type;
        EXPECT_EQ(padded(file), saved) << "file " << id << type;
    }
};

TEST_F(BadFiles, SizesTheDeviceTakes) {
    // The limit itself first, then an empty and a one-byte file: the buffer is zeroed for
    // each file, so nothing of the 13,000 bytes shows in the later files' padding.
    Bytes pos = makeImage("POS.BIN", 13000, 1);
    Bytes pccc = makeImage("PC_CC.BIN", 0, 2);
    Bytes pump = makeImage("GIL_PUMP.BIN", 1, 3);
    std::vector<SimTransfer> report = runAndStop(1);
    EXPECT_EQ("DDD   ", markers());
    ASSERT_EQ("0C 1A 2A 3A", transfers(report));
    EXPECT_EQ(102, report[0].blocks);  // 13,000 bytes: 101 whole blocks and 72 bytes
    EXPECT_EQ(0, report[1].blocks);    // count frame "00", no block
    EXPECT_EQ(0, report[2].blocks);
    EXPECT_EQ(1, report[3].blocks);
    for (const SimTransfer &t : report) {
        EXPECT_EQ("ok", t.outcome) << t.id << t.type << ": " << t.detail;
    }
    expectSaved("0", "C", pos);
    expectSaved("1", "A", pccc);
    expectSaved("3", "A", pump);
}

TEST_F(BadFiles, FilesPastTheLimitFailWithoutAByteOnTheWire) {
    struct Case {
        const char *slotFile;  // which file is too large
        size_t size;
        const char *markers;
        const char *wire;  // transfers the device saw
    };
    const Case cases[] = {
        {"POS.BIN", 13001, "E--   ", ""},
        {"POS.BIN", 1 << 20, "E--   ", ""},
        {"PC_CC.BIN", 13001, "De-   ", "0C"},
        {"GIL_PUMP.BIN", 1 << 20, "DDE   ", "0C 1A 2A"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.slotFile) + " of " + std::to_string(c.size) + " bytes");
        memcpy(Slots, InitialSlots, sizeof Slots);
        selectFile(SLOT_PUMP1, IDS_GIL_PUMP);
        makeImage("POS.BIN", 200, 1);
        makeImage("PC_CC.BIN", 200, 2);
        makeImage("GIL_PUMP.BIN", 200, 3);
        makeImage(c.slotFile, c.size, 4);
        ASSERT_TRUE(sim.start(1)) << sim.error();
        std::vector<SimTransfer> report = runAndStop(0);
        EXPECT_EQ(c.markers, markers());
        EXPECT_EQ(c.wire, transfers(report)) << "the refused file reached the device";
    }
}

TEST_F(BadFiles, FilesThatCannotBeRead) {
    makeImage("POS.BIN", 300, 1);
    makeImage("PC_CC.BIN", 300, 2);
    makeImage("GIL_PUMP.BIN", 300, 3);
    struct Case {
        const char *what;
        const char *markers;
        const char *wire;
    };
    // A missing PC_CC fails its first pass; a folder named like the Pump 1 file fails
    // Pump 1; a POS held by another program without sharing fails POS. Nothing of the
    // failed file reaches the device.
    {
        SCOPED_TRACE("missing file");
        std::filesystem::remove("PC_CC.BIN");
        std::vector<SimTransfer> report = runAndStop(0);
        EXPECT_EQ("De-   ", markers());
        EXPECT_EQ("0C", transfers(report));
        makeImage("PC_CC.BIN", 300, 2);
    }
    {
        SCOPED_TRACE("folder in a file's place");
        ASSERT_TRUE(sim.start(1)) << sim.error();
        std::filesystem::remove("GIL_PUMP.BIN");
        std::filesystem::create_directory("GIL_PUMP.BIN");
        std::vector<SimTransfer> report = runAndStop(0);
        EXPECT_EQ("DDE   ", markers());
        EXPECT_EQ("0C 1A 2A", transfers(report));
        std::filesystem::remove("GIL_PUMP.BIN");
        makeImage("GIL_PUMP.BIN", 300, 3);
    }
    {
        SCOPED_TRACE("file held open without sharing");
        ASSERT_TRUE(sim.start(1)) << sim.error();
        HANDLE held = CreateFileA("POS.BIN", GENERIC_READ, 0, NULL, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, NULL);
        ASSERT_NE(INVALID_HANDLE_VALUE, held);
        std::vector<SimTransfer> report = runAndStop(0);
        EXPECT_EQ("E--   ", markers());
        EXPECT_EQ("", transfers(report));
        CloseHandle(held);
        // Once it is let go, the same file goes.
        ASSERT_TRUE(sim.start(1)) << sim.error();
        report = runAndStop(1);
        EXPECT_EQ("DDD   ", markers());
        EXPECT_EQ("0C 1A 2A 3A", transfers(report));
    }
}

TEST_F(BadFiles, NamesAtTheSlotLimit) {
    makeImage("POS.BIN", 100, 1);
    makeImage("PC_CC.BIN", 100, 2);
    // 499 characters: two folders of 200 and a file name of 97 (a folder name can be at
    // most 255 here), filling the slot up to its terminator.
    std::string a(200, 'a'), b(200, 'b');
    std::string name = a + "/" + b + "/" + std::string(93, 'c') + ".BIN";
    ASSERT_EQ((size_t)SLOT_NAME_SIZE - 1, name.size());
    std::filesystem::create_directories(a + "/" + b);
    Bytes pump = makeImage(name, 300, 3);
    memcpy(Slots[SLOT_PUMP1].name, name.c_str(), name.size() + 1);
    std::vector<SimTransfer> report = runAndStop(1);
    EXPECT_EQ("DDD   ", markers());
    EXPECT_STREQ(name.c_str(), Slots[SLOT_PUMP1].name);
    expectSaved("3", "A", pump);

    // The same length naming nothing: a failed step, nothing sent for it.
    ASSERT_TRUE(sim.start(1)) << sim.error();
    name[name.size() - 5] = 'd';
    memcpy(Slots[SLOT_READER2].name, name.c_str(), name.size() + 1);
    report = runAndStop(0);
    EXPECT_EQ("DDD  E", markers());
    EXPECT_EQ("0C 1A 2A 3A", transfers(report));
}

}  // namespace
