#pragma once

// The simulated board's model of the station: a clean-water tank measured in
// flow-meter counts, a heating wire, and every actuator's last command. Time
// moves only through Advance(), so a caller (or a test) decides how fast.
// Not thread-safe: the simulator guards it with one mutex.

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "station/cmd.pb.h"
#include "station/station_report.pb.h"

namespace board_sim {

struct ModelParams {
  double capacity = 1000;    // counts
  double level = 0;          // counts at start
  double fill_rate = 100;    // counts per second while the tap-water switch is on
  double drain_rate = 200;   // counts per second while the drainage switch is on
  double supply_rate = 50;   // counts per second while the supply-water switch is on
  double heat_rate = 2;      // degrees per second while the heating wire is on
  double cool_rate = 1;      // degrees per second towards ambient while it is off
  double ambient = 25;       // degrees
  double max_temp = 150;     // the wire never reads above this
};

class BoardModel {
 public:
  explicit BoardModel(const ModelParams& params);

  // Applies an actuator or LED command (the board carried it out).
  void Apply(const station::SupplyMaterialReq& req);
  void Advance(double seconds);

  // The next report; `seq` is the report's sequence number.
  station::SensorsDataRep Report(uint32_t seq) const;

  // Fixes a report field (schema name) to a value; it then wins over the
  // model until Unset. False with a reason when the name or value is bad.
  bool Set(const std::string& field, const std::string& value, std::string* error);
  bool Unset(const std::string& field, std::string* error);
  void Dock(bool docked);
  void SetLevel(double level);

  double level() const { return level_; }
  double capacity() const { return params_.capacity; }
  // One JSON object: tank, heater, LED, every actuator's last value, fixed fields.
  std::string StateJson() const;

 private:
  bool On(station::EnumSupplyType type) const;

  ModelParams params_;
  double level_;
  double flow_ = 0;  // counts let in since the tap was last switched on
  double temp_;
  int led_ = 0;
  std::map<int, int32_t> actuators_;  // supply type -> last action value
  station::SensorsDataRep fixed_;
  std::set<std::string> fixed_names_;
};

// Names and values of the supply types, for the control channel.
bool ParseSupplyType(const std::string& text, int* type);
std::string SupplyTypeName(int type);

}  // namespace board_sim
