#include "station_center.h"

#include <mutex>
#include <shared_mutex>
#include <string>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "clock.h"
#include "config.h"
#include "error_codes.h"
#include "logger.h"
#include "mqtt/mqtt_client.h"
#include "station/cmd.pb.h"

namespace station_center {

// ---------------------------------------------------------------------------
// Sensor intake and the cloud status document

void StationCenter::DataUploadCallback(const station::SensorsDataRep& report) {
  last_report_time_.store(NowSeconds());
  uint32_t hand_charge = 0;
  {
    std::unique_lock<std::shared_mutex> sensor_lock(sensor_lock_);
    sensor_data_.CopyFrom(report);
    hand_charge = sensor_data_.handchargedet();
  }
  {
    std::unique_lock<std::shared_mutex> data_lock(task_data_lock_);
    task_data_.sensor_data_received = true;
  }
  if (hand_charge == 1) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::shared_lock<std::shared_mutex> sensor_lock(sensor_lock_);
    if (tasks_.count(TASK_TYPE_MANUAL_CHARGE) == 0) {
      StationSrvReq request;
      request.task_type = TASK_TYPE_MANUAL_CHARGE;
      // The admission refuses a new task of action model 0 for every type but the
      // disinfectant prepare and the reset; the station's own request therefore
      // carries the standard model, which the manual charge task does not read.
      request.supply_material_req.mutable_cmd()->set_action(quorvane_base_station_mqtt::ENUM_ACTION_STANDARD);
      // Asked again with every report, but a refusal is logged once when it
      // begins (or changes), not ten times a second for as long as it lasts.
      const StationSrvRsp rsp = ReceiveTaskUnlock(request, false);
      if (rsp.result == SRV_RESULT_OK) {
        if (!hand_charge_refusal_.empty()) {
          QLOG_INFO("hand charge request admitted after refusal : {}", hand_charge_refusal_);
          hand_charge_refusal_.clear();
        }
      } else if (rsp.err_msg != hand_charge_refusal_) {
        QLOG_ERROR("ErrorCode: {}, hand charge request refused : {}", kTaskNotStarted, rsp.err_msg);
        hand_charge_refusal_ = rsp.err_msg;
      }
    }
  } else {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!hand_charge_refusal_.empty()) {
      QLOG_INFO("hand charge switch open, hand charge request no longer refused");
      hand_charge_refusal_.clear();
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::unique_lock<std::shared_mutex> data_lock(task_data_lock_);
    if (task_data_.sewage_pump_left_on && report.sewagedet() == 0 &&
        report.sewagefull() < static_cast<uint32_t>(config_reader.sewage_check_threshold) &&
        tasks_.count(TASK_TYPE_SEWAGE_DRAIN_PUMP) == 0) {
      station::ActionCommand cmd;
      cmd.set_action_(0);
      cmd.set_supply_type_(station::ENUM_SUPPLY_SEWAGE_PUMP);
      if (board_ && board_->DoAction(cmd)) {
        QLOG_INFO("sewage drain over, close sewage drain pump");
        task_data_.sewage_pump_left_on = false;
      } else {
        QLOG_ERROR("ErrorCode: {}, sewage drain over, but close sewage drain pump failed", kSewagePumpCloseFailed);
      }
    }
  }
}

std::string StationCenter::BuildStationInfo(int64_t now) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.StartObject();

  writer.Key("req_header");
  writer.StartObject();
  writer.Key("msg_id");
  writer.StartObject();
  writer.Key("uuid");
  writer.String("1");
  writer.EndObject();
  writer.Key("device_id");
  writer.StartObject();
  writer.Key("uuid");
  writer.String("3932205875647256825375026");
  writer.EndObject();
  writer.EndObject();

  writer.Key("state_info");
  writer.StartObject();
  writer.Key("ready_state");
  writer.StartObject();
  writer.Key("ntp_state");
  writer.Int(1);
  writer.Key("sensor_state");
  writer.Int(1);
  writer.Key("driver_state");
  writer.Int(1);
  writer.Key("self_test_state");
  writer.Int(1);
  writer.EndObject();
  writer.Key("online_time");
  writer.Int64(now);
  bool occupied = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::shared_lock<std::shared_mutex> sensor_lock(sensor_lock_);
    occupied = !tasks_.empty() || status_ == STATION_RESET || RobotInStation(sensor_data_);
  }
  writer.Key("occupy_state");
  writer.Int(occupied ? 1 : 0);
  writer.Key("current_time");
  writer.Int64(now);
  writer.EndObject();

  writer.Key("consumables_state");
  writer.StartObject();
  writer.Key("disinfectant_tables");
  writer.Int(1);
  writer.Key("tap_water");
  writer.Int(1);
  writer.Key("dust_bag");
  writer.Int(1);
  writer.EndObject();

  writer.Key("abnormal_info");
  writer.StartObject();
  writer.Key("emergency_stop");
  writer.Int(0);
  writer.Key("abnormal_sensor_num");
  writer.Int(1);
  writer.Key("abnormal_sensor_list");
  writer.StartArray();
  writer.StartObject();
  writer.Key("name");
  writer.String("");
  writer.Key("data");
  writer.String("");
  writer.Key("msg");
  writer.String("");
  writer.EndObject();
  writer.EndArray();
  writer.EndObject();

  writer.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

void StationCenter::StationInfoUploadCloud() {
  QLOG_DEBUG("StationInfoUploadCloud");
  const std::string document = BuildStationInfo(NowSeconds());
  try {
    mqtt_client::MqttClient::getInstance().Publish(document, config_reader.station_upload_topic, 1);
  } catch (const mqtt::exception& e) {
    // Refused while the connection is down; the next report goes out once it is back.
    QLOG_ERROR("ErrorCode: {}, publish station info failed: {}", kMqttPublishFailed, e.what());
  }
}

}  // namespace station_center
