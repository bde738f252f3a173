// The record's file names on Windows: a name finds its file whatever the case, and the folder
// tells how the file spells it.
#include <stdio.h>

#include "send/send.h"

void nameOnDisk(const char *name, char *out, int size) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(name, &found);
    snprintf(out, (size_t)size, "%s", search != INVALID_HANDLE_VALUE ? found.cFileName : name);
    if (search != INVALID_HANDLE_VALUE) {
        FindClose(search);
    }
}
