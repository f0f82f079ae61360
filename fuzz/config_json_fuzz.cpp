// config.json as an operator might get it wrong: any bytes must give either a
// loaded record or a logged format error, never a crash or a hang.
#include "config.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const station_fuzz::ConfigFolder folder;
  folder.Write("config.json", data, size);
  station_center::StationConfig config;
  return station_center::ReadConfig(config), 0;
}
