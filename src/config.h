#pragma once

#include <cstdint>
#include <string>

#include <rapidjson/document.h>

namespace station_center {

// Every tunable value of the station center. Filled with the compiled-in
// defaults before main runs, overwritten once from config.json by ReadConfig
// at start-up, and only read (without locks) afterwards.
struct StationConfig {
  std::string embedded_ip = "192.168.23.100";
  uint16_t embedded_action_port = 60013;
  std::string soc_ip = "192.168.23.200";
  uint16_t soc_data_server_port = 60014;
  uint32_t data_upload_server_cache_size = 4096;
  uint32_t do_action_cache_size = 4096;
  int32_t add_water_to_station_max_time = 120;
  int32_t drain_water_max_time = 300;
  int32_t close_perfume_pump_max_time = 10;
  int32_t close_clean_liquid_pump_max_time = 10;  // no key in the file: always the default
  int32_t disinfectant_motor_timeout = 60;
  int32_t wait_disinfectant_motor_recovery_time = 1;
  int32_t disinfectant_table_dissolution_time = 300;
  int32_t clean_liquied_dissolution_time = 300;
  int32_t perfume_liquied_dissolution_time = 300;
  int32_t negative_pressure_up_limit = 2000;
  int32_t negative_pressure_down_limit = -28000;
  int32_t max_heat_temp = 150;
  int32_t strong_heat_wire_temp = 60;
  uint32_t max_charge_plate_temp = 78;
  int32_t bottom_action_timeout = 10;
  std::string mqtt_user_name = "quorvane";
  std::string mqtt_pwd = "73019468";
  std::string mqtt_server_address = "tcp://127.0.0.1:1883";
  int32_t mqtt_keep_alive_interval = 20;
  std::string station_id = "10000000001";
  int32_t upload_station_info_to_cloud_interval = 10;
  std::string station_upload_topic = "clean_robot_station/reportActively";
  std::string cloud_reply_topic_format = "clean_robot_station/%s/reportActivelyRe";
  int32_t sewage_check_threshold = 1000;
  int32_t sewage_pump_power_soft = 80;
  int32_t sewage_pump_power_standard = 80;
  int32_t sewage_pump_power_strong = 80;
  int32_t self_clean_pump_power_soft = 80;
  int32_t self_clean_pump_power_standard = 80;
  int32_t self_clean_pump_power_strong = 80;
  bool debug = false;
  int32_t sensor_data_print_space = 20;
  int32_t auto_reset_time_space = 300;
  int32_t default_schedule_space = 1000;
  int32_t running_schedule_space = 200;
  // Seconds of plates-motor running per released disinfectant tablet; 0 counts none.
  int32_t disinfectant_tablet_release_time = 0;
  // Seconds without a sensor report after which running tasks are canceled,
  // since they would act on stale readings; 0 or less turns the check off.
  int32_t sensor_report_timeout = 15;
  // TLS to the broker, used only with an ssl:// or mqtts:// mqtt_server_address.
  // Trust anchors (PEM file); empty trusts the system's certificate store.
  std::string mqtt_ca_file;
  // The station's client certificate chain and its private key (PEM files),
  // both or neither. Only the paths are ever logged, never a file's content.
  std::string mqtt_cert_file;
  std::string mqtt_key_file;
  // Check the broker's certificate against the trust anchors and its name
  // against the host of mqtt_server_address.
  bool mqtt_tls_verify = true;
};

extern StationConfig config_reader;

// The folder that holds config.json and led.json: STATION_CENTER_CONFIG_DIR
// when set and not empty, else /etc/quorvane_station_center when it holds a
// config.json, else /lib/quorvane_station_center/config (where stations
// installed before the move to /etc keep theirs). Both files always come from
// the same folder.
std::string ConfigDir();
// The same choice over given folders; `env_dir` may be null.
std::string ChooseConfigDir(const char* env_dir, const std::string& etc_dir, const std::string& lib_dir);
std::string ConfigFilePath(const char* file_name);

// Parses `file_name` in ConfigDir() as strict JSON into `doc`. False, with the
// error line "open <file> failed" (kConfigOpenFailed) or "<file> format error"
// (kConfigFormatError), when the file cannot be opened or its root is not an object.
bool ReadJsonObjectFile(const char* file_name, rapidjson::Document& doc);

// Loads config.json from ConfigDir() over the values already in `config`.
// False when the file cannot be opened or its root is not a JSON object; the
// record then keeps every value it had.
bool ReadConfig(StationConfig& config);

// The member `key` of the document's root object when it exists and holds a
// value of kind T (int: signed 32-bit integer; unsigned int: unsigned 32-bit
// integer; std::string: string; bool: true/false), else `default_value`.
// Echoes "key : value" at info level; with `secret` the value shows as ******.
template <typename T>
T GetConfigFromJson(const rapidjson::Document& doc, const char* key, T default_value, bool secret = false);

}  // namespace station_center
