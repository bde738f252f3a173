// Test support, shared half: the simulator's command line, its per-start folder, waiting
// for its markers, and reading its report, saved files and termios file. What differs
// between native and Wine runs is in sim_spawn_*.cpp.
#include "tests/support/sim_process.h"

#include <ctype.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/sim_spawn.h"

namespace simtest {

namespace {

std::string join(const std::string &dir, const std::string &name) {
    return dir + "/" + name;
}

// A tiny reader for the simulator's own JSON lines: one flat object of strings, numbers,
// booleans and arrays of numbers.
struct Json {
    const std::string &s;
    size_t i = 0;
    void space() {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\r' || s[i] == '\n'))
            i++;
    }
    bool eat(char c) {
        space();
        if (i < s.size() && s[i] == c) {
            i++;
            return true;
        }
        return false;
    }
    bool string(std::string *out) {
        if (!eat('"'))
            return false;
        out->clear();
        while (i < s.size() && s[i] != '"') {
            char c = s[i++];
            if (c == '\\' && i < s.size()) {
                char e = s[i++];
                if (e == 'u' && i + 4 <= s.size()) {
                    *out += (char)std::stoi(s.substr(i, 4), nullptr, 16);
                    i += 4;
                } else {
                    *out += e == 'n' ? '\n' : e == 't' ? '\t' : e;
                }
            } else {
                *out += c;
            }
        }
        return eat('"');
    }
    bool number(double *out) {
        space();
        size_t start = i;
        while (i < s.size() && (isdigit((unsigned char)s[i]) || s[i] == '-' || s[i] == '+' ||
                                s[i] == '.' || s[i] == 'e' || s[i] == 'E'))
            i++;
        if (start == i)
            return false;
        *out = std::stod(s.substr(start, i - start));
        return true;
    }
    // Calls field(name) for each member; field reads the value.
    bool object(const std::function<bool(const std::string &)> &field) {
        if (!eat('{'))
            return false;
        if (eat('}'))
            return true;
        do {
            std::string name;
            if (!string(&name) || !eat(':') || !field(name))
                return false;
        } while (eat(','));
        return eat('}');
    }
    bool skipValue() {
        space();
        std::string str;
        double d;
        if (i < s.size() && s[i] == '"')
            return string(&str);
        if (s.compare(i, 4, "true") == 0 || s.compare(i, 4, "null") == 0)
            return (i += 4), true;
        if (s.compare(i, 5, "false") == 0)
            return (i += 5), true;
        if (eat('[')) {
            if (eat(']'))
                return true;
            do {
                if (!skipValue())
                    return false;
            } while (eat(','));
            return eat(']');
        }
        return number(&d);
    }
};

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
    SimTransfer t;
    Json j{line};
    bool ok = j.object([&](const std::string &name) {
        double d = 0;
        if (name == "type")
            return j.string(&t.type);
        if (name == "id")
            return j.string(&t.id);
        if (name == "outcome")
            return j.string(&t.outcome);
        if (name == "detail")
            return j.string(&t.detail);
        if (name == "sha256")
            return j.string(&t.sha256);
        if (name == "sends") {
            if (!j.eat('['))
                return false;
            if (j.eat(']'))
                return true;
            do {
                if (!j.number(&d))
                    return false;
                t.sends.push_back((int)d);
            } while (j.eat(','));
            return j.eat(']');
        }
        if (name == "ordinal" || name == "blocks" || name == "bytes" || name == "start" ||
            name == "end" || name == "baud" || name == "rx" || name == "tx") {
            if (!j.number(&d))
                return false;
            if (name == "ordinal")
                t.ordinal = (int)d;
            if (name == "blocks")
                t.blocks = (int)d;
            if (name == "bytes")
                t.bytes = (long)d;
            if (name == "start")
                t.start = d;
            if (name == "end")
                t.end = d;
            if (name == "baud")
                t.baud = (long)d;
            if (name == "rx")
                t.rx = (long)d;
            if (name == "tx")
                t.tx = (long)d;
            return true;
        }
        return j.skipValue();
    });
    if (!ok)
        return false;
    *out = t;
    return true;
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
    Json j{text};
    bool ok = j.object([&](const std::string &name) {
        double d = 0;
        if (name == "parity")
            return j.string(&t.parity);
        if (name == "raw") {
            j.space();
            t.raw = text.compare(j.i, 4, "true") == 0;
            return j.skipValue();
        }
        if (!j.number(&d))
            return j.skipValue();
        if (name == "baud")
            t.baud = (long)d;
        if (name == "data_bits")
            t.dataBits = (int)d;
        if (name == "stop_bits")
            t.stopBits = (int)d;
        return true;
    });
    t.valid = ok;
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
