// The line rates the device takes, as the "Baud Rate" menu offers them, fastest first. The
// one table of them: the menu, marvane-send and the simulator read it.
#pragma once

const int BaudRates[] = {19200, 9600, 4800, 2400};
const int BAUD_RATE_COUNT = (int)(sizeof BaudRates / sizeof BaudRates[0]);
