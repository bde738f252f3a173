// The serial ports as listed and the pick of one by identity, over an on-board port and two USB
// adapters planted where the listing looks: sysfs and by-id natively, the registry under Wine.
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

// Listed and sorted: the on-board port, the FTDI adapter with a serial, the Prolific without.
static void expectPicks(const SerialPortInfo *ports, int count, const std::string &serial,
                        const char *bySerial) {
    ASSERT_EQ(count, 3);
    EXPECT_EQ(usbOf(ports[0]) + ", " + usbOf(ports[1]) + ", " + usbOf(ports[2]),
              "no USB, 0403:6001 " + serial + ", 067B:2303 ");
    const std::tuple<const char *, int, PortPick, int> picks[] = {
        {"auto", 3, PICK_MANY, 1},  // choice, how many of the ports, outcome, port chosen
        {"AUTO", 2, PICK_ONE, 1},
        {"auto", 1, PICK_NONE, -1},
        {"USB:67b:2303", 3, PICK_ONE, 2},
        {bySerial, 3, PICK_ONE, 1},
        {"usb:0403:6001:OTHER", 3, PICK_NONE, -1},
        {"usb:0403", 3, PICK_NOT_A_CHOICE, -1},
        {"usb:10403:6001", 3, PICK_NOT_A_CHOICE, -1},
    };
    for (auto [choice, given, pick, want] : picks) {
        int chosen = -1;
        EXPECT_TRUE(isPortChoice(choice));
        EXPECT_EQ(pickPort(choice, ports, given, &chosen), pick) << choice;
        EXPECT_EQ(chosen, want) << choice;
    }
    EXPECT_FALSE(isPortChoice("COM5"));
    char choice[64];
    EXPECT_TRUE(portChoiceOf(ports, 3, 1, choice, sizeof choice));
    EXPECT_EQ("usb:0403:6001:" + serial, choice);
}

#if defined(_WIN32)
// Wine lists the devices its registry holds; Windows keeps that tree to the system.
static const std::string Enum = "System\\CurrentControlSet\\Enum\\";
static LONG setValue(const std::string &key, const char *name, DWORD type, const std::string &v) {
    return RegSetKeyValueA(HKEY_LOCAL_MACHINE, (Enum + key).c_str(), name, type, v.c_str(),
                           (DWORD)v.size() + 1);
}

TEST(Ports, ListsThePortsClassFromWinesDeviceRegistry) {
    const char *planted[][3] = {
        // instance id, friendly name, port name
        {"FTDIBUS\\VID_0403+PID_6001+A12345XYA\\0000", "USB Serial Port (COM5)", "COM5"},
        {"USB\\VID_067B&PID_2303\\5&2A7A4D0E&0&2", "Prolific USB-to-Serial (COM12)", "COM12"},
        {"ACPI\\PNP0501\\1", "Communications Port (COM1)", "COM1"},
        {"ACPI\\PNP0400\\1", "Printer Port (LPT1)", "LPT1"},
    };
    for (auto &p : planted) {
        if (setValue(p[0], "ClassGUID", REG_SZ, "{4D36E978-E325-11CE-BFC1-08002BE10318}") != 0) {
            GTEST_SKIP() << "the device registry is the system's here";
        }
        std::string id = p[0];  // the hardware ids: the device's own, then a generic one
        setValue(id, "HardwareID", REG_MULTI_SZ,
                 id.substr(0, id.rfind('\\')) + '\0' + "*PNP0500" + '\0');
        setValue(id, "FriendlyName", REG_SZ, p[1]);
        setValue(id + "\\Device Parameters", "PortName", REG_SZ, p[2]);
    }
    SerialPortInfo all[16], found[16];
    int listed = findSerialPorts(all, 16);
    for (auto &p : planted) {  // the suites after this one see no such ports
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, (Enum + p[0]).c_str());
    }
    // The prefix's own serial map adds its other ports (COM2 to COM4) by name alone.
    int count = 0;
    for (int i = 0; i < listed; i++) {
        if (strcmp(all[i].friendly, "serial port") != 0) {
            found[count++] = all[i];
        }
    }
    EXPECT_LT(count, listed);
    expectPicks(found, count, "A12345XYA", "usb:0403:6001:a12345xya");
    EXPECT_STREQ(found[2].hardwareId, "USB\\VID_067B&PID_2303");
    EXPECT_STREQ(found[2].friendly, "Prolific USB-to-Serial (COM12)");
}
#else
TEST(Ports, ListsTheTtysOfDevicesFromAPlantedSysfs) {
    namespace fs = std::filesystem;
    fs::path root = simtest::testTmpDir() + "/ports-" + std::to_string(getpid());
    const char *files[][2] = {
        // a file and its text, or a link: "->" and its target
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
        {"sys/class/tty/ttyS1/device", "->../../../devices/pnp0/00:01"},
        {"sys/class/tty/ttyS1/type", "0"},  // a UART slot with no chip found
        {"sys/class/tty/tty0/dev", "4:0"},  // a console: no device
        {"dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A12345XY-if00-port0", "->../../ttyUSB0"},
    };
    for (auto &f : files) {
        fs::path path = root / f[0];
        BYTE link = strncmp(f[1], "->", 2) == 0;
        fs::create_directories(path.parent_path() / (link ? f[1] + 2 : ""));
        link ? fs::create_symlink(f[1] + 2, path) : (void)(std::ofstream(path) << f[1] << "\n");
    }
    setenv("MARVANE_SYSTEM_ROOT", root.c_str(), 1);
    SerialPortInfo ports[8];
    int count = findSerialPorts(ports, 8);
    unsetenv("MARVANE_SYSTEM_ROOT");
    expectPicks(ports, count, "A12345XY", "usb:0403:6001:a12345xy");
    EXPECT_STREQ(ports[0].hardwareId, "pnp:dPNP0501");
    EXPECT_STREQ(ports[1].friendly, "FTDI FT232R USB UART");
    EXPECT_EQ((root / files[std::size(files) - 1][0]).string(), ports[1].byId);
    fs::remove_all(root);
}
#endif
