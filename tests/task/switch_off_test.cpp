// Every switch-off sequence of the tasks that drive more than one actuator,
// with the board refusing each command of it in turn: every switch-off is still
// sent, in its fixed order, and the sequence reports failure when one failed.
// The one exception is the drying fan, which stays on while the board keeps the
// heating wire on.

#include <gtest/gtest.h>

#include <functional>
#include <ostream>

#include "service_task_support.h"
#include "task/add_water_task.h"
#include "task/disinfectant_prepare_task.h"
#include "task/dry_task.h"
#include "task/liquid_prepare_task.h"

namespace station_center {
namespace {

using namespace service_task_test;
using station_test::FakeBoard;

const std::string kTapOff = Act(station::ENUM_SUPPLY_TAP_WATER_SWITCH, 0);
const std::string kSupplyOff = Act(station::ENUM_SUPPLY_SUPPLY_WATER_SWITCH, 0);
const std::string kDrainOff = Act(station::ENUM_SUPPLY_DRAINAGE_SWITCH, 0);
const std::string kPumpOff = Act(station::ENUM_SUPPLY_CLEANING_LIQUID_PUMP, 0);
const std::string kMotorOff = Act(station::ENUM_SUPPLY_DISINFECTANT_PLATES_MOTOR, 0);
const std::string kWireOff = Act(station::ENUM_SUPPLY_HEATING_WIRE, 0);
const std::string kFanOff = Act(station::ENUM_SUPPLY_HEATING_FAN, 0);

enum class Path { kCancel, kStop, kReset };

struct SwitchOffCase {
  const char* name;
  // A task in the state the path meets it in (switches open, fan running).
  std::function<std::shared_ptr<Task>(StationHarness&)> make;
  Path path;
  Commands sequence;
  bool stops_at_first_refusal;
};

std::shared_ptr<Task> AddWater(StationHarness& station) {
  WriteTaskData(station, [](StationTaskData& d) {
    d.water_ready = true;
    d.supply_water_volume = 3;
  });
  return std::make_shared<AddWaterTask>(station.center(), SupplyCommand(2, 0));
}

std::shared_ptr<Task> CleanLiquid(StationHarness& station) {
  return std::make_shared<LiquidPrepareTask>(station.center(), TASK_TYPE_CLEAN_LIQUID_PREPARE, PrepareCommand(0, 2));
}

// Draining: the drainage switch is open.
std::shared_ptr<Task> DisinfectantDraining(StationHarness& station) {
  auto task = std::make_shared<DisinfectantPrepareTask>(station.center(), PrepareCommand(1, 3));
  task->ExecuteStep(Tank(0, 0, 0));
  return task;
}

std::shared_ptr<Task> Drying(StationHarness& station) {
  auto task = std::make_shared<DryTask>(station.center(), SupplyCommand(2, 0));
  task->ExecuteStep(Tank(1, 0, 0));
  return task;
}

void PrintTo(const SwitchOffCase& c, std::ostream* os) { *os << c.name; }

bool RunPath(Task& task, Path path) {
  switch (path) {
    case Path::kCancel:
      return task.HandleTaskCommand(TASK_COMMAND_CANCEL, StationSrvReq());
    case Path::kStop:
      return task.HandleTaskCommand(TASK_COMMAND_STOP, StationSrvReq());
    case Path::kReset:
      return task.DoReset();
  }
  return false;
}

class SwitchOffSequence : public ::testing::TestWithParam<SwitchOffCase> {};

TEST_P(SwitchOffSequence, TriesEverySwitchOffWhateverTheBoardRefuses) {
  const SwitchOffCase c = GetParam();
  auto station = StartStation();
  // refused == sequence size: the board confirms every command.
  for (size_t refused = 0; refused <= c.sequence.size(); ++refused) {
    SCOPED_TRACE("refused command " + std::to_string(refused));
    std::shared_ptr<Task> task = c.make(*station);
    for (size_t i = 0; i < refused && refused < c.sequence.size(); ++i) {
      station->board().ScriptNext(FakeBoard::Answer::kSuccess);
    }
    if (refused < c.sequence.size()) {
      station->board().ScriptNext(FakeBoard::Answer::kError);
    }
    station->MarkCommands();
    const bool all_off = RunPath(*task, c.path);
    EXPECT_EQ(all_off, refused == c.sequence.size());
    Commands expected = c.sequence;
    if (c.stops_at_first_refusal && refused < c.sequence.size()) {
      expected.resize(refused + 1);
    }
    EXPECT_EQ(station->CommandsSinceMark(), expected);
    if (c.path != Path::kReset) {
      EXPECT_EQ(task->GetTaskStatus(), all_off ? TASK_STATUS_CANCELED : TASK_STATUS_ERROR);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Tasks, SwitchOffSequence,
    ::testing::Values(SwitchOffCase{"AddWaterCancel", AddWater, Path::kCancel, {kTapOff, kSupplyOff}, false},
                      SwitchOffCase{"AddWaterReset", AddWater, Path::kReset, {kTapOff, kSupplyOff}, false},
                      SwitchOffCase{"LiquidCancel", CleanLiquid, Path::kCancel, {kPumpOff, kTapOff, kDrainOff}, false},
                      SwitchOffCase{"LiquidReset", CleanLiquid, Path::kReset, {kPumpOff, kTapOff, kDrainOff}, false},
                      SwitchOffCase{"DisinfectantCancel", DisinfectantDraining, Path::kCancel,
                                    {kMotorOff, kTapOff, kDrainOff}, false},
                      // The error path closes the drainage its drain step opened.
                      SwitchOffCase{"DisinfectantReset", DisinfectantDraining, Path::kReset,
                                    {kMotorOff, kTapOff, kDrainOff}, false},
                      SwitchOffCase{"DryCancel", Drying, Path::kCancel, {kFanOff}, false},
                      SwitchOffCase{"DryStop", Drying, Path::kStop, {kWireOff, kFanOff}, true},
                      SwitchOffCase{"DryReset", Drying, Path::kReset, {kWireOff, kFanOff}, true}),
    [](const ::testing::TestParamInfo<SwitchOffCase>& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace station_center
