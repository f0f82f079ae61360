// led.json: any bytes give a rule table or a logged error; a loaded table
// always answers with a valid LED pattern.
#include "fuzz/fuzz_support.h"
#include "led_manager.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const station_fuzz::ConfigFolder folder;
  folder.Write("led.json", data, size);
  station_center::LedManager manager;
  station_center::StationTaskData task_data;
  const int cmd = manager.ReadConfig() ? manager.GetLedCmd(task_data, {}, {}) : 0;
  if (cmd < 0 || cmd > 14) std::abort();
  return 0;
}
