#pragma once

// A whole station center in a test: a temporary configuration folder, a fake
// control board over loopback (see fake_board.h) and a real StationCenter
// initialised against it.
//
// Typical use:
//   station_test::StationHarness station;           // nothing runs yet
//   ASSERT_TRUE(station.StartNormal());             // Init, start-up reset over, STATION_NORMAL
//   station.board().Requests();                     // every board command so far
//   station.MarkCommands();                         // forget what came before
//   auto rsp = station.center()->HandleService(station_test::SupplyRequest(TASK_TYPE_SEWAGE_DRAIN_PUMP, 2, 0));
//   ASSERT_TRUE(station.WaitForCommands(1));
//   EXPECT_EQ(station.CommandsSinceMark(), (std::vector<std::string>{"act 4:80"}));
//
// One harness per test process: Init rewrites the process-wide configuration
// that the detached threads of an earlier harness still read.
//
// Lifetime. The station center's worker, reset and report server threads are
// detached and may outlive any scope, so the harness never destroys the center
// or the fake board: both are parked in a process-wide keep-alive list and
// reclaimed by process exit (each gtest case runs in a process of its own).
// The destructor waits (bounded) until the task map is empty and no
// ResetWhenIdle thread runs, so that no thread is mid-command when the test
// returns; KeepRunning() skips that wait for tests that leave a task running on
// purpose. The temporary configuration folder is removed by the destructor.
//
// Clock. Unless options say otherwise the harness freezes the station clock
// (src/clock.h) at kClockStart, so time limits move only with AdvanceClock().
// Board exchanges time out on the steady clock, unaffected by the freeze.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fake_board.h"
#include "station/station_report.pb.h"
#include "station_center.h"
#include "station_types.h"

namespace station_test {

constexpr int64_t kClockStart = 1700000000;

// Polls `predicate` every few milliseconds until it holds or `bound` has passed.
// Returns the predicate's last value. For real threads and sockets to meet,
// never for a time limit of the station (move the clock for those).
bool WaitFor(const std::function<bool()>& predicate, std::chrono::milliseconds bound = std::chrono::seconds(5));

// A service-0 request for a supply task (supply_material_req.cmd: action, duration).
station_center::StationSrvReq SupplyRequest(station_center::TaskType type, int32_t action, int32_t duration = 0);
// A request for any service with nothing else set.
station_center::StationSrvReq ServiceRequest(int32_t service_type);

// A board command in a compact, comparable form: "act <supply type>:<action>"
// for an actuator command, "led <cmd>" for an LED command.
std::string Describe(const station::SupplyMaterialReq& req);

// Sensor reports for the common states; start from Report() and set fields.
station::SensorsDataRep Report();                        // all zero: tank not empty, robot away
station::SensorsDataRep EmptyTankReport();               // cleanTankFootLevel 1
station::SensorsDataRep RobotDocked(station::SensorsDataRep report);  // both dock detectors and the plate

struct StationOptions {
  int running_schedule_space_ms = 2;
  int bottom_action_timeout_s = 1;
  int drain_water_max_time_s = 300;
  int auto_reset_time_space_s = 300;
  bool freeze_clock = true;
  // led.json text; empty means the repository's config/led.json.
  std::string led_json;
  // Extra config.json members, key to raw JSON value text (e.g. {"sewage_pump_power_strong", "95"}).
  std::map<std::string, std::string> extra_config;
};

class StationHarness {
 public:
  explicit StationHarness(StationOptions options = StationOptions());
  ~StationHarness();
  StationHarness(const StationHarness&) = delete;
  StationHarness& operator=(const StationHarness&) = delete;

  FakeBoard& board() { return *board_; }
  const std::shared_ptr<station_center::StationCenter>& center() const { return center_; }
  const std::string& config_dir() const { return config_dir_; }
  uint16_t report_port() const { return report_port_; }

  // Before Init: hands `report` straight to the center's sensor intake, as if the
  // board had sent it, so that the start-up reset's first cycle already sees it.
  void Seed(const station::SensorsDataRep& report);

  // StationCenter::Init against the fake board, then opens the board's report
  // connection. False when Init failed or the report connection did not open.
  bool Init();

  // Seeds an empty tank, Init, waits until the start-up reset has ended and the
  // station is in STATION_NORMAL with no task, then marks the commands.
  bool StartNormal();

  // Sends `report` over the report connection and waits until the center holds
  // it (each pushed report gets a fresh seq). False on a send failure or time-out.
  // The report server reads every 100 ms, so each push takes about that long.
  bool PushReport(station::SensorsDataRep report);
  // Hands `report` straight to the center's sensor intake, as the report server
  // does, without the socket and its read pace. Never while reports also arrive
  // over the report connection (the intake runs on one thread at a time).
  void Deliver(station::SensorsDataRep report);

  bool WaitForStatus(station_center::StationCenterStatus status,
                     std::chrono::milliseconds bound = std::chrono::seconds(5));
  // Task map empty and no ResetWhenIdle thread left.
  bool WaitIdle(std::chrono::milliseconds bound = std::chrono::seconds(10));

  // Board commands, described (Describe) in arrival order: all, or those after the last mark.
  std::vector<std::string> Commands() const;
  void MarkCommands();
  std::vector<std::string> CommandsSinceMark() const;
  // Waits until at least `count` commands arrived after the mark, then until the
  // work cycle (or other service step) that sent the last of them has ended, so
  // that what the task recorded after the board's answer (a start time, a step)
  // is in place before the test moves the clock.
  bool WaitForCommands(size_t count, std::chrono::milliseconds bound = std::chrono::seconds(5)) const;
  // Returns once no work cycle, admission, LED refresh or sewage check is in progress.
  void SyncWithService() const;
  // Waits until `count` more work cycles (of any task) have ended, or no task is left.
  bool WaitCycles(uint64_t count, std::chrono::milliseconds bound = std::chrono::seconds(5)) const;

  // Skip the destructor's wait for an idle station.
  void KeepRunning() { keep_running_ = true; }

 private:
  void WriteConfig();

  StationOptions options_;
  std::shared_ptr<FakeBoard> board_;
  std::shared_ptr<station_center::StationCenter> center_;
  std::string config_dir_;
  uint16_t report_port_ = 0;
  uint32_t next_seq_ = 1000;
  size_t mark_ = 0;
  bool keep_running_ = false;
};

}  // namespace station_test
