// The stand-in's files and handles: CreateFileA, GetFileSize, ReadFile, WriteFile,
// CloseHandle and the per-thread last error, over POSIX files. COM port names and the port
// calls are handed to serial.cpp.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>

#include "platform/standin_internal.h"

static thread_local DWORD LastError = ERROR_SUCCESS;

DWORD WINAPI GetLastError(void) {
    return LastError;
}

void WINAPI SetLastError(DWORD error) {
    LastError = error;
}

// Handles are opaque numbers from this table, multiples of 4 as on Windows, and never
// handed out twice: a stale handle stays invalid instead of reaching someone else's file.
static std::map<uintptr_t, StandinHandle> Handles;
static uintptr_t NextHandle = 0x1000;

// What an open file lets others do, for the sharing check (per process, as the stand-in
// has no other processes to share with).
struct OpenFile {
    dev_t device;
    ino_t inode;
    DWORD access;
    DWORD share;
};
static std::map<uintptr_t, OpenFile> OpenFiles;

HANDLE handleAdd(const StandinHandle &handle) {
    uintptr_t value = NextHandle;
    NextHandle += 4;
    Handles[value] = handle;
    return (HANDLE)value;
}

StandinHandle *handleGet(HANDLE handle) {
    std::map<uintptr_t, StandinHandle>::iterator found = Handles.find((uintptr_t)handle);
    if (found == Handles.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return NULL;
    }
    return &found->second;
}

void handleRemove(HANDLE handle) {
    Handles.erase((uintptr_t)handle);
    OpenFiles.erase((uintptr_t)handle);
}

static DWORD errorFromErrno(int error, const std::string &path) {
    switch (error) {
        case ENOENT: {
            // Windows tells a missing file from a missing folder on the way to it.
            size_t slash = path.find_last_of('/');
            if (slash == std::string::npos || slash == 0) {
                return ERROR_FILE_NOT_FOUND;
            }
            struct stat folder;
            return stat(path.substr(0, slash).c_str(), &folder) == 0 ? ERROR_FILE_NOT_FOUND
                                                                     : ERROR_PATH_NOT_FOUND;
        }
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EISDIR:
        case EROFS:
        case EBUSY:
            return ERROR_ACCESS_DENIED;
        case EEXIST:
            return ERROR_FILE_EXISTS;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case ENAMETOOLONG:
            return ERROR_PATH_NOT_FOUND;
        default:
            return ERROR_GEN_FAILURE;
    }
}

// "Z:" is Wine's name for the unix root; backslashes separate folders as slashes do.
static std::string unixPath(LPCSTR name) {
    std::string path(name);
    if (path.size() >= 2 && (path[0] == 'Z' || path[0] == 'z') && path[1] == ':') {
        path.erase(0, 2);
    }
    for (size_t i = 0; i < path.size(); i++) {
        if (path[i] == '\\') {
            path[i] = '/';
        }
    }
    return path;
}

// The Windows sharing rule: each side's share mode must allow the other side's access.
static BYTE shareAllows(DWORD share, DWORD access) {
    if ((access & GENERIC_READ) && !(share & FILE_SHARE_READ)) {
        return 0;
    }
    if ((access & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE)) {
        return 0;
    }
    return 1;
}

static BYTE sharingConflict(const struct stat &info, DWORD access, DWORD share) {
    for (std::map<uintptr_t, OpenFile>::iterator it = OpenFiles.begin(); it != OpenFiles.end();
         ++it) {
        const OpenFile &other = it->second;
        if (other.device != info.st_dev || other.inode != info.st_ino) {
            continue;
        }
        if (!shareAllows(other.share, access) || !shareAllows(share, other.access)) {
            return 1;
        }
    }
    return 0;
}

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD disposition, DWORD flags, HANDLE templateFile) {
    (void)security;
    (void)flags;
    (void)templateFile;
    if (name == NULL || name[0] == 0) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    int comNumber = 0;
    if (serialNameNumber(name, &comNumber)) {
        if (disposition != OPEN_EXISTING) {
            SetLastError(ERROR_INVALID_PARAMETER);  // devices are only ever opened
            return INVALID_HANDLE_VALUE;
        }
        return serialOpen(comNumber, access);
    }

    int mode = O_RDONLY;
    if ((access & GENERIC_READ) && (access & GENERIC_WRITE)) {
        mode = O_RDWR;
    } else if (access & GENERIC_WRITE) {
        mode = O_WRONLY;
    }
    switch (disposition) {
        case CREATE_NEW:
            mode |= O_CREAT | O_EXCL;
            break;
        case CREATE_ALWAYS:
            mode |= O_CREAT;
            break;
        case OPEN_EXISTING:
            break;
        case OPEN_ALWAYS:
            mode |= O_CREAT;
            break;
        case TRUNCATE_EXISTING:
            break;
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
    }

    std::string path = unixPath(name);
    struct stat before;
    BYTE existed = stat(path.c_str(), &before) == 0;
    if (existed && S_ISDIR(before.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);  // a folder is no file, whatever the access
        return INVALID_HANDLE_VALUE;
    }
    if (existed && sharingConflict(before, access, share)) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    int fd = open(path.c_str(), mode | O_CLOEXEC, 0666);
    if (fd < 0) {
        SetLastError(errorFromErrno(errno, path));
        return INVALID_HANDLE_VALUE;
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        close(fd);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    // Truncate only once the sharing check has passed, as Windows does.
    if ((disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) &&
        ftruncate(fd, 0) != 0) {
        int error = errno;
        close(fd);
        SetLastError(errorFromErrno(error, path));
        return INVALID_HANDLE_VALUE;
    }

    StandinHandle record;
    memset(&record, 0, sizeof record);
    record.kind = HANDLE_FILE;
    record.fd = fd;
    record.access = access;
    HANDLE handle = handleAdd(record);
    OpenFile open = {info.st_dev, info.st_ino, access, share};
    OpenFiles[(uintptr_t)handle] = open;
    // Windows reports an existing file that was opened or overwritten by these two.
    BYTE reportExisting = existed && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS);
    SetLastError(reportExisting ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

DWORD WINAPI GetFileSize(HANDLE file, LPDWORD sizeHigh) {
    StandinHandle *record = handleGet(file);
    if (record == NULL) {
        return INVALID_FILE_SIZE;
    }
    if (record->kind != HANDLE_FILE) {
        SetLastError(ERROR_INVALID_FUNCTION);  // a port has no size
        return INVALID_FILE_SIZE;
    }
    struct stat info;
    if (fstat(record->fd, &info) != 0) {
        SetLastError(ERROR_GEN_FAILURE);
        return INVALID_FILE_SIZE;
    }
    uint64_t size = (uint64_t)info.st_size;
    if (sizeHigh != NULL) {
        *sizeHigh = (DWORD)(size >> 32);
    }
    // A low word of all ones is a size and no error: the last error says which.
    SetLastError(ERROR_SUCCESS);
    return (DWORD)size;
}

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read,
                     LPOVERLAPPED overlapped) {
    (void)overlapped;
    if (read != NULL) {
        *read = 0;
    }
    StandinHandle *record = handleGet(file);
    if (record == NULL) {
        return FALSE;
    }
    if (buffer == NULL && toRead > 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!(record->access & GENERIC_READ)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    DWORD done = 0;
    BOOL ok = TRUE;
    if (record->kind == HANDLE_FILE) {
        while (done < toRead) {
            ssize_t got = ::read(record->fd, (BYTE *)buffer + done, toRead - done);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got < 0) {
                SetLastError(ERROR_GEN_FAILURE);
                ok = FALSE;
                break;
            }
            if (got == 0) {
                break;  // end of file: success with what there was
            }
            done += (DWORD)got;
        }
    } else {
        ok = serialRead(record, (BYTE *)buffer, toRead, &done);
    }
    if (read != NULL) {
        *read = done;
    }
    return ok;
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written,
                      LPOVERLAPPED overlapped) {
    (void)overlapped;
    if (written != NULL) {
        *written = 0;
    }
    StandinHandle *record = handleGet(file);
    if (record == NULL) {
        return FALSE;
    }
    if (buffer == NULL && toWrite > 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!(record->access & GENERIC_WRITE)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    DWORD done = 0;
    BOOL ok = TRUE;
    if (record->kind == HANDLE_FILE) {
        while (done < toWrite) {
            ssize_t put = ::write(record->fd, (const BYTE *)buffer + done, toWrite - done);
            if (put < 0 && errno == EINTR) {
                continue;
            }
            if (put <= 0) {
                SetLastError(ERROR_GEN_FAILURE);
                ok = FALSE;
                break;
            }
            done += (DWORD)put;
        }
    } else {
        ok = serialWrite(record, (const BYTE *)buffer, toWrite, &done);
    }
    if (written != NULL) {
        *written = done;
    }
    return ok;
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
    handleRemove(handle);
    return TRUE;
}
