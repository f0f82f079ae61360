#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <set>

#include "bottom/board_link.h"

namespace station_center {

struct Actuator {
  station::EnumSupplyType type;
  const char* name;
};

// Every actuator of the board, heater before its fan and chargers first: the
// order in which switching off is safest.
extern const Actuator kActuators[14];

// The switch-offs the board has not confirmed. A switch-off it refused (or one
// held back on purpose) is owed until the board confirms it; a confirmed
// command for the same actuator, on or off, settles it.
class SwitchOffLedger {
 public:
  // Every actuator command a task sent, and whether the board confirmed it.
  // Takes only the ledger's own lock, held for no call.
  void Note(station::EnumSupplyType type, int32_t action, bool confirmed);

  // Sends the switch-offs still owed at `now` (Unix seconds), in the safe order
  // and never the heating fan while the heating wire's switch-off is owed, with
  // a growing pause while the board keeps refusing. Returns how many are still
  // owed. The caller keeps every task out meanwhile, so that nothing is
  // switched on between reading the ledger and sending.
  size_t Retry(BoardLink& board, int64_t now);

 private:
  std::mutex mutex_;
  std::set<int> owed_;
  int64_t next_retry_s_ = 0;  // only Retry touches these two
  int64_t retry_pause_s_ = 1;
};

}  // namespace station_center
