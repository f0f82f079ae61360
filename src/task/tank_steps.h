#pragma once

#include <cstdint>

#include "station/station_report.pb.h"
#include "task/flow_counts.h"
#include "task/task.h"

namespace station_center {

// Where a tank step stands after a work cycle.
enum class TankStep { kBusy, kDone, kFailed };

// Empties the clean tank through the drainage switch, for the task that owns
// it: the preparations before they fill, the station reset, the drain task.
// Every refusal and time-out is logged here; the task decides what follows.
class TankDrain {
 public:
  explicit TankDrain(Task& task) : task_(task) {}

  // Opens the drainage unless the tank already reports empty (kDone, nothing
  // sent); kBusy once opened, kFailed when the board refused.
  TankStep Start(const station::SensorsDataRep& report, int64_t now);
  // kDone once the tank reports empty and the drainage closed; kFailed when it
  // would not close, or when the drain has run past drain_water_max_time
  // (the drainage stays open for the error path to close). An empty tank holds
  // nothing of the last fill any more.
  TankStep Wait(const station::SensorsDataRep& report, int64_t now);

  // The steps Start and Wait are made of. The drainage counts as open from the
  // moment it is asked to open: an opening the board did not confirm in time
  // may still have happened.
  bool Open(int64_t now);
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
// every refill of the water supply. The water is counted from the opening
// (FillMeter); the tank's upper level ends a fill early.
class TankFill {
 public:
  TankFill(Task& task, FillTexts texts) : task_(task), texts_(texts) {}

  // Opens the tap; false (logged) when the board refused.
  bool Open(const station::SensorsDataRep& report, int64_t now);
  // kDone once `wanted` flow-meter counts have come in since the opening, or
  // the tank reports full, and the tap is closed again (station_added_water
  // then holds what came in); kFailed when the tap would not close, or when the
  // fill has run past add_water_to_station_max_time.
  TankStep Wait(const station::SensorsDataRep& report, int64_t now, uint32_t wanted);

 private:
  Task& task_;
  FillTexts texts_;
  FillMeter meter_;
  int64_t opened_at_ = -1;
};

}  // namespace station_center
