// Where an installed Marvane keeps the images, for the message of a missing image: a prompt
// opened in the install folder, as a technician opens one beside marvane-send.exe, holds none.
// The installer puts the images into C:\ProgramData\Marvane, the machine's data folder.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "send/send.h"

BYTE installedImagesFolder(const char *folder, char *out, int size) {
    char program[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, program, sizeof program);
    char *slash = length > 0 && length < sizeof program ? strrchr(program, '\\') : 0;
    // ProgramData is set for every account, SYSTEM's too, as the installer's folder is.
    const char *data = getenv("ProgramData");
    if (slash == 0 || data == 0) {
        return 0;
    }
    *slash = 0;
    // Windows' names are the same whatever their case.
    if (strcasecmp(program, folder) != 0) {
        return 0;
    }
    snprintf(out, (size_t)size, "%s\\Marvane", data);
    DWORD attributes = GetFileAttributesA(out);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}
