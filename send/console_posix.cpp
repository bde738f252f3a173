// The console program on Linux: the terminal test, the image folder, and --device, which
// names the serial device that the stand-in opens for COMn (its MARVANE_COMn mapping).
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "send/send.h"

BYTE consoleIsTerminal() {
    return isatty(STDOUT_FILENO) ? 1 : 0;
}

BYTE consoleChangeDirectory(const char *dir) {
    return chdir(dir) == 0 ? 1 : 0;
}

BYTE consoleHasDevices() {
    return 1;
}

void consoleMapDevice(int portNumber, const char *path) {
    char name[32];
    snprintf(name, sizeof name, "MARVANE_COM%d", portNumber);
    setenv(name, path, 1);
}
