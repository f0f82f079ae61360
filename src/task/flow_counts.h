#pragma once

#include <cstdint>
#include <limits>

namespace station_center {

// The robot asks for water in volume units; the tap's flow meter counts 1000 per
// unit. The product is formed in 64 bits and held to the signed 32-bit range of
// the station task data, so a large request saturates instead of wrapping into a
// small or negative count.
inline int32_t FlowCountsForVolume(int32_t volume) {
  const int64_t counts = static_cast<int64_t>(volume) * 1000;
  if (counts > std::numeric_limits<int32_t>::max()) {
    return std::numeric_limits<int32_t>::max();
  }
  if (counts < std::numeric_limits<int32_t>::min()) {
    return std::numeric_limits<int32_t>::min();
  }
  return static_cast<int32_t>(counts);
}

// A flow-meter reading as the signed 32-bit station task data keeps it.
inline int32_t FlowMeterReading(uint32_t flow_meter) {
  if (flow_meter > static_cast<uint32_t>(std::numeric_limits<int32_t>::max())) {
    return std::numeric_limits<int32_t>::max();
  }
  return static_cast<int32_t>(flow_meter);
}

// The water let into the tank by one opening of the tap, from the board's flow
// meter. The board restarts its count when the tap opens, but the reports that
// reach the station right after the opening may have been taken before it and
// still hold the previous fill's count. So the count of the last report before
// the opening is kept as the base:
// - a count below the base shows that the meter has restarted; from then on the
//   count is the water let in since the opening;
// - until then only what the count has grown beyond the base counts (a stale
//   report, still at the base, counts nothing; a meter that never restarts is
//   still measured right).
// A report taken before the opening therefore never ends a fill and never counts
// as water added; at worst a restart missed between two cycles counts the base
// short, which the tank's upper level sensor bounds.
class FillMeter {
 public:
  // At the opening the board confirmed: the count of the latest report before it.
  void Open(uint32_t count_before_opening) {
    base_ = count_before_opening;
    restarted_ = false;
  }

  // The water let in since the opening, as a report counting `count` shows it.
  uint32_t Added(uint32_t count) {
    if (!restarted_ && count < base_) {
      restarted_ = true;
    }
    return restarted_ ? count : count - base_;
  }

 private:
  uint32_t base_ = 0;
  bool restarted_ = false;
};

}  // namespace station_center
