// A misbehaving board under the real service, with the simulated board
// reporting at 100 reports a second: silent, answering errors or a wrong id,
// closing the command connection in the middle of an exchange, sending
// garbage, split and coalesced report frames, and dropping its report
// connection. The robot keeps asking meanwhile; every request must be answered
// exactly once, every report the board sent must be taken in, and the station
// must command the board again once it behaves.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "fault_env.h"

namespace station_test {
namespace {

constexpr int kStandard = 2;
constexpr int kStop = 4;
constexpr int kHeatingFan = 6;  // the dry task: switches the heating fan on
constexpr int kUvLamp = 9;

E2eOptions FastReportingStation() {
  E2eOptions options;
  options.board_args = {"--level", "0", "--report-rate", "100"};
  options.config = CountingConfig();
  options.config["sensor_report_timeout"] = "3";
  return options;
}

void StartDocked(EndToEnd& e2e, const E2eOptions& options) {
  ASSERT_TRUE(e2e.Start(options));
  ASSERT_TRUE(e2e.WaitServing(std::chrono::seconds(60))) << e2e.station().Output();
  ASSERT_EQ(e2e.Board("dock"), "ok");
  ASSERT_TRUE(e2e.WaitNormal()) << e2e.station().Output();
}

// The entries of the simulator's command log whose answer is `answer`.
long long AnsweredWith(EndToEnd& e2e, const std::string& answer) {
  const std::string log = e2e.Board("log");
  const std::string needle = "\"answer\":\"" + answer + "\"";
  long long count = 0;
  for (size_t at = log.find(needle); at != std::string::npos; at = log.find(needle, at + needle.size())) {
    ++count;
  }
  return count;
}

long long Occurrences(const std::string& text, const std::string& part) {
  long long count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) {
    ++count;
  }
  return count;
}

// A few status questions from the robot while the fault is in effect.
void AskMeanwhile(RequestLedger& ledger, int count) {
  for (int i = 0; i < count; ++i) {
    EXPECT_FALSE(ledger.Check(0).empty()) << "request " << i << " unanswered";
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

struct BoardFault {
  const char* name;
  // Simulator commands that arm the fault before the dry task is asked for.
  // They fail the heating fan's commands only: an LED change may come first.
  std::vector<std::string> arm;
  // Close the command connection once the board holds the unanswered command.
  bool close_mid_exchange;
  // Simulator commands injected on the report stream while the robot asks.
  std::vector<std::string> inject;
  // Runs of reports the station may drop: an undecodable frame costs the
  // frames held behind it in the same read (the report server drops what it
  // holds once a frame does not decode), never more.
  long long lost_runs_allowed;
};

// The case's name in gtest's listings instead of the struct's bytes.
void PrintTo(const BoardFault& c, std::ostream* os) { *os << c.name; }

class BoardFaultTest : public testing::TestWithParam<BoardFault> {};

TEST_P(BoardFaultTest, EveryRequestAnsweredNoReportLostAndTheBoardCommandedAgain) {
  const BoardFault& fault = GetParam();
  EndToEnd e2e;
  StartDocked(e2e, FastReportingStation());
  if (HasFatalFailure()) {
    return;
  }
  RequestLedger ledger(e2e);

  for (const std::string& command : fault.arm) {
    ASSERT_EQ(e2e.Board(command), "ok") << command;
  }
  // The dry task's first board command meets the fault.
  EXPECT_EQ(ledger.Supply(kHeatingFan, kStandard), kAccepted);
  if (fault.close_mid_exchange) {
    ASSERT_TRUE(PollUntil([&] { return AnsweredWith(e2e, "silent") >= 1; })) << e2e.Board("log");
    ASSERT_EQ(e2e.Board("close command"), "ok");
  }
  for (const std::string& command : fault.inject) {
    ASSERT_EQ(e2e.Board(command), "ok") << command;
    AskMeanwhile(ledger, 2);
  }
  AskMeanwhile(ledger, 5);

  // The board behaves again: a later dry task switches the fan on and its stop switches it off.
  ASSERT_EQ(e2e.Board("fail clear"), "ok");
  if (!fault.arm.empty()) {
    // The failed command ended the first dry task in error; wait until it has gone.
    ASSERT_TRUE(PollUntil([&] { return e2e.station().OutputHas("task_type 9, error occurred"); },
                          std::chrono::seconds(20)))
        << e2e.station().Output();
  }
  const size_t before = e2e.BoardCommands().size();
  const bool started = PollUntil(
      [&] {
        const std::string reply = ledger.Supply(kHeatingFan, kStandard);
        if (reply == kAccepted || reply == kRenewed) {
          return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        return false;
      },
      std::chrono::seconds(20));
  ASSERT_TRUE(started) << e2e.station().Output();
  const bool commanded = PollUntil([&] {
    const std::vector<std::string> sent = e2e.BoardCommands();
    return std::find(sent.begin() + static_cast<long>(std::min(before, sent.size())), sent.end(), "HEATING_FAN 1") !=
               sent.end() ||
           fault.arm.empty();
  });
  EXPECT_TRUE(commanded) << Joined(e2e.BoardCommands());
  EXPECT_TRUE(e2e.PollActuator("HEATING_FAN", 1)) << Joined(e2e.BoardCommands());
  EXPECT_NE(ledger.Supply(kHeatingFan, kStop).find("\"errCode\":0"), std::string::npos);
  EXPECT_TRUE(e2e.PollActuator("HEATING_FAN", 0)) << Joined(e2e.BoardCommands());

  const ReportTally reports = TallyReports(e2e);
  const long long mismatched = ledger.Mismatched();
  const std::vector<std::string> on = ActuatorsOn(e2e);
  EXPECT_TRUE(SanitizerReports(e2e.station().Output()).empty()) << e2e.station().Output();
  PrintCounts(fault.name, ledger.ToText() + " mismatched " + std::to_string(mismatched) + "; " + ToText(reports) +
                              "; actuators on after stop " + std::to_string(on.size()));
  EXPECT_EQ(ledger.Answered(), ledger.Sent());
  EXPECT_EQ(mismatched, 0) << "a request answered twice or not at all";
  EXPECT_GT(reports.sent, 100);
  EXPECT_LE(reports.lost_runs, fault.lost_runs_allowed)
      << "first lost seq " << (reports.missing.empty() ? 0 : reports.missing[0]);
  if (fault.lost_runs_allowed == 0) {
    EXPECT_EQ(reports.lost, 0);
  } else {
    // One read holds at most data_upload_server_cache_size bytes: some 40 reports.
    EXPECT_LE(reports.lost, 40 * fault.lost_runs_allowed);
  }
  EXPECT_EQ(reports.corrupt, 0);
  EXPECT_TRUE(on.empty()) << Joined(on);
  const long long garbage = std::count(fault.inject.begin(), fault.inject.end(), std::string("inject garbage"));
  EXPECT_EQ(Occurrences(e2e.station().Output(), "ErrorCode: 101900012, Deserialize CleanRobotReport error"), garbage);
  EXPECT_EQ(e2e.station().WaitExit(std::chrono::milliseconds(0)), -1) << "the station ended\n"
                                                                          << e2e.station().Output();
}

// The board drops its report connection and connects again a second later:
// the reports resume and the running tasks go on. When the reports stay away
// longer than sensor_report_timeout, the tasks are canceled and everything
// they drove is off; the returning reports start nothing again.
TEST(ReportConnectionFault, DroppedAndTakenUpAgain) {
  EndToEnd e2e;
  StartDocked(e2e, FastReportingStation());
  if (HasFatalFailure()) {
    return;
  }
  RequestLedger ledger(e2e);
  EXPECT_EQ(ledger.Supply(kHeatingFan, kStandard), kAccepted);
  EXPECT_EQ(ledger.Supply(kUvLamp, kStandard), kAccepted);
  ASSERT_TRUE(e2e.PollActuator("HEATING_FAN", 1));
  ASSERT_TRUE(e2e.PollActuator("UV_LAMP", 1));

  // A short drop: the board is back within a second or two.
  const size_t decoded_before = DecodedSeqs(e2e.station().Output()).size();
  ASSERT_EQ(e2e.Board("close report"), "ok");
  ASSERT_TRUE(PollUntil([&] { return BoardNumber(e2e, "stats", "report_connected") == 0; }));
  AskMeanwhile(ledger, 3);
  ASSERT_TRUE(PollUntil([&] { return DecodedSeqs(e2e.station().Output()).size() > decoded_before + 100; },
                        std::chrono::seconds(15)))
      << "reports did not resume\n"
      << e2e.station().Output();
  EXPECT_TRUE(e2e.station().OutputHas("The connection has been disconnected"));
  EXPECT_EQ(e2e.Actuator("HEATING_FAN"), 1) << "a short drop must not end the tasks";
  EXPECT_EQ(e2e.Actuator("UV_LAMP"), 1);
  const ReportTally short_drop = TallyReports(e2e);

  // A long drop: no report for longer than the limit cancels every task.
  ASSERT_EQ(e2e.Board("reports pause"), "ok");
  ASSERT_EQ(e2e.Board("close report"), "ok");
  EXPECT_TRUE(e2e.PollActuator("HEATING_FAN", 0, std::chrono::seconds(20))) << e2e.station().Output();
  EXPECT_TRUE(e2e.PollActuator("UV_LAMP", 0, std::chrono::seconds(20))) << e2e.station().Output();
  EXPECT_TRUE(e2e.station().OutputHas("ErrorCode: 101900070"));
  AskMeanwhile(ledger, 3);
  ASSERT_EQ(e2e.Board("reports resume"), "ok");
  const size_t decoded_after_pause = DecodedSeqs(e2e.station().Output()).size();
  ASSERT_TRUE(PollUntil([&] { return DecodedSeqs(e2e.station().Output()).size() > decoded_after_pause + 100; },
                        std::chrono::seconds(15)))
      << "reports did not resume\n"
      << e2e.station().Output();
  const ReportTally reports = TallyReports(e2e);
  const long long mismatched = ledger.Mismatched();
  const std::vector<std::string> on = ActuatorsOn(e2e);
  EXPECT_TRUE(SanitizerReports(e2e.station().Output()).empty()) << e2e.station().Output();
  PrintCounts("report connection dropped", ledger.ToText() + " mismatched " + std::to_string(mismatched) +
                                               "; short drop: " + ToText(short_drop) + "; at the end: " +
                                               ToText(reports) + "; actuators on " + std::to_string(on.size()));
  EXPECT_EQ(ledger.Answered(), ledger.Sent());
  EXPECT_EQ(mismatched, 0);
  EXPECT_EQ(reports.lost, 0) << "first lost seq " << (reports.missing.empty() ? 0 : reports.missing[0]);
  EXPECT_EQ(reports.corrupt, 0);
  EXPECT_TRUE(on.empty()) << Joined(on);
}

INSTANTIATE_TEST_SUITE_P(
    Board, BoardFaultTest,
    testing::Values(BoardFault{"silent", {"fail type HEATING_FAN silent"}, false, {}, 0},
                    BoardFault{"error", {"fail type HEATING_FAN error 2"}, false, {}, 0},
                    BoardFault{"wrong_seq", {"fail type HEATING_FAN wrong-seq"}, false, {}, 0},
                    BoardFault{"close_mid_exchange", {"fail type HEATING_FAN silent"}, true, {}, 0},
                    BoardFault{"garbage", {}, false, {"inject garbage", "inject garbage", "inject garbage"}, 3},
                    BoardFault{"split", {}, false, {"inject split", "inject split", "inject split"}, 0},
                    BoardFault{"coalesced", {}, false, {"inject burst 40", "inject burst 120"}, 0}),
    [](const testing::TestParamInfo<BoardFault>& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace station_test
