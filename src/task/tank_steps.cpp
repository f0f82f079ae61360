#include "task/tank_steps.h"

#include "config.h"
#include "error_codes.h"
#include "logger.h"

namespace station_center {

namespace {

bool TankEmpty(const station::SensorsDataRep& report) { return report.cleantankfootlevel() == 1; }

}  // namespace

TankStep TankDrain::Start(const station::SensorsDataRep& report, int64_t now) {
  if (TankEmpty(report)) {
    return TankStep::kDone;  // nothing to drain: the switch is never touched
  }
  return Open(now) ? TankStep::kBusy : TankStep::kFailed;
}

TankStep TankDrain::Wait(const station::SensorsDataRep& report, int64_t now) {
  if (TankEmpty(report)) {
    task_.WriteData([](StationTaskData& data) { data.station_added_water = 0; });
    return Close() ? TankStep::kDone : TankStep::kFailed;
  }
  return TimedOut(now) ? TankStep::kFailed : TankStep::kBusy;
}

bool TankDrain::Open(int64_t now) {
  open_ = true;
  if (!task_.Actuate(station::ENUM_SUPPLY_DRAINAGE_SWITCH, 1)) {
    QLOG_ERROR("ErrorCode: {}, open darin water switch failed", kDrainSwitchOpenFailed);
    return false;
  }
  opened_at_ = now;
  return true;
}

bool TankDrain::TimedOut(int64_t now) const {
  if (now - opened_at_ <= config_reader.drain_water_max_time) {
    return false;
  }
  QLOG_ERROR("ErrorCode: {}, drain water timeout", kDrainTimeout);
  return true;
}

bool TankDrain::Close() {
  if (!task_.SwitchOffOne(Off())) {
    return false;
  }
  open_ = false;
  return true;
}

SwitchOff TankDrain::Off() {
  return {station::ENUM_SUPPLY_DRAINAGE_SWITCH, kDrainSwitchCloseFailed, "close darin water switch failed"};
}

bool TankFill::Open(const station::SensorsDataRep& report, int64_t now) {
  if (!task_.Actuate(station::ENUM_SUPPLY_TAP_WATER_SWITCH, 1)) {
    QLOG_ERROR("ErrorCode: {}, {}", kWaterInletFailed, texts_.inlet_failed);
    return false;
  }
  meter_.Open(report.flowmeter());
  opened_at_ = now;
  return true;
}

TankStep TankFill::Wait(const station::SensorsDataRep& report, int64_t now, uint32_t wanted) {
  const uint32_t added = meter_.Added(report.flowmeter());
  if (report.cleantankuplevel() == 1 || wanted <= added) {
    if (texts_.full != nullptr) {
      QLOG_INFO("{}", texts_.full);
    }
    if (!task_.SwitchOffOne({station::ENUM_SUPPLY_TAP_WATER_SWITCH, kWaterSwitchCloseFailed, texts_.close_failed})) {
      return TankStep::kFailed;
    }
    task_.WriteData([added](StationTaskData& data) { data.station_added_water = FlowMeterReading(added); });
    return TankStep::kDone;
  }
  if (now - opened_at_ <= config_reader.add_water_to_station_max_time) {
    return TankStep::kBusy;
  }
  QLOG_ERROR("ErrorCode: {}, Add water timeout, may be no water", kAddWaterTimeout);
  if (texts_.timeout_close_failed != nullptr) {
    task_.SwitchOffOne({station::ENUM_SUPPLY_TAP_WATER_SWITCH, kWaterSwitchCloseFailed, texts_.timeout_close_failed});
  }
  return TankStep::kFailed;
}

}  // namespace station_center
