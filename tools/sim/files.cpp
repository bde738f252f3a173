// The simulator's own files: the log, and files replaced whole by a rename so that the suites
// polling them never read half a line. Which files, in which folders, is the callers' choice.
#include "tools/sim/files.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <unistd.h>

namespace sim {

FILE *LogFile = stderr;

void logf(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    fputs("marvane-sim: ", LogFile);
    vfprintf(LogFile, fmt, ap);
    fputc('\n', LogFile);
    fflush(LogFile);
    va_end(ap);
}

bool writeFileAtomically(const std::string &path, const void *data, size_t n) {
    std::string tmp = path + ".tmp." + std::to_string(getpid());
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    const char *p = (const char *)data;
    size_t done = 0;
    while (done < n) {
        ssize_t w = write(fd, p + done, n - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            break;
        done += (size_t)w;
    }
    close(fd);
    if (done != n || rename(tmp.c_str(), path.c_str()) != 0) {
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

void writeMarker(const std::string &path, const std::string &text) {
    if (!path.empty())
        writeFileAtomically(path, text.data(), text.size());
}

}  // namespace sim
