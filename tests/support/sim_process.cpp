// Test support, shared half: the simulator's command line, its per-start folder, waiting
// for its markers, and reading its report, saved files and termios file. What differs
// between native and Wine runs is in sim_spawn_*.cpp.
#include "tests/support/sim_process.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "tests/support/sim_spawn.h"

namespace simtest {

namespace {

std::string join(const std::string &dir, const std::string &name) {
    return dir + "/" + name;
}

// The simulator writes each of the device's bytes (a type letter may be any byte) as the
// character of that number: back to the bytes.
std::string deviceBytes(const std::string &utf8) {
    std::string bytes;
    for (size_t i = 0; i < utf8.size(); i++) {
        unsigned char c = (unsigned char)utf8[i];
        if (c >= 0xC0 && i + 1 < utf8.size())
            c = (unsigned char)((c & 0x1F) << 6 | (utf8[++i] & 0x3F));
        bytes += (char)c;
    }
    return bytes;
}

bool readText(const std::string &unixPath, std::string *text) {
    std::ifstream in(hostPath(unixPath), std::ios::binary);
    if (!in)
        return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    *text = ss.str();
    return true;
}

int gStarts = 0;

}  // namespace

bool parseReportLine(const std::string &line, SimTransfer *out) {
    try {
        nlohmann::json j = nlohmann::json::parse(line);
        SimTransfer t;
        t.ordinal = j.value("ordinal", 0);
        t.type = deviceBytes(j.value("type", ""));
        t.id = deviceBytes(j.value("id", ""));
        t.outcome = j.value("outcome", "");
        t.detail = deviceBytes(j.value("detail", ""));
        t.sha256 = j.value("sha256", "");
        t.blocks = j.value("blocks", 0);
        t.sends = j.value("sends", std::vector<int>());
        t.bytes = j.value("bytes", 0L);
        t.start = j.value("start", 0.0);
        t.end = j.value("end", 0.0);
        t.baud = j.value("baud", 0L);
        t.rx = j.value("rx", -1L);
        t.tx = j.value("tx", -1L);
        *out = t;
        return true;
    } catch (const nlohmann::json::exception &) {
        return false;  // not JSON, not an object, or a field of another type
    }
}

bool waitFor(const std::function<bool()> &pred, double timeoutSeconds, int pollMs) {
    auto end = std::chrono::steady_clock::now() +
               std::chrono::microseconds((long long)(timeoutSeconds * 1e6));
    for (;;) {
        if (pred())
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
    }
}

std::string hostPath(const std::string &unixPath) {
    return spawn::hostPath(unixPath);
}

std::string simulatorPath() {
    std::string env = spawn::getEnv("MARVANE_SIM");
    return env.empty() ? spawn::builtSimulator() : env;
}

std::string testTmpDir() {
    std::string env = spawn::getEnv("MARVANE_TEST_TMP");
    return env.empty() ? "/tmp" : env;
}

std::string portsDir() {
    std::string env = spawn::getEnv("MARVANE_PORTS_DIR");
    if (!env.empty())
        return env;
    return join(testTmpDir(), "marvane-ports-" + std::to_string(spawn::processId()));
}

bool readFileBytes(const std::string &unixPath, std::vector<unsigned char> *bytes) {
    std::string text;
    if (!readText(unixPath, &text))
        return false;
    bytes->assign(text.begin(), text.end());
    return true;
}

bool fileExists(const std::string &unixPath) {
    std::error_code ec;
    return std::filesystem::exists(hostPath(unixPath), ec);
}

SimProcess::~SimProcess() {
    if (running_)
        stop();
}

std::string SimProcess::linkPath() const {
    return join(portsDir(), "com" + std::to_string(com_));
}

std::string SimProcess::ptyPath() const {
    std::string text;
    if (dir_.empty() || !readText(join(dir_, "ready"), &text))
        return "";
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

bool SimProcess::start(int comNumber, const std::vector<std::string> &extraArgs) {
    if (running_)
        stop();
    error_.clear();
    com_ = comNumber;
    std::string sim = simulatorPath();
    if (sim.empty()) {
        error_ = "no simulator: set MARVANE_SIM";
        return false;
    }
    long stamp = (long)(std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count() %
                        100000000);
    dir_ = join(testTmpDir(), "marvane-sim-" + std::to_string(spawn::processId()) + "-" +
                                  std::to_string(stamp) + "-" + std::to_string(++gStarts) + "-com" +
                                  std::to_string(comNumber));
    std::error_code ec;
    std::filesystem::create_directories(hostPath(dir_), ec);
    std::filesystem::create_directories(hostPath(portsDir()), ec);
    if (!std::filesystem::is_directory(hostPath(dir_), ec)) {
        error_ = "cannot create " + dir_;
        return false;
    }
    std::string link = linkPath();
    spawn::setEnv("MARVANE_COM" + std::to_string(comNumber), link);
    std::vector<std::string> argv = {sim,
                                     "--link",
                                     link,
                                     "--out",
                                     dir_,
                                     "--ready-file",
                                     join(dir_, "ready"),
                                     "--stop-file",
                                     join(dir_, "stop"),
                                     "--stopped-file",
                                     join(dir_, "stopped"),
                                     "--termios-file",
                                     join(dir_, "termios.json"),
                                     "--log",
                                     join(dir_, "sim.log"),
                                     "--lifetime",
                                     "300"};
    argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
    if (!spawn::start(argv, &pid_, &error_))
        return false;
    running_ = true;
    bool ready =
        waitFor([&] { return fileExists(join(dir_, "ready")) || spawn::hasExited(pid_); }, 10.0);
    if (!ready || !fileExists(join(dir_, "ready"))) {
        error_ = std::string(ready ? "the simulator exited" : "the simulator never got ready") +
                 " (" + sim + "); its log:\n" + log();
        spawn::kill(pid_);
        running_ = false;
        return false;
    }
    return true;
}

bool SimProcess::stop() {
    if (!running_)
        return true;
    running_ = false;
    { std::ofstream(hostPath(join(dir_, "stop"))).put('\n'); }
    bool stopped = waitFor([&] { return fileExists(join(dir_, "stopped")); }, 10.0);
    if (pid_ > 0) {
        if (!waitFor([&] { return spawn::hasExited(pid_); }, 5.0)) {
            spawn::kill(pid_);
            stopped = false;
        }
    }
    pid_ = 0;
    return stopped;
}

std::vector<SimTransfer> SimProcess::readReport() const {
    std::vector<SimTransfer> out;
    std::string text;
    if (dir_.empty() || !readText(join(dir_, "report.jsonl"), &text))
        return out;
    size_t pos = 0;
    // Only whole lines: the last one may still be on its way.
    for (size_t nl; (nl = text.find('\n', pos)) != std::string::npos; pos = nl + 1) {
        SimTransfer t;
        if (parseReportLine(text.substr(pos, nl - pos), &t))
            out.push_back(t);
    }
    return out;
}

bool SimProcess::readSaved(const std::string &id, const std::string &type,
                           std::vector<unsigned char> *bytes) const {
    return !dir_.empty() && readFileBytes(join(dir_, id + "_" + type + ".bin"), bytes);
}

SimLineSettings SimProcess::termios() const {
    SimLineSettings t;
    std::string text;
    if (dir_.empty() || !readText(join(dir_, "termios.json"), &text))
        return t;
    try {
        nlohmann::json j = nlohmann::json::parse(text);
        t.baud = j.value("baud", 0L);
        t.dataBits = j.value("data_bits", 0);
        t.parity = j.value("parity", "");
        t.stopBits = j.value("stop_bits", 0);
        t.raw = j.value("raw", false);
        t.valid = true;
    } catch (const nlohmann::json::exception &) {
        t = SimLineSettings();
    }
    return t;
}

std::string SimProcess::log() const {
    std::string text;
    if (!dir_.empty())
        readText(join(dir_, "sim.log"), &text);
    return text;
}

namespace spawn {

// The simulator this build made (natively) or was pointed at (cross builds).
std::string builtSimulator() {
#ifdef MARVANE_BUILT_SIM
    return MARVANE_BUILT_SIM;
#else
    return "";
#endif
}

}  // namespace spawn
}  // namespace simtest
