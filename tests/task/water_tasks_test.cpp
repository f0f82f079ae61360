// The water tasks (supply to the robot, disinfectant and liquid preparation,
// drain, station reset) driven by hand through their courses: the reports and
// clock steps each work cycle meets, the board commands it must send, how the
// task ends and what its end path sends.

#include <gtest/gtest.h>

#include "support/station_fixture.h"

namespace station_center {
namespace {

using namespace station_test;
using namespace station_test::steps;

// The board's actuators: tap 1, supply switch 3, tablet motor 10, cleaning liquid 11, perfume 12, drainage 13.
const char kTapOn[] = "act 1:1", kTapOff[] = "act 1:0", kSupplyOn[] = "act 3:1", kSupplyOff[] = "act 3:0",
           kMotorOn[] = "act 10:1", kMotorOff[] = "act 10:0", kCleanOn[] = "act 11:1", kCleanOff[] = "act 11:0",
           kPerfumeOn[] = "act 12:1", kPerfumeOff[] = "act 12:0", kDrainOn[] = "act 13:1", kDrainOff[] = "act 13:0";

Edit Ready(int32_t volume) { return [=](StationTaskData& d) { d.water_ready = true, d.supply_water_volume = volume; }; }
// A supply of `volume` after a prepare whose fill let in `added` counts.
Do AddWater(int32_t volume, int32_t added, int32_t duration = 0) {
  return ByHand(SupplyRequest(TASK_TYPE_ADD_WATER, 2, duration), [=](StationTaskData& d) {
    Ready(volume)(d), d.station_added_water = added;
  });
}
Do Disinfectant(int32_t tablets, int32_t volume, int32_t released_before = 0) {
  return ByHand(PrepareRequest(TASK_TYPE_DISINFECTANT_PREPARE, 2, tablets, volume),
                [=](StationTaskData& d) { d.released_tablets = released_before; });
}
Do Liquid(TaskType type, int32_t volume) { return ByHand(PrepareRequest(type, 2, 0, volume)); }
const Do kDrain = ByHand(SupplyRequest(TASK_TYPE_DRAIN_WATER, 2));
const Do kReset = ByHand(SupplyRequest(TASK_TYPE_RESET_STATION, 2));

Rep Full(uint32_t flow = 1500) { return Tank(0, 1, flow); }
Rep OverCurrent() { return With(Full(), &Rep::set_sortermotorcurrentstate, true); }

// Tank holding water: drain it, fill it to the top.
const std::vector<Do> kDrainAndFill = {
    Sees(Tank(0, 0, 0), {kDrainOn}), Sees(EmptyTankReport(), {kDrainOff}), Sees(EmptyTankReport(), {kTapOn}),
    Sees(Full(), {kTapOff})};
// Supply until the tank runs empty, then refill it to the top.
const std::vector<Do> kSupplyAndFullRefill = {Sees(Full(0), {kSupplyOn}), Sees(Tank(1, 0, 0), {kSupplyOff}),
                                              Sees(Tank(1, 0, 0), {kTapOn}), Sees(Full(), {kTapOff})};

// Disinfectant from a tank holding water: drained, filled to the top, then `rest`.
std::vector<Do> Filled(Do make, const std::vector<Do>& rest) { return std::vector<Do>{make} + kDrainAndFill + rest; }
StationOptions Options(int tablet_s, int drain_max_s = 300) {
  return {0, {{"disinfectant_tablet_release_time", std::to_string(tablet_s)},
              {"drain_water_max_time", std::to_string(drain_max_s)}}};
}

class WaterTask : public ::testing::TestWithParam<StationCase> {};
TEST_P(WaterTask, RunsItsCourseAndEndsWithNothingOn) { RunStationCase(GetParam()); }

const StationCase kCases[] = {
    // Supply to the robot, refilling the tank from the tap between runs; a full tank ends a refill early.
    {"FullTankEndsARefillEarly", {AddWater(3, 0), Sees(Tank(1, 0, 0), {kSupplyOn}), Sees(Tank(1, 0, 0), {kSupplyOff}),
      Sees(Tank(1, 0, 0), {kTapOn}), Sees(Full(1200), {kTapOff}), Sees(Tank(0, 0, 1200), {kSupplyOn}),
      Sees(Tank(1, 0, 0), {kSupplyOff}), Sees(Tank(1, 0, 0), {kTapOn}), Sees(Tank(0, 0, 1799)),
      Sees(Tank(0, 0, 1800), {kTapOff}), Sees(Tank(0, 0, 1800), {kSupplyOn}), Sees(Tank(1, 0, 1800), {kSupplyOff}),
      End(TASK_STATUS_OVER)}, {}},
    // 5000 counts through a tank of 1500: the prepared fill, two full refills, the rest.
    {"LargerThanTheTank", std::vector<Do>{AddWater(5, 1500)} + kSupplyAndFullRefill + kSupplyAndFullRefill +
      std::vector<Do>{Sees(Full(0), {kSupplyOn}), Sees(Tank(1, 0, 0), {kSupplyOff}), Sees(Tank(1, 0, 0), {kTapOn}),
      Sees(Tank(0, 0, 499)), Sees(Tank(0, 0, 500), {kTapOff}), Sees(Tank(0, 0, 500), {kSupplyOn}), Sees(Tank(1, 0, 500), {kSupplyOff}),
      End(TASK_STATUS_OVER)}, {}},
    // No duration, no limit.
    {"WithinThePreparedFill", {AddWater(2, 2000), Sees(Full(0), {kSupplyOn}), Sees(Tank(1, 0, 0), {kSupplyOff}, 100000),
      End(TASK_STATUS_OVER)}, {}},
    {"CountSaturates", {AddWater(3000000, 0), Sees(Tank(1, 0, 0), {kSupplyOn}), Sees(Tank(1, 0, 0), {kSupplyOff}),
      Sees(Tank(1, 0, 0), {kTapOn}), Sees(Tank(0, 0, 2147483646u)), Sees(Tank(0, 0, 2147483647u), {kTapOff}),
      End(TASK_STATUS_RUNNING)}, {kTapOff, kSupplyOff}},
    {"WholeLimit", {AddWater(3, 0, 30), Sees(Tank(0, 0, 0), {kSupplyOn}), Sees(Tank(0, 0, 0), {}, 30),
      Sees(Tank(0, 0, 0), {}, 1), End(TASK_STATUS_ERROR)}, {kTapOff, kSupplyOff}},
    {"RefillLimitClosesTheTapEvenRefused", {AddWater(3, 0), Sees(Tank(1, 0, 0), {kSupplyOn}),
      Sees(Tank(1, 0, 0), {kSupplyOff}), Sees(Tank(1, 0, 0), {kTapOn}), Sees(Tank(0, 0, 100), {}, 120),
      Sees(Tank(0, 0, 100), {kTapOff}, 1, true), End(TASK_STATUS_ERROR)}, {kTapOff, kSupplyOff}},
    // A fill counts only what the meter let in since its tap opened: the report in
    // hand at the opening and the next one still hold the last fill's count.
    {"SecondPreWater", {Disinfectant(0, 2), Sees(Tank(1, 0, 3000)), Sees(Tank(1, 0, 3000), {kTapOn}),
      Sees(Tank(0, 0, 3000)), Sees(Tank(0, 0, 40)), Sees(Tank(0, 0, 1999)), Sees(Tank(0, 0, 2000), {kTapOff}),
      End(TASK_STATUS_RUNNING)}, {kMotorOff, kTapOff}},
    {"MeterThatNeverRestarts", {AddWater(2, 1500), Sees(Full(), {kSupplyOn}), Sees(Tank(1, 0, 1500), {kSupplyOff}),
      Sees(Tank(1, 0, 1500), {kTapOn}), Sees(Tank(0, 0, 1999)), Sees(Tank(0, 0, 2000), {kTapOff}),
      End(TASK_STATUS_RUNNING)}, {kTapOff, kSupplyOff}},
    // What a prepare's fill let in is owed less: 1200 in the tank, 2000 asked, the refill makes up 800.
    {"SupplyAfterAPrepare", {Liquid(TASK_TYPE_PERFUME_PREPARE, 5), Sees(Tank(1, 0, 0)), Sees(Tank(1, 0, 0), {kTapOn}),
      Sees(Full(1200), {kTapOff}), ByHand(SupplyRequest(TASK_TYPE_ADD_WATER, 2), Ready(2)), Sees(Full(1200), {kSupplyOn}),
      Sees(Tank(1, 0, 1200), {kSupplyOff}), Sees(Tank(1, 0, 1200), {kTapOn}), Sees(Tank(0, 0, 799)),
      Sees(Tank(0, 0, 800), {kTapOff}), End(TASK_STATUS_RUNNING)}, {kTapOff, kSupplyOff}},
    // Disinfectant: drain, fill, release tablets, dissolve.
    {"NoTablets", Filled(Disinfectant(0, 3), {Sees(Full()), End(TASK_STATUS_OVER)}), {}},
    // One tablet per whole 5 s of motor running; the seven released before do not count.
    {"TabletCounting", Filled(Disinfectant(2, 3, 7), {Sees(Full(), {kMotorOn}), Sees(Full(), {}, 4),
      Sees(Full(), {}, 1), Sees(Full(), {}, 4), Sees(Full(), {kMotorOff}, 1), Sees(Full(), {}, 300),
      Sees(Full(), {}, 1), End(TASK_STATUS_OVER)}), {}, STATION_NORMAL, Options(5)},
    // Over-current: off, one second's rest, on again; the rest is no running time.
    {"OverCurrentRestNotCounted", Filled(Disinfectant(2, 3), {Sees(Full(), {kMotorOn}),
      Sees(OverCurrent(), {kMotorOff}, 3), Sees(OverCurrent(), {}, 1), Sees(Full(), {kMotorOn}, 1), Sees(Full(), {}, 6),
      Sees(Full(), {kMotorOff}, 1), End(TASK_STATUS_RUNNING)}), {kMotorOff, kTapOff}, STATION_NORMAL, Options(5)},
    {"MotorLimitWithoutCounting", Filled(Disinfectant(1, 3), {Sees(Full(), {kMotorOn}), Sees(Full(), {}, 60),
      Sees(Full(), {}, 1), End(TASK_STATUS_ERROR)}), {kMotorOff, kTapOff}, STATION_NORMAL, Options(0)},
    {"MotorLimitFromTheFirstStart", Filled(Disinfectant(1, 3), {Sees(Full(), {kMotorOn}),
      Sees(OverCurrent(), {kMotorOff}, 10), Sees(OverCurrent(), {kMotorOn}, 2), Sees(OverCurrent(), {kMotorOff}, 10),
      Sees(OverCurrent(), {kMotorOn}, 2), Sees(Full(), {}, 36), Sees(Full(), {}, 1),
      End(TASK_STATUS_ERROR)}), {kMotorOff, kTapOff}, STATION_NORMAL, Options(0)},
    {"DisinfectantFillLimit", {Disinfectant(1, 3), Sees(Tank(1, 0, 0)), Sees(Tank(1, 0, 0), {kTapOn}),
      Sees(Tank(0, 0, 10), {}, 120), Sees(Tank(0, 0, 10), {kTapOff}, 1, true),
      End(TASK_STATUS_ERROR)}, {kMotorOff, kTapOff}},
    // The robot's stop closes the drainage only while the task holds it open.
    {"StopWhileDraining", {Disinfectant(1, 3), Sees(Tank(0, 0, 0), {kDrainOn}),
      End(TASK_STATUS_RUNNING)}, {kMotorOff, kTapOff, kDrainOff}},
    {"StopWhileFilling", {Disinfectant(1, 3), Sees(Tank(0, 0, 0), {kDrainOn}), Sees(Tank(1, 0, 0), {kDrainOff}),
      Sees(Tank(1, 0, 0), {kTapOn}), End(TASK_STATUS_RUNNING)}, {kMotorOff, kTapOff}},
    // Liquids: drain, fill to the volume, dose 10 s, dissolve 300 s.
    {"CleanLiquidCourse", {Liquid(TASK_TYPE_CLEAN_LIQUID_PREPARE, 2), Sees(Tank(0, 0, 0), {kDrainOn}),
      Sees(Tank(0, 0, 0)), Sees(Tank(1, 0, 0), {kDrainOff}), Sees(Tank(1, 0, 0), {kTapOn}), Sees(Tank(0, 0, 1999)),
      Sees(Tank(0, 0, 2000), {kTapOff}), Sees(Tank(0, 0, 2000), {kCleanOn}), Sees(Tank(0, 0, 2000), {}, 10),
      Sees(Tank(0, 0, 2000), {kCleanOff}, 1), Sees(Tank(0, 0, 2000), {}, 300), Sees(Tank(0, 0, 2000), {}, 1),
      End(TASK_STATUS_OVER)}, {}},
    {"PerfumeCourse", {Liquid(TASK_TYPE_PERFUME_PREPARE, 2), Sees(Tank(0, 0, 0), {kDrainOn}),
      Sees(Tank(1, 0, 0), {kDrainOff}), Sees(Tank(1, 0, 0), {kTapOn}), Sees(Tank(0, 0, 2000), {kTapOff}),
      Sees(Tank(0, 0, 2000), {kPerfumeOn}), Sees(Tank(0, 0, 2000), {}, 10), Sees(Tank(0, 0, 2000), {kPerfumeOff}, 1),
      Sees(Tank(0, 0, 2000), {}, 301), End(TASK_STATUS_OVER)}, {}},
    {"LiquidDrainLimit", {Liquid(TASK_TYPE_CLEAN_LIQUID_PREPARE, 2), Sees(Tank(0, 0, 0), {kDrainOn}),
      Sees(Tank(0, 0, 0), {}, 300), Sees(Tank(0, 0, 0), {}, 1),
      End(TASK_STATUS_ERROR)}, {kCleanOff, kTapOff, kDrainOff}},
    {"LiquidDrainedAtTheLimit", {Liquid(TASK_TYPE_CLEAN_LIQUID_PREPARE, 2), Sees(Tank(0, 0, 0), {kDrainOn}),
      Sees(EmptyTankReport(), {kDrainOff}, 301), Sees(EmptyTankReport(), {kTapOn}), End(TASK_STATUS_RUNNING)},
     {kCleanOff, kTapOff, kDrainOff}},
    {"DisinfectantFilledAtTheLimit", {Disinfectant(1, 3), Sees(Tank(1, 0, 0)), Sees(Tank(1, 0, 0), {kTapOn}),
      Sees(Full(10), {kTapOff}, 121), End(TASK_STATUS_RUNNING)}, {kMotorOff, kTapOff}},
    // Drain.
    {"DrainEmptyTank", {kDrain, Sees(EmptyTankReport(), {kDrainOff}), Sees(EmptyTankReport()),
      End(TASK_STATUS_OVER)}, {}},
    {"DrainUntilEmpty", {kDrain, Sees(Report(), {kDrainOn}), Sees(Report(), {}, 100),
      Sees(EmptyTankReport(), {kDrainOff}), End(TASK_STATUS_OVER)}, {}},
    {"DrainLimit", {kDrain, Sees(Report(), {kDrainOn}), Sees(Report(), {}, 20), Sees(Report(), {}, 1),
      End(TASK_STATUS_ERROR)}, {kDrainOff}, STATION_NORMAL, Options(0, 20)},
    // Over all the same; the refused close is owed and sent again.
    {"DrainCloseRefusedOnEmpty", {kDrain, Sees(Report(), {kDrainOn}), Sees(EmptyTankReport(), {kDrainOff}, 0, true),
      End(TASK_STATUS_OVER)}, {kDrainOff}},
    {"DrainStopBeforeOpening", {kDrain, End(TASK_STATUS_WAITING)}, {}},
    {"DrainStopWhileOpen", {kDrain, Sees(Report(), {kDrainOn}), End(TASK_STATUS_RUNNING)}, {kDrainOff}},
    // Station reset.
    {"ResetDrainsWithinTheLimit", {kReset, Sees(Report(), {kDrainOn}), Sees(Report(), {}, 300),
      Sees(EmptyTankReport(), {kDrainOff}), End(TASK_STATUS_OVER)}, {}},
    {"ResetOpenRefused", {kReset, Sees(Report(), {kDrainOn}, 0, true), End(TASK_STATUS_ERROR)}, {kDrainOff}},
    {"ResetCloseRefused", {kReset, Sees(Report(), {kDrainOn}), Sees(EmptyTankReport(), {kDrainOff}, 0, true),
      End(TASK_STATUS_ERROR)}, {kDrainOff}},
};

INSTANTIATE_TEST_SUITE_P(Courses, WaterTask, ::testing::ValuesIn(kCases), RowName());

}  // namespace
}  // namespace station_center
