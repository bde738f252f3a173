// The report lines, JSON by nlohmann-json and ASCII only, with each transfer's SHA-256
// (libcrypto) and its times as unix time; the saved data, under the file id and type and
// under the transfer's number. Which transfers there are is the device's business.
#include "tools/sim/report.h"

#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <openssl/sha.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/sim/files.h"
#include "tools/sim/line.h"
#include "tools/sim/options.h"
#include "tools/sim/port.h"

namespace sim {

namespace {

int ReportFd = -1;
long long RxReported = 0, TxReported = 0;  // the line's counts at the last report line
double RealOffset = 0;                     // unix time minus monotonic time, seconds

// A string of the device's bytes (a type letter may be any byte) for the report: each byte
// as the character of that number, so a reader gets back exactly the bytes.
std::string bytesAsText(const std::string &bytes) {
    std::string utf8;
    for (unsigned char c : bytes) {
        if (c < 0x80) {
            utf8 += (char)c;
        } else {
            utf8 += (char)(0xC0 | (c >> 6));
            utf8 += (char)(0x80 | (c & 0x3F));
        }
    }
    return utf8;
}

// One JSON line, ASCII only: what is not ASCII goes as \u escapes.
std::string jsonLine(const nlohmann::ordered_json &object) {
    return object.dump(-1, ' ', true) + "\n";
}

std::string sha256Hex(const std::vector<uint8_t> &data) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(data.data(), data.size(), digest);
    std::string hex;
    char pair[3];
    for (unsigned char b : digest) {
        snprintf(pair, sizeof pair, "%02x", b);
        hex += pair;
    }
    return hex;
}

}  // namespace

bool openReport() {
    struct timespec real;
    clock_gettime(CLOCK_REALTIME, &real);
    RealOffset = (double)real.tv_sec + real.tv_nsec / 1e9 - (double)mono() / 1e9;
    if (Options.out.empty())
        return true;
    std::error_code ignored;  // a folder that cannot be made shows when the report is opened
    std::filesystem::create_directories(Options.out, ignored);
    std::string report = Options.out + "/report.jsonl";
    ReportFd = open(report.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
    if (ReportFd < 0) {
        logf("cannot write %s: %s", report.c_str(), strerror(errno));
        return false;
    }
    return true;
}

void saveTransfer(const Transfer &t) {
    if (!Options.out.empty() && t.hasCount) {
        std::string base = t.id + "_" + t.type + ".bin";
        char numbered[16];
        snprintf(numbered, sizeof numbered, "%03d_", t.ordinal);
        const void *p = t.data.empty() ? "" : (const void *)t.data.data();
        if (!writeFileAtomically(Options.out + "/" + base, p, t.data.size()) ||
            !writeFileAtomically(Options.out + "/" + numbered + base, p, t.data.size()))
            logf("cannot save %s in %s: %s", base.c_str(), Options.out.c_str(), strerror(errno));
    }
    // Times to the microsecond, as unix time.
    auto unixMicros = [](Nanos t) {
        return (double)llround(((double)t / 1e9 + RealOffset) * 1e6) / 1e6;
    };
    std::string lineText = jsonLine({
        {"ordinal", t.ordinal},
        {"type", bytesAsText(t.type)},
        {"id", bytesAsText(t.id)},
        {"blocks", t.blocks < 0 ? 0 : t.blocks},
        {"sends", t.sends},
        {"outcome", t.outcome},
        {"detail", bytesAsText(t.detail)},
        {"sha256", sha256Hex(t.data)},
        {"bytes", t.data.size()},
        {"start", unixMicros(t.start)},
        {"end", unixMicros(t.end)},
        {"baud", Port.baud},
        {"rx", Line.rxCount - RxReported},
        {"tx", Line.txCount - TxReported},
    });
    RxReported = Line.rxCount;
    TxReported = Line.txCount;
    // One write per line, so a reader polling the file never sees half a line.
    if (ReportFd >= 0 && write(ReportFd, lineText.data(), lineText.size()) < 0)
        logf("cannot write the report: %s", strerror(errno));
    logf("transfer %d type %s id %s: %s%s%s", t.ordinal, t.type.c_str(), t.id.c_str(),
         t.outcome.c_str(), t.detail.empty() ? "" : ": ", t.detail.c_str());
}

void closeReport() {
    if (ReportFd >= 0)
        close(ReportFd);
    ReportFd = -1;
}

std::string settingsJson(long baud, int dataBits, const char *parity, int stopBits, bool raw) {
    return jsonLine({{"baud", baud},
                     {"data_bits", dataBits},
                     {"parity", parity},
                     {"stop_bits", stopBits},
                     {"raw", raw}});
}

}  // namespace sim
