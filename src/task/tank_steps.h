#pragma once

#include <cstdint>

#include "task/task.h"

namespace station_center {

// The robot asks for water in volume units; the tap's flow meter counts 1000
// per unit. Formed in 64 bits and held to the signed 32-bit range of the
// station task data, so a large request saturates instead of wrapping.
int32_t FlowCountsForVolume(int32_t volume);

// The water let into the tank by one opening of the tap, from the board's flow
// meter. The board restarts its count when the tap opens, but the reports that
// reach the station right after the opening may have been taken before it and
// still hold the previous fill's count. So the count of the last report before
// the opening is kept as the base:
// - a count below the base shows that the meter has restarted; from then on the
//   count is the water let in since the opening;
// - until then only what the count has grown beyond the base counts (a stale
//   report, still at the base, counts nothing; a meter that never restarts is
//   still measured right).
// A report taken before the opening therefore never ends a fill and never counts
// as water added; at worst a restart missed between two cycles counts the base
// short, which the tank's upper level sensor bounds.
class FillMeter {
 public:
  // At the opening the board confirmed: the count of the latest report before it.
  void Open(uint32_t count_before_opening) {
    base_ = count_before_opening;
    restarted_ = false;
  }

  // The water let in since the opening, as a report counting `count` shows it.
  uint32_t Added(uint32_t count) {
    restarted_ = restarted_ || count < base_;
    return restarted_ ? count : count - base_;
  }

 private:
  uint32_t base_ = 0;
  bool restarted_ = false;
};

// Empties the clean tank through the drainage switch, for the task that owns
// it: the preparations before they fill, the station reset, the drain task.
// Every refusal and time-out is logged here; the task decides what follows.
class TankDrain {
 public:
  explicit TankDrain(Task& task) : task_(task) {}

  // Opens the drainage: kDone, or kFailed when the board refused. The drainage
  // counts as open from the moment it is asked to open: an opening the board
  // did not confirm in time may still have happened.
  StepOutcome Open(int64_t now);
  // kDone once the tank reports empty (nothing of the last fill is left) and
  // the drainage closed; kFailed when it would not close, or when the drain has
  // run past drain_water_max_time (left open for the error path to close).
  StepOutcome Wait(const station::SensorsDataRep& report, int64_t now);
  bool TimedOut(int64_t now) const;
  bool Close();
  bool open() const { return open_; }

  static SwitchOff Off();

 private:
  Task& task_;
  bool open_ = false;
  int64_t opened_at_ = -1;
};

// Each filling task's own texts for what the tap's refusals and time-out log.
struct FillTexts {
  const char* inlet_failed;  // the tap would not open
  const char* close_failed;  // the tap would not close once the water was in
  // The tap would not close after the time-out; null: it is left to the error path.
  const char* timeout_close_failed = nullptr;
  const char* full = nullptr;  // logged when the water is in; null: nothing
};

// Fills the clean tank from the tap to a volume: the preparations' fill and
// every refill of the water supply.
class TankFill {
 public:
  TankFill(Task& task, FillTexts texts) : task_(task), texts_(texts) {}

  // Opens the tap: kDone, or kFailed when the board refused.
  StepOutcome Open(const station::SensorsDataRep& report, int64_t now);
  // kDone once `wanted` flow-meter counts have come in since the opening, or
  // the tank reports full, and the tap is closed again (station_added_water
  // then holds what came in); kFailed when the tap would not close, or when the
  // fill has run past add_water_to_station_max_time.
  StepOutcome Wait(const station::SensorsDataRep& report, int64_t now, uint32_t wanted);

 private:
  Task& task_;
  FillTexts texts_;
  FillMeter meter_;
  int64_t opened_at_ = -1;
};

// A preparation of the clean tank for the robot: drains what is left in it and
// fills it from the tap to the robot's volume (steps 1 to 4), then goes on with
// the preparation's own steps from step 5.
class TankPrepareTask : public Task {
 protected:
  enum TankPrepareStep : int {
    STEP_EMPTY_TANK = 1,
    STEP_WAIT_EMPTY_TANK = 2,
    STEP_WATER_INLET = 3,
    STEP_WAIT_WATER_INLET = 4,
    STEP_OWN = 5,  // the preparation's first own step
  };

  // `log_starts`: the drain's and the fill's starts are logged with their time.
  TankPrepareTask(const TaskContext& context, TaskType task_type,
                  const quorvane_base_station_mqtt::PrepareDisinfectantReq& request, FillTexts texts,
                  bool log_starts);

  bool Work(const station::SensorsDataRep& report, int64_t now) override { return steps_.RunStep(report, now); }

  quorvane_base_station_mqtt::PrepareDisinfectantReq prepare_req_;
  TankDrain drain_{*this};
  TankFill fill_;
  StepMachine steps_{*this};

 private:
  bool DoEmptyTank(const station::SensorsDataRep& report, int64_t now);
  bool WaitEmptyTank(const station::SensorsDataRep& report, int64_t now);
  bool DoWaterInlet(const station::SensorsDataRep& report, int64_t now);
  bool WaitWaterInlet(const station::SensorsDataRep& report, int64_t now);

  bool log_starts_;
};

}  // namespace station_center
