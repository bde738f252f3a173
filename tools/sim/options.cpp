// marvane-sim's options: getopt_long over the table below, each value checked as it is read
// and the combinations that exclude each other refused. The help text is help.cpp's.
#include "tools/sim/options.h"

#include "link/rates.h"

#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>

#include "tools/sim/port.h"

namespace sim {

OptionsData Options;

namespace {

bool parseNumber(const std::string &s, double lo, double hi, double *out) {
    char *end = nullptr;
    double v = strtod(s.c_str(), &end);
    if (s.empty() || *end != 0 || !(v >= lo && v <= hi))
        return false;
    *out = v;
    return true;
}

// The long options; each value is `optarg` in parseOptions. The ones whose value is kept as
// given come first, in the order of kTextFields.
enum OptionId {
    OPT_LINK = 256,
    OPT_DEVICE,
    OPT_OUT,
    OPT_READY_FILE,
    OPT_STOP_FILE,
    OPT_STOPPED_FILE,
    OPT_TERMIOS_FILE,
    OPT_LOG,
    OPT_BAUD,  // the first that is checked
    OPT_LIFETIME,
    OPT_VERBOSE,
    OPT_RAW_REPLY,
    OPT_RAW_SEND,
    OPT_FAULT,
    OPT_DEAD_MODE,
};

std::string OptionsData::*const kTextFields[] = {
    &OptionsData::link,         // --link
    &OptionsData::device,       // --device
    &OptionsData::out,          // --out
    &OptionsData::readyFile,    // --ready-file
    &OptionsData::stopFile,     // --stop-file
    &OptionsData::stoppedFile,  // --stopped-file
    &OptionsData::termiosFile,  // --termios-file
    &OptionsData::logFile,      // --log
};

const struct option kOptions[] = {
    {"link", required_argument, nullptr, OPT_LINK},
    {"device", required_argument, nullptr, OPT_DEVICE},
    {"baud", required_argument, nullptr, OPT_BAUD},
    {"out", required_argument, nullptr, OPT_OUT},
    {"ready-file", required_argument, nullptr, OPT_READY_FILE},
    {"stop-file", required_argument, nullptr, OPT_STOP_FILE},
    {"stopped-file", required_argument, nullptr, OPT_STOPPED_FILE},
    {"termios-file", required_argument, nullptr, OPT_TERMIOS_FILE},
    {"lifetime", required_argument, nullptr, OPT_LIFETIME},
    {"log", required_argument, nullptr, OPT_LOG},
    {"verbose", no_argument, nullptr, OPT_VERBOSE},
    {"raw-reply", required_argument, nullptr, OPT_RAW_REPLY},
    {"raw-send", required_argument, nullptr, OPT_RAW_SEND},
    {"fault", required_argument, nullptr, OPT_FAULT},
    {"dead-mode", required_argument, nullptr, OPT_DEAD_MODE},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

}  // namespace

[[noreturn]] void badOption(const std::string &message) {
    fprintf(stderr, "marvane-sim: %s (see --help)\n", message.c_str());
    exit(2);
}

void parseOptions(int argc, char **argv) {
    OptionsData o;
    opterr = 0;  // the messages below say it in the simulator's words
    int id;
    while ((id = getopt_long(argc, argv, ":h", kOptions, nullptr)) != -1) {
        std::string v = optarg ? optarg : "";
        double n = 0;
        if (id >= OPT_LINK && id < OPT_BAUD) {
            o.*kTextFields[id - OPT_LINK] = v;
            continue;
        }
        switch (id) {
            case 'h':
                fputs(HelpText, stdout);
                exit(0);
            case OPT_VERBOSE:
                o.verbose = true;
                break;
            case OPT_LIFETIME:
                if (!parseNumber(v, 0.1, 1e7, &o.lifetime))
                    badOption("bad --lifetime '" + v + "'");
                break;
            case OPT_BAUD:
                o.baudAuto = v == "auto";
                o.baud = 0;
                if (!o.baudAuto) {
                    if (!parseNumber(v, 1, 4000000, &n) || n != (long)n)
                        badOption("bad --baud '" + v + "'");
                    o.baud = (long)n;
                }
                break;
            case OPT_RAW_REPLY:
                if (!parseNumber(v, 0, 65536, &n) || n != (int)n)
                    badOption("bad --raw-reply '" + v + "'");
                o.rawReply = (int)n;
                break;
            case OPT_RAW_SEND:
                if (!parseHex(v, &o.rawSend))
                    badOption("bad --raw-send '" + v + "': hex bytes");
                o.rawSendGiven = true;
                break;
            case OPT_FAULT: {
                Fault f;
                std::string error;
                if (!parseFault(v, &f, &error))
                    badOption(error);
                o.faults.push_back(f);
                break;
            }
            case OPT_DEAD_MODE:
                if (v != "close" && v != "silent")
                    badOption("--dead-mode is close or silent");
                o.deadSilent = v == "silent";
                break;
            case ':':
                badOption(std::string(argv[optind - 1]) + " needs a value");
            default:
                badOption("unknown option '" + std::string(argv[optind - 1]) + "'");
        }
    }
    if (optind < argc)
        badOption("unknown option '" + std::string(argv[optind]) + "'");
    if (!o.link.empty() && !o.device.empty())
        badOption("--link and --device exclude each other");
    if (o.rawReply >= 0 && o.rawSendGiven)
        badOption("choose one of --raw-reply and --raw-send");
    if ((o.rawReply >= 0 || o.rawSendGiven) && !o.faults.empty())
        badOption("faults apply to the protocol, not to the raw modes");
    if (!o.device.empty() && o.baudAuto)
        badOption("--baud auto needs a pseudo-terminal");
    speed_t code;
    if (!o.device.empty() && o.baud && !baudCode(o.baud, &code)) {
        std::string rates;
        for (int rate : BaudRates)
            rates += (rates.empty() ? "" : ", ") + std::to_string(rate);
        badOption("--device needs a rate the controller takes: " + rates);
    }
    Options = o;
}

}  // namespace sim
