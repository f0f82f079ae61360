// The station's broker connection over TLS, against a mosquitto with a TLS
// listener and certificates made by openssl. The robot stays on the plain
// listener of the same broker, so a reply it gets crossed the station's TLS link.

#include <ostream>
#include <string>

#include "mqtt/tls_probe.h"
#include "mqtt_test_env.h"

namespace station_test {
namespace {

using mqtt_client::MqttClient;

struct TlsCase {
  const char* name;
  bool broker_requires_client_certificate;
  const char* scheme;
  const char* host;
  enum Anchors { kBrokerCa, kOtherCa, kMissingFile } anchors;
  bool present_client_certificate;
  bool present_key;  // with the certificate: both or neither
  bool verify;
  bool connects;
  // A line the station logs when it does not connect.
  const char* error;
};

void PrintTo(const TlsCase& c, std::ostream* os) { *os << c.name; }

class MqttTlsTest : public testing::TestWithParam<TlsCase> {};

TEST_P(MqttTlsTest, ConnectsOnlyWithTheRightCertificates) {
  const TlsCase& c = GetParam();
  MqttTestEnv env;
  ASSERT_TRUE(env.broker().EnableTls(c.broker_requires_client_certificate));
  ASSERT_TRUE(env.StartBroker("T1"));
  ASSERT_TRUE(env.ConnectRobot());
  station_center::StationConfig& config = station_center::config_reader;
  const TlsFiles& files = env.broker().tls();
  config.mqtt_server_address = env.broker().TlsAddress(c.scheme, c.host);
  config.mqtt_ca_file = c.anchors == TlsCase::kBrokerCa  ? files.ca
                        : c.anchors == TlsCase::kOtherCa ? files.other_ca
                                                         : env.broker().folder() + "/no_such_ca.pem";
  config.mqtt_cert_file = c.present_client_certificate ? files.client_cert : "";
  config.mqtt_key_file = c.present_key ? files.client_key : "";
  config.mqtt_tls_verify = c.verify;

  auto center = std::make_shared<station_center::StationCenter>();
  auto callback = std::make_shared<mqtt_callback::MqttCallback>(center);
  MqttTestEnv::Keep(center);
  MqttTestEnv::Keep(callback);
  testing::internal::CaptureStdout();
  const bool connected = MqttClient::getInstance().Init(callback);
  const std::string output = testing::internal::GetCapturedStdout();
  ASSERT_EQ(connected, c.connects) << output << env.broker().Log();
  if (c.connects) {
    ASSERT_TRUE(env.WaitUntilServing());
    EXPECT_NE(env.Ask("checkStation", R"({"checkType":0})").find("\"errCode\":0"), std::string::npos);
  } else {
    EXPECT_NE(output.find(c.error), std::string::npos) << output;
    EXPECT_NE(output.find("ErrorCode: 101900060, Connect broker failed"), std::string::npos) << output;
    // Nothing of the station reached the robot's side of the broker.
    EXPECT_EQ(env.broker().Log().find(" as Station_T1 "), std::string::npos) << env.broker().Log();
  }
  // The key file's content never reaches the log, whatever happened.
  EXPECT_EQ(output.find("PRIVATE KEY"), std::string::npos) << output;
}

// The probe that names a TLS failure connects where the station connects.
TEST(MqttTls, BrokerAddressSplitsIntoHostAndPort) {
  const struct {
    const char* address;
    bool ok;
    const char* host;
    const char* port;
  } kCases[] = {
      {"ssl://broker.local:8884", true, "broker.local", "8884"},
      {"mqtts://10.0.0.2:1", true, "10.0.0.2", "1"},
      {"ssl://broker.local", true, "broker.local", "8883"},
      {"ssl://[fd00::1]:9000", true, "fd00::1", "9000"},
      {"ssl://[fd00::1", false, "", ""},
      {"tcp://broker.local:1883", false, "", ""},
      {"broker.local:8883", false, "", ""},
      {"ssl://:8883", false, "", ""},
  };
  for (const auto& c : kCases) {
    std::string host;
    std::string port;
    ASSERT_EQ(mqtt_client::SplitTlsAddress(c.address, host, port), c.ok) << c.address;
    if (c.ok) {
      EXPECT_EQ(host, c.host) << c.address;
      EXPECT_EQ(port, c.port) << c.address;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MqttTlsTest,
    testing::Values(
        TlsCase{"server certificate checked by its CA", false, "ssl", "localhost", TlsCase::kBrokerCa, false, false,
                true, true, ""},
        TlsCase{"mqtts scheme, address by IP, client certificate required and presented", true, "mqtts",
                "127.0.0.1", TlsCase::kBrokerCa, true, true, true, true, ""},
        TlsCase{"broker certificate from another CA", false, "ssl", "localhost", TlsCase::kOtherCa, false, false,
                true, false, "failed: broker certificate not accepted: "},
        TlsCase{"trust anchors the service cannot read", false, "ssl", "localhost", TlsCase::kMissingFile, false,
                false, true, false, "cannot read mqtt_ca_file"},
        TlsCase{"another CA, verification off", false, "ssl", "localhost", TlsCase::kOtherCa, false, false, false,
                true, ""},
        TlsCase{"client certificate required, none presented", true, "ssl", "localhost", TlsCase::kBrokerCa, false,
                false, true, false, "failed: tlsv13 alert certificate required"},
        TlsCase{"certificate without its key", true, "ssl", "localhost", TlsCase::kBrokerCa, true, false, true,
                false, "mqtt_cert_file and mqtt_key_file go together"}));

}  // namespace
}  // namespace station_test
