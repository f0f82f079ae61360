#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <future>
#include <memory>
#include <thread>

#include "config.h"
#include "logger.h"
#include "mqtt/mqtt_callback.h"
#include "mqtt/mqtt_client.h"
#include "station_center.h"

int main() {
  using station_center::StationCenter;
  station_center::global_station_center = std::make_shared<StationCenter>();
  std::shared_ptr<StationCenter> center = station_center::global_station_center;
  if (!center->Init()) {
    // The board link's threads may already run and use the globals; leaving
    // through static destruction would crash under them instead of ending with 255.
    std::fflush(stdout);
    std::_Exit(255);
  }

  auto callback = std::make_shared<mqtt_callback::MqttCallback>(center);
  while (!mqtt_client::MqttClient::getInstance().Init(callback)) {
    QLOG_ERROR("ErrorCode: {}, mqtt client init failed", 101900017);
    QLOG_INFO("wait retry connect mqtt server");
    std::this_thread::sleep_for(std::chrono::seconds(10));
  }

  // The status report never ends: a failed report is logged and the next one
  // follows after the interval, so reports resume once the broker is back.
  std::future<void> status_report = std::async(std::launch::async, [center]() {
    while (true) {
      try {
        center->StationInfoUploadCloud();
      } catch (const std::exception& e) {
        QLOG_ERROR("ErrorCode: {}, station info upload failed: {}", 101900071, e.what());
      } catch (...) {
        QLOG_ERROR("ErrorCode: {}, station info upload failed", 101900071);
      }
      const int interval = station_center::config_reader.upload_station_info_to_cloud_interval;
      if (interval >= 1) {
        std::this_thread::sleep_for(std::chrono::seconds(interval));
      }
    }
  });

  while (true) {
    center->ReflushLed();
    center->AutoReset();
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
}
