// The platform of caretsafe-sim: the simulated desktop named by the environment. This is the
// only place in the program that reads an environment variable.

#include <cstdlib>
#include <optional>
#include <string>

#include "platform/process_platform.h"
#include "platform/sim/sim_desktop.h"

namespace caretsafe {
namespace {

// A variable that is unset or empty names nothing.
std::optional<std::string> pathFrom(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::string(value);
}

}  // namespace

std::unique_ptr<Platform> makeProcessPlatform() {
  // No desktop file is the same as a missing one: the empty, untrusted desktop.
  return sim::SimDesktop::fromFile(pathFrom("CARETSAFE_DESKTOP").value_or(std::string()),
                                   pathFrom("CARETSAFE_JOURNAL"));
}

}  // namespace caretsafe
