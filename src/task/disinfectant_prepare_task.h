#pragma once

#include <cstdint>
#include <memory>

#include "robot/base_station_mqtt.pb.h"
#include "task/flow_counts.h"
#include "task/task.h"

namespace station_center {

// Prepares disinfectant water for the robot: drains the clean tank, fills it
// from the tap up to the robot's volume, runs the plates motor until the asked
// number of tablets has dropped (resting the motor whenever it reports
// over-current), and lets the tablets dissolve.
//
// With disinfectant_tablet_release_time N > 0 the task itself counts released
// tablets: one for every whole N seconds that the plates motor has run, the
// over-current rests not included. With N = 0 nothing here raises the count.
class DisinfectantPrepareTask : public Task {
 public:
  DisinfectantPrepareTask(const std::shared_ptr<StationCenter>& station_center,
                          const quorvane_base_station_mqtt::PrepareDisinfectantReq& request);

  // Plates motor off, then the tap, each tried whatever the other gave. Always true.
  bool DoReset() override;
  void AfterOver() override;
  void AfterError() override;

 protected:
  bool DoTaskInside(const station::SensorsDataRep& report) override;
  // A stop leaves nothing running: the DoReset commands, then the drainage
  // switch while step 1 has it open. False when any of them failed.
  bool DoCancelUnlock() override;

 private:
  bool DoEmptyTank(const station::SensorsDataRep& report);
  bool WaitEmptyTank(const station::SensorsDataRep& report);
  bool DoWaterInlet(const station::SensorsDataRep& report);
  bool WaitWaterInlet(const station::SensorsDataRep& report);
  bool DoReleaseTablets(const station::SensorsDataRep& report);
  bool WaitTablets(const station::SensorsDataRep& report);
  bool WaitMotorRecovery(const station::SensorsDataRep& report);
  bool WaitDissolution(const station::SensorsDataRep& report);

  bool SwitchDrainage(int32_t action);
  bool SwitchTapWater(int32_t action);
  bool SwitchPlatesMotor(int32_t action);
  bool SwitchMotorAndTapOff();
  // Motor, tap, and the drainage when this task opened it; every one tried.
  bool SwitchEverythingOff();

  // Adds to released_tablets the tablets due for the motor's running time up
  // to `now`. Takes task_data_lock_ exclusively; the caller holds no lock on it.
  void CountReleasedTablets(int64_t now);

  quorvane_base_station_mqtt::PrepareDisinfectantReq prepare_req_;
  int64_t inlet_start_time_ = -1;
  FillMeter inlet_meter_;  // the water let in since the tap last opened
  int64_t drain_start_time_ = -1;
  int64_t motor_start_time_ = -1;
  int64_t motor_stop_time_ = -1;
  int64_t dissolution_start_time_ = -1;
  int64_t tablets_at_start_ = -1;
  StepMachine steps_;

  bool drain_open_ = false;              // asked open by step 1, not yet closed
  int64_t motor_run_start_time_ = -1;    // when the motor last started running
  int64_t motor_run_seconds_ = 0;        // running time of the motor before that start
  int64_t tablets_counted_ = 0;          // tablets this task added to released_tablets
};

}  // namespace station_center
