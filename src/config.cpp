#include "config.h"

#include <cstdio>
#include <cstdlib>
#include <limits>

#include <unistd.h>

#include <rapidjson/filereadstream.h>

#include "error_codes.h"
#include "logger.h"

namespace station_center {

StationConfig config_reader;

namespace {

constexpr const char* kEtcConfigDir = "/etc/quorvane_station_center";
constexpr const char* kLibConfigDir = "/lib/quorvane_station_center/config";
constexpr const char* kMaskedValue = "******";

template <typename T>
bool HoldsKind(const rapidjson::Value& value);
template <>
bool HoldsKind<int>(const rapidjson::Value& value) { return value.IsInt(); }
template <>
bool HoldsKind<unsigned int>(const rapidjson::Value& value) { return value.IsUint(); }
template <>
bool HoldsKind<std::string>(const rapidjson::Value& value) { return value.IsString(); }
template <>
bool HoldsKind<bool>(const rapidjson::Value& value) { return value.IsBool(); }

template <typename T>
T Take(const rapidjson::Value& value);
template <>
int Take<int>(const rapidjson::Value& value) { return value.GetInt(); }
template <>
unsigned int Take<unsigned int>(const rapidjson::Value& value) { return value.GetUint(); }
template <>
std::string Take<std::string>(const rapidjson::Value& value) {
  return std::string(value.GetString(), value.GetStringLength());
}
template <>
bool Take<bool>(const rapidjson::Value& value) { return value.GetBool(); }

// A port is read as a 32-bit number; only 0 to 65535 may reach the 16-bit field.
// Anything else would silently connect to (or listen on) the wrong port.
void AssignPort(const char* key, int64_t value, uint16_t& field) {
  if (value < 0 || value > std::numeric_limits<uint16_t>::max()) {
    QLOG_ERROR("ErrorCode: {}, config.json {} : {} is not a port number (0 to 65535), keep {}", kConfigFormatError, key,
               value, field);
    return;
  }
  field = static_cast<uint16_t>(value);
}

}  // namespace

std::string ChooseConfigDir(const char* env_dir, const std::string& etc_dir, const std::string& lib_dir) {
  if (env_dir != nullptr && env_dir[0] != '\0') {
    return env_dir;
  }
  // Present, even when unreadable: a config.json the service may not read is
  // reported as such rather than silently replaced by an older one.
  if (::access((etc_dir + "/config.json").c_str(), F_OK) == 0) {
    return etc_dir;
  }
  return lib_dir;
}

std::string ConfigDir() {
  return ChooseConfigDir(std::getenv("STATION_CENTER_CONFIG_DIR"), kEtcConfigDir, kLibConfigDir);
}

std::string ConfigFilePath(const char* file_name) { return ConfigDir() + "/" + file_name; }

template <typename T>
T GetConfigFromJson(const rapidjson::Document& doc, const char* key, T default_value, bool secret) {
  T result = default_value;
  if (doc.IsObject()) {
    // FindMember returns the first member of that name, so a duplicated key keeps its first value.
    auto member = doc.FindMember(key);
    if (member != doc.MemberEnd() && HoldsKind<T>(member->value)) {
      result = Take<T>(member->value);
    }
  }
  if (secret) {
    QLOG_INFO("{} : {}", key, kMaskedValue);
  } else {
    QLOG_INFO("{} : {}", key, result);
  }
  return result;
}

template int GetConfigFromJson<int>(const rapidjson::Document&, const char*, int, bool);
template unsigned int GetConfigFromJson<unsigned int>(const rapidjson::Document&, const char*, unsigned int, bool);
template std::string GetConfigFromJson<std::string>(const rapidjson::Document&, const char*, std::string, bool);
template bool GetConfigFromJson<bool>(const rapidjson::Document&, const char*, bool, bool);

bool ReadJsonObjectFile(const char* file_name, rapidjson::Document& doc) {
  const std::string path = ConfigFilePath(file_name);
  FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) {
    QLOG_ERROR("ErrorCode: {}, open {} failed", kConfigOpenFailed, file_name);
    return false;
  }
  char buffer[65536];
  rapidjson::FileReadStream stream(file, buffer, sizeof(buffer));
  doc.ParseStream(stream);
  std::fclose(file);
  if (doc.HasParseError() || !doc.IsObject()) {
    QLOG_ERROR("ErrorCode: {}, {} format error", kConfigFormatError, file_name);
    return false;
  }
  return true;
}

bool ReadConfig(StationConfig& config) {
  QLOG_INFO("config folder : {}", ConfigDir());
  rapidjson::Document doc;
  if (!ReadJsonObjectFile("config.json", doc)) {
    return false;
  }

  auto& c = config;
  c.embedded_ip = GetConfigFromJson<std::string>(doc, "embedded_ip", c.embedded_ip);
  AssignPort("embedded_action_port", GetConfigFromJson<int>(doc, "embedded_action_port", c.embedded_action_port),
             c.embedded_action_port);
  c.soc_ip = GetConfigFromJson<std::string>(doc, "soc_ip", c.soc_ip);
  AssignPort("soc_data_server_port",
             GetConfigFromJson<unsigned int>(doc, "soc_data_server_port", c.soc_data_server_port),
             c.soc_data_server_port);
  c.data_upload_server_cache_size =
      GetConfigFromJson<unsigned int>(doc, "data_upload_server_cache_size", c.data_upload_server_cache_size);
  c.do_action_cache_size = GetConfigFromJson<unsigned int>(doc, "do_action_cache_size", c.do_action_cache_size);
  c.add_water_to_station_max_time =
      GetConfigFromJson<int>(doc, "add_water_to_station_max_time", c.add_water_to_station_max_time);
  c.drain_water_max_time = GetConfigFromJson<int>(doc, "drain_water_max_time", c.drain_water_max_time);
  c.close_perfume_pump_max_time =
      GetConfigFromJson<int>(doc, "close_perfume_pump_max_time", c.close_perfume_pump_max_time);
  c.disinfectant_motor_timeout =
      GetConfigFromJson<int>(doc, "disinfectant_motor_timeout", c.disinfectant_motor_timeout);
  c.wait_disinfectant_motor_recovery_time =
      GetConfigFromJson<int>(doc, "wait_disinfectant_motor_recovery_time", c.wait_disinfectant_motor_recovery_time);
  c.disinfectant_table_dissolution_time =
      GetConfigFromJson<int>(doc, "disinfectant_table_dissolution_time", c.disinfectant_table_dissolution_time);
  c.clean_liquied_dissolution_time =
      GetConfigFromJson<int>(doc, "clean_liquied_dissolution_time", c.clean_liquied_dissolution_time);
  c.perfume_liquied_dissolution_time =
      GetConfigFromJson<int>(doc, "perfume_liquied_dissolution_time", c.perfume_liquied_dissolution_time);
  c.negative_pressure_up_limit =
      GetConfigFromJson<int>(doc, "negative_pressure_up_limit", c.negative_pressure_up_limit);
  c.negative_pressure_down_limit =
      GetConfigFromJson<int>(doc, "negative_pressure_down_limit", c.negative_pressure_down_limit);
  c.max_heat_temp = GetConfigFromJson<int>(doc, "max_heat_temp", c.max_heat_temp);
  c.strong_heat_wire_temp = GetConfigFromJson<int>(doc, "strong_heat_wire_temp", c.strong_heat_wire_temp);
  c.max_charge_plate_temp = GetConfigFromJson<unsigned int>(doc, "max_charge_plate_temp", c.max_charge_plate_temp);
  c.bottom_action_timeout = GetConfigFromJson<int>(doc, "bottom_action_timeout", c.bottom_action_timeout);
  c.mqtt_user_name = GetConfigFromJson<std::string>(doc, "mqtt_user_name", c.mqtt_user_name);
  // The broker password never reaches the console or the journal.
  c.mqtt_pwd = GetConfigFromJson<std::string>(doc, "mqtt_pwd", c.mqtt_pwd, /*secret=*/true);
  c.mqtt_server_address = GetConfigFromJson<std::string>(doc, "mqtt_server_address", c.mqtt_server_address);
  c.mqtt_keep_alive_interval = GetConfigFromJson<int>(doc, "mqtt_keep_alive_interval", c.mqtt_keep_alive_interval);
  c.station_id = GetConfigFromJson<std::string>(doc, "station_id", c.station_id);
  c.upload_station_info_to_cloud_interval =
      GetConfigFromJson<int>(doc, "upload_station_info_to_cloud_interval", c.upload_station_info_to_cloud_interval);
  c.station_upload_topic = GetConfigFromJson<std::string>(doc, "station_upload_topic", c.station_upload_topic);
  c.cloud_reply_topic_format =
      GetConfigFromJson<std::string>(doc, "cloud_reply_topic_format", c.cloud_reply_topic_format);
  c.sewage_check_threshold = GetConfigFromJson<int>(doc, "sewage_check_threshold", c.sewage_check_threshold);
  c.sewage_pump_power_soft = GetConfigFromJson<int>(doc, "sewage_pump_power_soft", c.sewage_pump_power_soft);
  c.sewage_pump_power_standard =
      GetConfigFromJson<int>(doc, "sewage_pump_power_standard", c.sewage_pump_power_standard);
  c.sewage_pump_power_strong = GetConfigFromJson<int>(doc, "sewage_pump_power_strong", c.sewage_pump_power_strong);
  c.self_clean_pump_power_soft =
      GetConfigFromJson<int>(doc, "self_clean_pump_power_soft", c.self_clean_pump_power_soft);
  c.self_clean_pump_power_standard =
      GetConfigFromJson<int>(doc, "self_clean_pump_power_standard", c.self_clean_pump_power_standard);
  c.self_clean_pump_power_strong =
      GetConfigFromJson<int>(doc, "self_clean_pump_power_strong", c.self_clean_pump_power_strong);
  c.debug = GetConfigFromJson<bool>(doc, "debug", c.debug);
  c.sensor_data_print_space = GetConfigFromJson<int>(doc, "sensor_data_print_space", c.sensor_data_print_space);
  c.auto_reset_time_space = GetConfigFromJson<int>(doc, "auto_reset_time_space", c.auto_reset_time_space);
  c.default_schedule_space = GetConfigFromJson<int>(doc, "default_schedule_space", c.default_schedule_space);
  c.running_schedule_space = GetConfigFromJson<int>(doc, "running_schedule_space", c.running_schedule_space);
  c.disinfectant_tablet_release_time =
      GetConfigFromJson<int>(doc, "disinfectant_tablet_release_time", c.disinfectant_tablet_release_time);
  c.sensor_report_timeout = GetConfigFromJson<int>(doc, "sensor_report_timeout", c.sensor_report_timeout);
  c.mqtt_ca_file = GetConfigFromJson<std::string>(doc, "mqtt_ca_file", c.mqtt_ca_file);
  c.mqtt_cert_file = GetConfigFromJson<std::string>(doc, "mqtt_cert_file", c.mqtt_cert_file);
  c.mqtt_key_file = GetConfigFromJson<std::string>(doc, "mqtt_key_file", c.mqtt_key_file);
  c.mqtt_tls_verify = GetConfigFromJson<bool>(doc, "mqtt_tls_verify", c.mqtt_tls_verify);
  return true;
}

}  // namespace station_center
