// The adapter's sleep, as caretsafe-mac-sim builds it: the include path puts this file in
// front of platform/sleep.h for platform/macos/macos_platform.cpp only, so that the adapter's
// pause is the simulated desktop's (journaled, counted by the schedule) and the adapter's
// source stays as it is shipped. Defined in frameworks.cpp.
#pragma once

namespace caretsafe {

void sleepSeconds(double seconds);

}  // namespace caretsafe
