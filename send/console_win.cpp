// The console program on Windows: the terminal test and the image folder. Ports are COM1
// to COM4 by name only, so there is no --device here.
#include <io.h>
#include <stdio.h>

#include "send/send.h"

BYTE consoleIsTerminal() {
    return _isatty(_fileno(stdout)) ? 1 : 0;
}

BYTE consoleChangeDirectory(const char *dir) {
    return SetCurrentDirectoryA(dir) ? 1 : 0;
}

BYTE consoleHasDevices() {
    return 0;
}

void consoleMapDevice(int portNumber, const char *path) {
    (void)portNumber;
    (void)path;
}
