#pragma once

#include "task/tank_steps.h"

namespace station_center {

// Prepares disinfectant water for the robot: drains the clean tank, fills it
// from the tap up to the robot's volume, runs the plates motor until the asked
// number of tablets has dropped (resting the motor whenever it reports
// over-current), and lets the tablets dissolve.
//
// With disinfectant_tablet_release_time N > 0 the task itself counts released
// tablets: one for every whole N seconds that the plates motor has run, the
// over-current rests not included. With N = 0 nothing here raises the count.
class DisinfectantPrepareTask : public TankPrepareTask {
 public:
  DisinfectantPrepareTask(const TaskContext& context,
                          const quorvane_base_station_mqtt::PrepareDisinfectantReq& request);

  void AfterOver() override;
  void AfterError() override;

 protected:
  bool Begin(const station::SensorsDataRep& report, int64_t now) override;
  // Plates motor, tap, and the drainage while this task has it open: a stop or
  // a failure leaves nothing running.
  std::vector<SwitchOff> SwitchOffs() const override;

 private:
  bool DoReleaseTablets(const station::SensorsDataRep& report, int64_t now);
  bool WaitTablets(const station::SensorsDataRep& report, int64_t now);
  bool WaitMotorRecovery(const station::SensorsDataRep& report, int64_t now);
  bool WaitDissolution(const station::SensorsDataRep& report, int64_t now);

  // Adds to released_tablets the tablets due for the motor's running time up
  // to `now`. Takes task_data_lock_ exclusively; the caller holds no lock on it.
  void CountReleasedTablets(int64_t now);

  int64_t motor_start_time_ = -1;
  int64_t motor_stop_time_ = -1;
  int64_t dissolution_start_time_ = -1;
  int64_t tablets_at_start_ = -1;

  int64_t motor_run_start_time_ = -1;    // when the motor last started running
  int64_t motor_run_seconds_ = 0;        // running time of the motor before that start
  int64_t tablets_counted_ = 0;          // tablets this task added to released_tablets
};

}  // namespace station_center
