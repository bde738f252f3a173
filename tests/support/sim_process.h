// Test support: runs the device simulator (tools/marvane-sim) on COMn for a suite, natively
// or from a Wine-run test, and reads back what it saw: its report, saved files and the line
// settings. Spawning is per platform (sim_spawn_posix.cpp / sim_spawn_win.cpp).
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace simtest {

// One line of the simulator's report.jsonl: one transfer as the device saw it.
struct SimTransfer {
    int ordinal = 0;
    std::string type, id, outcome, detail, sha256;
    int blocks = 0;
    std::vector<int> sends;  // frames received per block index
    long bytes = 0;
    double start = 0, end = 0;  // unix time
    long baud = 0;              // the rate the PC side had set
    long rx = -1, tx = -1;      // bytes each way since the previous line (-1: not reported)
};

// The line settings the PC side last set, from the simulator's termios file.
struct SimLineSettings {
    bool valid = false;
    long baud = 0;
    int dataBits = 0;
    std::string parity;
    int stopBits = 0;
    bool raw = false;
};

class SimProcess {
public:
    SimProcess() = default;
    ~SimProcess();
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;

    // Starts the simulator linked at <ports>/com<comNumber> with its files in a fresh
    // folder, and waits (up to 10 s) until it listens. extraArgs go last, so they can
    // override the defaults (e.g. "--lifetime"). On failure error() says why.
    bool start(int comNumber, const std::vector<std::string> &extraArgs = {});
    // Asks it to stop and waits (up to 10 s) for its "stopped" marker; natively it is
    // killed if it does not exit. True if it stopped by itself.
    bool stop();
    bool running() const { return running_; }

    // Unix paths: what the simulator was given.
    const std::string &dir() const { return dir_; }
    std::string linkPath() const;
    // The pseudo-terminal the link points to, from the ready file ("" before start).
    std::string ptyPath() const;

    std::vector<SimTransfer> readReport() const;
    // The data saved for the latest transfer of that file id and type; false if none.
    bool readSaved(const std::string &id, const std::string &type,
                   std::vector<unsigned char> *bytes) const;
    SimLineSettings termios() const;
    // The simulator's log, for failure messages.
    std::string log() const;
    const std::string &error() const { return error_; }

private:
    bool running_ = false;
    int com_ = 0;
    long pid_ = 0;
    std::string dir_, error_;
};

// Polls pred every pollMs until it holds or timeoutSeconds pass; true if it held.
bool waitFor(const std::function<bool()> &pred, double timeoutSeconds = 10.0, int pollMs = 10);

// The path under which the test itself opens a unix file: "Z:" + path under Wine.
std::string hostPath(const std::string &unixPath);
// MARVANE_SIM, else the simulator of the build tree.
std::string simulatorPath();
// MARVANE_PORTS_DIR (a unix path), else a per-process folder under the test temp folder.
std::string portsDir();
// MARVANE_TEST_TMP (a unix path), else /tmp.
std::string testTmpDir();

// Whole-file helpers over hostPath; false if the file cannot be read.
bool readFileBytes(const std::string &unixPath, std::vector<unsigned char> *bytes);
bool fileExists(const std::string &unixPath);

// Parses one report line; false if it is not a whole line of the simulator's format.
bool parseReportLine(const std::string &line, SimTransfer *out);

}  // namespace simtest
