// The pick of a serial port by identity, and the reading of the ids Windows gives its
// devices: the same on every system. Listing the ports is ports_posix.cpp's and
// ports_win.cpp's; what is printed about a pick is main's.
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "send/ports.h"

static BYTE startsWith(const char *text, const char *prefix) {
    for (; *prefix; text++, prefix++) {
        if (tolower((unsigned char)*text) != tolower((unsigned char)*prefix)) {
            return 0;
        }
    }
    return 1;
}

static BYTE sameText(const char *a, const char *b) {
    return strlen(a) == strlen(b) && startsWith(a, b);
}

// One to four hex digits; where they end, or 0.
static const char *readHex(const char *text, WORD *out) {
    if (!isxdigit((unsigned char)*text)) {
        return 0;
    }
    char *end;
    unsigned long value = strtoul(text, &end, 16);
    if (end - text > 4) {
        return 0;
    }
    *out = (WORD)value;
    return end;
}

BYTE parseDeviceId(const char *id, SerialPortInfo *port) {
    // Windows writes these ids in capitals.
    const char *vidAt = strstr(id, "VID_");
    const char *pidAt = strstr(id, "PID_");
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
    if (start && *start == '\\') {
        start++;
    }
    size_t length = start ? strcspn(start, "\\") : 0;
    if (length > 0 && length < sizeof port->serial && !memchr(start, '&', length)) {
        memcpy(port->serial, start, length);
        port->serial[length] = 0;
    }
    return 1;
}

BYTE isPortChoice(const char *text) {
    return sameText(text, "auto") || startsWith(text, "usb:");
}

PortPick pickPort(const char *choice, const SerialPortInfo *ports, int count, int *chosen) {
    WORD vid = 0, pid = 0;
    const char *serial = "";
    BYTE any = sameText(choice, "auto");
    if (!any) {
        const char *at = startsWith(choice, "usb:") ? readHex(choice + 4, &vid) : 0;
        at = at && *at == ':' ? readHex(at + 1, &pid) : 0;
        if (!at || (*at != 0 && *at != ':')) {
            return PICK_NOT_A_CHOICE;
        }
        serial = *at ? at + 1 : "";
    }
    int found = 0;
    for (int i = 0; i < count; i++) {
        const SerialPortInfo *port = &ports[i];
        BYTE match = port->usb && (any || (port->vid == vid && port->pid == pid &&
                                           (!*serial || sameText(port->serial, serial))));
        if (match && found++ == 0) {
            *chosen = i;
        }
    }
    return found == 0 ? PICK_NONE : found == 1 ? PICK_ONE : PICK_MANY;
}

BYTE portChoiceOf(const SerialPortInfo *ports, int count, int index, char *out, int size) {
    const SerialPortInfo *port = &ports[index];
    if (port->serial[0]) {
        snprintf(out, (size_t)size, "usb:%04x:%04x:%s", port->vid, port->pid, port->serial);
    } else {
        snprintf(out, (size_t)size, "usb:%04x:%04x", port->vid, port->pid);
    }
    int chosen = -1;
    return pickPort(out, ports, count, &chosen) == PICK_ONE && chosen == index;
}

// COM2 before COM10: names with the same letters go by their number.
static int byName(const void *a, const void *b) {
    const char *x = ((const SerialPortInfo *)a)->name;
    const char *y = ((const SerialPortInfo *)b)->name;
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
