// The record's file names on Linux: the stand-in opens a name that is not there as spelt by
// the one entry of the folder that matches it but for case, as Windows would; the record
// names that entry.
#include <dirent.h>
#include <stdio.h>
#include <strings.h>
#include <unistd.h>

#include "send/send.h"

void nameOnDisk(const char *name, char *out, int size) {
    snprintf(out, (size_t)size, "%s", name);
    DIR *dir = access(name, F_OK) == 0 ? NULL : opendir(".");
    if (dir == NULL) {
        return;
    }
    int matches = 0;
    char found[SLOT_NAME_SIZE] = "";
    struct dirent *entry;
    while ((entry = readdir(dir)) != NULL) {
        if (strcasecmp(entry->d_name, name) == 0 && ++matches == 1) {
            snprintf(found, sizeof found, "%s", entry->d_name);
        }
    }
    closedir(dir);
    if (matches == 1) {
        snprintf(out, (size_t)size, "%s", found);
    }
}
