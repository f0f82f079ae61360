#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <sstream>

#include "config.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace station_center {
namespace {

class Config : public testing::Test {
 protected:
  void SetUp() override { setenv("STATION_CENTER_CONFIG_DIR", dir_.path().c_str(), 1); }
  bool Load(const std::string& json, StationConfig& config) {
    dir_.Write("config.json", json);
    return ReadConfig(config);
  }
  std::string EchoOf(const std::string& json) {  // what loading `json` logs (the logger starts once a process)
    dir_.Write("config.json", json);
    return station_test::RunInChild([] {
             StationConfig config;
             return setenv("SPDLOG_LEVEL", "info", 1) + !ReadConfig(config);
           }).output;
  }
  station_test::TempDir dir_;
};

TEST_F(Config, ValuesOfTheRightKindAreTakenOthersKeepTheDefault) {
  using C = const StationConfig&;
  std::vector<std::tuple<bool, const char*, std::function<bool(C)>>> rows = {
      {true, "{}", [](C c) { return c.running_schedule_space == 200 && c.mqtt_tls_verify && c.mqtt_key_file.empty(); }},
      {true, R"({"sensor_data_print_space": 5, "debug": true, "station_id": "S-1"})",
       [](C c) { return c.sensor_data_print_space == 5 && c.debug && c.station_id == "S-1"; }},
      {true, R"({"debug": 1, "station_id": 12345678901})", [](C c) { return !c.debug && c.station_id == "10000000001"; }},
      {true, R"({"max_heat_temp": 5.0})", [](C c) { return c.max_heat_temp == 150; }},
      {true, R"({"max_heat_temp": "90"})", [](C c) { return c.max_heat_temp == 150; }},
      {true, R"({"bottom_action_timeout": 2147483648})", [](C c) { return c.bottom_action_timeout == 10; }},
      {true, R"({"negative_pressure_down_limit": -2147483648})",
       [](C c) { return c.negative_pressure_down_limit == INT32_MIN; }},
      {true, R"({"do_action_cache_size": -1})", [](C c) { return c.do_action_cache_size == 4096; }},
      {true, R"({"do_action_cache_size": 4294967295})", [](C c) { return c.do_action_cache_size == 4294967295u; }},
      {true, R"({"max_charge_plate_temp": 4294967296})", [](C c) { return c.max_charge_plate_temp == 78; }},
      {true, R"({"close_clean_liquid_pump_max_time": 99})", [](C c) { return c.close_clean_liquid_pump_max_time == 10; }},
      {true, R"({"running_schedule_space": 7, "running_schedule_space": 9})",
       [](C c) { return c.running_schedule_space == 7; }},
      {true, R"({"Running_Schedule_Space": 7, "x": [1]})", [](C c) { return c.running_schedule_space == 200; }},
      {true, R"({"embedded_action_port": 65535, "soc_data_server_port": 0})",
       [](C c) { return c.embedded_action_port == 65535 && c.soc_data_server_port == 0; }},
      {true, R"({"embedded_action_port": 65536, "soc_data_server_port": 70000})",
       [](C c) { return c.embedded_action_port == 60013 && c.soc_data_server_port == 60014; }},
      {true, R"({"embedded_action_port": -1})", [](C c) { return c.embedded_action_port == 60013; }},
      {true, R"({"mqtt_ca_file": "/a", "mqtt_cert_file": "/c", "mqtt_key_file": "/k", "mqtt_tls_verify": false})",
       [](C c) { return c.mqtt_ca_file == "/a" && c.mqtt_cert_file == "/c" && c.mqtt_key_file == "/k" && !c.mqtt_tls_verify; }},
      {true, R"({"mqtt_tls_verify": 0})", [](C c) { return c.mqtt_tls_verify; }},
  };
  const auto untouched = [](C c) { return c.station_id == "10000000001" && !c.debug; };
  for (const char* json : {"", R"({"station_id": "7", "debug": true,})", R"({"station_id": "7" /* c */})",
                           R"([{"station_id": "7"}])", R"({"debug": true} {})", R"({"debug": true)"}) {
    rows.emplace_back(false, json, untouched);  // malformed: fails and applies nothing
  }
  for (const auto& [loads, json, holds] : rows) {
    StationConfig config;
    EXPECT_EQ(Load(json, config), loads) << json;
    EXPECT_TRUE(holds(config)) << json;
  }
  std::remove((dir_.path() + "/config.json").c_str());
  StationConfig config;
  EXPECT_FALSE(ReadConfig(config)) << "no file";
}

TEST_F(Config, PasswordNeverReachesTheLogAndABadPortIsReported) {
  const std::string echo = EchoOf(R"({"mqtt_pwd": "s3cret-Value", "embedded_action_port": 70000})");
  EXPECT_EQ(echo.find("s3cret-Value"), std::string::npos) << echo;
  EXPECT_NE(echo.find("mqtt_pwd : ******\n"), std::string::npos) << echo;
  EXPECT_NE(echo.find("ErrorCode: 101900064, config.json embedded_action_port : 70000 is not a port"), std::string::npos);
}

TEST_F(Config, ShippedFileEqualsTheCompiledDefaults) {
  std::stringstream shipped;
  shipped << std::ifstream(STATION_SOURCE_DIR "/config/config.json").rdbuf();
  StationConfig config;
  ASSERT_TRUE(Load(shipped.str(), config));
  EXPECT_EQ(config.mqtt_pwd, StationConfig().mqtt_pwd);
  const std::string defaults = EchoOf("{}");  // every other value, as the log shows it
  EXPECT_NE(defaults.find("] station_id : 10000000001\n"), std::string::npos) << defaults;
  EXPECT_EQ(EchoOf(shipped.str()), defaults);
}

// /etc wins when it holds a config.json; stations that still keep theirs in
// /lib go on finding it there; the environment overrides both.
TEST(ConfigFolder, EtcFirstThenLibAndTheEnvironmentOverridesBoth) {
  for (const auto& [etc_files, env, chosen] : std::vector<std::tuple<const char*, const char*, const char*>>{
           {"config.json", nullptr, "etc"}, {"led.json", nullptr, "lib"}, {nullptr, nullptr, "lib"},
           {"config.json", "env", "env"}, {"config.json", "", "etc"}}) {
    station_test::TempDir root;
    const std::string etc = root.path() + "/etc", at_env = env && *env ? root.path() + "/env" : "";
    ASSERT_TRUE(!etc_files || (mkdir(etc.c_str(), 0755) == 0 && !root.Write(std::string("etc/") + etc_files, "{}").empty()));
    EXPECT_EQ(ChooseConfigDir(env ? at_env.c_str() : nullptr, etc, root.path() + "/lib"), root.path() + "/" + chosen)
        << (etc_files ? etc_files : "no /etc") << ", environment " << (env ? env : "unset");
  }
}

}  // namespace
}  // namespace station_center
