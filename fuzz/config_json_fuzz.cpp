// config.json as an operator might get it wrong: any bytes must give either a
// loaded record or a logged format error, never a crash or a hang.
#include <cstddef>
#include <cstdint>

#include "config.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const station_fuzz::ConfigFolder folder;
  folder.Write("config.json", data, size);
  station_center::StationConfig config;
  if (station_center::ReadConfig(config)) {
    // A loaded record never holds a port outside the 16-bit range it travels in.
    volatile uint32_t port = config.embedded_action_port;
    (void)port;
  }
  return 0;
}
