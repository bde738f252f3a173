// The serial ports of a Windows machine as the device manager shows them: SetupAPI over the
// ports class, each with its friendly name and hardware id, its COM name from the device's
// own key, and its USB identity read from the device instance id by ports.cpp.
#include <stdio.h>
#include <string.h>

#include "send/ports.h"

#include <setupapi.h>

// The ports class, {4D36E978-E325-11CE-BFC1-08002BE10318}: written out here, as devguid.h
// would need INITGUID or another library for this one constant.
static const GUID PortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

// The ports a driver registered in HARDWARE\DEVICEMAP\SERIALCOMM (a device's name, the COM
// name it goes by) that the device manager does not show: virtual ports and the like.
static int addSerialComm(SerialPortInfo *out, int count, int max) {
    HKEY map;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &map) !=
        ERROR_SUCCESS) {
        return count;
    }
    LONG result = ERROR_SUCCESS;
    for (DWORD i = 0; count < max && result != ERROR_NO_MORE_ITEMS; i++) {
        SerialPortInfo *port = &out[count];
        memset(port, 0, sizeof *port);
        DWORD deviceSize = sizeof port->hardwareId - 1, nameSize = sizeof port->name - 1, type = 0;
        result = RegEnumValueA(map, i, port->hardwareId, &deviceSize, NULL, &type,
                               (BYTE *)port->name, &nameSize);
        BYTE known = 0;
        for (int j = 0; j < count; j++) {
            known = known || strcmp(out[j].name, port->name) == 0;
        }
        if (result == ERROR_SUCCESS && type == REG_SZ && !known) {
            strcpy(port->device, port->name);
            strcpy(port->friendly, "serial port");
            count++;
        }
    }
    RegCloseKey(map);
    return count;
}

int findSerialPorts(SerialPortInfo *out, int max) {
    // Without the device list the serial map's ports are still listed, sorted as ever.
    HDEVINFO set = SetupDiGetClassDevsA(&PortsClass, NULL, NULL, DIGCF_PRESENT);
    int count = 0;
    SP_DEVINFO_DATA data;
    data.cbSize = sizeof data;
    for (DWORD i = 0;
         set != INVALID_HANDLE_VALUE && count < max && SetupDiEnumDeviceInfo(set, i, &data); i++) {
        SerialPortInfo *port = &out[count];
        memset(port, 0, sizeof *port);
        // The class holds the printer ports too: only a COM name is ours.
        HKEY key = SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if ((HANDLE)key == INVALID_HANDLE_VALUE) {
            continue;
        }
        DWORD size = sizeof port->name - 1, type = 0;
        LONG got = RegQueryValueExA(key, "PortName", NULL, &type, (BYTE *)port->name, &size);
        RegCloseKey(key);
        if (got != ERROR_SUCCESS || type != REG_SZ || strncmp(port->name, "COM", 3) != 0) {
            continue;
        }
        strcpy(port->device, port->name);
        SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_FRIENDLYNAME, NULL,
                                          (BYTE *)port->friendly, sizeof port->friendly - 1, NULL);
        // A list of ids, most specific first: the first is the one the device manager shows.
        SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_HARDWAREID, NULL,
                                          (BYTE *)port->hardwareId, sizeof port->hardwareId - 2,
                                          NULL);
        char instance[512] = "";
        SetupDiGetDeviceInstanceIdA(set, &data, instance, sizeof instance, NULL);
        if (!parseDeviceId(instance, port)) {
            parseDeviceId(port->hardwareId, port);
        }
        count++;
    }
    if (set != INVALID_HANDLE_VALUE) {
        SetupDiDestroyDeviceInfoList(set);
    }
    count = addSerialComm(out, count, max);
    sortPorts(out, count);
    return count;
}
