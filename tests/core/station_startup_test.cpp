#include <gtest/gtest.h>

#include "clock.h"
#include "support/station_fixture.h"

namespace station_center {
namespace {

using station_test::StationHarness;
using Cmds = std::vector<std::string>;

TEST(StationStartup, EmptyTankResetEndsWithoutDrainingAndStationTurnsNormal) {
  StationHarness station;
  ASSERT_NE(station.board().command_port(), 0);
  station.Seed(station_test::EmptyTankReport());
  ASSERT_TRUE(station.Init());
  ASSERT_TRUE(station.WaitForStatus(STATION_NORMAL));
  ASSERT_TRUE(station.WaitIdle());
  EXPECT_EQ(station.Commands(), Cmds{});
}

TEST(StationStartup, FullTankOpensDrainageAndClosesItWhenTheTankReportsEmpty) {
  StationHarness station;
  ASSERT_TRUE(station.Init());
  ASSERT_TRUE(station.WaitForCommands(1));
  EXPECT_EQ(station.Commands(), Cmds{"act 13:1"});
  EXPECT_EQ(station.center()->Status(), STATION_RESET);
  EXPECT_TRUE(station.center()->HasTask(TASK_TYPE_RESET_STATION));

  ASSERT_TRUE(station.PushReport(station_test::EmptyTankReport()));
  ASSERT_TRUE(station.WaitForStatus(STATION_NORMAL));
  ASSERT_TRUE(station.WaitIdle());
  EXPECT_EQ(station.Commands(), (Cmds{"act 13:1", "act 13:0"}));
}

TEST(StationStartup, DrainTimeOutPutsTheStationIntoError) {
  StationHarness station;
  ASSERT_TRUE(station.Init());
  ASSERT_TRUE(station.WaitForCommands(1));
  AdvanceClock(300);
  ASSERT_TRUE(station.PushReport(station_test::Report()));
  EXPECT_TRUE(station.center()->HasTask(TASK_TYPE_RESET_STATION));
  EXPECT_EQ(station.center()->Status(), STATION_RESET);
  AdvanceClock(1);
  ASSERT_TRUE(station.WaitForStatus(STATION_ERROR));
  ASSERT_TRUE(station.WaitIdle());
  // The failed reset closes the drainage it opened.
  EXPECT_EQ(station.Commands(), (Cmds{"act 13:1", "act 13:0"}));

  StationSrvReq water = station_test::SupplyRequest(TASK_TYPE_SEWAGE_DRAIN_PUMP, 2);
  StationSrvRsp rsp = station.center()->HandleService(water);
  EXPECT_EQ(rsp.result, SRV_RESULT_STATION_ERROR);
  EXPECT_EQ(rsp.err_msg, "station in error status");
}

// A station in error shows it on the LEDs and tries a new reset every
// auto_reset_time_space seconds until one succeeds.
TEST(StationStartup, AStationInErrorShowsItAndResetsAgainAfterTheIdlePeriod) {
  StationHarness station;
  station.board().ScriptNext(station_test::FakeBoard::Answer::kError);  // the drain refused once
  ASSERT_TRUE(station.Init());
  ASSERT_TRUE(station.WaitForStatus(STATION_ERROR));
  ASSERT_TRUE(station.WaitIdle());
  EXPECT_EQ(station.Commands(), (Cmds{"act 13:1", "act 13:0"}));

  station.MarkCommands();
  station.center()->ReflushLed();  // the error rule comes first in the shipped priorities
  EXPECT_EQ(station.CommandsSinceMark(), Cmds{"led 8"});

  AdvanceClock(300);
  station.center()->AutoReset();
  EXPECT_EQ(station.center()->Status(), STATION_ERROR);
  AdvanceClock(1);
  station.center()->AutoReset();
  ASSERT_TRUE(station.WaitForCommands(2));
  EXPECT_EQ(station.center()->Status(), STATION_RESET);
  ASSERT_TRUE(station.PushReport(station_test::EmptyTankReport()));
  ASSERT_TRUE(station.WaitForStatus(STATION_NORMAL));
  ASSERT_TRUE(station.WaitIdle());
  EXPECT_EQ(station.CommandsSinceMark(), (Cmds{"led 8", "act 13:1", "act 13:0"}));

  station.MarkCommands();
  station.center()->ReflushLed();
  const Cmds led = station.CommandsSinceMark();
  ASSERT_EQ(led.size(), 1u);
  EXPECT_NE(led[0], "led 8");
}

// A reset that fails again puts the station back into error, and the next
// attempt follows one more period later.
TEST(StationStartup, AFailedRecoveryIsRetriedAfterAnotherPeriod) {
  StationHarness station;
  station.board().ScriptNext(station_test::FakeBoard::Answer::kError);
  ASSERT_TRUE(station.Init());
  ASSERT_TRUE(station.WaitForStatus(STATION_ERROR));
  ASSERT_TRUE(station.WaitIdle());
  station.MarkCommands();
  station.board().ScriptNext(station_test::FakeBoard::Answer::kError);
  AdvanceClock(301);
  station.center()->AutoReset();
  ASSERT_TRUE(station.WaitForStatus(STATION_ERROR));
  ASSERT_TRUE(station.WaitIdle());
  AdvanceClock(300);
  station.center()->AutoReset();
  EXPECT_EQ(station.center()->Status(), STATION_ERROR);
  AdvanceClock(1);
  station.center()->AutoReset();
  ASSERT_TRUE(station.PushReport(station_test::EmptyTankReport()));
  ASSERT_TRUE(station.WaitForStatus(STATION_NORMAL));
  ASSERT_TRUE(station.WaitIdle());
  EXPECT_EQ(station.CommandsSinceMark(), (Cmds{"act 13:1", "act 13:0", "act 13:1", "act 13:0"}));
}

}  // namespace
}  // namespace station_center
