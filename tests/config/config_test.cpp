#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>

#include "config.h"
#include "support/process.h"

namespace station_center {
namespace {

class Config : public testing::Test {
 protected:
  void SetUp() override { setenv("STATION_CENTER_CONFIG_DIR", dir_.path().c_str(), 1); }
  bool Load(const std::string& json, StationConfig& c) { return dir_.Write("config.json", json), ReadConfig(c); }
  std::string EchoOf(const std::string& json) {  // what loading `json` logs (the logger starts once a process)
    StationConfig config;
    return station_test::RunInChild([&] { return setenv("SPDLOG_LEVEL", "info", 1) + !Load(json, config); }).output;
  }
  station_test::TempDir dir_;
};

TEST_F(Config, ValuesOfTheRightKindAreTakenOthersKeepTheDefault) {
#define ROW(json, expr) {json, [](const StationConfig& c) { return expr; }}
  const std::vector<std::pair<const char*, std::function<bool(const StationConfig&)>>> rows = {
      ROW("{}", c.running_schedule_space == 200 && c.mqtt_tls_verify && c.mqtt_key_file.empty()),
      ROW(R"({"sensor_data_print_space": 5, "debug": true, "station_id": "S-1", "max_heat_temp": 5.0})",
          c.sensor_data_print_space == 5 && c.debug && c.station_id == "S-1" && c.max_heat_temp == 150),
      ROW(R"({"debug": 1, "station_id": 12345678901, "max_heat_temp": "90", "bottom_action_timeout": 2147483648})",
          !c.debug && c.station_id == "10000000001" && c.max_heat_temp == 150 && c.bottom_action_timeout == 10),
      ROW(R"({"negative_pressure_down_limit": -2147483648, "do_action_cache_size": 4294967295})",
          c.negative_pressure_down_limit == INT32_MIN && c.do_action_cache_size == 4294967295u),
      // close_clean_liquid_pump_max_time has no key in the file: it keeps its default.
      ROW(R"({"do_action_cache_size": -1, "max_charge_plate_temp": 4294967296, "close_clean_liquid_pump_max_time": 9})",
          c.do_action_cache_size == 4096 && c.max_charge_plate_temp == 78 && c.close_clean_liquid_pump_max_time == 10),
      ROW(R"({"running_schedule_space": 7, "running_schedule_space": 9})", c.running_schedule_space == 7),
      ROW(R"({"Running_Schedule_Space": 7, "x": [1]})", c.running_schedule_space == 200),
      ROW(R"({"embedded_action_port": 65535, "soc_data_server_port": 0})",
          c.embedded_action_port == 65535 && c.soc_data_server_port == 0),
      ROW(R"({"embedded_action_port": -1, "soc_data_server_port": 65536})",
          c.embedded_action_port == 60013 && c.soc_data_server_port == 60014),
      ROW(R"({"mqtt_ca_file": "/a", "mqtt_cert_file": "/c", "mqtt_key_file": "/k", "mqtt_tls_verify": false})",
          c.mqtt_ca_file == "/a" && c.mqtt_cert_file == "/c" && c.mqtt_key_file == "/k" && !c.mqtt_tls_verify),
  };
#undef ROW
  for (const auto& [json, holds] : rows) {
    StationConfig config;
    EXPECT_TRUE(Load(json, config) && holds(config)) << json;
  }
}

// The log shows every value but the password; the shipped file holds the compiled defaults.
TEST_F(Config, PasswordNeverReachesTheLogABadPortIsReportedAndTheShippedFileHoldsTheDefaults) {
  const std::string echo = EchoOf(R"({"mqtt_pwd": "s3cret-Value", "embedded_action_port": 70000})");
  EXPECT_EQ(echo.find("s3cret-Value"), std::string::npos) << echo;
  EXPECT_NE(echo.find("mqtt_pwd : ******\n"), std::string::npos) << echo;
  EXPECT_NE(echo.find("101900064, config.json embedded_action_port : 70000 is not a port"), std::string::npos);
  const std::string shipped = station_test::ReadWholeFile(STATION_SOURCE_DIR "/config/config.json");
  StationConfig config;
  ASSERT_TRUE(Load(shipped, config) && config.mqtt_pwd == StationConfig().mqtt_pwd);
  const std::string defaults = EchoOf("{}");
  EXPECT_NE(defaults.find("] station_id : 10000000001\n"), std::string::npos) << defaults;
  EXPECT_EQ(EchoOf(shipped), defaults);
}

// /etc wins when it holds a config.json; stations that still keep theirs in
// /lib go on finding it there; the environment overrides both.
TEST(ConfigFolder, EtcFirstThenLibAndTheEnvironmentOverridesBoth) {
  for (const auto& [etc_files, env, chosen] : std::vector<std::tuple<const char*, const char*, const char*>>{
           {"config.json", nullptr, "etc"}, {"led.json", nullptr, "lib"}, {nullptr, nullptr, "lib"},
           {"config.json", "env", "env"}, {"config.json", "", "etc"}}) {
    station_test::TempDir root;
    const std::string etc = root.path() + "/etc", at_env = env && *env ? root.path() + "/env" : "";
    ASSERT_TRUE(!etc_files || mkdir(etc.c_str(), 0755) == 0);
    if (etc_files) root.Write(std::string("etc/") + etc_files, "{}");
    EXPECT_EQ(ChooseConfigDir(env ? at_env.c_str() : nullptr, etc, root.path() + "/lib"), root.path() + "/" + chosen)
        << (etc_files ? etc_files : "no /etc") << ", environment " << (env ? env : "unset");
  }
}

}  // namespace
}  // namespace station_center
