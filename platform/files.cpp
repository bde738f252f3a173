// The stand-in's handles and files: CreateFileA, GetFileSize, ReadFile, WriteFile,
// CloseHandle and the per-thread last error over POSIX. Image files are only ever opened to
// be read; "COMn" and what a port does are serial.cpp's.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>

#include "platform/standin_internal.h"

static thread_local DWORD LastError = 0;

DWORD WINAPI GetLastError(void) {
    return LastError;
}

void setLastError(DWORD error) {
    LastError = error;
}

// Handles are opaque numbers from this table, multiples of 4 as on Windows, and never
// handed out twice: a stale handle stays invalid instead of reaching someone else's file.
static std::map<uintptr_t, StandinHandle> Handles;
static uintptr_t NextHandle = 0x1000;

HANDLE handleAdd(const StandinHandle &handle) {
    uintptr_t value = NextHandle;
    NextHandle += 4;
    Handles[value] = handle;
    return (HANDLE)value;
}

StandinHandle *handleGet(HANDLE handle) {
    std::map<uintptr_t, StandinHandle>::iterator found = Handles.find((uintptr_t)handle);
    if (found == Handles.end()) {
        setLastError(ERROR_INVALID_HANDLE);
        return NULL;
    }
    return &found->second;
}

// "COM1" to "COM9", and "\\.\COMn" for any port, as Windows names them: 0 for any other
// name (COM10 without the prefix is a file name there).
static int comNumberOf(LPCSTR name) {
    BYTE prefixed = strncmp(name, "\\\\.\\", 4) == 0;
    if (prefixed) {
        name += 4;
    }
    if (strncmp(name, "COM", 3) != 0 || name[3] < '1' || name[3] > '9') {
        return 0;
    }
    int number = 0;
    for (const char *digit = name + 3; *digit != 0; digit++) {
        if (*digit < '0' || *digit > '9' || number > 255) {
            return 0;
        }
        number = number * 10 + (*digit - '0');
    }
    return prefixed || number <= 9 ? number : 0;
}

// Windows finds a file whatever the case of its name: a name not there as spelt stands for
// the one entry of its folder that matches it but for case (none, or two such: not found).
// Gives the path as the folder spells it.
static BYTE findAnyCase(LPCSTR name, std::string *spelt) {
    *spelt = name;
    if (access(name, F_OK) == 0 || errno != ENOENT) {
        return 1;
    }
    size_t slash = spelt->rfind('/');
    std::string folder = slash == std::string::npos ? "." : spelt->substr(0, slash + 1);
    std::string base = slash == std::string::npos ? *spelt : spelt->substr(slash + 1);
    DIR *dir = opendir(folder.c_str());
    std::string found;
    int matches = 0;
    for (struct dirent *entry; dir != NULL && (entry = readdir(dir)) != NULL;) {
        if (strcasecmp(entry->d_name, base.c_str()) == 0) {
            found = entry->d_name;
            matches++;
        }
    }
    if (dir != NULL) {
        closedir(dir);
    }
    if (matches != 1) {
        errno = ENOENT;
        return 0;
    }
    *spelt = slash == std::string::npos ? found : folder + found;
    return 1;
}

// Without waiting: a FIFO opened to be read would wait for a writer.
static int openAnyCase(LPCSTR name) {
    std::string path;
    if (!findAnyCase(name, &path)) {
        return -1;
    }
    return open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, void * /*security*/,
                          DWORD disposition, DWORD /*flags*/, HANDLE /*templateFile*/) {
    (void)access;  // files are opened to be read, ports both ways
    if (name == NULL || disposition != OPEN_EXISTING) {
        setLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    int comNumber = comNumberOf(name);
    if (comNumber != 0) {
        return serialOpen(comNumber);
    }
    int fd = openAnyCase(name);
    struct stat info;
    // Windows has no FIFOs, sockets or devices among files, and says "access denied" of a
    // folder: anything but a regular file is refused as a folder is.
    if (fd >= 0 && (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
        close(fd);
        fd = -1;
        errno = EACCES;
    }
    if (fd < 0) {
        setLastError(errno == ENOENT    ? ERROR_FILE_NOT_FOUND
                     : errno == ENOTDIR ? ERROR_PATH_NOT_FOUND
                                        : ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    // Opens that all read conflict unless both share reading: a shared or exclusive lock on
    // the file says which, to this process and to any other. Closing the file drops it.
    if (flock(fd, (share & FILE_SHARE_READ ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0) {
        close(fd);
        setLastError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    StandinHandle record;
    memset(&record, 0, sizeof record);
    record.kind = HANDLE_FILE;
    record.fd = fd;
    setLastError(0);
    return handleAdd(record);
}

DWORD WINAPI GetFileSize(HANDLE file, DWORD *sizeHigh) {
    StandinHandle *record = handleGet(file);
    struct stat info;
    if (record == NULL || record->kind != HANDLE_FILE || fstat(record->fd, &info) != 0) {
        setLastError(ERROR_INVALID_HANDLE);
        return 0xffffffffu;  // INVALID_FILE_SIZE
    }
    uint64_t size = (uint64_t)info.st_size;
    if (sizeHigh != NULL) {
        *sizeHigh = (DWORD)(size >> 32);
    }
    // A low word of all ones is a size and no error: the last error says which.
    setLastError(0);
    return (DWORD)size;
}

BOOL WINAPI ReadFile(HANDLE file, void *buffer, DWORD toRead, DWORD *read, void * /*overlapped*/) {
    *read = 0;
    StandinHandle *record = handleGet(file);
    if (record == NULL) {
        return FALSE;
    }
    if (record->kind != HANDLE_FILE) {
        return serialRead(record, (BYTE *)buffer, toRead, read);
    }
    DWORD done = 0;
    while (done < toRead) {
        ssize_t got = ::read(record->fd, (BYTE *)buffer + done, toRead - done);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            setLastError(ERROR_GEN_FAILURE);
            return FALSE;
        }
        if (got == 0) {
            break;  // end of file: success with what there was
        }
        done += (DWORD)got;
        *read = done;
    }
    return TRUE;
}

BOOL WINAPI WriteFile(HANDLE file, const void *buffer, DWORD toWrite, DWORD *written,
                      void * /*overlapped*/) {
    *written = 0;
    StandinHandle *record = handleGet(file);
    if (record == NULL) {
        return FALSE;
    }
    return serialWrite(record, (const BYTE *)buffer, toWrite, written);
}

BOOL WINAPI CloseHandle(HANDLE handle) {
    StandinHandle *record = handleGet(handle);
    if (record == NULL) {
        return FALSE;
    }
    if (record->kind == HANDLE_FILE) {
        close(record->fd);
    } else {
        serialClose(record);
    }
    Handles.erase((uintptr_t)handle);
    return TRUE;
}
