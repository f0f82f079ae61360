#pragma once

#include <cstdint>

namespace station_center {

// The one clock of the station center: task ids, request ids, start times and
// every time limit read the Unix time in whole seconds through NowSeconds().
// Tests freeze it and move it so that a 300-second limit takes no wall time.
int64_t NowSeconds();

// Test control of the clock. While frozen, NowSeconds() returns the set value.
void FreezeClock(int64_t unix_seconds);
void AdvanceClock(int64_t seconds);  // freezes first (at the real time) when not frozen
void ThawClock();
bool ClockFrozen();

}  // namespace station_center
