// Test support, per platform: starting and reaping the simulator process, the environment
// and the mapping of unix paths to the test's own. sim_process.cpp does the rest.
#pragma once

#include <string>
#include <vector>

namespace simtest {
namespace spawn {

// Starts argv[0] with the arguments; *pid is 0 where the platform gives no handle (Wine).
bool start(const std::vector<std::string> &argv, long *pid, std::string *error);
// True once the process has ended (reaped natively); always false without a handle.
bool hasExited(long pid);
// Last resort when the stop marker never came: natively SIGKILL and reap.
void kill(long pid);
void setEnv(const std::string &name, const std::string &value);
std::string getEnv(const char *name);
long processId();
std::string hostPath(const std::string &unixPath);
// The simulator of the build tree, as CMake passed it, or "".
std::string builtSimulator();

}  // namespace spawn
}  // namespace simtest
