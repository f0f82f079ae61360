#include <pthread.h>
#include <signal.h>
#include <systemd/sd-daemon.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <future>
#include <memory>
#include <thread>

#include "config.h"
#include "error_codes.h"
#include "logger.h"
#include "mqtt/mqtt_callback.h"
#include "mqtt/mqtt_client.h"
#include "station_center.h"

namespace {

// The whole safe stop, all switch-offs included, ends within this many seconds.
constexpr int kSafeStopBudgetS = 15;
// Then telling the broker "offline" and disconnecting, within this many seconds.
constexpr int kGoOfflineBudgetS = 3;

sigset_t StopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  return signals;
}

// Waits for SIGTERM or SIGINT on a thread of its own (the signals are blocked
// in every thread, so no work ever runs in a signal handler), switches every
// actuator off and ends the process. A stopped or restarted service must never
// leave the heater, the UV lamp, a pump or a charger running.
void StartStopThread(const std::shared_ptr<station_center::StationCenter>& center) {
  std::thread([center]() {
    const sigset_t signals = StopSignals();
    int signal_number = 0;
    while (sigwait(&signals, &signal_number) != 0) {
    }
    QLOG_INFO("signal {} received, stopping", signal_number);
    sd_notify(0, "STOPPING=1");
    center->SafeStop(kSafeStopBudgetS);
    // The cloud learns of the orderly stop at once instead of after the keep-alive.
    mqtt_client::MqttClient::getInstance().GoOffline(std::chrono::seconds(kGoOfflineBudgetS));
    QLOG_INFO("station center stopped");
    std::fflush(stdout);
    // Detached threads still run: leave without static destruction under them.
    std::_Exit(0);
  }).detach();
}

void Watchdog() { sd_notify(0, "WATCHDOG=1"); }

}  // namespace

int main() {
  using station_center::StationCenter;
  // Blocked before any thread exists, so every thread inherits the mask and
  // only the stop thread ever takes the signals.
  const sigset_t signals = StopSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  station_center::global_station_center = std::make_shared<StationCenter>();
  std::shared_ptr<StationCenter> center = station_center::global_station_center;
  if (!center->Init()) {
    // The board link's threads may already run and use the globals; leaving
    // through static destruction would crash under them instead of ending with 255.
    std::fflush(stdout);
    std::_Exit(255);
  }
  // A stop requested during the start-up waited, blocked, until now.
  StartStopThread(center);
  sd_notify(0, "READY=1");

  auto callback = std::make_shared<mqtt_callback::MqttCallback>(center);
  while (!mqtt_client::MqttClient::getInstance().Init(callback)) {
    QLOG_ERROR("ErrorCode: {}, mqtt client init failed", station_center::kMqttInitFailed);
    QLOG_INFO("wait retry connect mqtt server");
    for (int i = 0; i < 10; ++i) {
      Watchdog();
      std::this_thread::sleep_for(std::chrono::seconds(1));
    }
  }

  // The status report never ends: a failed report is logged and the next one
  // follows after the interval, so reports resume once the broker is back.
  std::future<void> status_report = std::async(std::launch::async, [center]() {
    while (true) {
      try {
        center->StationInfoUploadCloud();
      } catch (const std::exception& e) {
        QLOG_ERROR("ErrorCode: {}, station info upload failed: {}", station_center::kMqttPublishFailed, e.what());
      } catch (...) {
        QLOG_ERROR("ErrorCode: {}, station info upload failed", station_center::kMqttPublishFailed);
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
    center->CheckStaleReports();
    center->RetrySwitchOffs();
    Watchdog();
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
}
