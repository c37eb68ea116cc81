// A real sleep of the calling thread, as the platforms that wait for another application use it.
#pragma once

#include <chrono>
#include <cmath>
#include <thread>

namespace caretsafe {

// Sleeps about `seconds`; a negative, zero or non-finite value does not sleep at all.
inline void sleepSeconds(double seconds) {
  if (!std::isfinite(seconds) || seconds <= 0) return;
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

}  // namespace caretsafe
