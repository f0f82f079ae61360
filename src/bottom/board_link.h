#pragma once

#include "station/cmd.pb.h"

namespace station_center {

// What the station needs of its control board: actuator and LED commands, each
// one exchange that counts only when the board confirmed it. The communicator
// speaks it over TCP; tests put a recording link in its place.
class BoardLink {
 public:
  virtual ~BoardLink() = default;

  // True only when the board confirmed the command in time.
  virtual bool DoAction(const station::ActionCommand& cmd) = 0;
  // The same with a time-out of its own (the safe stop's shrinking budget).
  virtual bool DoAction(const station::ActionCommand& cmd, int timeout_s) = 0;
  virtual bool ChangeLed(const station::EnumLedCmd& led_cmd) = 0;
};

}  // namespace station_center
