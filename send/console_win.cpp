// The console program on Windows: the terminal test, the image folder, what a port's error
// means here, the computer kept awake, Ctrl+C and the other console control events, and the
// log appended a record at a time. Ports are named by number only.
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "link/link.h"
#include "send/send.h"

BYTE consoleIsTerminal() {
    return _isatty(_fileno(stdout)) ? 1 : 0;
}

BYTE filesChangeDirectory(const char *dir) {
    return SetCurrentDirectoryA(dir) ? 1 : 0;
}

void filesCurrentDirectory(char *out, int size) {
    if (GetCurrentDirectoryA((DWORD)size, out) == 0) {
        snprintf(out, (size_t)size, ".");
    }
}

void portsMapDevice(int, const char *) {}

BYTE portsDeviceOf(int, char *, int) {
    return 0;
}

unsigned long consoleProcessId() {
    return GetCurrentProcessId();
}

static char LogPath[4096];  // to open again for taking back a record cut short

// The system's own words for its error ("There is not enough space on the disk").
static const char *systemWords(DWORD error) {
    static char words[256];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
                                  error, 0, words, sizeof words, NULL);
    while (length > 0 && strchr("\r\n .", words[length - 1]) != 0) {
        words[--length] = 0;
    }
    if (length == 0) {
        snprintf(words, sizeof words, "system error %u", (unsigned)error);
    }
    return words;
}

// The C library's append mode seeks to the end and then writes, two steps another process
// can come between. CreateFileA with FILE_APPEND_DATA and without FILE_WRITE_DATA has the
// system itself put every write at the end; FILE_READ_DATA reads back the log's last byte.
FILE *filesOpenLog(const char *path, const char **why) {
    HANDLE file = CreateFileA(path, FILE_READ_DATA | FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    *why = file == INVALID_HANDLE_VALUE ? systemWords(GetLastError()) : 0;
    int fd = file != INVALID_HANDLE_VALUE ? _open_osfhandle((intptr_t)file, _O_APPEND) : -1;
    FILE *log = fd >= 0 ? _fdopen(fd, "a") : NULL;
    if (log == NULL && fd >= 0) {
        *why = strerror(errno);
        _close(fd);
    } else if (log == NULL && file != INVALID_HANDLE_VALUE) {
        *why = strerror(errno);
        CloseHandle(file);
    }
    snprintf(LogPath, sizeof LogPath, "%s", path);
    return log;
}

FILE *filesOpenTrace(const char *path, const char **why) {
    FILE *trace = fopen(path, "a");  // a pipe with no program behind it fails at once here
    *why = trace == NULL ? strerror(errno) : 0;
    return trace;
}

// The log's lock, held for one append and its take-back, so that taking back a cut line never
// takes another writer's with it. It is one byte far past any log's end: a locked range keeps
// other programs from reading it, and nobody reads there. A log that takes no lock goes without.
static OVERLAPPED LockAt;
static BYTE lockLog(HANDLE file) {
    LockAt.OffsetHigh = 0x7FFFFFFF;
    for (DWORD waited = 0;; waited += 10) {
        if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                       &LockAt) ||
            GetLastError() != ERROR_LOCK_VIOLATION) {
            return 1;
        }
        if (waited >= LOG_LOCK_WAIT_MS) {
            return 0;
        }
        Sleep(10);
    }
}

// FlushFileBuffers is documented for a handle with GENERIC_WRITE; the system's check takes
// FILE_APPEND_DATA as well, and where it does not, a handle that may write flushes the file.
static DWORD flushLog(HANDLE file) {
    if (FlushFileBuffers(file)) {
        return 0;
    }
    DWORD error = GetLastError();
    HANDLE writer = error == ERROR_ACCESS_DENIED
                        ? CreateFileA(LogPath, GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL)
                        : INVALID_HANDLE_VALUE;
    if (writer != INVALID_HANDLE_VALUE) {
        error = FlushFileBuffers(writer) ? 0 : GetLastError();
        CloseHandle(writer);
    }
    return error == ERROR_INVALID_FUNCTION ? 0 : error;  // a device (NUL) keeps nothing
}

BYTE filesAppendLine(FILE *log, const char *text, const char **why, BYTE *cutLeft) {
    HANDLE file = (HANDLE)_get_osfhandle(_fileno(log));
    *cutLeft = 0;
    if (!lockLog(file)) {
        *why = LOG_HELD;
        return 0;
    }
    LARGE_INTEGER size;
    BYTE sized = GetFileSizeEx(file, &size);
    char last = '\n';
    DWORD got = 0, written = 0;
    if (sized && size.QuadPart > 0) {
        OVERLAPPED at = {};
        at.Offset = (DWORD)(size.QuadPart - 1);
        at.OffsetHigh = (DWORD)((size.QuadPart - 1) >> 32);
        if (!ReadFile(file, &last, 1, &got, &at) || got != 1) {
            last = '\n';
        }
    }
    // One write, as the file's lines have always ended (CR LF), on a line of its own.
    std::string line = std::string(last != '\n' ? "\r\n" : "") + text + "\r\n";
    DWORD error = WriteFile(file, line.data(), (DWORD)line.size(), &written, NULL)
                      ? (written == line.size() ? 0 : ERROR_DISK_FULL)
                      : GetLastError();
    // A write cut short is taken back, which takes write access: the log is opened once more.
    // A log that cannot be cut gets the cut line ended, so that the next record starts on its own.
    if (error != 0 && written > 0) {
        HANDLE whole = sized ? CreateFileA(LogPath, GENERIC_WRITE,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                           NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL)
                             : INVALID_HANDLE_VALUE;
        *cutLeft = whole == INVALID_HANDLE_VALUE ||
                   !SetFilePointerEx(whole, size, NULL, FILE_BEGIN) || !SetEndOfFile(whole);
        if (whole != INVALID_HANDLE_VALUE) {
            CloseHandle(whole);
        }
        if (*cutLeft) {
            WriteFile(file, "\r\n", 2, &written, NULL);
        }
    }
    if (error == 0) {  // on the disk, not in the system's cache: a battery that dies leaves it
        error = flushLog(file);
    }
    UnlockFileEx(file, 0, 1, 0, &LockAt);
    *why = error != 0 ? systemWords(error) : 0;
    return error == 0;
}

BYTE filesIsStandardOutput(const char *path) {
    BY_HANDLE_FILE_INFORMATION out;
    FileIdentity named;
    return GetFileInformationByHandle(GetStdHandle(STD_OUTPUT_HANDLE), &out) &&
           filesIdentity(path, &named) && named.volume == out.dwVolumeSerialNumber &&
           named.index == (((unsigned long long)out.nFileIndexHigh << 32) | out.nFileIndexLow);
}

int filesNameBehind(const char *path, char *out, int size) {
    HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    DWORD error = GetLastError();
    if (file == INVALID_HANDLE_VALUE) {  // listed in its folder, yet not there: a link astray
        WIN32_FIND_DATAA found;
        HANDLE entry = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                           ? FindFirstFileA(path, &found)
                           : INVALID_HANDLE_VALUE;
        if (entry != INVALID_HANDLE_VALUE) {
            FindClose(entry);
        }
        return entry != INVALID_HANDLE_VALUE ? -1 : 0;
    }
    DWORD length = GetFinalPathNameByHandleA(file, out, (DWORD)size, FILE_NAME_NORMALIZED);
    CloseHandle(file);
    return length > 0 && length < (DWORD)size ? 1 : 0;
}

void consoleWhoAndWhere(char *computer, int computerSize, char *user, int userSize) {
    DWORD size = (DWORD)computerSize;
    if (!GetComputerNameA(computer, &size)) {
        computer[0] = 0;
    }
    size = (DWORD)userSize;
    if (!GetUserNameA(user, &size)) {
        user[0] = 0;
    }
}

// "München" or "José" as the ANSI code page spells them would be lost in a record's UTF-8.
void consoleUtf8(const char *text, char *out, int size) {
    int length = MultiByteToWideChar(CP_ACP, 0, text, -1, NULL, 0);
    WCHAR *wide = length > 0 ? (WCHAR *)malloc(sizeof(WCHAR) * (size_t)length) : NULL;
    if (wide == NULL || !MultiByteToWideChar(CP_ACP, 0, text, -1, wide, length) ||
        !WideCharToMultiByte(CP_UTF8, 0, wide, -1, out, size, NULL, NULL)) {
        snprintf(out, (size_t)size, "%s", text);
    }
    free(wide);
}

// A run at 2400 baud takes minutes: a laptop that sleeps halfway leaves a partial image.
void consoleKeepAwake(BYTE on) {
    SetThreadExecutionState(on ? ES_CONTINUOUS | ES_SYSTEM_REQUIRED : ES_CONTINUOUS);
}

// Windows gives a port to one program at a time and says "access denied" to the next.
void portsAccessDenied(const char **cause, const char **advice) {
    *cause = "in use by another program";
    *advice = "close it and run again";
}

BYTE filesIdentity(const char *path, FileIdentity *identity) {
    // No access asked and every sharing allowed: an image or log in use is still told apart.
    HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    BY_HANDLE_FILE_INFORMATION information;
    BYTE ok = file != INVALID_HANDLE_VALUE && GetFileInformationByHandle(file, &information);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    if (ok) {
        identity->volume = information.dwVolumeSerialNumber;
        identity->index =
            ((unsigned long long)information.nFileIndexHigh << 32) | information.nFileIndexLow;
    }
    return ok;
}

// One folder entry per name, whatever its case: a file has no twin here.
BYTE filesFindName(const char *name, char *onDisk, char *twin, int size) {
    WIN32_FIND_DATAA found;
    // A bare name only: the search answers a path with its last part alone.
    HANDLE search =
        strpbrk(name, "\\/:") == 0 ? FindFirstFileA(name, &found) : INVALID_HANDLE_VALUE;
    twin[0] = 0;
    snprintf(onDisk, (size_t)size, "%s", search != INVALID_HANDLE_VALUE ? found.cFileName : name);
    if (search != INVALID_HANDLE_VALUE) {
        FindClose(search);
    }
    return search != INVALID_HANDLE_VALUE;
}

static volatile LONG Interrupts = 0;

static HANDLE Finished;  // set once main has written the run's record and released the port
// Windows ends the process when the handler of a console's close, a log-off or a shut-down
// returns, and at the latest about five seconds after the event.
const DWORD CLOSE_GRACE_MS = 4500;

// Runs on a thread of its own: the first event asks the run to stop at its next wait, the
// second to stop now, not waiting for the answer in flight, so that the record and the
// closing words still come; a third ends the program at once (a run that cannot end).
static BOOL WINAPI onControl(DWORD event) {
    BYTE closing =
        event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
    LONG count = InterlockedIncrement(&Interrupts);
    if (count == 1 || closing) {
        requestStop();
        if (closing && Finished != NULL) {
            WaitForSingleObject(Finished, CLOSE_GRACE_MS);  // the record first
        }
        return TRUE;
    }
    if (count == 2) {
        requestStopNow();
        return TRUE;
    }
    fputs("\n", stdout);
    fflush(stdout);
    ExitProcess(EXIT_INTERRUPTED);
    return TRUE;
}

void signalsStart() {}  // a closed pipe fails the write: no signal here

void signalsCatch() {
    Finished = CreateEventA(NULL, TRUE, FALSE, NULL);
    SetConsoleCtrlHandler(onControl, TRUE);
}

// Whether a path names a device rather than a file: the device namespace (\\.\COM12) or one
// of the names Windows keeps for devices in every folder (COM1, lpt2:, NUL, con.txt).
static BYTE namesADevice(const char *path) {
    static const struct {
        const char *name;
        BYTE numbered;
    } Reserved[] = {{"CON", 0}, {"PRN", 0}, {"AUX", 0}, {"NUL", 0}, {"COM", 1}, {"LPT", 1}};
    if (strncmp(path, "\\\\.\\", 4) == 0) {
        return 1;
    }
    const char *name = path + strlen(path);
    while (name > path && strchr("\\/", name[-1]) == 0) {
        name--;
    }
    name += name[0] != 0 && name[1] == ':' && name == path ? 2 : 0;  // a drive: C:NUL
    size_t length = strcspn(name, ".:");
    for (const auto &device : Reserved) {
        if (_strnicmp(name, device.name, 3) == 0 && length == (device.numbered ? 4u : 3u) &&
            (!device.numbered || (name[3] >= '0' && name[3] <= '9'))) {
            return 1;
        }
    }
    return 0;
}

PathKind filesKindOf(const char *path) {
    if (namesADevice(path)) {
        return PATH_DEVICE;
    }
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)
               ? PATH_FOLDER
               : PATH_FILE;
}

const char *filesWhyUnopened(const char *path, DWORD systemError) {
    PathKind kind = filesKindOf(path);
    if (kind != PATH_FILE) {
        return kind == PATH_FOLDER ? "a folder, not a file" : "a device, not a file";
    }
    return systemError == ERROR_ACCESS_DENIED       ? "permission denied"
           : systemError == ERROR_SHARING_VIOLATION ? "in use by another program"
                                                    : systemWords(systemError);
}

void signalsFinished() {
    if (Finished != NULL) {
        SetEvent(Finished);
    }
}

BYTE signalsInterrupted() {
    return Interrupts > 0;
}
