// Admission of every task type through the station: refused with its reason
// and nothing sent, or admitted; either way nothing is left on once stopped.

#include <gtest/gtest.h>

#include "support/station_fixture.h"

namespace station_center {
namespace {

using namespace station_test;

struct AdmissionRow {
  const char* name;
  TaskType type;
  Rep report;
  Edit data;
  std::string refusal;                   // empty: admitted
  TaskType running = TASK_TYPE_INVALID;  // a conflicting task started first
  int heat_target = 0;                   // strong_heat_wire_temp, when set
};
void PrintTo(const AdmissionRow& row, std::ostream* os) { *os << row.name; }

Request Want(TaskType type, int32_t action) {
  return type <= TASK_TYPE_PERFUME_PREPARE ? PrepareRequest(type, action, 0, 1) : SupplyRequest(type, action);
}
Rep Docking(uint32_t left, uint32_t right, uint32_t plate) {
  return With(EmptyTankReport(), &Rep::set_robotdockdetleft, left, &Rep::set_robotdockdetright, right,
              &Rep::set_electrodeplatedet, plate);
}
Rep Dust(uint32_t bag, uint32_t cap, int32_t pressure) {
  return With(DustReady(pressure), &Rep::set_dustbagdet, bag, &Rep::set_dustboxcapdet, cap);
}
// A conflicting task running: named before the task's own conditions.
AdmissionRow Vs(const char* name, TaskType type, TaskType running, Edit data = nullptr) {
  return {name, type, DustReady(), data,
          "pre check failed, have conflict task " + std::to_string(static_cast<int>(running)) + " is running", running};
}

const char kNotReady[] = "liquied pre no ready, or supply water volume unvalid", kAway[] = "robot not in station";
const Rep kDocked = RobotDocked(EmptyTankReport());

const AdmissionRow kAdmissionRows[] = {
    {"UVAway", TASK_TYPE_UV, Docking(0, 0, 0), nullptr, kAway},
    {"UVLeftOnly", TASK_TYPE_UV, Docking(1, 0, 0), nullptr, kAway},
    {"UVNoPlate", TASK_TYPE_UV, Docking(1, 1, 0), nullptr, kAway},
    {"UVNoRight", TASK_TYPE_UV, Docking(1, 0, 1), nullptr, kAway},
    {"UVDocked", TASK_TYPE_UV, Docking(1, 1, 1), nullptr, ""},
    {"DustNoBag", TASK_TYPE_DUST_COLLECT, Dust(0, 0, 5000), nullptr, "dust bag not in place"},
    {"DustCapOpen", TASK_TYPE_DUST_COLLECT, Dust(1, 0, 5000), nullptr, "dust box cap not in place"},
    {"DustOverUpLimit", TASK_TYPE_DUST_COLLECT, Dust(1, 1, 2001), nullptr, "negative pressure over up limit"},
    {"DustAtUpLimit", TASK_TYPE_DUST_COLLECT, Dust(1, 1, 2000), nullptr, ""},
    {"DustUnderDownLimit", TASK_TYPE_DUST_COLLECT, Dust(1, 1, -28001), nullptr, "negative pressure under down limit"},
    {"DustAtDownLimit", TASK_TYPE_DUST_COLLECT, Dust(1, 1, -28000), nullptr, ""},
    {"SpraySewagePumpOff", TASK_TYPE_WATER_SPRAY, kDocked, Spray(false, true, 2, true), "sewage pump not working"},
    {"SprayNoVolume", TASK_TYPE_WATER_SPRAY, kDocked, Spray(true, true, 0, false), "pre disinfectant no ready"},
    {"SprayNoWater", TASK_TYPE_WATER_SPRAY, kDocked, Spray(true, false, 2, false), "pre disinfectant no ready"},
    {"SprayPrepared", TASK_TYPE_WATER_SPRAY, kDocked, Spray(true, true, 1, false), ""},
    {"SprayInterrupted", TASK_TYPE_WATER_SPRAY, kDocked, Spray(true, false, 0, true), ""},
    {"HeatFanOff", TASK_TYPE_HEAT_WIRE, Wire(200.0f), Heat(false, false), "dry fan not open"},
    {"HeatAlreadyOn", TASK_TYPE_HEAT_WIRE, Wire(200.0f), Heat(true, true), "heat wire already start"},
    {"HeatTarget150", TASK_TYPE_HEAT_WIRE, Wire(200.0f), Heat(true, false), "", TASK_TYPE_INVALID, 150},
    {"HeatTarget151", TASK_TYPE_HEAT_WIRE, Wire(200.0f), Heat(true, false), "target temp too high",
     TASK_TYPE_INVALID, 151},
    {"ChargeHandSwitch", TASK_TYPE_AUTO_CHARGE, Plates(79, 79, 2), nullptr, "hand charge is open"},
    {"ChargePlate1At79", TASK_TYPE_AUTO_CHARGE, Plates(79, 79), nullptr, "electrode plate 1 temp over max temp"},
    {"ChargePlate2At79", TASK_TYPE_AUTO_CHARGE, Plates(78, 79), nullptr, "electrode plate 2 temp over max temp"},
    {"ChargeAt78", TASK_TYPE_AUTO_CHARGE, Plates(78, 78), nullptr, ""},
    {"HandSwitchOpen", TASK_TYPE_MANUAL_CHARGE, HandSwitch(0), nullptr, "hand charge not open"},
    // The station asks for the hand charge by itself on 1; 2 is closed as well.
    {"HandRobotDocked", TASK_TYPE_MANUAL_CHARGE, RobotDocked(HandSwitch(2)), nullptr,
     "robot in station, can not open hand charge"},
    {"HandClosed", TASK_TYPE_MANUAL_CHARGE, HandSwitch(2), nullptr, ""},
    {"WaterNothingPrepared", TASK_TYPE_ADD_WATER, kDocked, Prepared(false, false, false, 3), kNotReady},
    {"WaterNoVolume", TASK_TYPE_ADD_WATER, kDocked, Prepared(true, false, false, 0), kNotReady},
    {"WaterNegativeVolume", TASK_TYPE_ADD_WATER, kDocked, Prepared(true, true, true, -1), kNotReady},
    {"WaterDisinfectant", TASK_TYPE_ADD_WATER, kDocked, Prepared(true, false, false, 1), ""},
    {"WaterPerfume", TASK_TYPE_ADD_WATER, kDocked, Prepared(false, true, false, 1), ""},
    {"WaterCleaning", TASK_TYPE_ADD_WATER, kDocked, Prepared(false, false, true, 2), ""},
    Vs("DisinfectantVsClean", TASK_TYPE_DISINFECTANT_PREPARE, TASK_TYPE_CLEAN_LIQUID_PREPARE),
    Vs("CleanVsDisinfectant", TASK_TYPE_CLEAN_LIQUID_PREPARE, TASK_TYPE_DISINFECTANT_PREPARE),
    Vs("PerfumeVsClean", TASK_TYPE_PERFUME_PREPARE, TASK_TYPE_CLEAN_LIQUID_PREPARE),
    Vs("DrainVsPerfume", TASK_TYPE_DRAIN_WATER, TASK_TYPE_PERFUME_PREPARE),
    Vs("WaterVsDisinfectant", TASK_TYPE_ADD_WATER, TASK_TYPE_DISINFECTANT_PREPARE, Prepared(true, false, false, 1)),
    Vs("DustVsDry", TASK_TYPE_DUST_COLLECT, TASK_TYPE_DRY),
    Vs("SprayVsDust", TASK_TYPE_WATER_SPRAY, TASK_TYPE_DUST_COLLECT),
    Vs("SewageVsDry", TASK_TYPE_SEWAGE_DRAIN_PUMP, TASK_TYPE_DRY),
    Vs("DryVsDust", TASK_TYPE_DRY, TASK_TYPE_DUST_COLLECT),
    Vs("HeatVsDust", TASK_TYPE_HEAT_WIRE, TASK_TYPE_DUST_COLLECT),
    Vs("ChargeVsDust", TASK_TYPE_AUTO_CHARGE, TASK_TYPE_DUST_COLLECT),
    Vs("HandVsCharge", TASK_TYPE_MANUAL_CHARGE, TASK_TYPE_AUTO_CHARGE),
    {"UVConflictsWithNothing", TASK_TYPE_UV, DustReady(), nullptr, "", TASK_TYPE_DUST_COLLECT},
};

class Admission : public ::testing::TestWithParam<AdmissionRow> {};
// Refused with its reason and nothing sent, or admitted; stopped, nothing is left on.
TEST_P(Admission, RefusesWithItsReasonOrAdmits) {
  const AdmissionRow& row = GetParam();
  StationOptions options;
  if (row.heat_target != 0) options.extra_config["strong_heat_wire_temp"] = std::to_string(row.heat_target);
  StationHarness station(options);
  ASSERT_TRUE(station.StartNormal());
  station.Deliver(row.report);
  if (row.running != TASK_TYPE_INVALID) {
    ASSERT_EQ(station.Ask(Want(row.running, 2)).result, SRV_RESULT_OK);
    ASSERT_TRUE(station.WaitForCommands(1));
  }
  if (row.data) station.center()->EditTaskData(row.data);
  const size_t before = station.CommandsSinceMark().size();
  const StationSrvRsp rsp = station.Ask(Want(row.type, 2));
  EXPECT_EQ(rsp.err_msg, row.refusal);
  EXPECT_EQ(rsp.result, row.refusal.empty() ? SRV_RESULT_OK : SRV_RESULT_FAILED);
  station.SyncWithService();
  EXPECT_TRUE(row.refusal.empty() || station.CommandsSinceMark().size() == before);
  station.Ask(Want(row.type, 4));
  station.Ask(Want(row.running, 4));
  ASSERT_TRUE(station.WaitIdle());
  EXPECT_EQ(LeftOn(station.CommandsSinceMark()), std::set<int>{});
}

INSTANTIATE_TEST_SUITE_P(EveryType, Admission, ::testing::ValuesIn(kAdmissionRows), RowName());

}  // namespace
}  // namespace station_center
