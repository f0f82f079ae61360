#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>

#include "led_manager.h"
#include "station/station_report.pb.h"
#include "station_types.h"
#include "task/task.h"

namespace station_center {

class BoardLink;
class EmbeddedCommunicator;

// The one coordinator of the station: admits, runs, cancels and resets tasks,
// takes in the board's sensor reports and keeps the LEDs in step. Tasks reach
// the station only through the TaskContext it gives them. Its definitions sit
// in three files: station_center.cpp (admission, task lifecycle, resets, LEDs),
// station_intake.cpp (sensor intake, status document), station_safety.cpp
// (stale reports, owed switch-offs, safe stop).
//
// Locks, always taken in this order: mutex_ (task map, status, admission, every
// work cycle), sensor_lock_ (latest sensor report), a task's own task_mutex_,
// task_data_lock_ (StationTaskData), and innermost the communicator's mutex,
// held for a whole board exchange. A method whose name ends in Unlock expects
// its caller to hold mutex_.
class StationCenter : public std::enable_shared_from_this<StationCenter> {
 public:
  StationCenter();

  StationCenter(const StationCenter&) = delete;
  StationCenter& operator=(const StationCenter&) = delete;

  // Configuration, board link and report server, LED rules, start-up reset.
  // Given a `board`, the station commands it instead and starts no
  // communicator: reports then arrive only through DataUploadCallback.
  bool Init(std::shared_ptr<BoardLink> board = nullptr);

  // The service entry; any thread. Unknown service types answer SRV_RESULT_UNSUPPORTED.
  StationSrvRsp HandleService(const StationSrvReq& request);

  void ReflushLed();
  void AutoReset();
  StationSrvRsp RobotLeaveStation(const StationSrvReq& request);
  StationSrvRsp HandleConnectionLost(const StationSrvReq& request);
  void SetStationCenterStatus(const StationCenterStatus& status);  // caller holds mutex_

  void StationInfoUploadCloud();
  // The status document for the cloud, compact JSON, taken at `now` (Unix seconds).
  std::string BuildStationInfo(int64_t now);
  void DataUploadCallback(const station::SensorsDataRep& report);

  // Once the board's reports have stopped, a sewage pump left running is
  // switched off: nothing will ever report the sewage drained. Main loop, once a second.
  void CheckStaleReports();

  // The safe stop on SIGTERM or SIGINT: from the first instruction no task can
  // switch anything on again, then every actuator of the board is switched
  // off, each command bounded by the board time-out and the whole stop by
  // `budget_s` seconds. True when the board confirmed every switch-off.
  bool SafeStop(int budget_s);

  // Main loop, once a second: sends the switch-offs the board has not yet
  // confirmed (SwitchOffLedger::Retry) with every task kept out. Returns how
  // many are still owed.
  size_t RetrySwitchOffs();

  // Read-only views for tests and diagnostics; each takes the lock it needs.
  StationCenterStatus Status();
  size_t TaskCount();
  bool HasTask(TaskType type);
  // Changes the station task data under its lock (tests set up a station day with it).
  void EditTaskData(const std::function<void(StationTaskData&)>& edit);
  int ResetThreadsRunning() const;  // ResetWhenIdle threads not yet finished
  uint64_t WorkCycles() const { return work_cycles_.load(); }  // work cycles ended so far, all tasks

 private:
  StationSrvRsp ReceiveTask(const StationSrvReq& request);
  // `log_refusal` false leaves a refused admission unlogged (the caller logs it).
  StationSrvRsp ReceiveTaskUnlock(const StationSrvReq& request, bool log_refusal = true);
  // The task for the request, made at `now`; null for a type with no task.
  std::shared_ptr<Task> CreateTask(const StationSrvReq& request, int64_t now);
  void AddNewTaskUnlock(std::shared_ptr<Task>& task);
  void RemoveTaskUnlock(std::shared_ptr<Task>& task);
  void RunTask(std::shared_ptr<Task>& task);
  void HandleTaskOver(std::shared_ptr<Task>& task);
  void HandleTaskError(std::shared_ptr<Task>& task);
  void HandleTaskCancel(std::shared_ptr<Task>& task);

  StationSrvRsp CheckRobotInPose(const StationSrvReq& request);
  StationSrvRsp CheckWaterFinish(const StationSrvReq& request);
  StationSrvRsp CheckWaterReady(const StationSrvReq& request);
  StationSrvRsp QueryTaskRunning(const StationSrvReq& request);
  StationSrvRsp QueryTaskRunningUnlock();

  // Counts the thread in reset_threads_running_ and starts it detached; caller holds mutex_.
  void StartResetWhenIdle();
  // In STATION_ERROR: requests a new reset once auto_reset_time_space seconds
  // have passed since the error began. Caller holds mutex_.
  void RecoverFromErrorUnlock();
  void ResetWhenIdle();

  // True when reports are checked and none has been taken in for longer than
  // sensor_report_timeout seconds; `age_s` is then the age of the last one.
  bool ReportsStale(int64_t& age_s) const;
  void HandleStaleTask(std::shared_ptr<Task>& task, int64_t age_s);  // caller holds mutex_
  // Switches off what a sewage pump task left running. Caller holds mutex_.
  void CloseLeftSewagePumpUnlock();
  // Sends the switch-off of every actuator until `deadline` (steady clock ms).
  bool SwitchEverythingOff(int64_t deadline_ms);

  LedManager led_manager_;
  TaskMap tasks_;
  std::shared_ptr<EmbeddedCommunicator> embedded_communicator_;
  std::shared_ptr<BoardLink> board_;  // the communicator, as tasks and the center use it
  std::mutex mutex_;
  std::shared_mutex sensor_lock_;
  station::SensorsDataRep sensor_data_;
  std::shared_mutex task_data_lock_;
  StationTaskData task_data_;
  StationCenterStatus status_ = STATION_RESET;
  std::unordered_map<int32_t, std::function<StationSrvRsp(const StationSrvReq&)>> service_handlers_;
  int32_t last_led_cmd_ = 0;  // the LED command the board last confirmed
  std::atomic<int> reset_threads_running_{0};
  std::atomic<uint64_t> work_cycles_{0};
  SwitchOffLedger owed_;  // its own lock is innermost, held for no call
  // When the last sensor report was taken in (or the board link came up), Unix seconds.
  std::atomic<int64_t> last_report_time_{-1};
  std::atomic<bool> stopping_{false};
  int64_t error_since_s_ = -1;  // when status_ last became STATION_ERROR; guarded by mutex_
  // The refusal text of the station's own hand-charge request while it lasts;
  // guarded by mutex_.
  std::string hand_charge_refusal_;
};

// The one station center of the process, set once at start-up.
extern std::shared_ptr<StationCenter> global_station_center;

}  // namespace station_center
