#include "station_center.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <future>
#include <mutex>
#include <thread>

#include "clock.h"
#include "config.h"
#include "error_codes.h"
#include "logger.h"

namespace station_center {

// ---------------------------------------------------------------------------
// Stale reports and the safe stop

bool StationCenter::ReportsStale(int64_t& age_s) const {
  const int32_t limit_s = config_reader.sensor_report_timeout;
  const int64_t last = last_report_time_.load();
  if (limit_s <= 0 || last < 0) {
    return false;
  }
  age_s = NowSeconds() - last;
  return age_s > limit_s;
}

void StationCenter::HandleStaleTask(std::shared_ptr<Task>& task, int64_t age_s) {
  // A heat wire keeps heating on a stale temperature, a charger keeps charging
  // on stale plate temperatures: nothing may act on readings this old.
  QLOG_ERROR("ErrorCode: {}, no sensor report for {} s, cancel task id {}, task type {}", kSensorReportsStopped, age_s,
             task->TaskId(), static_cast<int>(task->GetTaskType()));
  HandleTaskCancel(task);
  if (task->GetTaskStatus() == TASK_STATUS_ERROR) {
    // The task refused its cancel (a dry fan under a running heat wire); its
    // error path still switches off what it drives.
    task->DoReset();
  }
  if (task->GetTaskType() == TASK_TYPE_SEWAGE_DRAIN_PUMP) {
    CloseLeftSewagePumpUnlock();
  }
}

void StationCenter::CloseLeftSewagePumpUnlock() {
  std::unique_lock<std::shared_mutex> data_lock(task_data_lock_);
  if (!task_data_.sewage_pump_left_on || !board_) {
    return;
  }
  station::ActionCommand cmd;
  cmd.set_action_(0);
  cmd.set_supply_type_(station::ENUM_SUPPLY_SEWAGE_PUMP);
  if (board_->DoAction(cmd)) {
    QLOG_INFO("sensor reports stopped, close sewage drain pump");
    task_data_.sewage_pump_left_on = false;
  } else {
    QLOG_ERROR("ErrorCode: {}, sensor reports stopped, but close sewage drain pump failed", kSewagePumpCloseFailed);
  }
}

void StationCenter::CheckStaleReports() {
  int64_t age_s = 0;
  if (!ReportsStale(age_s)) {
    return;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (tasks_.count(TASK_TYPE_SEWAGE_DRAIN_PUMP) == 0) {
    CloseLeftSewagePumpUnlock();
  }
}

namespace {

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

bool StationCenter::SwitchEverythingOff(int64_t deadline_ms) {
  int off = 0;
  int failed = 0;
  for (const Actuator& actuator : kActuators) {
    const int64_t left_ms = deadline_ms - SteadyMs();
    if (left_ms < 1000) {
      QLOG_ERROR("ErrorCode: {}, safe stop: no time left to switch off {}", kSafeStopFailed, actuator.name);
      ++failed;
      continue;
    }
    station::ActionCommand cmd;
    cmd.set_action_(0);
    cmd.set_supply_type_(actuator.type);
    const int timeout_s = static_cast<int>(std::min<int64_t>(config_reader.bottom_action_timeout, left_ms / 1000));
    if (board_->DoAction(cmd, timeout_s)) {
      QLOG_INFO("safe stop: {} switched off", actuator.name);
      ++off;
    } else {
      QLOG_ERROR("ErrorCode: {}, safe stop: switching off {} failed", kSafeStopFailed, actuator.name);
      ++failed;
    }
  }
  QLOG_INFO("safe stop: {} actuators switched off, {} failed", off, failed);
  return failed == 0;
}

size_t StationCenter::RetrySwitchOffs() {
  if (!board_ || stopping_.load()) {
    return 0;
  }
  // The service lock keeps every task out meanwhile: no task can switch an
  // actuator on between our reading that its switch-off is owed and sending it.
  std::lock_guard<std::mutex> lock(mutex_);
  return owed_.Retry(*board_, NowSeconds());
}

bool StationCenter::SafeStop(int budget_s) {
  stopping_.store(true);
  QLOG_INFO("safe stop: switching every actuator off");
  if (!board_) {
    QLOG_ERROR("ErrorCode: {}, safe stop: no board link", kSafeStopFailed);
    return false;
  }
  const int64_t deadline_ms = SteadyMs() + static_cast<int64_t>(budget_s) * 1000;
  // The switch-offs run on a thread of their own, so that a command stuck behind
  // another exchange cannot hold the stop past its budget.
  auto done = std::make_shared<std::promise<bool>>();
  std::future<bool> result = done->get_future();
  std::shared_ptr<StationCenter> self = shared_from_this();
  try {
    std::thread([self, done, deadline_ms]() { done->set_value(self->SwitchEverythingOff(deadline_ms)); }).detach();
  } catch (const std::exception& e) {
    QLOG_ERROR("ErrorCode: {}, safe stop: start failed: {}", kSafeStopFailed, e.what());
    return false;
  }
  if (result.wait_for(std::chrono::milliseconds(static_cast<int64_t>(budget_s) * 1000 + 500)) !=
      std::future_status::ready) {
    QLOG_ERROR("ErrorCode: {}, safe stop: the board did not confirm within {} s", kSafeStopFailed, budget_s);
    return false;
  }
  return result.get();
}

}  // namespace station_center
