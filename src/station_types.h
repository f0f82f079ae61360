#pragma once

#include <cstdint>
#include <string>

#include "robot/base_station_mqtt.pb.h"
#include "station/station_report.pb.h"

namespace station_center {

// Services offered through StationCenter::HandleService.
enum StationSrvType : int32_t {
  SRV_RECEIVE_TASK = 0,
  SRV_CHECK_ROBOT_IN_POSE = 1,
  SRV_CHECK_WATER_FINISH = 2,
  SRV_CHECK_WATER_READY = 3,
  SRV_QUERY_TASK_RUNNING = 5,
  SRV_ROBOT_LEAVE_STATION = 6,
  SRV_CONNECTION_LOST = 7,
};

// Outcomes of a service; the request handlers map them onto the robot's replies.
enum StationSrvResult : int32_t {
  SRV_RESULT_OK = 0,
  SRV_RESULT_FAILED = 1,
  SRV_RESULT_UNSUPPORTED = 2,
  SRV_RESULT_STATION_ERROR = 3,
  SRV_RESULT_INVALID_TASK_TYPE = 4,
  SRV_RESULT_TASK_UPDATED = 5,
  SRV_RESULT_NO_TASK_TO_CANCEL = 7,
  SRV_RESULT_ROBOT_IN_POSE = 8,
  SRV_RESULT_ROBOT_NOT_IN_POSE = 9,
  SRV_RESULT_NO_RELATED_TASK = 10,
  SRV_RESULT_WATER_PREPARING = 11,
  SRV_RESULT_WATER_READY = 12,
  SRV_RESULT_WATER_ADDING = 14,
  SRV_RESULT_WATER_FINISHED = 15,
  SRV_RESULT_STATION_IDLE = 16,
  SRV_RESULT_STATION_BUSY = 17,
  SRV_RESULT_STATION_IN_RESET = 20,
};

// Task types; the key of the running-task map, at most one task per type.
enum TaskType : int32_t {
  TASK_TYPE_INVALID = 0,
  TASK_TYPE_DISINFECTANT_PREPARE = 1,
  TASK_TYPE_CLEAN_LIQUID_PREPARE = 2,
  TASK_TYPE_PERFUME_PREPARE = 3,
  TASK_TYPE_DRAIN_WATER = 4,
  TASK_TYPE_ADD_WATER = 5,
  TASK_TYPE_DUST_COLLECT = 6,
  TASK_TYPE_WATER_SPRAY = 7,
  TASK_TYPE_SEWAGE_DRAIN_PUMP = 8,
  TASK_TYPE_DRY = 9,
  TASK_TYPE_HEAT_WIRE = 10,
  TASK_TYPE_AUTO_CHARGE = 11,
  TASK_TYPE_MANUAL_CHARGE = 12,
  TASK_TYPE_UV = 13,
  TASK_TYPE_RESET_STATION = 14,
};

// The admission gate of the station center.
enum StationCenterStatus : int32_t {
  STATION_NORMAL = 0,
  STATION_ERROR = 1,  // the reset task failed; only the reset task is admitted
  STATION_RESET = 2,  // a reset is pending or running; only the reset task is admitted
};

// A request to the station center. The robot's message travels unchanged in the
// field that matches its request; the station center's own requests leave them empty.
struct StationSrvReq {
  int32_t service_type;  // set by every caller of HandleService
  TaskType task_type = TASK_TYPE_INVALID;
  quorvane_base_station_mqtt::SupplyMaterialReq supply_material_req;
  quorvane_base_station_mqtt::StationCheckReq station_check_req;
  quorvane_base_station_mqtt::PositionConfirmReq position_confirm_req;
  quorvane_base_station_mqtt::PrepareDisinfectantReq prepare_disinfectant_req;

  StationSrvReq() : service_type(SRV_RECEIVE_TASK) {}
};

struct StationSrvRsp {
  int32_t result = SRV_RESULT_OK;
  std::string err_msg;
};

// The station's state between tasks, guarded by the station center's task_data_lock_.
struct StationTaskData {
  bool working = false;
  int64_t work_start_time = -1;
  bool sensor_data_received = false;
  bool water_finished = false;
  bool water_ready = false;
  bool perfume_liquid_ready = false;
  bool clean_liquid_ready = false;
  int32_t supply_water_volume = -1;
  int32_t station_added_water = -1;
  bool dry_running = false;
  bool heat_wire_running = false;
  int32_t released_tablets = 0;
  bool sewage_pump_left_on = false;
  int32_t charge_state = 0;   // 1 charging; the LED rules also know 2 complete and 3 error
  int32_t robot_in_pose = 0;  // last in-pose check: 1 in position, 2 not
  bool spray_interrupted = false;

  // The prepared liquid is used up, or no longer trusted.
  void WithdrawLiquid() {
    water_ready = false;
    perfume_liquid_ready = false;
    clean_liquid_ready = false;
    supply_water_volume = 0;
  }

  // What a station reset clears; sensor_data_received, sewage_pump_left_on and
  // spray_interrupted survive it.
  void ResetForStation() {
    working = false;
    work_start_time = -1;
    water_finished = false;
    water_ready = false;
    perfume_liquid_ready = false;
    clean_liquid_ready = false;
    supply_water_volume = -1;
    station_added_water = -1;
    dry_running = false;
    heat_wire_running = false;
    released_tablets = 0;
    charge_state = 0;
    robot_in_pose = 0;
  }
};

// The robot counts as in the station when both dock detectors and the electrode
// plate see it. Before the first report all three read 0: absent.
inline bool RobotInStation(const station::SensorsDataRep& report) {
  return report.robotdockdetleft() != 0 && report.robotdockdetright() != 0 && report.electrodeplatedet() != 0;
}

}  // namespace station_center
