// Test support, native half: the simulator is a child process (posix_spawn), killed and
// reaped only if it ignores its stop file. Paths need no mapping.
#include <errno.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/sim_spawn.h"

extern char **environ;

namespace simtest {
namespace spawn {

bool start(const std::vector<std::string> &argv, long *pid, std::string *error) {
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    pid_t child = 0;
    int rc = posix_spawn(&child, args[0], nullptr, nullptr, args.data(), environ);
    if (rc != 0) {
        *error = "cannot start " + argv[0] + ": " + strerror(rc);
        return false;
    }
    *pid = (long)child;
    return true;
}

bool hasExited(long pid) {
    if (pid <= 0)
        return false;
    int status = 0;
    pid_t r = waitpid((pid_t)pid, &status, WNOHANG);
    return r == (pid_t)pid || (r < 0 && errno == ECHILD);
}

void kill(long pid) {
    if (pid <= 0 || hasExited(pid))
        return;
    ::kill((pid_t)pid, SIGKILL);
    int status = 0;
    waitpid((pid_t)pid, &status, 0);
}

void setEnv(const std::string &name, const std::string &value) {
    setenv(name.c_str(), value.c_str(), 1);
}

std::string getEnv(const char *name) {
    const char *v = getenv(name);
    return v ? v : "";
}

long processId() {
    return (long)getpid();
}

std::string hostPath(const std::string &unixPath) {
    return unixPath;
}

}  // namespace spawn
}  // namespace simtest
