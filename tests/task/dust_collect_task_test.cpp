#include "task/dust_collect_task.h"

#include <gtest/gtest.h>

#include "service_task_support.h"

namespace station_center {
namespace {

using namespace service_task_test;
using station_test::FakeBoard;
using station_test::SupplyRequest;

const std::string kCollectOn = Act(station::ENUM_SUPPLY_COLLECT_DUST, 1);
const std::string kCollectOff = Act(station::ENUM_SUPPLY_COLLECT_DUST, 0);

station::SensorsDataRep DustReady(int32_t pressure = 0) {
  station::SensorsDataRep report = RobotDocked(Tank(1, 0, 0));
  report.set_dustbagdet(1);
  report.set_dustboxcapdet(1);
  report.set_negativepressure(pressure);
  return report;
}

TEST(DustCollectTask, SwitchesCollectionOnOnceAndKeepsItOn) {
  auto station = StartStation();
  auto task = std::make_shared<DustCollectTask>(station->center(), SupplyCommand(2, 0));
  EXPECT_EQ(Cycle(*station, *task, DustReady()), Commands{kCollectOn});
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_RUNNING);
  AdvanceClock(1000);
  EXPECT_EQ(Cycle(*station, *task, DustReady()), Commands{});
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_RUNNING);
}

TEST(DustCollectTask, TimeLimitFiresOnlyPastTheDuration) {
  auto station = StartStation();
  auto task = std::make_shared<DustCollectTask>(station->center(), SupplyCommand(2, 30));
  Cycle(*station, *task, DustReady());
  AdvanceClock(30);
  task->ExecuteStep(DustReady());
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_RUNNING);
  AdvanceClock(1);
  EXPECT_EQ(Cycle(*station, *task, DustReady()), Commands{});
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_ERROR);
  station->MarkCommands();
  EXPECT_TRUE(task->DoReset());
  EXPECT_EQ(station->CommandsSinceMark(), Commands{kCollectOff});
}

TEST(DustCollectTask, EveryRefusedCollectCommandIsAnError) {
  auto station = StartStation();
  auto task = std::make_shared<DustCollectTask>(station->center(), SupplyCommand(2, 0));
  station->board().ScriptNext(FakeBoard::Answer::kError);
  EXPECT_EQ(Cycle(*station, *task, DustReady()), Commands{kCollectOn});
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_ERROR);

  auto running = std::make_shared<DustCollectTask>(station->center(), SupplyCommand(2, 0));
  Cycle(*station, *running, DustReady());
  station->board().ScriptNext(FakeBoard::Answer::kError);
  EXPECT_FALSE(running->DoReset());
  EXPECT_EQ(running->GetTaskStatus(), TASK_STATUS_ERROR);

  auto canceled = std::make_shared<DustCollectTask>(station->center(), SupplyCommand(2, 0));
  Cycle(*station, *canceled, DustReady());
  station->board().ScriptNext(FakeBoard::Answer::kError);
  EXPECT_FALSE(canceled->HandleTaskCommand(TASK_COMMAND_CANCEL, StationSrvReq()));
  EXPECT_EQ(canceled->GetTaskStatus(), TASK_STATUS_ERROR);
}

struct AdmissionCase {
  const char* name;
  uint32_t bag;
  uint32_t cap;
  int32_t pressure;
  const char* refusal;
};

class DustCollectAdmission : public ::testing::TestWithParam<AdmissionCase> {};

TEST_P(DustCollectAdmission, ChecksBagCapAndPressureInOrder) {
  const AdmissionCase c = GetParam();
  auto station = StartStation();
  station::SensorsDataRep report = DustReady(c.pressure);
  report.set_dustbagdet(c.bag);
  report.set_dustboxcapdet(c.cap);
  ASSERT_TRUE(station->PushReport(report));
  const StationSrvRsp rsp = station->center()->HandleService(SupplyRequest(TASK_TYPE_DUST_COLLECT, 2));
  EXPECT_EQ(rsp.err_msg, c.refusal);
  EXPECT_EQ(rsp.result, std::string(c.refusal).empty() ? SRV_RESULT_OK : SRV_RESULT_FAILED);
  if (rsp.result == SRV_RESULT_OK) {
    ASSERT_TRUE(station->WaitForCommands(1));
    StopAndWaitIdle(*station, TASK_TYPE_DUST_COLLECT);
  }
  EXPECT_EQ(LeftOn(station->Commands()), (std::map<int, int>{}));
}

INSTANTIATE_TEST_SUITE_P(
    Conditions, DustCollectAdmission,
    ::testing::Values(AdmissionCase{"NoBag", 0, 0, 5000, "dust bag not in place"},
                      AdmissionCase{"CapOpen", 1, 0, 5000, "dust box cap not in place"},
                      AdmissionCase{"PressureOverUpLimit", 1, 1, 2001, "negative pressure over up limit"},
                      AdmissionCase{"PressureAtUpLimit", 1, 1, 2000, ""},
                      AdmissionCase{"PressureUnderDownLimit", 1, 1, -28001, "negative pressure under down limit"},
                      AdmissionCase{"PressureAtDownLimit", 1, 1, -28000, ""}),
    [](const ::testing::TestParamInfo<AdmissionCase>& param_info) { return std::string(param_info.param.name); });

TEST(DustCollectTask, ARunningSprayIsReportedAsConflict) {
  auto station = StartStation();
  ASSERT_TRUE(station->PushReport(DustReady()));
  WriteTaskData(*station, [](StationTaskData& d) { d.sewage_pump_left_on = d.spray_interrupted = true; });
  StartThroughService(*station, SupplyRequest(TASK_TYPE_WATER_SPRAY, 2), 1);
  const StationSrvRsp rsp = station->center()->HandleService(SupplyRequest(TASK_TYPE_DUST_COLLECT, 2));
  EXPECT_EQ(rsp.result, SRV_RESULT_FAILED);
  EXPECT_EQ(rsp.err_msg, "pre check failed, have conflict task 7 is running");
  StopAndWaitIdle(*station, TASK_TYPE_WATER_SPRAY);
}

TEST(DustCollectTask, StopRequestLeavesNothingSwitchedOn) {
  auto station = StartStation();
  ASSERT_TRUE(station->PushReport(DustReady()));
  StartThroughService(*station, SupplyRequest(TASK_TYPE_DUST_COLLECT, 3, 600), 1);
  EXPECT_EQ(StopAndWaitIdle(*station, TASK_TYPE_DUST_COLLECT).result, SRV_RESULT_OK);
  EXPECT_EQ(station->CommandsSinceMark(), (Commands{kCollectOn, kCollectOff, kCollectOff}));
  EXPECT_EQ(LeftOn(station->Commands()), (std::map<int, int>{}));
}

}  // namespace
}  // namespace station_center
