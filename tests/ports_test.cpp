// The serial ports as the system lists them and the pick of one by identity, over an on-board
// port and two USB adapters planted where the listing looks: a sysfs and by-id tree natively,
// the device registry under Wine (whose listing reads Windows' other ids).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>

#include "send/ports.h"
#include "support/sim_process.h"

static std::string usbOf(const SerialPortInfo &port) {
    char text[160];
    snprintf(text, sizeof text, "%04X:%04X %s", port.vid, port.pid, port.serial);
    return port.usb ? text : "no USB";
}

TEST(Ports, ReadsTheIdsWindowsGivesItsDevices) {
    const char *ids[][2] = {
        {"USB\\VID_0403&PID_6001&REV_0600", "0403:6001 "},
        {"USB\\VID_2341&PID_0043\\85734323430351D0F1A1", "2341:0043 85734323430351D0F1A1"},
    };
    for (auto &id : ids) {
        SerialPortInfo port = {};
        EXPECT_TRUE(parseDeviceId(id[0], &port));
        EXPECT_EQ(usbOf(port), id[1]) << id[0];
    }
}

// The planted ports as listed, sorted: the on-board one, the FTDI adapter with its serial,
// the Prolific adapter without one.
static void expectPicks(const SerialPortInfo *ports, int count, const std::string &serial,
                        const char *bySerial) {
    ASSERT_EQ(count, 3);
    EXPECT_EQ(usbOf(ports[0]) + ", " + usbOf(ports[1]) + ", " + usbOf(ports[2]),
              "no USB, 0403:6001 " + serial + ", 067B:2303 ");
    const std::tuple<const char *, int, PortPick, int> picks[] = {
        // spec, how many of the ports it is given, the outcome, the port chosen
        {"auto", 3, PICK_MANY, 1},
        {"AUTO", 2, PICK_ONE, 1},
        {"auto", 1, PICK_NONE, -1},
        {"USB:67b:2303", 3, PICK_ONE, 2},
        {bySerial, 3, PICK_ONE, 1},
        {"usb:0403:6001:OTHER", 3, PICK_NONE, -1},
        {"usb:0403", 3, PICK_NOT_A_SPEC, -1},
        {"usb:0403:6001x", 3, PICK_NOT_A_SPEC, -1},
        {"usb:10403:6001", 3, PICK_NOT_A_SPEC, -1},
    };
    for (auto [spec, given, pick, want] : picks) {
        int chosen = -1;
        EXPECT_TRUE(isPortSpec(spec));
        EXPECT_EQ(pickPort(spec, ports, given, &chosen), pick) << spec;
        EXPECT_EQ(chosen, want) << spec;
    }
    EXPECT_FALSE(isPortSpec("COM5"));
    char spec[64];
    EXPECT_TRUE(portSpecOf(ports, 3, 1, spec, sizeof spec));
    EXPECT_EQ("usb:0403:6001:" + serial, spec);
    EXPECT_FALSE(portSpecOf(ports, 3, 0, spec, sizeof spec));
}

#if defined(_WIN32)
// Wine lists the devices its registry holds; Windows keeps that tree to the system.
static std::string Enum(const char *instance, const char *key = "") {
    return std::string("System\\CurrentControlSet\\Enum\\") + instance + key;
}
TEST(Ports, ListsThePortsClassFromWinesDeviceRegistry) {
    const char *planted[][4] = {
        // instance id, hardware id, friendly name, port name
        {"FTDIBUS\\VID_0403+PID_6001+A12345XYA\\0000", "FTDIBUS\\COMPORT&VID_0403&PID_6001",
         "USB Serial Port (COM5)", "COM5"},
        {"USB\\VID_067B&PID_2303\\5&2A7A4D0E&0&2", "USB\\VID_067B&PID_2303&REV_0300",
         "Prolific USB-to-Serial Comm Port (COM12)", "COM12"},
        {"ACPI\\PNP0501\\1", "ACPI\\PNP0501", "Communications Port (COM1)", "COM1"},
        {"ACPI\\PNP0400\\1", "ACPI\\PNP0400", "Printer Port (LPT1)", "LPT1"},
    };
    for (auto &p : planted) {
        std::string values[][3] = {{"", "ClassGUID", "{4D36E978-E325-11CE-BFC1-08002BE10318}"},
                                   {"", "HardwareID", p[1] + std::string(1, '\0') + "*PNP0500"},
                                   {"", "FriendlyName", p[2]},
                                   {"\\Device Parameters", "PortName", p[3]}};
        for (auto &v : values) {
            DWORD type = v[1] == "HardwareID" ? REG_MULTI_SZ : REG_SZ;  // a list: one NUL more
            if (RegSetKeyValueA(HKEY_LOCAL_MACHINE, Enum(p[0], v[0].c_str()).c_str(), v[1].c_str(),
                                type, v[2].c_str(),
                                (DWORD)v[2].size() + 1 + (type == REG_MULTI_SZ)) != 0) {
                GTEST_SKIP() << "the device registry is the system's here";
            }
        }
    }
    SerialPortInfo found[8];
    int count = findSerialPorts(found, 8);
    for (auto &p : planted) {  // the suites after this one see no such ports
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, Enum(p[0]).c_str());
    }
    expectPicks(found, count, "A12345XYA", "usb:0403:6001:a12345xya");
    EXPECT_STREQ(found[1].hardwareId, "FTDIBUS\\COMPORT&VID_0403&PID_6001");
    EXPECT_STREQ(found[2].friendly, "Prolific USB-to-Serial Comm Port (COM12)");
}
#else
TEST(Ports, ListsTheTtysOfDevicesFromAPlantedSysfs) {
    namespace fs = std::filesystem;
    fs::path root = simtest::testTmpDir() + "/ports-" + std::to_string(getpid());
    const char *files[][2] = {
        // a file and its text, or a link ("->" and its target)
        {"sys/devices/usb1/1-1/idVendor", "0403"},
        {"sys/devices/usb1/1-1/idProduct", "6001"},
        {"sys/devices/usb1/1-1/serial", "A12345XY"},
        {"sys/devices/usb1/1-1/manufacturer", "FTDI"},
        {"sys/devices/usb1/1-1/product", "FT232R USB UART"},
        {"sys/devices/usb1/1-2/idVendor", "067b"},
        {"sys/devices/usb1/1-2/idProduct", "2303"},
        {"sys/devices/pnp0/00:01/modalias", "pnp:dPNP0501"},
        {"sys/class/tty/ttyUSB0/device", "->../../../devices/usb1/1-1/1-1:1.0/ttyUSB0"},
        {"sys/class/tty/ttyUSB1/device", "->../../../devices/usb1/1-2/1-2:1.0/ttyUSB1"},
        {"sys/class/tty/ttyS0/device", "->../../../devices/pnp0/00:01"},
        {"sys/class/tty/ttyS0/type", "4"},
        {"sys/class/tty/ttyS1/device", "->../../../devices/pnp0/00:01"},
        {"sys/class/tty/ttyS1/type", "0"},  // a UART slot with no chip found
        {"sys/class/tty/tty0/dev", "4:0"},  // a console: no device
        {"dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A12345XY-if00-port0", "->../../ttyUSB0"},
    };
    fs::remove_all(root);
    for (auto &f : files) {
        fs::path path = root / f[0];
        fs::create_directories(path.parent_path() / (strncmp(f[1], "->", 2) ? "" : f[1] + 2));
        if (strncmp(f[1], "->", 2) == 0) {
            fs::create_symlink(f[1] + 2, path);
        } else {
            std::ofstream(path) << f[1] << "\n";
        }
    }
    setenv("MARVANE_SYSTEM_ROOT", root.c_str(), 1);
    SerialPortInfo ports[8];
    int count = findSerialPorts(ports, 8);
    unsetenv("MARVANE_SYSTEM_ROOT");
    expectPicks(ports, count, "A12345XY", "usb:0403:6001:a12345xy");
    EXPECT_STREQ(ports[0].hardwareId, "pnp:dPNP0501");
    EXPECT_EQ((root / "dev/ttyUSB0").string(), ports[1].device);
    EXPECT_STREQ(ports[1].friendly, "FTDI FT232R USB UART");
    EXPECT_EQ((root / files[15][0]).string(), ports[1].byId);
    fs::remove_all(root);
}
#endif
