// The water tasks (supply to the robot, disinfectant and liquid preparation,
// drain, station reset) driven by hand through their courses: the reports and
// clock steps each work cycle meets, the board commands it must send, how the
// task ends and what its end path sends.

#include <gtest/gtest.h>

#include "clock.h"
#include "support/station_fixture.h"

namespace station_center {
namespace {

using namespace station_test;

const std::string kSupplyOn = Act(station::ENUM_SUPPLY_SUPPLY_WATER_SWITCH, 1),
                  kSupplyOff = Act(station::ENUM_SUPPLY_SUPPLY_WATER_SWITCH, 0);
const std::string kTapOn = Act(station::ENUM_SUPPLY_TAP_WATER_SWITCH, 1),
                  kTapOff = Act(station::ENUM_SUPPLY_TAP_WATER_SWITCH, 0);
const std::string kDrainOn = Act(station::ENUM_SUPPLY_DRAINAGE_SWITCH, 1),
                  kDrainOff = Act(station::ENUM_SUPPLY_DRAINAGE_SWITCH, 0);
const std::string kMotorOn = Act(station::ENUM_SUPPLY_DISINFECTANT_PLATES_MOTOR, 1),
                  kMotorOff = Act(station::ENUM_SUPPLY_DISINFECTANT_PLATES_MOTOR, 0);
const std::string kCleanOn = Act(station::ENUM_SUPPLY_CLEANING_LIQUID_PUMP, 1),
                  kCleanOff = Act(station::ENUM_SUPPLY_CLEANING_LIQUID_PUMP, 0);
const std::string kPerfumeOn = Act(station::ENUM_SUPPLY_PERFUME_PUMP, 1),
                  kPerfumeOff = Act(station::ENUM_SUPPLY_PERFUME_PUMP, 0);

// A supply of `volume` after a prepare whose fill let in `added` counts.
Make AddWater(int32_t volume, int32_t added, int32_t duration = 0) {
  return Hand(SupplyRequest(TASK_TYPE_ADD_WATER, 2, duration), [=](StationTaskData& d) {
    d.water_ready = true, d.supply_water_volume = volume, d.station_added_water = added;
  });
}
Make Disinfectant(int32_t tablets, int32_t volume, int32_t released_before = 0) {
  return Hand(PrepareRequest(TASK_TYPE_DISINFECTANT_PREPARE, 2, tablets, volume),
              [=](StationTaskData& d) { d.released_tablets = released_before; });
}
Make Liquid(TaskType type, int32_t volume) { return Hand(PrepareRequest(type, 2, 0, volume)); }
const Make kDrain = Hand(SupplyRequest(TASK_TYPE_DRAIN_WATER, 2)), kReset = Hand(SupplyRequest(TASK_TYPE_RESET_STATION, 2));

Rep Full(uint32_t flow = 1500) { return Tank(0, 1, flow); }
Rep OverCurrent() { return With(Full(), &Rep::set_sortermotorcurrentstate, true); }

// Tank holding water: drain it, fill it to the top.
const std::vector<Step> kDrainAndFill = {
    {0, Tank(0, 0, 0), {kDrainOn}}, {0, EmptyTankReport(), {kDrainOff}}, {0, EmptyTankReport(), {kTapOn}},
    {0, Full(), {kTapOff}}};
// Supply until the tank runs empty, then refill it to the top.
const std::vector<Step> kSupplyAndFullRefill = {
    {0, Full(0), {kSupplyOn}}, {0, Tank(1, 0, 0), {kSupplyOff}}, {0, Tank(1, 0, 0), {kTapOn}}, {0, Full(), {kTapOff}}};

StationOptions Options(int tablet_s, int drain_max_s = 300) {
  return {0, {{"disinfectant_tablet_release_time", std::to_string(tablet_s)},
              {"drain_water_max_time", std::to_string(drain_max_s)}}};
}

class WaterTask : public ::testing::TestWithParam<Course> {};
TEST_P(WaterTask, RunsItsCourseAndEndsWithNothingOn) { RunCourse(GetParam()); }

const Course kCases[] = {
    // Supply to the robot: 3000 counts, refilling the tank from the tap between runs.
    {"OneRefill", AddWater(3, 0),
     {{0, Tank(1, 0, 0), {kSupplyOn}}, {0, Tank(1, 0, 0), {kSupplyOff}}, {0, Tank(1, 0, 0), {kTapOn}},
      {0, Tank(0, 0, 2999), {}}, {0, Tank(0, 0, 3000), {kTapOff}}, {0, Tank(0, 0, 3000), {kSupplyOn}},
      {0, Tank(1, 0, 3000), {kSupplyOff}}},
     TASK_STATUS_OVER, {}},
    {"FullTankEndsARefillEarly", AddWater(3, 0),
     {{0, Tank(1, 0, 0), {kSupplyOn}}, {0, Tank(1, 0, 0), {kSupplyOff}}, {0, Tank(1, 0, 0), {kTapOn}},
      {0, Full(1200), {kTapOff}}, {0, Tank(0, 0, 1200), {kSupplyOn}}, {0, Tank(1, 0, 0), {kSupplyOff}},
      {0, Tank(1, 0, 0), {kTapOn}}, {0, Tank(0, 0, 1799), {}}, {0, Tank(0, 0, 1800), {kTapOff}},
      {0, Tank(0, 0, 1800), {kSupplyOn}}, {0, Tank(1, 0, 1800), {kSupplyOff}}},
     TASK_STATUS_OVER, {}},
    // 5000 counts through a tank of 1500: the prepared fill, two full refills, the rest.
    {"LargerThanTheTank", AddWater(5, 1500),
     kSupplyAndFullRefill + kSupplyAndFullRefill +
         std::vector<Step>{{0, Full(0), {kSupplyOn}}, {0, Tank(1, 0, 0), {kSupplyOff}}, {0, Tank(1, 0, 0), {kTapOn}},
                           {0, Tank(0, 0, 499), {}}, {0, Tank(0, 0, 500), {kTapOff}}, {0, Tank(0, 0, 500), {kSupplyOn}},
                           {0, Tank(1, 0, 500), {kSupplyOff}}},
     TASK_STATUS_OVER, {}},
    // No duration, no limit.
    {"WithinThePreparedFill", AddWater(2, 2000), {{0, Full(0), {kSupplyOn}}, {100000, Tank(1, 0, 0), {kSupplyOff}}},
     TASK_STATUS_OVER, {}},
    {"CountSaturates", AddWater(3000000, 0),
     {{0, Tank(1, 0, 0), {kSupplyOn}}, {0, Tank(1, 0, 0), {kSupplyOff}}, {0, Tank(1, 0, 0), {kTapOn}},
      {0, Tank(0, 0, 2147483646u), {}}, {0, Tank(0, 0, 2147483647u), {kTapOff}}},
     TASK_STATUS_RUNNING, {kTapOff, kSupplyOff}},
    {"WholeLimit", AddWater(3, 0, 30), {{0, Tank(0, 0, 0), {kSupplyOn}}, {30, Tank(0, 0, 0)}, {1, Tank(0, 0, 0)}},
     TASK_STATUS_ERROR, {kTapOff, kSupplyOff}},
    {"RefillLimitClosesTheTapEvenRefused", AddWater(3, 0),
     {{0, Tank(1, 0, 0), {kSupplyOn}}, {0, Tank(1, 0, 0), {kSupplyOff}}, {0, Tank(1, 0, 0), {kTapOn}},
      {120, Tank(0, 0, 100), {}}, {1, Tank(0, 0, 100), {kTapOff}, true}},
     TASK_STATUS_ERROR, {kTapOff, kSupplyOff}},
    // A fill counts only what the meter let in since its tap opened: the report in
    // hand at the opening and the next one still hold the last fill's count.
    {"SecondPreWater", Disinfectant(0, 2),
     {{0, Tank(1, 0, 3000), {}}, {0, Tank(1, 0, 3000), {kTapOn}}, {0, Tank(0, 0, 3000), {}}, {0, Tank(0, 0, 40), {}},
      {0, Tank(0, 0, 1999), {}}, {0, Tank(0, 0, 2000), {kTapOff}}},
     TASK_STATUS_RUNNING, {kMotorOff, kTapOff}},
    {"SecondCleanLiquid", Liquid(TASK_TYPE_CLEAN_LIQUID_PREPARE, 1),
     {{0, Tank(1, 0, 1200), {}}, {0, Tank(1, 0, 1200), {kTapOn}}, {0, Tank(0, 0, 1200), {}}, {0, Tank(0, 0, 999), {}},
      {0, Tank(0, 0, 1000), {kTapOff}}},
     TASK_STATUS_RUNNING, {kCleanOff, kTapOff, kDrainOff}},
    {"SupplyRefillAfterAFullPrepare", AddWater(2, 1500),
     {{0, Full(), {kSupplyOn}}, {0, Tank(1, 0, 1500), {kSupplyOff}}, {0, Tank(1, 0, 1500), {kTapOn}},
      {0, Tank(0, 0, 1500), {}}, {0, Tank(0, 0, 100), {}}, {0, Tank(0, 0, 499), {}}, {0, Tank(0, 0, 500), {kTapOff}}},
     TASK_STATUS_RUNNING, {kTapOff, kSupplyOff}},
    {"MeterThatNeverRestarts", AddWater(2, 1500),
     {{0, Full(), {kSupplyOn}}, {0, Tank(1, 0, 1500), {kSupplyOff}}, {0, Tank(1, 0, 1500), {kTapOn}},
      {0, Tank(0, 0, 1999), {}}, {0, Tank(0, 0, 2000), {kTapOff}}},
     TASK_STATUS_RUNNING, {kTapOff, kSupplyOff}},
    // Disinfectant: drain, fill, release tablets, dissolve.
    {"NoTablets", Disinfectant(0, 3), kDrainAndFill + std::vector<Step>{{0, Full(), {}}}, TASK_STATUS_OVER, {}},
    // One tablet per whole 5 s of motor running; the seven released before do not count.
    {"TabletCounting", Disinfectant(2, 3, 7),
     kDrainAndFill + std::vector<Step>{{0, Full(), {kMotorOn}}, {4, Full(), {}}, {1, Full(), {}}, {4, Full(), {}},
                                       {1, Full(), {kMotorOff}}, {300, Full(), {}}, {1, Full(), {}}},
     TASK_STATUS_OVER, {}, Options(5)},
    // Over-current: off, one second's rest, on again; the rest is no running time.
    {"OverCurrentRestNotCounted", Disinfectant(2, 3),
     kDrainAndFill + std::vector<Step>{{0, Full(), {kMotorOn}}, {3, OverCurrent(), {kMotorOff}}, {1, OverCurrent(), {}},
                                       {1, Full(), {kMotorOn}}, {6, Full(), {}}, {1, Full(), {kMotorOff}}},
     TASK_STATUS_RUNNING, {kMotorOff, kTapOff}, Options(5)},
    {"MotorLimitWithoutCounting", Disinfectant(1, 3),
     kDrainAndFill + std::vector<Step>{{0, Full(), {kMotorOn}}, {60, Full(), {}}, {1, Full(), {}}}, TASK_STATUS_ERROR,
     {kMotorOff, kTapOff}, Options(0)},
    {"MotorLimitFromTheFirstStart", Disinfectant(1, 3),
     kDrainAndFill + std::vector<Step>{{0, Full(), {kMotorOn}},     {10, OverCurrent(), {kMotorOff}},
                                       {2, OverCurrent(), {kMotorOn}}, {10, OverCurrent(), {kMotorOff}},
                                       {2, OverCurrent(), {kMotorOn}}, {36, Full(), {}}, {1, Full(), {}}},
     TASK_STATUS_ERROR, {kMotorOff, kTapOff}, Options(0)},
    {"DisinfectantFillLimit", Disinfectant(1, 3),
     {{0, Tank(1, 0, 0), {}}, {0, Tank(1, 0, 0), {kTapOn}}, {120, Tank(0, 0, 10), {}},
      {1, Tank(0, 0, 10), {kTapOff}, true}},
     TASK_STATUS_ERROR, {kMotorOff, kTapOff}},
    // The robot's stop closes the drainage only while the task holds it open.
    {"StopWhileDraining", Disinfectant(1, 3), {{0, Tank(0, 0, 0), {kDrainOn}}}, TASK_STATUS_RUNNING,
     {kMotorOff, kTapOff, kDrainOff}},
    {"StopWhileFilling", Disinfectant(1, 3),
     {{0, Tank(0, 0, 0), {kDrainOn}}, {0, Tank(1, 0, 0), {kDrainOff}}, {0, Tank(1, 0, 0), {kTapOn}}},
     TASK_STATUS_RUNNING, {kMotorOff, kTapOff}},
    // Liquids: drain, fill to the volume, dose 10 s, dissolve 300 s.
    {"CleanLiquidCourse", Liquid(TASK_TYPE_CLEAN_LIQUID_PREPARE, 2),
     {{0, Tank(0, 0, 0), {kDrainOn}}, {0, Tank(0, 0, 0), {}}, {0, Tank(1, 0, 0), {kDrainOff}},
      {0, Tank(1, 0, 0), {kTapOn}}, {0, Tank(0, 0, 1999), {}}, {0, Tank(0, 0, 2000), {kTapOff}},
      {0, Tank(0, 0, 2000), {kCleanOn}}, {10, Tank(0, 0, 2000), {}}, {1, Tank(0, 0, 2000), {kCleanOff}},
      {300, Tank(0, 0, 2000), {}}, {1, Tank(0, 0, 2000), {}}},
     TASK_STATUS_OVER, {}},
    {"PerfumeCourse", Liquid(TASK_TYPE_PERFUME_PREPARE, 2),
     {{0, Tank(0, 0, 0), {kDrainOn}}, {0, Tank(1, 0, 0), {kDrainOff}}, {0, Tank(1, 0, 0), {kTapOn}},
      {0, Tank(0, 0, 2000), {kTapOff}}, {0, Tank(0, 0, 2000), {kPerfumeOn}}, {10, Tank(0, 0, 2000), {}},
      {1, Tank(0, 0, 2000), {kPerfumeOff}}, {301, Tank(0, 0, 2000), {}}},
     TASK_STATUS_OVER, {}},
    {"LiquidFullTankEndsTheFill", Liquid(TASK_TYPE_PERFUME_PREPARE, 5),
     {{0, Tank(1, 0, 0), {}}, {0, Tank(1, 0, 0), {kTapOn}}, {0, Tank(0, 0, 1200), {}}, {0, Full(1200), {kTapOff}}},
     TASK_STATUS_RUNNING, {kPerfumeOff, kTapOff, kDrainOff}},
    {"LiquidDrainLimit", Liquid(TASK_TYPE_CLEAN_LIQUID_PREPARE, 2),
     {{0, Tank(0, 0, 0), {kDrainOn}}, {300, Tank(0, 0, 0), {}}, {1, Tank(0, 0, 0), {}}}, TASK_STATUS_ERROR,
     {kCleanOff, kTapOff, kDrainOff}},
    {"LiquidFillLimit", Liquid(TASK_TYPE_CLEAN_LIQUID_PREPARE, 2),
     {{0, Tank(1, 0, 0), {}}, {0, Tank(1, 0, 0), {kTapOn}}, {120, Tank(0, 0, 10), {}}, {1, Tank(0, 0, 10), {}}},
     TASK_STATUS_ERROR, {kCleanOff, kTapOff, kDrainOff}},
    // Drain.
    {"DrainEmptyTank", kDrain, {{0, EmptyTankReport(), {kDrainOff}}, {0, EmptyTankReport()}}, TASK_STATUS_OVER, {}},
    {"DrainUntilEmpty", kDrain, {{0, Report(), {kDrainOn}}, {100, Report(), {}}, {0, EmptyTankReport(), {kDrainOff}}},
     TASK_STATUS_OVER, {}},
    {"DrainLimit", kDrain, {{0, Report(), {kDrainOn}}, {20, Report(), {}}, {1, Report(), {}}}, TASK_STATUS_ERROR,
     {kDrainOff}, Options(0, 20)},
    // Over all the same; the refused close is owed and sent again.
    {"DrainCloseRefusedOnEmpty", kDrain, {{0, Report(), {kDrainOn}}, {0, EmptyTankReport(), {kDrainOff}, true}},
     TASK_STATUS_OVER, {kDrainOff}},
    {"DrainStopBeforeOpening", kDrain, {}, TASK_STATUS_WAITING, {}},
    {"DrainStopWhileOpen", kDrain, {{0, Report(), {kDrainOn}}}, TASK_STATUS_RUNNING, {kDrainOff}},
    // Station reset.
    {"ResetDrainsWithinTheLimit", kReset,
     {{0, Report(), {kDrainOn}}, {300, Report(), {}}, {0, EmptyTankReport(), {kDrainOff}}}, TASK_STATUS_OVER, {}},
    {"ResetOpenRefused", kReset, {{0, Report(), {kDrainOn}, true}}, TASK_STATUS_ERROR, {kDrainOff}},
    {"ResetCloseRefused", kReset, {{0, Report(), {kDrainOn}}, {0, EmptyTankReport(), {kDrainOff}, true}},
     TASK_STATUS_ERROR, {kDrainOff}},
};

INSTANTIATE_TEST_SUITE_P(Courses, WaterTask, ::testing::ValuesIn(kCases), RowName());

}  // namespace
}  // namespace station_center
