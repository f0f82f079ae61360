#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>

#include <mqtt/callback.h>

#include "station_center.h"

namespace mqtt_callback {

// Receives every event of the station's MQTT connection and answers the
// robot's requests: each request is parsed from its JSON form, turned into a
// station service request, handed to the station center and answered with
// exactly one reply on the request's reply topic.
//
// All operations run on the MQTT library's callback thread, one event at a
// time; none lets an exception out, since one escaping a library callback ends
// the process. The object lives, shared with MqttClient, until process exit.
class MqttCallback : public mqtt::callback {
 public:
  explicit MqttCallback(std::shared_ptr<station_center::StationCenter> station_center);
  ~MqttCallback() override = default;

  void connected(const std::string& cause) override;
  void connection_lost(const std::string& cause) override;
  void message_arrived(mqtt::const_message_ptr msg) override;
  void delivery_complete(mqtt::delivery_token_ptr tok) override;

  // Dispatches by the last segment of the request's topic.
  void onMessageArrived(const std::string& payload, const std::string& topic_name);

  void dealCheckStation(const std::string& payload);
  void dealDockState(const std::string& payload);
  void dealPreWaterRequest(const std::string& payload);
  void dealSupplyMaterialRequest(const std::string& payload);

 private:
  std::map<std::string, std::function<void(const std::string&)>> topicHandlers_;
  std::shared_ptr<station_center::StationCenter> stationCenter_;
};

}  // namespace mqtt_callback
