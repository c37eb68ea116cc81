// The macOS frameworks over the simulated desktop: Core Foundation, the accessibility API,
// Quartz event services, secure event input, the AppKit bridge and the two system calls the
// macOS adapter makes (its parent's pid, its sleep), each answered by one operation of a
// `sim::SimDesktop`, so that the unchanged adapter (platform/macos/macos_platform.cpp) runs the
// whole program on Linux as `caretsafe-mac-sim`.
//
// The objects keep the frameworks' rules, and are stricter where the real system would crash:
//   - a Create or Copy result carries one reference for the caller, a Get result none;
//   - a released object becomes a tombstone whose address is never reused, so a release, retain
//     or any other use of it stops the process at that call, with one line on standard error;
//   - at exit, an object still alive or an autorelease pool still open makes the process exit
//     with status 1 and one line on standard error (silent otherwise).
#pragma once

#include <cstddef>
#include <memory>

#include "platform/sim/sim_desktop.h"

namespace caretsafe::onsim {

// The desktop the frameworks answer from. Made at the first call from the environment, as
// caretsafe-sim makes its own (CARETSAFE_DESKTOP, CARETSAFE_JOURNAL), unless a test gave one.
sim::SimDesktop& desktop();
// Gives the frameworks this desktop (tests, before the first call that needs one).
void useDesktop(std::unique_ptr<sim::SimDesktop> desktop);

// Framework objects alive now (constants not counted).
std::size_t liveObjects();

}  // namespace caretsafe::onsim
