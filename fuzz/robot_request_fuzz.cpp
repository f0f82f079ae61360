// The robot's four requests as raw MQTT payloads, handed to the request
// handlers of a started station center whose board confirms every command.
// The first byte picks the topic; the rest is the payload. Whatever arrives, a
// handler answers (or drops) it without crashing, hanging or corrupting the
// station's state.
#include <memory>

#include "bottom/board_link.h"
#include "fuzz/fuzz_support.h"
#include "mqtt/mqtt_callback.h"
#include "station_center.h"

namespace {

struct AlwaysYesBoard : station_center::BoardLink {
  bool DoAction(const station::ActionCommand&) override { return true; }
  bool DoAction(const station::ActionCommand&, int) override { return true; }
  bool ChangeLed(const station::EnumLedCmd&) override { return true; }
};

// The station center is started once and lives, with its threads, until the process ends.
std::shared_ptr<mqtt_callback::MqttCallback> StartStation() {
  static const station_fuzz::ConfigFolder folder;
  const std::string config = R"({"running_schedule_space": 1, "sensor_report_timeout": 0,
                                 "mqtt_server_address": "tcp://127.0.0.1:1"})";
  folder.Write("config.json", config.data(), config.size());
  folder.Write("led.json", "{}", 2);
  station_center::global_station_center = std::make_shared<station_center::StationCenter>();
  if (!station_center::global_station_center->Init(std::make_shared<AlwaysYesBoard>())) std::abort();
  // An empty tank ends the start-up reset at once, so requests meet a normal station.
  station::SensorsDataRep report;
  report.set_cleantankfootlevel(1), report.set_dustbagdet(1), report.set_dustboxcapdet(1);
  station_center::global_station_center->DataUploadCallback(report);
  return std::make_shared<mqtt_callback::MqttCallback>(station_center::global_station_center);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const auto* const callback = new std::shared_ptr<mqtt_callback::MqttCallback>(StartStation());
  static const char* const kTopics[] = {"checkStation", "dockState", "preWaterRequest", "supplyMaterialRequest",
                                        "reportActivelyRe"};
  if (size < 1) return 0;
  (*callback)->onMessageArrived(std::string(reinterpret_cast<const char*>(data) + 1, size - 1), kTopics[data[0] % 5]);
  return 0;
}
