#include "switch_offs.h"

#include <algorithm>

#include "config.h"
#include "error_codes.h"
#include "logger.h"

namespace station_center {

const Actuator kActuators[14] = {
    {station::ENUM_SUPPLY_CHARGING, "charging"},
    {station::ENUM_SUPPLY_HAND_CHARGE, "hand charge"},
    {station::ENUM_SUPPLY_HEATING_WIRE, "heating wire"},
    {station::ENUM_SUPPLY_HEATING_FAN, "heating fan"},
    {station::ENUM_SUPPLY_COLLECT_DUST, "dust collection"},
    {station::ENUM_SUPPLY_SELF_CLEAN_PUMP, "self-clean pump"},
    {station::ENUM_SUPPLY_SEWAGE_PUMP, "sewage pump"},
    {station::ENUM_SUPPLY_UV_LAMP, "UV lamp"},
    {station::ENUM_SUPPLY_DISINFECTANT_PLATES_MOTOR, "plates motor"},
    {station::ENUM_SUPPLY_CLEANING_LIQUID_PUMP, "cleaning liquid pump"},
    {station::ENUM_SUPPLY_PERFUME_PUMP, "perfume pump"},
    {station::ENUM_SUPPLY_TAP_WATER_SWITCH, "tap water"},
    {station::ENUM_SUPPLY_SUPPLY_WATER_SWITCH, "supply water"},
    {station::ENUM_SUPPLY_DRAINAGE_SWITCH, "drainage"},
};

namespace {

// A retried switch-off waits at most this long for the board, and retries
// that keep failing pause at most this long in between.
constexpr int32_t kOffRetryTimeoutS = 2;
constexpr int64_t kOffRetryPauseMaxS = 60;

}  // namespace

void SwitchOffLedger::Note(station::EnumSupplyType type, int32_t action, bool confirmed) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (confirmed) {
    owed_.erase(type);
  } else if (action == 0) {
    owed_.insert(type);
  }
}

size_t SwitchOffLedger::Retry(BoardLink& board, int64_t now) {
  std::set<int> owed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    owed = owed_;
  }
  if (owed.empty()) {
    retry_pause_s_ = 1;
    next_retry_s_ = 0;
    return 0;
  }
  if (now < next_retry_s_) {
    return owed.size();
  }
  for (const Actuator& actuator : kActuators) {
    if (owed.count(actuator.type) == 0) {
      continue;
    }
    if (actuator.type == station::ENUM_SUPPLY_HEATING_FAN && owed.count(station::ENUM_SUPPLY_HEATING_WIRE) != 0) {
      continue;  // the fan keeps blowing on a wire that may still heat
    }
    station::ActionCommand cmd;
    cmd.set_action_(0);
    cmd.set_supply_type_(actuator.type);
    if (board.DoAction(cmd, std::min(config_reader.bottom_action_timeout, kOffRetryTimeoutS))) {
      QLOG_INFO("owed switch-off of {} confirmed", actuator.name);
      Note(actuator.type, 0, true);
      owed.erase(actuator.type);
    }
  }
  if (owed.empty()) {
    retry_pause_s_ = 1;
    next_retry_s_ = 0;
  } else {
    QLOG_ERROR("ErrorCode: {}, {} switch-offs still refused by the board, next try in {} s", kSwitchOffRefused,
               owed.size(), retry_pause_s_);
    next_retry_s_ = now + retry_pause_s_;
    retry_pause_s_ = std::min<int64_t>(retry_pause_s_ * 2, kOffRetryPauseMaxS);
  }
  return owed.size();
}

}  // namespace station_center
