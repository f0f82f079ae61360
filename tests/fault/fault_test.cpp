// The real service under a misbehaving board and under SIGTERM while tasks run. What must hold in
// every row: each robot request answered exactly once, no report lost or corrupt, nothing left
// switched on, no sanitizer report in the service's output (the sanitizer builds run this table
// against their service binary; the services inherit TSAN_OPTIONS with the suite's suppressions).
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "support/service_rig.h"

namespace station_test {
namespace {

void AskMeanwhile(ServiceRig& rig, int count) {
  for (int i = 0; i < count; ++i) {
    EXPECT_NE(rig.Ask("checkStation", "{}"), "") << "request " << i << " unanswered";
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

struct ReportTally {
  long long sent = 0, lost = 0, lost_runs = 0, corrupt = 0;
};
// Pauses the reports until the service took in what was sent, counts them against the board's, resumes.
ReportTally TallyReports(ServiceRig& rig) {
  std::vector<long long> seqs;
  ReportTally tally;
  rig.Board("reports pause");
  // Reports are taken in in order: once the last one sent is in, so is every one the service will take.
  PollUntil([&] {
    seqs.clear();
    for (const std::string& seq : Matches(rig.service().Output(), R"(sensor data : seq: (\d+))")) seqs.push_back(std::stoll(seq));
    tally.sent = rig.BoardNumber("stats", "reports_sent");
    return tally.sent > 0 && !seqs.empty() && *std::max_element(seqs.begin(), seqs.end()) >= tally.sent;
  }, std::chrono::seconds(20));
  long long last = 0;
  for (long long seq : seqs) {
    tally.corrupt += seq <= last || seq > tally.sent;  // repeated, out of order, never sent
    tally.lost_runs += seq > last + 1;
    last = std::max(last, seq);
  }
  tally.lost_runs += last < tally.sent;
  tally.lost = tally.sent - static_cast<long long>(seqs.size());  // exact where none is corrupt
  rig.Board("reports resume");
  return tally;
}

struct BoardFault {
  const char* name;
  bool silent_fan;                  // the heating fan's commands go unanswered, then the connection closes mid-exchange
  std::vector<std::string> inject;  // on the report stream while the robot asks
  long long lost_runs_allowed;
};
void PrintTo(const BoardFault& row, std::ostream* os) { *os << row.name; }
class BoardFaultTest : public testing::TestWithParam<BoardFault> {};

// Docked, logging every decoded report ("debug" and "sensor_data_print_space" 1). Every row ends with
// the ledger, the report tally, what is on and the sanitizer scan.
TEST_P(BoardFaultTest, AnsweredOnceNoReportLostCommandedAgain) {
  const BoardFault& fault = GetParam();
  ServiceRig rig;
  ASSERT_TRUE(rig.Start({"--level", "0", "--report-rate", "100"}, {"dock"},
                         {{"debug", "true"}, {"sensor_data_print_space", "1"}}));
  ASSERT_TRUE(rig.WaitNormal(std::chrono::seconds(40)));
  rig.OpenLedger();
  ASSERT_TRUE(!fault.silent_fan || rig.Board("fail type HEATING_FAN silent") == "ok");
  EXPECT_EQ(rig.Supply(kHeatingFan, kStandard), kAccepted);
  if (fault.silent_fan) {
    ASSERT_TRUE(PollUntil([&] { return Occurrences(rig.Board("log"), "\"answer\":\"silent\"") >= 1; }));
    ASSERT_EQ(rig.Board("close command"), "ok");
  }
  for (const std::string& command : fault.inject) {
    ASSERT_EQ(rig.Board(command), "ok") << command;
    AskMeanwhile(rig, 2);
  }
  AskMeanwhile(rig, 5);
  ASSERT_EQ(rig.Board("fail clear"), "ok");
  if (fault.silent_fan) {
    ASSERT_TRUE(PollUntil([&] { return rig.service().OutputHas("task_type 9, error occurred"); }, std::chrono::seconds(20)));
    // The failed task is logged before it leaves the task map: until then a request renews it.
    EXPECT_TRUE(PollUntil([&] { return rig.Supply(kHeatingFan, kStandard) == kAccepted; }, std::chrono::seconds(10),
                          std::chrono::milliseconds(200))) << "a new dry task";
  }
  EXPECT_TRUE(rig.PollActuator("HEATING_FAN", 1)) << Joined(rig.BoardCommands());
  EXPECT_NE(rig.Supply(kHeatingFan, kStop).find("\"errCode\":0"), std::string::npos);
  EXPECT_TRUE(rig.PollActuator("HEATING_FAN", 0));
  const ReportTally reports = TallyReports(rig);
  EXPECT_EQ(rig.Mismatched(), 0) << "a request answered twice or not at all";
  // One read holds some 40 reports: an undecodable frame costs what is held behind it, never more.
  EXPECT_TRUE(reports.sent > 50 && reports.lost_runs <= fault.lost_runs_allowed &&
              reports.lost <= 40 * fault.lost_runs_allowed && reports.corrupt == 0)
      << "reports sent " << reports.sent << " lost " << reports.lost << " in " << reports.lost_runs << " runs, corrupt "
      << reports.corrupt;
  EXPECT_EQ(Joined(rig.ActuatorsOn()), "");
  EXPECT_EQ(Joined(rig.SanitizerReports()), "");
  EXPECT_EQ(rig.service().WaitExit(std::chrono::milliseconds(0)), -1) << "the service ended";
}

INSTANTIATE_TEST_SUITE_P(
    Board, BoardFaultTest,
    testing::Values(BoardFault{"silent_then_closed", true, {}, 0},
                    BoardFault{"garbage_split_burst", false,
                               {"inject garbage", "inject split", "inject burst 120", "inject garbage", "inject split"}, 2}),
    testing::PrintToStringParamName());

struct StopRow {
  const char* name;
  std::vector<std::string> board_args, board_setup;
  bool prepare_water;
  std::vector<int> supplies;
  std::vector<std::pair<std::string, int>> running;  // on at the board when the signal comes
};
void PrintTo(const StopRow& row, std::ostream* os) { *os << row.name; }
class SigtermTest : public testing::TestWithParam<StopRow> {};

// SIGTERM whatever runs: every actuator off, exit 0, and systemd hears READY, WATCHDOG and STOPPING.
TEST_P(SigtermTest, EverythingOffExitZeroSystemdTold) {
  const StopRow& row = GetParam();
  ServiceRig rig;
  NotifySocket notify(rig.folder() + "/notify.sock");
  ASSERT_TRUE(rig.Prepare(row.board_args, {"set sorterMotorCurrentState false"}) && rig.StartService({notify.Env()}));
  // A row that sets nothing at the board meets the start-up reset.
  ASSERT_TRUE(row.board_setup.empty() ? rig.WaitServing() : rig.WaitNormal());
  rig.OpenLedger();
  for (const std::string& command : row.board_setup) ASSERT_EQ(rig.Board(command), "ok") << command;
  ASSERT_TRUE(rig.AwaitReports(5));
  if (row.prepare_water) {
    ASSERT_EQ(rig.Ask("preWaterRequest", kPrepare), kAccepted);
    ASSERT_TRUE(row.supplies.empty() || rig.PollCheckReady(kWaterReady));
  }
  for (int supply : row.supplies) ASSERT_EQ(rig.Supply(supply, kStandard, 600), kAccepted) << supply;
  for (const auto& [actuator, value] : row.running) {
    ASSERT_TRUE(rig.PollActuator(actuator, value)) << actuator << "\n" << Joined(rig.BoardCommands());
  }
  EXPECT_TRUE(notify.WaitFor("READY=1"));
  EXPECT_TRUE(notify.WaitFor("WATCHDOG=1")) << notify.received();
  ASSERT_EQ(::kill(rig.service().pid(), SIGTERM), 0);
  EXPECT_TRUE(notify.WaitFor("STOPPING=1")) << notify.received();
  EXPECT_EQ(rig.service().WaitExit(std::chrono::seconds(20)), 0);
  EXPECT_EQ(Joined(rig.ActuatorsOn()), "") << rig.Board("log");
  EXPECT_EQ(rig.Mismatched(), 0);
  EXPECT_EQ(Joined(rig.SanitizerReports()), "");
}

// Slow rates keep each task in its running phase long after the signal.
INSTANTIATE_TEST_SUITE_P(
    Stop, SigtermTest,
    testing::Values(
        StopRow{"reset_draining", {"--level", "1000", "--drain-rate", "10"}, {}, false, {}, {{"DRAINAGE_SWITCH", 1}}},
        StopRow{"disinfectant_filling", {"--level", "0", "--fill-rate", "10"}, {"dock"}, true, {}, {{"TAP_WATER_SWITCH", 1}}},
        StopRow{"add_water_supplying", {"--level", "0", "--fill-rate", "1000", "--supply-rate", "10"}, {"dock"}, true,
                {kWatering}, {{"SUPPLY_WATER_SWITCH", 1}}},
        StopRow{"dry_wire_uv", {"--level", "0"}, {"dock", "set heatingWireTemp 20"}, false,
                {kHeatingFan, kHeatingWire, kUvLamp}, {{"HEATING_FAN", 1}, {"HEATING_WIRE", 1}, {"UV_LAMP", 1}}},
        StopRow{"silent_board", {"--level", "0"}, {"fail next 100 silent"}, false, {}, {}}),
    testing::PrintToStringParamName());

}  // namespace
}  // namespace station_test
