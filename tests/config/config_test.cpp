#include <sys/stat.h>

#include <cstdint>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace {

using station_center::ReadConfig;
using station_center::StationConfig;
using station_test::TempDir;

class Config : public testing::Test {
 protected:
  void SetUp() override { setenv("STATION_CENTER_CONFIG_DIR", dir_.path().c_str(), 1); }
  void TearDown() override { unsetenv("STATION_CENTER_CONFIG_DIR"); }
  bool Load(const std::string& json, StationConfig& config) {
    dir_.Write("config.json", json);
    return ReadConfig(config);
  }
  // What loading `json` logs, from a child process (the logger starts once).
  std::string EchoOf(const std::string& json) {
    dir_.Write("config.json", json);
    return station_test::RunInChild([] {
             setenv("SPDLOG_LEVEL", "info", 1);
             StationConfig config;
             return ReadConfig(config) ? 0 : 1;
           }).output;
  }
  TempDir dir_;
};

#define ROW(json, expr, what) {json, [](const StationConfig& c) { return expr; }, what}
struct Row {
  const char* json;
  std::function<bool(const StationConfig&)> holds;
  const char* what;
};

TEST_F(Config, ValuesOfTheRightKindAreTakenOthersKeepTheDefault) {
  const std::vector<Row> rows = {
      ROW("{}", c.running_schedule_space == 200 && c.station_id == "10000000001", "an empty object keeps defaults"),
      ROW(R"({"sensor_data_print_space": 5})", c.sensor_data_print_space == 5, "an integer is taken"),
      ROW(R"({"debug": true})", c.debug, "a bool is taken"),
      ROW(R"({"debug": 1})", !c.debug, "a number is not a bool"),
      ROW(R"({"station_id": "S-1"})", c.station_id == "S-1", "a string is taken"),
      ROW(R"({"station_id": 12345678901})", c.station_id == "10000000001", "a number is not a string"),
      ROW(R"({"max_heat_temp": 5.0})", c.max_heat_temp == 150, "5.0 is not an integer"),
      ROW(R"({"max_heat_temp": "90"})", c.max_heat_temp == 150, "a string is not an integer"),
      ROW(R"({"bottom_action_timeout": 2147483648})", c.bottom_action_timeout == 10, "beyond the signed range"),
      ROW(R"({"negative_pressure_down_limit": -2147483648})", c.negative_pressure_down_limit == INT32_MIN,
          "the signed minimum"),
      ROW(R"({"do_action_cache_size": -1})", c.do_action_cache_size == 4096, "a negative number is not unsigned"),
      ROW(R"({"do_action_cache_size": 4294967295})", c.do_action_cache_size == 4294967295u, "the unsigned maximum"),
      ROW(R"({"max_charge_plate_temp": 4294967296})", c.max_charge_plate_temp == 78, "beyond the unsigned range"),
      ROW(R"({"close_clean_liquid_pump_max_time": 99})", c.close_clean_liquid_pump_max_time == 10,
          "a field without a key"),
      ROW(R"({"running_schedule_space": 7, "running_schedule_space": 9})", c.running_schedule_space == 7,
          "the first of two members wins"),
      ROW(R"({"Running_Schedule_Space": 7, "x": [1]})", c.running_schedule_space == 200, "keys are case-sensitive"),
      ROW(R"({"embedded_action_port": 65535, "soc_data_server_port": 0})",
          c.embedded_action_port == 65535 && c.soc_data_server_port == 0, "the ends of the port range"),
      ROW(R"({"embedded_action_port": 65536})", c.embedded_action_port == 60013, "a port beyond the range"),
      ROW(R"({"embedded_action_port": -1})", c.embedded_action_port == 60013, "a negative port"),
      ROW(R"({"soc_data_server_port": 70000})", c.soc_data_server_port == 60014, "a server port beyond the range"),
      ROW("{}", c.mqtt_ca_file.empty() && c.mqtt_cert_file.empty() && c.mqtt_key_file.empty() && c.mqtt_tls_verify,
          "TLS: system trust anchors, no client certificate, verification on"),
      ROW(R"({"mqtt_ca_file": "/a", "mqtt_cert_file": "/c", "mqtt_key_file": "/k", "mqtt_tls_verify": false})",
          c.mqtt_ca_file == "/a" && c.mqtt_cert_file == "/c" && c.mqtt_key_file == "/k" && !c.mqtt_tls_verify,
          "TLS files and verification"),
      ROW(R"({"mqtt_tls_verify": 0})", c.mqtt_tls_verify, "a number does not turn verification off"),
  };
  for (const Row& row : rows) {
    StationConfig config;
    ASSERT_TRUE(Load(row.json, config)) << row.what;
    EXPECT_TRUE(row.holds(config)) << row.what << ": " << row.json;
  }
}

TEST_F(Config, UnreadableOrMalformedFilesFailAndApplyNothing) {
  for (const char* json : {"", R"({"station_id": "77", "debug": true,})", R"({"station_id": "77" /* c */})",
                           R"([{"station_id": "77"}])", R"({"station_id": "77"} {})", R"({"debug": true)"}) {
    StationConfig config;
    EXPECT_FALSE(Load(json, config)) << json;
    EXPECT_TRUE(config.station_id == "10000000001" && !config.debug) << json;
  }
  std::remove((dir_.path() + "/config.json").c_str());
  StationConfig config;
  EXPECT_FALSE(ReadConfig(config)) << "no file";
}

TEST_F(Config, PasswordNeverReachesTheLogAndABadPortIsReported) {
  const std::string echo = EchoOf(R"({"mqtt_pwd": "s3cret-Value", "embedded_action_port": 70000})");
  EXPECT_EQ(echo.find("s3cret-Value"), std::string::npos) << echo;
  EXPECT_NE(echo.find("mqtt_pwd : ******\n"), std::string::npos) << echo;
  EXPECT_NE(echo.find("[ERROR] ErrorCode: 101900064, config.json embedded_action_port : 70000 is not a port number"),
            std::string::npos)
      << echo;
}

TEST_F(Config, ShippedFileEqualsTheCompiledDefaults) {
  std::stringstream shipped;
  shipped << std::ifstream(STATION_SOURCE_DIR "/config/config.json").rdbuf();
  StationConfig config;
  ASSERT_TRUE(Load(shipped.str(), config));
  EXPECT_EQ(config.mqtt_pwd, StationConfig().mqtt_pwd);
  const std::string defaults = EchoOf("{}");
  EXPECT_NE(defaults.find("] station_id : 10000000001\n"), std::string::npos) << defaults;
  EXPECT_EQ(EchoOf(shipped.str()), defaults) << "every other value, as the log shows it";
}

// /etc wins when it holds a config.json; stations that still keep theirs in
// /lib go on finding it there; the environment overrides both.
TEST(ConfigFolder, EtcFirstThenLibAndTheEnvironmentOverridesBoth) {
  struct Case {
    bool etc_exists, etc_has_config;
    const char* env;
    const char* chosen;
  };
  for (const Case& c : {Case{true, true, nullptr, "etc"}, Case{true, false, nullptr, "lib"},
                        Case{false, false, nullptr, "lib"}, Case{true, true, "env", "env"}, Case{true, true, "", "etc"}}) {
    TempDir root;
    const std::string etc = root.path() + "/etc", lib = root.path() + "/lib";
    if (c.etc_exists) {
      ASSERT_EQ(mkdir(etc.c_str(), 0755), 0);
      root.Write(c.etc_has_config ? "etc/config.json" : "etc/led.json", "{}");
    }
    const std::string env = c.env == nullptr || c.env[0] == '\0' ? "" : root.path() + "/env";
    EXPECT_EQ(station_center::ChooseConfigDir(c.env == nullptr ? nullptr : env.c_str(), etc, lib),
              root.path() + "/" + c.chosen)
        << c.chosen << " " << c.etc_exists << c.etc_has_config;
  }
}

}  // namespace
