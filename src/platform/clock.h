// Pauses, a millisecond tick count, the wall clock and the local time of day.
#pragma once

#include <cstdint>

namespace rureza {

void SleepMs(uint32_t ms);

// Milliseconds since an arbitrary start; wraps modulo 2^32 like the adapter-era tick count.
uint32_t TickCountMs();

// Nanoseconds since the epoch by the wall clock, the clock files' times are taken by.
int64_t WallClockNs();

struct TimeOfDay {
  int hours = 0;  // 0-23
  int minutes = 0;
  int seconds = 0;
};
TimeOfDay LocalTimeOfDay();

}  // namespace rureza
