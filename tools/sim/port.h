// The simulator's end of the line: a pseudo-terminal whose PC end is linked where asked, or a
// serial device set to 8N1 raw; the settings the PC side gives the line; answers left from
// the last session dropped when the PC end is opened again. Pacing is line.cpp's.
#pragma once

#include <termios.h>

#include <string>

namespace sim {

struct PortData {
    int fd = -1;           // the master (or the device); -1 once a dead line is closed
    int slaveFd = -1;      // held so the pty outlives the PC side closing it
    int watchFd = -1;      // opens of the PC end (inotify), -1 when not watched
    std::string name;      // the PC end (or the device)
    bool pty = false;      // we pace the PC's bytes (a pty); a real device paces itself
    long baud = 0;         // the rate the PC side set, for the report
    std::string settings;  // the PC side's settings as the termios file's JSON line
};

extern PortData Port;

// The termios speed code of a rate the controller takes (link/rates.h); false for others.
bool baudCode(long value, speed_t *code);
// Opens the line the options name and links (or prints) the PC end; false, logged, if not.
bool openPort();
// Reads the PC side's settings again; true when they changed, and the termios file was
// rewritten.
bool updateSettings();
void flushStale();
// Closes every descriptor of the line: the PC side sees a hang-up.
void closePort();

}  // namespace sim
