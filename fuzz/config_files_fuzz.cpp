// config.json and led.json as an operator might get them wrong: any bytes load or log an error,
// never crash or hang; a loaded LED table always answers with a valid LED pattern.
#include "config.h"
#include "fuzz/fuzz_support.h"
#include "led_manager.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const station_fuzz::ConfigFolder folder;
  folder.Write("config.json", data, size);
  folder.Write("led.json", data, size);
  station_center::StationConfig config;
  station_center::ReadConfig(config);
  station_center::LedManager manager;
  station_center::StationTaskData task_data;
  const int cmd = manager.ReadConfig() ? manager.GetLedCmd(task_data, {}, {}) : 0;
  if (cmd < 0 || cmd > 14) std::abort();
  return 0;
}
