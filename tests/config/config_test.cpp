#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config.h"
#include "support/child_process.h"
#include "support/spawn.h"
#include "support/temp_dir.h"

namespace {

using station_center::ReadConfig;
using station_center::StationConfig;
using station_test::RunInChild;
using station_test::TempDir;

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("STATION_CENTER_CONFIG_DIR", dir_.path().c_str(), 1); }
  void TearDown() override { unsetenv("STATION_CENTER_CONFIG_DIR"); }

  bool Load(const std::string& json, StationConfig& config) {
    dir_.Write("config.json", json);
    return ReadConfig(config);
  }

  // Loads in a child process and returns what it printed: the echo lines.
  std::string EchoOf(const std::string& json) {
    dir_.Write("config.json", json);
    auto result = RunInChild([] {
      setenv("SPDLOG_STDOUT", "true", 1);
      setenv("SPDLOG_SYSTEMD", "false", 1);
      setenv("SPDLOG_LEVEL", "info", 1);
      StationConfig config;
      return ReadConfig(config) ? 0 : 1;
    });
    EXPECT_EQ(result.exit_code, 0);
    return result.output;
  }

  TempDir dir_;
};

bool SameAsDefaults(const StationConfig& c) {
  const StationConfig d;
  return c.embedded_ip == d.embedded_ip && c.embedded_action_port == d.embedded_action_port &&
         c.soc_ip == d.soc_ip && c.soc_data_server_port == d.soc_data_server_port &&
         c.data_upload_server_cache_size == d.data_upload_server_cache_size &&
         c.do_action_cache_size == d.do_action_cache_size && c.mqtt_pwd == d.mqtt_pwd &&
         c.mqtt_server_address == d.mqtt_server_address && c.station_id == d.station_id && c.debug == d.debug &&
         c.sensor_data_print_space == d.sensor_data_print_space &&
         c.running_schedule_space == d.running_schedule_space &&
         c.max_charge_plate_temp == d.max_charge_plate_temp && c.bottom_action_timeout == d.bottom_action_timeout &&
         c.negative_pressure_down_limit == d.negative_pressure_down_limit &&
         c.disinfectant_tablet_release_time == d.disinfectant_tablet_release_time &&
         c.sensor_report_timeout == d.sensor_report_timeout;
}

TEST_F(ConfigTest, EmptyObjectKeepsEveryDefault) {
  StationConfig config;
  ASSERT_TRUE(Load("{}", config));
  EXPECT_TRUE(SameAsDefaults(config));
}

TEST_F(ConfigTest, UnreadableOrMalformedFilesFailAndApplyNothing) {
  struct Case {
    const char* name;
    const char* json;  // nullptr: no file at all
  };
  const std::vector<Case> cases = {
      {"missing file", nullptr},
      {"empty file", ""},
      {"trailing comma", R"({"station_id": "77", "debug": true,})"},
      {"comment", "{\"station_id\": \"77\" /* note */}"},
      {"array root", R"([{"station_id": "77"}])"},
      {"two roots", R"({"station_id": "77"} {})"},
      {"not json", "station_id=77"},
      {"truncated", R"({"station_id": "77")"},
  };
  for (const auto& c : cases) {
    if (c.json == nullptr) {
      std::remove((dir_.path() + "/config.json").c_str());
    } else {
      dir_.Write("config.json", c.json);
    }
    StationConfig config;
    EXPECT_FALSE(ReadConfig(config)) << c.name;
    EXPECT_TRUE(SameAsDefaults(config)) << c.name;
  }
}

TEST_F(ConfigTest, ValuesOfTheRightKindAreTakenOthersKeepTheDefault) {
  struct Case {
    const char* json;
    std::function<bool(const StationConfig&)> check;
    const char* what;
  };
  const std::vector<Case> cases = {
      {R"({"sensor_data_print_space": 5})", [](const StationConfig& c) { return c.sensor_data_print_space == 5; },
       "an integer is taken"},
      {R"({"debug": true})", [](const StationConfig& c) { return c.debug; }, "a bool is taken"},
      {R"({"debug": 1})", [](const StationConfig& c) { return !c.debug; }, "a number is not a bool"},
      {R"({"station_id": 12345678901})", [](const StationConfig& c) { return c.station_id == "10000000001"; },
       "a number is not a string"},
      {R"({"station_id": "S-1"})", [](const StationConfig& c) { return c.station_id == "S-1"; },
       "a string is taken"},
      {R"({"max_heat_temp": 5.0})", [](const StationConfig& c) { return c.max_heat_temp == 150; },
       "5.0 is not an integer"},
      {R"({"max_heat_temp": 5.5})", [](const StationConfig& c) { return c.max_heat_temp == 150; },
       "5.5 is not an integer"},
      {R"({"max_heat_temp": "90"})", [](const StationConfig& c) { return c.max_heat_temp == 150; },
       "a string is not an integer"},
      {R"({"bottom_action_timeout": 2147483648})",
       [](const StationConfig& c) { return c.bottom_action_timeout == 10; }, "beyond the signed 32-bit range"},
      {R"({"negative_pressure_down_limit": -2147483648})",
       [](const StationConfig& c) { return c.negative_pressure_down_limit == INT32_MIN; }, "the signed minimum"},
      {R"({"do_action_cache_size": -1})", [](const StationConfig& c) { return c.do_action_cache_size == 4096; },
       "a negative number is not unsigned"},
      {R"({"do_action_cache_size": 4294967295})",
       [](const StationConfig& c) { return c.do_action_cache_size == 4294967295u; }, "the unsigned maximum"},
      {R"({"max_charge_plate_temp": 4294967296})",
       [](const StationConfig& c) { return c.max_charge_plate_temp == 78; }, "beyond the unsigned range"},
      {R"({"close_clean_liquid_pump_max_time": 99})",
       [](const StationConfig& c) { return c.close_clean_liquid_pump_max_time == 10; }, "a field without a key"},
      {R"({"running_schedule_space": 7, "unknown_key": [1, 2]})",
       [](const StationConfig& c) { return c.running_schedule_space == 7; }, "other members are ignored"},
      {R"({"running_schedule_space": 7, "running_schedule_space": 9})",
       [](const StationConfig& c) { return c.running_schedule_space == 7; }, "the first of two members wins"},
      {R"({"Running_Schedule_Space": 7})",
       [](const StationConfig& c) { return c.running_schedule_space == 200; }, "keys are case-sensitive"},
      {R"({"disinfectant_tablet_release_time": 4})",
       [](const StationConfig& c) { return c.disinfectant_tablet_release_time == 4; }, "tablet release time"},
      {R"({})",
       [](const StationConfig& c) {
         return c.mqtt_ca_file.empty() && c.mqtt_cert_file.empty() && c.mqtt_key_file.empty() && c.mqtt_tls_verify;
       },
       "TLS defaults: system trust anchors, no client certificate, verification on"},
      {R"({"mqtt_ca_file": "/etc/ca.pem", "mqtt_cert_file": "/etc/c.pem", "mqtt_key_file": "/etc/k.pem",)"
       R"( "mqtt_tls_verify": false})",
       [](const StationConfig& c) {
         return c.mqtt_ca_file == "/etc/ca.pem" && c.mqtt_cert_file == "/etc/c.pem" && c.mqtt_key_file == "/etc/k.pem" &&
                !c.mqtt_tls_verify;
       },
       "TLS files and verification"},
      {R"({"mqtt_tls_verify": 0})", [](const StationConfig& c) { return c.mqtt_tls_verify; },
       "a number does not turn verification off"},
  };
  for (const auto& c : cases) {
    StationConfig config;
    ASSERT_TRUE(Load(c.json, config)) << c.what;
    EXPECT_TRUE(c.check(config)) << c.what << ": " << c.json;
  }
}

TEST_F(ConfigTest, PortsOutsideTheirRangeKeepTheDefaultWithAnError) {
  struct Case {
    const char* json;
    uint16_t action_port;
    uint16_t server_port;
    const char* error;  // nullptr: none expected
  };
  const std::vector<Case> cases = {
      {R"({"embedded_action_port": 65535, "soc_data_server_port": 0})", 65535, 0, nullptr},
      {R"({"embedded_action_port": 70000})", 60013, 60014, "embedded_action_port : 70000 is not a port number"},
      {R"({"embedded_action_port": -1})", 60013, 60014, "embedded_action_port : -1 is not a port number"},
      {R"({"soc_data_server_port": 70000})", 60013, 60014, "soc_data_server_port : 70000 is not a port number"},
      {R"({"soc_data_server_port": -5})", 60013, 60014, nullptr},  // not an unsigned number: plain default
  };
  for (const auto& c : cases) {
    StationConfig config;
    ASSERT_TRUE(Load(c.json, config));
    EXPECT_EQ(config.embedded_action_port, c.action_port) << c.json;
    EXPECT_EQ(config.soc_data_server_port, c.server_port) << c.json;
    const std::string echo = EchoOf(c.json);
    if (c.error != nullptr) {
      EXPECT_NE(echo.find(std::string("[ERROR] ErrorCode: 101900064, config.json ") + c.error), std::string::npos)
          << echo;
    } else {
      EXPECT_EQ(echo.find("[ERROR]"), std::string::npos) << echo;
    }
  }
}

TEST_F(ConfigTest, EchoShowsEveryKeyInOrderAndMasksThePassword) {
  const std::string echo = EchoOf(R"({"mqtt_pwd": "s3cret-Value", "station_id": "S-9"})");
  EXPECT_EQ(echo.find("s3cret-Value"), std::string::npos) << "the password reached the log";
  EXPECT_NE(echo.find("[INFO] mqtt_pwd : ******\n"), std::string::npos);
  EXPECT_NE(echo.find("[INFO] station_id : S-9\n"), std::string::npos);
  EXPECT_NE(echo.find("[INFO] debug : false\n"), std::string::npos);
  const std::vector<std::string> keys = {
      "embedded_ip", "embedded_action_port", "soc_ip", "soc_data_server_port", "data_upload_server_cache_size",
      "do_action_cache_size", "add_water_to_station_max_time", "drain_water_max_time", "close_perfume_pump_max_time",
      "disinfectant_motor_timeout", "wait_disinfectant_motor_recovery_time", "disinfectant_table_dissolution_time",
      "clean_liquied_dissolution_time", "perfume_liquied_dissolution_time", "negative_pressure_up_limit",
      "negative_pressure_down_limit", "max_heat_temp", "strong_heat_wire_temp", "max_charge_plate_temp",
      "bottom_action_timeout", "mqtt_user_name", "mqtt_pwd", "mqtt_server_address", "mqtt_keep_alive_interval",
      "station_id", "upload_station_info_to_cloud_interval", "station_upload_topic", "cloud_reply_topic_format",
      "sewage_check_threshold", "sewage_pump_power_soft", "sewage_pump_power_standard", "sewage_pump_power_strong",
      "self_clean_pump_power_soft", "self_clean_pump_power_standard", "self_clean_pump_power_strong", "debug",
      "sensor_data_print_space", "auto_reset_time_space", "default_schedule_space", "running_schedule_space",
      "disinfectant_tablet_release_time", "sensor_report_timeout", "mqtt_ca_file", "mqtt_cert_file", "mqtt_key_file",
      "mqtt_tls_verify"};
  size_t from = 0;
  for (const auto& key : keys) {
    const size_t at = echo.find("] " + key + " : ", from);
    ASSERT_NE(at, std::string::npos) << key << " missing or out of order";
    from = at;
  }
  EXPECT_EQ(echo.find("close_clean_liquid_pump_max_time"), std::string::npos);
}

TEST_F(ConfigTest, ShippedDefaultFilesParse) {
  setenv("STATION_CENTER_CONFIG_DIR", STATION_SOURCE_DIR "/config", 1);
  StationConfig config;
  ASSERT_TRUE(ReadConfig(config));
  EXPECT_TRUE(SameAsDefaults(config)) << "config/config.json differs from the compiled-in defaults";
}

// /etc wins when it holds a config.json; stations that still keep theirs in
// /lib go on finding it there; the environment overrides both.
TEST(ConfigFolder, EtcFirstThenLibAndTheEnvironmentOverridesBoth) {
  struct Case {
    const char* name;
    bool etc_exists;
    bool etc_has_config;
    const char* env;
    const char* chosen;  // "etc", "lib" or "env"
  };
  const std::vector<Case> cases = {
      {"config.json in /etc", true, true, nullptr, "etc"},
      {"/etc folder without config.json", true, false, nullptr, "lib"},
      {"no /etc folder", false, false, nullptr, "lib"},
      {"environment set", true, true, "env", "env"},
      {"environment empty", true, true, "", "etc"},
  };
  for (const auto& c : cases) {
    TempDir root;
    const std::string etc = root.path() + "/etc", lib = root.path() + "/lib", env = root.path() + "/env";
    if (c.etc_exists) {
      ASSERT_EQ(mkdir(etc.c_str(), 0755), 0);
      if (!c.etc_has_config) {
        root.Write("etc/led.json", "{}");
      }
    }
    if (c.etc_has_config) {
      root.Write("etc/config.json", "{}");
    }
    const std::string env_dir = c.env == nullptr ? "" : (c.env[0] == '\0' ? "" : env);
    const std::string chosen = station_center::ChooseConfigDir(c.env == nullptr ? nullptr : env_dir.c_str(), etc, lib);
    EXPECT_EQ(chosen, root.path() + "/" + c.chosen) << c.name;
  }
}

TEST(ConfigExecutable, ExitsWith255OnMissingOrMalformedConfiguration) {
  for (const char* json : {static_cast<const char*>(nullptr), "{\"debug\": true,}"}) {
    TempDir dir;
    if (json != nullptr) {
      dir.Write("config.json", json);
    }
    const std::string command = "STATION_CENTER_CONFIG_DIR=" + dir.path() + " " +
                                station_test::ProgramCommand(STATION_BINARY_DIR "/quorvane_station_center") +
                                " > " + dir.path() + "/out.txt 2>&1";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 255) << (json ? json : "no file");
  }
}

}  // namespace
