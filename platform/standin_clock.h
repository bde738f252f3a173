// The stand-in's clock, the one seam the suites plug into: milliseconds on a 64-bit line, so
// that due times never wrap, and a wait until a time on it. The stand-in defines both weak,
// on CLOCK_MONOTONIC; a suite links a virtual clock of its own in their place. Linux only.
#pragma once

#include <stdint.h>

uint64_t clockNow();
void clockWaitUntil(uint64_t when);  // lets the clock reach `when`
