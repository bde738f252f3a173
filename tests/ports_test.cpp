// The serial ports as the system lists them and the pick of one by identity, over ports
// planted where the listing looks: a sysfs and by-id tree natively, Wine's device registry
// under Wine. Each plants an on-board port and two USB adapters.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "send/ports.h"
#include "support/sim_process.h"

TEST(Ports, ReadsTheIdsWindowsGivesItsDevices) {
    const struct {
        const char *id;
        BYTE usb;
        WORD vid, pid;
        const char *serial;
    } ids[] = {
        {"USB\\VID_0403&PID_6001&REV_0600", 1, 0x0403, 0x6001, ""},
        {"FTDIBUS\\VID_0403+PID_6001+A12345XYA\\0000", 1, 0x0403, 0x6001, "A12345XYA"},
        {"USB\\VID_067B&PID_2303\\5&2A7A4D0E&0&2", 1, 0x067B, 0x2303, ""},
        {"USB\\VID_2341&PID_0043\\85734323430351D0F1A1", 1, 0x2341, 0x0043, "85734323430351D0F1A1"},
        {"ACPI\\PNP0501\\1", 0, 0, 0, ""},
    };
    for (const auto &want : ids) {
        SerialPortInfo port = {};
        EXPECT_EQ(parseDeviceId(want.id, &port), want.usb) << want.id;
        EXPECT_EQ(port.vid, want.vid) << want.id;
        EXPECT_EQ(port.pid, want.pid) << want.id;
        EXPECT_STREQ(port.serial, want.serial) << want.id;
    }
}

// The planted ports as listed, sorted: the on-board one, the FTDI adapter with its serial,
// the Prolific adapter without one.
static void expectPicks(const SerialPortInfo *ports, int count, const char *serial) {
    ASSERT_EQ(count, 3);
    EXPECT_FALSE(ports[0].usb);
    EXPECT_TRUE(ports[1].usb && ports[1].vid == 0x0403 && ports[1].pid == 0x6001);
    EXPECT_STREQ(ports[1].serial, serial);
    EXPECT_TRUE(ports[2].usb && ports[2].vid == 0x067B && ports[2].pid == 0x2303);
    EXPECT_STREQ(ports[2].serial, "");
    int chosen = -1;
    EXPECT_EQ(pickPort("auto", ports, 3, &chosen), PICK_MANY);
    EXPECT_EQ(pickPort("AUTO", ports, 2, &chosen), PICK_ONE);
    EXPECT_EQ(chosen, 1);
    EXPECT_EQ(pickPort("auto", ports, 1, &chosen), PICK_NONE);
    EXPECT_EQ(pickPort("USB:67b:2303", ports, 3, &chosen), PICK_ONE);
    EXPECT_EQ(chosen, 2);
    std::string lower = "usb:0403:6001:" + std::string(serial);
    for (char &c : lower) {
        c = (char)tolower((unsigned char)c);
    }
    EXPECT_EQ(pickPort(lower.c_str(), ports, 3, &chosen), PICK_ONE);
    EXPECT_EQ(chosen, 1);
    EXPECT_EQ(pickPort("usb:0403:6001:OTHER", ports, 3, &chosen), PICK_NONE);
    for (const char *bad : {"usb:0403", "usb:0403:6001x", "usb:10403:6001", "usb:0403:6001:"}) {
        EXPECT_TRUE(isPortSpec(bad));
        EXPECT_EQ(pickPort(bad, ports, 3, &chosen), PICK_NOT_A_SPEC) << bad;
    }
    EXPECT_FALSE(isPortSpec("COM5"));
    char spec[64];
    EXPECT_TRUE(portSpecOf(ports, 3, 1, spec, sizeof spec));
    EXPECT_EQ("usb:0403:6001:" + std::string(serial), spec);
    EXPECT_FALSE(portSpecOf(ports, 3, 0, spec, sizeof spec));
}

#if defined(_WIN32)
// Wine lists the devices its registry holds; Windows keeps that tree to the system.
TEST(Ports, ListsThePortsClassFromWinesDeviceRegistry) {
    const char *planted[][4] = {
        // instance id, hardware ids, friendly name, port name
        {"FTDIBUS\\VID_0403+PID_6001+A12345XYA\\0000", "FTDIBUS\\COMPORT&VID_0403&PID_6001",
         "USB Serial Port (COM12)", "COM12"},
        {"USB\\VID_067B&PID_2303\\5&2A7A4D0E&0&2", "USB\\VID_067B&PID_2303&REV_0300",
         "Prolific USB-to-Serial Comm Port (COM5)", "COM5"},
        {"ACPI\\PNP0501\\1", "ACPI\\PNP0501", "Communications Port (COM1)", "COM1"},
        {"ACPI\\PNP0400\\1", "ACPI\\PNP0400", "Printer Port (LPT1)", "LPT1"},
    };
    const char *ports = "{4D36E978-E325-11CE-BFC1-08002BE10318}";
    for (auto &p : planted) {
        std::string path = std::string("System\\CurrentControlSet\\Enum\\") + p[0];
        HKEY key, parameters;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL,
                            &key, NULL) != ERROR_SUCCESS) {
            GTEST_SKIP() << "the device registry is the system's here";
        }
        std::string ids = std::string(p[1]) + '\0' + "*PNP0500" + '\0';  // most specific first
        RegSetValueExA(key, "ClassGUID", 0, REG_SZ, (const BYTE *)ports, strlen(ports) + 1);
        RegSetValueExA(key, "HardwareID", 0, REG_MULTI_SZ, (const BYTE *)ids.data(),
                       ids.size() + 1);
        RegSetValueExA(key, "FriendlyName", 0, REG_SZ, (const BYTE *)p[2], strlen(p[2]) + 1);
        RegCreateKeyExA(key, "Device Parameters", 0, NULL, 0, KEY_ALL_ACCESS, NULL, &parameters,
                        NULL);
        RegSetValueExA(parameters, "PortName", 0, REG_SZ, (const BYTE *)p[3], strlen(p[3]) + 1);
        RegCloseKey(parameters);
        RegCloseKey(key);
    }
    SerialPortInfo found[8];
    int count = findSerialPorts(found, 8);
    for (auto &p : planted) {  // the suites after this one see no such ports
        RegDeleteTreeA(HKEY_LOCAL_MACHINE,
                       (std::string("System\\CurrentControlSet\\Enum\\") + p[0]).c_str());
    }
    expectPicks(found, count, "A12345XYA");
    EXPECT_STREQ(found[1].name, "COM5");
    EXPECT_STREQ(found[1].hardwareId, "USB\\VID_067B&PID_2303&REV_0300");
    EXPECT_STREQ(found[2].friendly, "USB Serial Port (COM12)");
}
#else
TEST(Ports, ListsTheTtysOfDevicesFromAPlantedSysfs) {
    namespace fs = std::filesystem;
    fs::path root = simtest::testTmpDir() + "/ports-" + std::to_string(getpid());
    const char *files[][2] = {
        {"sys/devices/usb1/1-1/idVendor", "0403"},
        {"sys/devices/usb1/1-1/idProduct", "6001"},
        {"sys/devices/usb1/1-1/serial", "A12345XY"},
        {"sys/devices/usb1/1-1/manufacturer", "FTDI"},
        {"sys/devices/usb1/1-1/product", "FT232R USB UART"},
        {"sys/devices/usb1/1-1/1-1:1.0/ttyUSB0/uevent", ""},
        {"sys/devices/usb1/1-2/idVendor", "067b"},
        {"sys/devices/usb1/1-2/idProduct", "2303"},
        {"sys/devices/usb1/1-2/1-2:1.0/ttyUSB1/uevent", ""},
        {"sys/devices/pnp0/00:01/modalias", "pnp:dPNP0501"},
        {"sys/class/tty/ttyS0/type", "4"},
        {"sys/class/tty/ttyS1/type", "0"},  // a UART slot with no chip found
        {"sys/class/tty/tty0/dev", "4:0"},  // a console: no device
    };
    const char *links[][2] = {
        {"sys/class/tty/ttyUSB0/device", "../../../devices/usb1/1-1/1-1:1.0/ttyUSB0"},
        {"sys/class/tty/ttyUSB1/device", "../../../devices/usb1/1-2/1-2:1.0/ttyUSB1"},
        {"sys/class/tty/ttyS0/device", "../../../devices/pnp0/00:01"},
        {"sys/class/tty/ttyS1/device", "../../../devices/pnp0/00:01"},
        {"dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A12345XY-if00-port0", "../../ttyUSB0"},
    };
    fs::remove_all(root);
    for (auto &f : files) {
        fs::create_directories((root / f[0]).parent_path());
        std::ofstream(root / f[0]) << f[1] << "\n";
    }
    for (auto &l : links) {
        fs::create_directories((root / l[0]).parent_path());
        fs::create_symlink(l[1], root / l[0]);
    }
    setenv("MARVANE_SYSTEM_ROOT", root.c_str(), 1);
    SerialPortInfo ports[8];
    int count = findSerialPorts(ports, 8);
    unsetenv("MARVANE_SYSTEM_ROOT");
    expectPicks(ports, count, "A12345XY");
    EXPECT_STREQ(ports[0].hardwareId, "pnp:dPNP0501");
    EXPECT_EQ((root / "dev/ttyUSB0").string(), ports[1].device);
    EXPECT_STREQ(ports[1].friendly, "FTDI FT232R USB UART");
    EXPECT_EQ((root / std::string(links[4][0])).string(), ports[1].byId);
    EXPECT_STREQ(ports[2].byId, "");
    fs::remove_all(root);
}
#endif
