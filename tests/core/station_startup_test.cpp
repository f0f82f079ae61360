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
  // A failed reset is not reset again: the station center only enters
  // STATION_ERROR, and only a later reset closes the switch.
  EXPECT_EQ(station.Commands(), Cmds{"act 13:1"});

  StationSrvReq water = station_test::SupplyRequest(TASK_TYPE_SEWAGE_DRAIN_PUMP, 2);
  StationSrvRsp rsp = station.center()->HandleService(water);
  EXPECT_EQ(rsp.result, SRV_RESULT_STATION_ERROR);
  EXPECT_EQ(rsp.err_msg, "station in error status");
}

}  // namespace
}  // namespace station_center
