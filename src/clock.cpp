#include "clock.h"

#include <atomic>
#include <ctime>

namespace station_center {
namespace {

std::atomic<bool> frozen{false};
std::atomic<int64_t> frozen_now{0};

}  // namespace

int64_t NowSeconds() {
  if (frozen.load(std::memory_order_acquire)) {
    return frozen_now.load(std::memory_order_acquire);
  }
  return static_cast<int64_t>(time(nullptr));
}

void FreezeClock(int64_t unix_seconds) {
  frozen_now.store(unix_seconds, std::memory_order_release);
  frozen.store(true, std::memory_order_release);
}

void AdvanceClock(int64_t seconds) {
  if (!frozen.load(std::memory_order_acquire)) {
    FreezeClock(static_cast<int64_t>(time(nullptr)));
  }
  frozen_now.fetch_add(seconds, std::memory_order_acq_rel);
}

void ThawClock() { frozen.store(false, std::memory_order_release); }

bool ClockFrozen() { return frozen.load(std::memory_order_acquire); }

}  // namespace station_center
