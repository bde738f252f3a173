// The simulator's report: one JSON line per transfer in <out>/report.jsonl with the data saved
// beside it, and the JSON line of the PC side's settings. When a transfer ends is the
// device's business, the bytes counted on the wire line.cpp's.
#pragma once

#include <string>

#include "tools/sim/device.h"

namespace sim {

// Makes the --out folder and empties its report.jsonl; false (logged) if it cannot be
// written. Without --out nothing is written, but every transfer is still logged.
bool openReport();
// Saves what the transfer brought and writes its report line.
void saveTransfer(const Transfer &t);
void closeReport();
// The termios file's line: baud, data_bits, parity, stop_bits, raw.
std::string settingsJson(long baud, int dataBits, const char *parity, int stopBits, bool raw);

}  // namespace sim
