// Processes on this machine, whichever display server shows their windows.
#pragma once

#include <optional>
#include <string>

#include "platform/platform.h"

namespace caretsafe::linux_desktop {

// The application id of a process: the file name of its executable (/proc/PID/exe), without
// the " (deleted)" mark of a replaced file. Nothing when it cannot be read.
std::optional<std::string> processApplicationId(Pid pid);

// Whether a process with this pid exists (also one we may not signal).
bool processExists(Pid pid);

}  // namespace caretsafe::linux_desktop
