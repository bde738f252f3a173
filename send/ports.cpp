// The pick of a serial port by identity, and the reading of the ids Windows gives its
// devices: the same on every system. Listing the ports is ports_posix.cpp's and
// ports_win.cpp's; what is printed about a pick is main's.
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "send/ports.h"

// One to four hex digits; where they end, or 0.
static const char *readHex(const char *text, WORD *out) {
    char *end;
    unsigned long value = strtoul(text, &end, 16);
    if (!isxdigit((unsigned char)*text) || end - text > 4) {
        return 0;
    }
    *out = (WORD)value;
    return end;
}

// Windows writes these ids in capitals: "USB\VID_0403&PID_6001\A12345XY".
BYTE parseDeviceId(const char *id, SerialPortInfo *port) {
    const char *vidAt = strstr(id, "VID_"), *pidAt = strstr(id, "PID_");
    WORD vid, pid;
    const char *end = pidAt ? readHex(pidAt + 4, &pid) : 0;
    if (!vidAt || !readHex(vidAt + 4, &vid) || !end) {
        return 0;
    }
    port->usb = 1;
    port->vid = vid;
    port->pid = pid;
    port->serial[0] = 0;
    // FTDI's bus puts the serial right after the ids ("+A12345XYA\0000"); USB's own instance
    // ids have it after the next backslash, unless Windows made that part up (it holds '&').
    const char *start = *end == '+' ? end + 1 : strchr(end, '\\');
    start += start && *start == '\\';
    size_t length = start ? strcspn(start, "\\") : 0;
    if (length > 0 && length < sizeof port->serial && !memchr(start, '&', length)) {
        snprintf(port->serial, sizeof port->serial, "%.*s", (int)length, start);
    }
    return 1;
}

BYTE isPortChoice(const char *text) {
    return strcasecmp(text, "auto") == 0 || strncasecmp(text, "usb:", 4) == 0;
}

PortPick pickPort(const char *choice, const SerialPortInfo *ports, int count, int *chosen) {
    WORD vid = 0, pid = 0;
    BYTE any = strcasecmp(choice, "auto") == 0;
    const char *at = strncasecmp(choice, "usb:", 4) == 0 ? readHex(choice + 4, &vid) : 0;
    at = at && *at == ':' ? readHex(at + 1, &pid) : 0;
    if (!any && (!at || (*at != 0 && *at != ':'))) {
        return PICK_NOT_A_CHOICE;
    }
    const char *serial = !any && *at ? at + 1 : "";
    int found = 0;
    for (int i = 0; i < count; i++) {
        const SerialPortInfo *p = &ports[i];
        if (p->usb &&
            (any || (p->vid == vid && p->pid == pid &&
                     (!*serial || strcasecmp(p->serial, serial) == 0))) &&
            found++ == 0) {
            *chosen = i;
        }
    }
    return found == 0 ? PICK_NONE : found == 1 ? PICK_ONE : PICK_MANY;
}

BYTE portChoiceOf(const SerialPortInfo *ports, int count, int index, char *out, int size) {
    const SerialPortInfo *port = &ports[index];
    snprintf(out, (size_t)size, "usb:%04x:%04x%s%s", port->vid, port->pid,
             port->serial[0] ? ":" : "", port->serial);
    int chosen = -1;
    return pickPort(out, ports, count, &chosen) == PICK_ONE && chosen == index;
}

// COM2 before COM10: names with the same letters go by their number.
static int byName(const void *a, const void *b) {
    const char *x = ((const SerialPortInfo *)a)->name, *y = ((const SerialPortInfo *)b)->name;
    size_t letters = strcspn(x, "0123456789");
    if (letters == strcspn(y, "0123456789") && strncmp(x, y, letters) == 0 &&
        atoi(x + letters) != atoi(y + letters)) {
        return atoi(x + letters) < atoi(y + letters) ? -1 : 1;
    }
    return strcmp(x, y);
}

void sortPorts(SerialPortInfo *ports, int count) {
    qsort(ports, (size_t)count, sizeof *ports, byName);
}
