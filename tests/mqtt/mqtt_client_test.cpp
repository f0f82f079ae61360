// The station's MQTT client in the test process against a real broker: what only shows from inside
// (the callback's registration, exceptions, retries).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <mqtt/exception.h>

#include "config.h"
#include "mqtt/mqtt_callback.h"
#include "mqtt/mqtt_client.h"
#include "mqtt/tls_probe.h"
#include "station_center.h"
#include "support/service_rig.h"

namespace station_test {
namespace {

// A broker, a robot, the service's configuration read, and the station's client connected with a
// callback around a fresh station center; the center and callback live until process exit, as the
// library's threads may still use them.
class MqttClient : public testing::Test {
 protected:
  static mqtt_client::MqttClient& Client() { return mqtt_client::MqttClient::getInstance(); }
  void SetUp() override {
    static auto* kept = new std::vector<std::shared_ptr<void>>();
    kept->push_back(callback);
    ASSERT_TRUE(rig.Prepare());
    ::setenv("STATION_CENTER_CONFIG_DIR", rig.folder().c_str(), 1);
    ASSERT_TRUE(station_center::ReadConfig(station_center::config_reader));
    ASSERT_TRUE(Client().Init(callback));
  }
  // The station's client leaves before the broker goes, so that no lost connection reaches the
  // station center while the process exits.
  void TearDown() override { Client().GoOffline(std::chrono::seconds(5)); }

  ServiceRig rig;
  std::shared_ptr<mqtt_callback::MqttCallback> callback =
      std::make_shared<mqtt_callback::MqttCallback>(std::make_shared<station_center::StationCenter>());
};

// Registering the callback while the library completes an operation deadlocks its threads (seen at
// start-up, with the subscriptions finishing): it is in place before the first connection, which is
// heard like every later one (it announces the station online). Should a retained request reach
// the station, it is dropped unanswered.
TEST_F(MqttClient, CallbackIsRegisteredBeforeTheFirstConnectionAndRetainedRequestsAreDropped) {
  auto announced = [&] { return Joined(rig.robot().Payloads(ServiceRig::Topic("availability"))); };
  EXPECT_TRUE(PollUntil([&] { return announced() == "online; "; })) << announced();
  ASSERT_TRUE(Client().Init(callback)) << "a second Init finds the client connected";
  ASSERT_TRUE(rig.WaitServing());
  EXPECT_EQ(announced(), "online; ") << "connected once";
  rig.OpenLedger();
  callback->message_arrived(
      mqtt::make_message(ServiceRig::Topic("checkStation"), R"({"reqHeader":{"msgId":{"uuid":"old"}}})", 1, true));
  EXPECT_NE(rig.Ask("checkStation", R"({"reqHeader":{"msgId":{"uuid":"new"}}})").find("\"new\""), std::string::npos);
  EXPECT_EQ(rig.Mismatched(), 0) << "the retained request was answered";
}

// The status report's caller hears that a publish was refused; a reply, published on the library's
// callback thread, never lets the exception out.
TEST_F(MqttClient, PublishWhileDisconnected) {
  Client().GoOffline(std::chrono::seconds(5));
  EXPECT_THROW(Client().Publish(std::string("{}"), std::string("clean_robot_station/reportActively"), 1),
               mqtt::exception);
  EXPECT_NO_THROW(callback->dealCheckStation("{}"));
  EXPECT_NO_THROW(callback->dealSupplyMaterialRequest(R"({"cmd":{"supplyType":3,"action":2}})"));
}

}  // namespace
// The probe that names a TLS failure connects where the station connects.
TEST(MqttTls, BrokerAddressSplitsIntoHostAndPort) {
  const struct { const char *address, *split; } kCases[] = {  // "host port", or "" when refused
      {"ssl://broker.local:8884", "broker.local 8884"}, {"mqtts://10.0.0.2:1", "10.0.0.2 1"},
      {"ssl://broker.local", "broker.local 8883"},      {"ssl://[fd00::1]:9000", "fd00::1 9000"},
      {"ssl://[fd00::1", ""}, {"tcp://broker.local:1883", ""}, {"broker.local:8883", ""}, {"ssl://:8883", ""}};
  for (const auto& c : kCases) {
    std::string host, port;
    const bool split = mqtt_client::SplitTlsAddress(c.address, host, port);
    EXPECT_EQ(split ? host + " " + port : "", c.split) << c.address;
  }
}

}  // namespace station_test
