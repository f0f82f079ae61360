#pragma once

// Helpers shared by the service task tests: a started station against the fake
// board, direct access to the station task data, and a reading of the board
// commands as the state they leave the actuators in.
//
// Two ways to drive a task. Directly: construct it against the harness's
// station center and call ExecuteStep with hand-made reports, one work cycle
// per call, with the frozen clock moved between cycles; nothing else runs it.
// Through HandleService: the station center admits it and its worker thread
// runs it against the last report pushed over the report connection.

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "clock.h"
#include "config.h"
#include "station_center.h"
#include "support/station_fixture.h"
#include "task/task.h"

namespace service_task_test {

using station_test::StationHarness;
using station_test::StationOptions;
using station_test::RobotDocked;
using station_test::ServiceRequest;

inline std::unique_ptr<StationHarness> StartStation(StationOptions options = StationOptions()) {
  auto station = std::make_unique<StationHarness>(std::move(options));
  EXPECT_TRUE(station->StartNormal());
  return station;
}

inline void WriteTaskData(StationHarness& station, const std::function<void(station_center::StationTaskData&)>& edit) {
  std::unique_lock<std::shared_mutex> lock(station.center()->TaskDataLock());
  edit(station.center()->TaskData());
}

inline station_center::StationTaskData TaskData(StationHarness& station) {
  return station.center()->TaskDataSnapshot();
}

// "act <type>:<action>" for a board command; see station_test::Describe.
inline std::string Act(station::EnumSupplyType type, int action) {
  return "act " + std::to_string(static_cast<int>(type)) + ":" + std::to_string(action);
}

// Supply type -> last action, for every actuator whose last command was not "off".
inline std::map<int, int> LeftOn(const std::vector<std::string>& commands) {
  std::map<int, int> last;
  for (const std::string& command : commands) {
    if (command.rfind("act ", 0) != 0) {
      continue;
    }
    const size_t colon = command.find(':');
    last[std::atoi(command.substr(4, colon - 4).c_str())] = std::atoi(command.substr(colon + 1).c_str());
  }
  std::map<int, int> on;
  for (const auto& entry : last) {
    if (entry.second != 0) {
      on.insert(entry);
    }
  }
  return on;
}

inline quorvane_base_station_mqtt::SupplyMaterialReq SupplyCommand(int32_t action, int32_t duration) {
  quorvane_base_station_mqtt::SupplyMaterialReq request;
  request.mutable_cmd()->set_action(static_cast<quorvane_base_station_mqtt::EnumActionModel>(action));
  request.mutable_cmd()->set_duration(duration);
  return request;
}

inline quorvane_base_station_mqtt::PrepareDisinfectantReq PrepareCommand(int32_t tablets, int32_t volume,
                                                                        int32_t action = 2) {
  quorvane_base_station_mqtt::PrepareDisinfectantReq request;
  request.mutable_cmd()->mutable_action_cmd()->set_action(
      static_cast<quorvane_base_station_mqtt::EnumActionModel>(action));
  request.mutable_cmd()->set_disinfection_tablets_num(tablets);
  request.mutable_cmd()->set_water_volume(volume);
  return request;
}

// A clean tank report: foot level (1 = run empty), up level (1 = full), flow meter.
inline station::SensorsDataRep Tank(uint32_t foot, uint32_t up, uint32_t flow) {
  station::SensorsDataRep report;
  report.set_cleantankfootlevel(foot);
  report.set_cleantankuplevel(up);
  report.set_flowmeter(flow);
  return report;
}

// Reports of the single-actuator tasks' world; all with the robot docked and the
// clean tank empty, but the hand switch (robot away).
inline station::SensorsDataRep DustReady(int32_t pressure = 0) {
  station::SensorsDataRep report = RobotDocked(Tank(1, 0, 0));
  report.set_dustbagdet(1);
  report.set_dustboxcapdet(1);
  report.set_negativepressure(pressure);
  return report;
}

// Sewage still there: the sensor intake leaves a running sewage pump alone.
inline station::SensorsDataRep SewageNotDrained() {
  station::SensorsDataRep report = RobotDocked(Tank(1, 0, 0));
  report.set_sewagedet(1);
  report.set_sewagefull(5000);
  return report;
}

inline station::SensorsDataRep Wire(float degrees) {
  station::SensorsDataRep report = RobotDocked(Tank(1, 0, 0));
  report.set_heatingwiretemp(degrees);
  return report;
}

inline station::SensorsDataRep Plates(uint32_t temp1, uint32_t temp2, uint32_t hand = 0) {
  station::SensorsDataRep report = RobotDocked(Tank(1, 0, 0));
  report.set_electrodeplatetemp1(temp1);
  report.set_electrodeplatetemp2(temp2);
  report.set_handchargedet(hand);
  return report;
}

inline station::SensorsDataRep HandSwitch(uint32_t value) {
  station::SensorsDataRep report = Tank(1, 0, 0);  // robot away
  report.set_handchargedet(value);
  return report;
}

// Runs one work cycle and returns the commands it sent.
inline std::vector<std::string> Cycle(StationHarness& station, station_center::Task& task,
                                      const station::SensorsDataRep& report) {
  station.MarkCommands();
  task.ExecuteStep(report);
  return station.CommandsSinceMark();
}

using Commands = std::vector<std::string>;

}  // namespace service_task_test

namespace service_task_test {

// Asks the station center to stop the running task of `type` (action model 4)
// and waits until the station is idle again.
inline station_center::StationSrvRsp StopAndWaitIdle(StationHarness& station, station_center::TaskType type) {
  const station_center::StationSrvRsp rsp =
      station.center()->HandleService(station_test::SupplyRequest(type, quorvane_base_station_mqtt::ENUM_ACTION_STOP));
  EXPECT_TRUE(station.WaitIdle());
  return rsp;
}

// Admits a task through the service entry and waits for its first `commands` board commands.
inline void StartThroughService(StationHarness& station, const station_center::StationSrvReq& request,
                                size_t commands) {
  const station_center::StationSrvRsp rsp = station.center()->HandleService(request);
  ASSERT_EQ(rsp.result, station_center::SRV_RESULT_OK) << rsp.err_msg;
  ASSERT_TRUE(station.WaitForCommands(commands));
}

}  // namespace service_task_test
