// The serial ports of a Linux machine from sysfs: the ttys that belong to a device, a USB
// adapter's ids, names and serial from the USB device above its tty, and its
// /dev/serial/by-id link. All under $MARVANE_SYSTEM_ROOT when set (the tests' planted tree).
#include <dirent.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "send/ports.h"

// dir/name into out (PATH_MAX long); 0 when it does not fit (a path no port has).
static BYTE join(char *out, const char *dir, const char *name) {
    return snprintf(out, PATH_MAX, "%s/%s", dir, name) < PATH_MAX;
}

// The first line of dir/file; 0 when it is empty or cannot be read.
static BYTE readLine(const char *dir, const char *file, char *out, size_t size) {
    char path[PATH_MAX];
    FILE *f = join(path, dir, file) ? fopen(path, "r") : NULL;
    BYTE got = f != NULL && fgets(out, (int)size, f) != NULL;
    if (f != NULL) {
        fclose(f);
    }
    out[got ? strcspn(out, "\n") : 0] = 0;
    return out[0] != 0;
}

// A USB adapter's tty hangs from an interface of the USB device: the nearest folder above
// the tty's device that has an idVendor.
static void readUsb(const char *deviceLink, SerialPortInfo *port) {
    char dir[PATH_MAX], vid[16], pid[16], maker[120], product[120];
    if (realpath(deviceLink, dir) == NULL) {
        return;
    }
    for (int up = 0; up < 4; up++) {
        if (readLine(dir, "idVendor", vid, sizeof vid) &&
            readLine(dir, "idProduct", pid, sizeof pid)) {
            port->usb = 1;
            port->vid = (WORD)strtoul(vid, NULL, 16);
            port->pid = (WORD)strtoul(pid, NULL, 16);
            readLine(dir, "serial", port->serial, sizeof port->serial);
            readLine(dir, "manufacturer", maker, sizeof maker);
            readLine(dir, "product", product, sizeof product);
            snprintf(port->friendly, sizeof port->friendly, "%s%s%s", maker,
                     maker[0] && product[0] ? " " : "", product);
            return;
        }
        char *slash = strrchr(dir, '/');
        if (slash == NULL || slash == dir) {
            return;
        }
        *slash = 0;
    }
}

// udev's names that stay when the adapter moves to another socket: by-id/<name> -> ../../ttyUSB0.
static void readById(const char *root, SerialPortInfo *port) {
    char folder[PATH_MAX], link[PATH_MAX], target[PATH_MAX];
    DIR *dir = join(folder, root, "dev/serial/by-id") ? opendir(folder) : NULL;
    for (struct dirent *entry; dir != NULL && (entry = readdir(dir)) != NULL;) {
        ssize_t n = join(link, folder, entry->d_name) ? readlink(link, target, PATH_MAX - 1) : -1;
        target[n > 0 ? n : 0] = 0;
        const char *name = strrchr(target, '/') ? strrchr(target, '/') + 1 : target;
        if (n > 0 && strcmp(port->name, name) == 0 && strlen(link) < sizeof port->byId) {
            strcpy(port->byId, link);
        }
    }
    if (dir != NULL) {
        closedir(dir);
    }
}

int findSerialPorts(SerialPortInfo *out, int max) {
    const char *root = getenv("MARVANE_SYSTEM_ROOT") ? getenv("MARVANE_SYSTEM_ROOT") : "";
    char ttys[PATH_MAX], tty[PATH_MAX], device[PATH_MAX], type[16];
    DIR *dir = join(ttys, root, "sys/class/tty") ? opendir(ttys) : NULL;
    int count = 0;
    for (struct dirent *entry; dir != NULL && count < max && (entry = readdir(dir)) != NULL;) {
        SerialPortInfo *port = &out[count];
        memset(port, 0, sizeof *port);
        // Consoles and pseudo-terminals have no device; a UART slot where the kernel found
        // no chip has type 0.
        if (entry->d_name[0] == '.' || strlen(entry->d_name) >= sizeof port->name ||
            !join(tty, ttys, entry->d_name) || !join(device, tty, "device") ||
            access(device, F_OK) != 0 ||
            (readLine(tty, "type", type, sizeof type) && strcmp(type, "0") == 0)) {
            continue;
        }
        strcpy(port->name, entry->d_name);
        snprintf(port->device, sizeof port->device, "%.240s/dev/%s", root, port->name);
        readLine(device, "modalias", port->hardwareId, sizeof port->hardwareId);
        readUsb(device, port);
        if (port->friendly[0] == 0) {
            strcpy(port->friendly, port->usb ? "USB serial adapter" : "serial port");
        }
        readById(root, port);
        count++;
    }
    if (dir != NULL) {
        closedir(dir);
    }
    sortPorts(out, count);
    return count;
}
