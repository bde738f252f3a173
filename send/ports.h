// The serial ports the system has, as it names them to the user, and the pick of one by
// identity (`--port auto`, `--port usb:VID:PID[:SERIAL]`). ports.cpp is the same on every
// system; ports_posix.cpp and ports_win.cpp list them. Printing and exit statuses are main's.
#pragma once

#include "platform/winapi.h"

struct SerialPortInfo {
    char name[16];         // "COM5" on Windows; "ttyUSB0" on Linux
    char device[260];      // what opens it: "COM5", "/dev/ttyUSB0"
    char friendly[256];    // as the system names it to the user
    char hardwareId[256];  // Windows' first hardware id; Linux's modalias
    BYTE usb;              // a USB adapter: vid and pid are known
    WORD vid, pid;
    char serial[128];  // the adapter's serial number, or ""
    char byId[260];    // Linux: its /dev/serial/by-id link, or ""
};
const int MAX_SERIAL_PORTS = 64;

// The ports present, sorted by name (COM2 before COM10); at most max. Linux reads sysfs and
// /dev/serial/by-id under $MARVANE_SYSTEM_ROOT when that is set.
int findSerialPorts(SerialPortInfo *out, int max);

enum PortPick {
    PICK_ONE,           // *chosen is its index
    PICK_NONE,          // no port matches (auto: no USB adapter is plugged in)
    PICK_MANY,          // more than one matches
    PICK_NOT_A_CHOICE,  // neither "auto" nor a well-formed "usb:VID:PID[:SERIAL]"
};
// "auto": the one USB adapter present; "usb:VID:PID[:SERIAL]": by identity (hex, case-blind).
PortPick pickPort(const char *choice, const SerialPortInfo *ports, int count, int *chosen);
BYTE isPortChoice(const char *text);  // "auto" or "usb:...", case-blind: pickPort's to read
// The --port value that picks ports[index] alone by identity ("usb:0403:6001:A12345XY"), or 0.
BYTE portChoiceOf(const SerialPortInfo *ports, int count, int index, char *out, int size);

// For the listings: vid, pid and serial from a Windows device or hardware id; 0 if not USB.
BYTE parseDeviceId(const char *id, SerialPortInfo *port);
void sortPorts(SerialPortInfo *ports, int count);
