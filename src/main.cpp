#include <chrono>
#include <memory>
#include <thread>

#include "station_center.h"

int main() {
  using station_center::StationCenter;
  station_center::global_station_center = std::make_shared<StationCenter>();
  std::shared_ptr<StationCenter> center = station_center::global_station_center;
  if (!center->Init()) {
    return -1;
  }
  while (true) {
    center->ReflushLed();
    center->AutoReset();
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
}
