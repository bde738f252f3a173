// Test support, Windows half (run under Wine): the native simulator is started with
// CreateProcessA on its unix path. Wine gives no handle for it, so stopping relies on the
// stop file and the simulator's --lifetime; unix files are reached through drive Z:.
#include <windows.h>

#include <stdlib.h>

#include "tests/support/sim_spawn.h"

namespace simtest {
namespace spawn {

static std::string quoted(const std::string &arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos)
        return arg;
    std::string out = "\"";
    for (char c : arg) {
        if (c == '"')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

bool start(const std::vector<std::string> &argv, long *pid, std::string *error) {
    std::string line;
    for (const std::string &a : argv)
        line += (line.empty() ? "" : " ") + quoted(a);
    std::vector<char> buffer(line.begin(), line.end());
    buffer.push_back(0);
    STARTUPINFOA si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    ZeroMemory(&pi, sizeof pi);
    if (!CreateProcessA(NULL, buffer.data(), NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) {
        *error = "CreateProcessA failed for " + argv[0] + " (error " +
                 std::to_string(GetLastError()) + ")";
        return false;
    }
    if (pi.hThread)
        CloseHandle(pi.hThread);
    if (pi.hProcess)
        CloseHandle(pi.hProcess);
    *pid = 0;  // a unix process under Wine has no handle worth waiting on
    return true;
}

bool hasExited(long) {
    return false;
}

void kill(long) {}

void setEnv(const std::string &name, const std::string &value) {
    SetEnvironmentVariableA(name.c_str(), value.c_str());
    _putenv_s(name.c_str(), value.c_str());
}

std::string getEnv(const char *name) {
    char buf[4096];
    DWORD n = GetEnvironmentVariableA(name, buf, sizeof buf);
    if (n == 0 || n >= sizeof buf)
        return "";
    return std::string(buf, n);
}

long processId() {
    return (long)GetCurrentProcessId();
}

std::string hostPath(const std::string &unixPath) {
    return unixPath.empty() || unixPath[0] != '/' ? unixPath : "Z:" + unixPath;
}

}  // namespace spawn
}  // namespace simtest
