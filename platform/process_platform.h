// The platform a caretsafe executable runs on. Each executable links exactly one definition
// of this function: the real adapter of the build host, or the simulated desktop.
#pragma once

#include <memory>

#include "platform/platform.h"

namespace caretsafe {

std::unique_ptr<Platform> makeProcessPlatform();

}  // namespace caretsafe
