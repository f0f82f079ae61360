// The simulated board, run as the real binary: its tank model, its reports and
// the failures it injects on request, seen through the station's own
// communicator and report server.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bottom/embedded_communicator.h"
#include "config.h"
#include "sim_process.h"
#include "support/spawn.h"
#include "support/fake_board.h"

namespace station_center {
namespace {

using station_test::Action;
using station_test::SimProcess;

struct Sink {
  std::mutex mutex;
  std::vector<station::SensorsDataRep> reports;
};
// Used by the detached report server thread until the process ends.
Sink* const sink = new Sink();
auto* const kept_alive = new std::vector<std::shared_ptr<EmbeddedCommunicator>>();
// Simulators stay up until the test process ends (--exit-with-parent ends them
// then): stopping one earlier closes the report connection, and the server
// thread would log while the process's logger is being destroyed.
auto* const sims = new std::vector<std::unique_ptr<SimProcess>>();

class BoardSimTest : public testing::Test {
 protected:
  // Starts the simulator with `args` and a communicator connected to it.
  void Launch(std::vector<std::string> args) {
    const uint16_t report_port = station_test::PickFreeLoopbackPort();
    ASSERT_NE(report_port, 0);
    args.push_back("--report-port");
    args.push_back(std::to_string(report_port));
    ASSERT_TRUE(sim_.Start(args));
    config_reader.embedded_ip = "127.0.0.1";
    config_reader.embedded_action_port = static_cast<uint16_t>(sim_.command_port());
    config_reader.soc_ip = "127.0.0.1";
    config_reader.soc_data_server_port = report_port;
    config_reader.bottom_action_timeout = 1;
    kept_alive->push_back(std::make_shared<EmbeddedCommunicator>());
    comm_ = kept_alive->back().get();
    ASSERT_TRUE(comm_->Init([](const station::SensorsDataRep& r) {
      std::lock_guard<std::mutex> lock(sink->mutex);
      sink->reports.push_back(r);
    }));
    // One report through the report server proves the connection is served.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!Json("stats")["report_connected"].GetBool() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(sim_.Command("inject burst 1"), "ok");
    ASSERT_TRUE(WaitForReport([](const station::SensorsDataRep&) { return true; }));
  }

  // The report server thread must be idle when the process exits: it would
  // otherwise log into the logger while that is being destroyed.
  void TearDown() override {
    if (comm_ == nullptr) {
      return;
    }
    sim_.Command("reports pause");
    const unsigned sent = Json("stats")["reports_sent"].GetUint();
    WaitForReport([sent](const station::SensorsDataRep& r) { return r.seq() >= sent; });
  }

  rapidjson::Document Json(const std::string& command) {
    const std::string reply = sim_.Command(command);
    rapidjson::Document doc;
    doc.Parse(reply.c_str());
    EXPECT_TRUE(!doc.HasParseError() && doc.IsObject()) << command << " -> " << reply;
    return doc;
  }

  double Level() { return Json("state")["level"].GetDouble(); }
  unsigned ReportField(const char* name) { return Json("report")[name].GetUint(); }

  std::vector<station::SensorsDataRep> Reports() {
    std::lock_guard<std::mutex> lock(sink->mutex);
    return sink->reports;
  }

  // Polls until a delivered report satisfies `pred` (generous bound).
  template <typename Pred>
  bool WaitForReport(Pred pred) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      for (const auto& r : Reports()) {
        if (pred(r)) {
          return true;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  // Polls the simulator until it has sent at least `count` reports; returns its count.
  unsigned WaitUntilSent(unsigned count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    unsigned sent = 0;
    while ((sent = Json("stats")["reports_sent"].GetUint()) < count && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return sent;
  }

  SimProcess& sim_ = *sims->emplace_back(std::make_unique<SimProcess>());
  EmbeddedCommunicator* comm_ = nullptr;
};

TEST_F(BoardSimTest, TapFillsTheTankAndTheFlowMeterCountsFromTheLastOpening) {
  Launch({"--manual-clock", "--capacity", "500", "--fill-rate", "100", "--report-rate", "0"});
  EXPECT_EQ(ReportField("cleanTankFootLevel"), 1u);
  ASSERT_TRUE(comm_->DoAction(Action(station::ENUM_SUPPLY_TAP_WATER_SWITCH, 1)));
  EXPECT_EQ(sim_.Command("advance 2000"), "ok");
  EXPECT_DOUBLE_EQ(Level(), 200);
  EXPECT_EQ(ReportField("flowMeter"), 200u);
  EXPECT_EQ(ReportField("cleanTankFootLevel"), 0u);
  EXPECT_EQ(ReportField("cleanTankUpLevel"), 0u);

  EXPECT_EQ(sim_.Command("advance 4000"), "ok");  // 400 more would overflow: the tank holds 500
  EXPECT_DOUBLE_EQ(Level(), 500);
  EXPECT_EQ(ReportField("cleanTankUpLevel"), 1u);
  EXPECT_EQ(ReportField("flowMeter"), 600u) << "the meter counts what came in";

  ASSERT_TRUE(comm_->DoAction(Action(station::ENUM_SUPPLY_TAP_WATER_SWITCH, 0)));
  EXPECT_EQ(sim_.Command("level 100"), "ok");
  ASSERT_TRUE(comm_->DoAction(Action(station::ENUM_SUPPLY_TAP_WATER_SWITCH, 1)));
  EXPECT_EQ(ReportField("flowMeter"), 0u) << "reopening the tap restarts the count";
  EXPECT_EQ(sim_.Command("advance 500"), "ok");
  EXPECT_EQ(ReportField("flowMeter"), 50u);
}

struct DrainCase {
  const char* name;
  station::EnumSupplyType valve;
  double per_second;
};

class BoardSimDrainTest : public BoardSimTest, public testing::WithParamInterface<DrainCase> {};

TEST_P(BoardSimDrainTest, OpenValveEmptiesTheTankAtItsRate) {
  Launch({"--manual-clock", "--capacity", "1000", "--level", "300", "--drain-rate", "200", "--supply-rate", "50",
          "--report-rate", "0"});
  ASSERT_TRUE(comm_->DoAction(Action(GetParam().valve, 1)));
  EXPECT_EQ(sim_.Command("advance 1000"), "ok");
  EXPECT_DOUBLE_EQ(Level(), 300 - GetParam().per_second);
  EXPECT_EQ(ReportField("cleanTankFootLevel"), 0u);
  EXPECT_EQ(sim_.Command("advance 10000"), "ok");
  EXPECT_DOUBLE_EQ(Level(), 0);
  EXPECT_EQ(ReportField("cleanTankFootLevel"), 1u);
  ASSERT_TRUE(comm_->DoAction(Action(GetParam().valve, 0)));
  EXPECT_EQ(Json("state")["actuators"][station::EnumSupplyType_Name(GetParam().valve).c_str()].GetInt(), 0);
}

INSTANTIATE_TEST_SUITE_P(Valves, BoardSimDrainTest,
                         testing::Values(DrainCase{"Drainage", station::ENUM_SUPPLY_DRAINAGE_SWITCH, 200},
                                         DrainCase{"SupplyWater", station::ENUM_SUPPLY_SUPPLY_WATER_SWITCH, 50}),
                         [](const testing::TestParamInfo<DrainCase>& param_info) {
                           return std::string(param_info.param.name);
                         });

TEST_F(BoardSimTest, HeatingWireWarmsWhileOnAndCoolsTowardsAmbient) {
  Launch({"--manual-clock", "--heat-rate", "2", "--cool-rate", "1", "--ambient", "25", "--report-rate", "0"});
  ASSERT_TRUE(comm_->DoAction(Action(station::ENUM_SUPPLY_HEATING_WIRE, 1)));
  EXPECT_EQ(sim_.Command("advance 10000"), "ok");
  EXPECT_DOUBLE_EQ(Json("report")["heatingWireTemp"].GetDouble(), 45);
  ASSERT_TRUE(comm_->DoAction(Action(station::ENUM_SUPPLY_HEATING_WIRE, 0)));
  EXPECT_EQ(sim_.Command("advance 5000"), "ok");
  EXPECT_DOUBLE_EQ(Json("report")["heatingWireTemp"].GetDouble(), 40);
  EXPECT_EQ(sim_.Command("advance 100000"), "ok");
  EXPECT_DOUBLE_EQ(Json("report")["heatingWireTemp"].GetDouble(), 25);
}

// Every failure the simulator injects on request reaches the communicator as a
// failed command; the board did not carry out an error or unanswered command.
struct InjectedFailure {
  const char* name;
  const char* control;
  const char* answer;  // as the command log records it
  int tap_after;       // the tap's last value in the board's state
};

class BoardSimFailureTest : public BoardSimTest, public testing::WithParamInterface<InjectedFailure> {};

TEST_P(BoardSimFailureTest, NextCommandFailsAndTheOneAfterGoesThrough) {
  Launch({"--manual-clock", "--report-rate", "0"});
  ASSERT_EQ(sim_.Command(GetParam().control), "ok");
  EXPECT_FALSE(comm_->DoAction(Action(station::ENUM_SUPPLY_TAP_WATER_SWITCH, 1)));
  EXPECT_EQ(Json("state")["actuators"].HasMember("ENUM_SUPPLY_TAP_WATER_SWITCH") ? 1 : 0, GetParam().tap_after);
  EXPECT_TRUE(comm_->DoAction(Action(station::ENUM_SUPPLY_UV_LAMP, 1)));
  const rapidjson::Document log = Json("log");
  const auto& commands = log["commands"];
  ASSERT_EQ(commands.Size(), 2u);
  EXPECT_STREQ(commands[0]["type"].GetString(), "ENUM_SUPPLY_TAP_WATER_SWITCH");
  EXPECT_STREQ(commands[0]["answer"].GetString(), GetParam().answer);
  EXPECT_STREQ(commands[1]["type"].GetString(), "ENUM_SUPPLY_UV_LAMP");
  EXPECT_STREQ(commands[1]["answer"].GetString(), "success");
}

INSTANTIATE_TEST_SUITE_P(Injected, BoardSimFailureTest,
                         testing::Values(InjectedFailure{"ErrorCode", "fail next 1 error 3", "error:3", 0},
                                         InjectedFailure{"WrongSeq", "fail next 1 wrong-seq", "wrong-seq", 1},
                                         InjectedFailure{"Silent", "fail next 1 silent", "silent", 0}),
                         [](const testing::TestParamInfo<InjectedFailure>& param_info) {
                           return std::string(param_info.param.name);
                         });

TEST_F(BoardSimTest, FailureByTypeHitsOnlyThatActuator) {
  Launch({"--manual-clock", "--report-rate", "0"});
  ASSERT_EQ(sim_.Command("fail type DRAINAGE_SWITCH error"), "ok");
  EXPECT_FALSE(comm_->DoAction(Action(station::ENUM_SUPPLY_DRAINAGE_SWITCH, 1)));
  EXPECT_TRUE(comm_->DoAction(Action(station::ENUM_SUPPLY_TAP_WATER_SWITCH, 1)));
  EXPECT_FALSE(comm_->DoAction(Action(station::ENUM_SUPPLY_DRAINAGE_SWITCH, 1)));
  ASSERT_EQ(sim_.Command("fail clear"), "ok");
  EXPECT_TRUE(comm_->DoAction(Action(station::ENUM_SUPPLY_DRAINAGE_SWITCH, 1)));
}

TEST_F(BoardSimTest, ControlChannelRejectsBadInputWithAnErrorLine) {
  Launch({"--manual-clock", "--report-rate", "0"});
  for (const char* bad : {"set noSuchField 1", "set flowMeter -1", "set selfCheckState maybe", "fail next 0 silent",
                          "fail type NOPE error", "fail next 1 error 9", "inject burst x", "frobnicate"}) {
    EXPECT_EQ(sim_.Command(bad).rfind("error: ", 0), 0u) << bad;
  }
  EXPECT_EQ(sim_.Command("state").front(), '{') << "the channel still answers";
}

TEST_F(BoardSimTest, ReportsCarrySetFieldsAndDockState) {
  Launch({"--report-rate", "50"});
  ASSERT_EQ(sim_.Command("set negativePressure -1500"), "ok");
  ASSERT_EQ(sim_.Command("dock"), "ok");
  EXPECT_TRUE(WaitForReport([](const station::SensorsDataRep& r) {
    return r.negativepressure() == -1500 && r.robotdockdetleft() == 1 && r.robotdockdetright() == 1 &&
           r.electrodeplatedet() == 1 && r.selfcheckstate() && r.initsensorsstate() && r.initactuatorsstate();
  }));
  ASSERT_EQ(sim_.Command("undock"), "ok");
  EXPECT_TRUE(WaitForReport([](const station::SensorsDataRep& r) {
    return r.negativepressure() == -1500 && r.robotdockdetleft() == 0 && r.electrodeplatedet() == 0;
  }));
}

TEST_F(BoardSimTest, BurstAndSplitFramesOnTheReportConnectionAllArrive) {
  Launch({"--report-rate", "5"});
  ASSERT_TRUE(WaitForReport([](const station::SensorsDataRep&) { return true; }));
  ASSERT_EQ(sim_.Command("reports pause"), "ok");
  ASSERT_EQ(sim_.Command("inject burst 10"), "ok");
  ASSERT_EQ(sim_.Command("inject split"), "ok");
  ASSERT_EQ(sim_.Command("inject burst 3"), "ok");
  const unsigned sent = WaitUntilSent(14);
  ASSERT_TRUE(WaitForReport([sent](const station::SensorsDataRep& r) { return r.seq() == sent; }));
  const auto reports = Reports();
  for (size_t i = 1; i < reports.size(); ++i) {
    EXPECT_EQ(reports[i].seq(), reports[i - 1].seq() + 1) << "no report lost or repeated";
  }
}

TEST_F(BoardSimTest, GarbageOnTheReportConnectionCostsNoMoreThanTheBytesHeld) {
  Launch({"--report-rate", "5"});
  ASSERT_TRUE(WaitForReport([](const station::SensorsDataRep&) { return true; }));
  ASSERT_EQ(sim_.Command("reports pause"), "ok");
  const unsigned before = Json("stats")["reports_sent"].GetUint();
  ASSERT_EQ(sim_.Command("inject garbage"), "ok");
  ASSERT_EQ(sim_.Command("reports resume"), "ok");
  // The connection stays up: reports sent after the garbage keep arriving.
  EXPECT_TRUE(WaitForReport([before](const station::SensorsDataRep& r) { return r.seq() >= before + 3; }));
  EXPECT_TRUE(Json("stats")["report_connected"].GetBool());
}

TEST_F(BoardSimTest, ClosedCommandConnectionIsReopenedByTheNextCommand) {
  Launch({"--manual-clock", "--report-rate", "0"});
  ASSERT_TRUE(comm_->DoAction(Action(station::ENUM_SUPPLY_CHARGING, 1)));
  ASSERT_EQ(sim_.Command("close command"), "ok");
  // Let the simulator act on the close before the next command.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (Json("stats")["command_connected"].GetBool() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(comm_->DoAction(Action(station::ENUM_SUPPLY_CHARGING, 0)));
  EXPECT_EQ(Json("state")["actuators"]["ENUM_SUPPLY_CHARGING"].GetInt(), 0);
}

TEST(BoardSimCommandLineTest, HelpExplainsTheOptions) {
  FILE* out = ::popen(station_test::ProgramCommand(STATION_BINARY_DIR "/station_board_sim --help").c_str(), "r");
  ASSERT_NE(out, nullptr);
  std::string text;
  char buf[512];
  while (std::fgets(buf, sizeof(buf), out) != nullptr) {
    text += buf;
  }
  EXPECT_EQ(::pclose(out), 0);
  for (const char* option : {"--command-port", "--report-port", "--control-port", "--report-rate", "--capacity",
                             "--level", "--state", "--ready-file"}) {
    EXPECT_NE(text.find(option), std::string::npos) << option;
  }
}

TEST(BoardSimCommandLineTest, StateFileSetsTheInitialState) {
  const std::string path = testing::TempDir() + "/board_sim_state.json";
  FILE* f = std::fopen(path.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fputs("{\"level\": 250, \"docked\": true, \"sewageFull\": 1, \"selfCheckState\": false}", f);
  std::fclose(f);
  SimProcess sim;
  ASSERT_TRUE(sim.Start({"--manual-clock", "--report-rate", "0", "--report-port", "1", "--state", path}));
  rapidjson::Document report;
  report.Parse(sim.Command("report").c_str());
  ASSERT_TRUE(report.IsObject());
  EXPECT_EQ(report["sewageFull"].GetUint(), 1u);
  EXPECT_EQ(report["robotDockDetLeft"].GetUint(), 1u);
  EXPECT_FALSE(report["selfCheckState"].GetBool());
  rapidjson::Document state;
  state.Parse(sim.Command("state").c_str());
  EXPECT_DOUBLE_EQ(state["level"].GetDouble(), 250);
}

}  // namespace
}  // namespace station_center
