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

}  // namespace station_center
