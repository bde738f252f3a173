// marvane-sim's command line: the options as read and checked, and --help's text (help.cpp).
// Opening what they name and acting on them is left to the rest of the simulator.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "tools/sim/device.h"

namespace sim {

struct OptionsData {
    std::string link, device, out, readyFile, stopFile, stoppedFile, termiosFile, logFile;
    double lifetime = 900;
    long baud = 0;  // 0: no emulation
    bool baudAuto = false;
    int rawReply = -1;  // -1: protocol mode
    bool rawSendGiven = false;
    std::vector<uint8_t> rawSend;
    std::vector<Fault> faults;
    bool deadSilent = false;
    bool verbose = false;
};

extern OptionsData Options;
extern const char HelpText[];

// Reads the command line into Options. --help prints HelpText and exits with 0; a bad option
// exits with 2 and a message (badOption).
void parseOptions(int argc, char **argv);
[[noreturn]] void badOption(const std::string &message);

}  // namespace sim
