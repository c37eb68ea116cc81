// The platform of a build host without an accessibility service. It answers honestly: the
// process is never trusted, so every action but "clear" and "status" is refused before any
// other primitive is used. The remaining primitives still answer safely (nothing frontmost,
// nothing readable or writable, no events) so that no path can touch anything.

#include "platform/no_service_platform.h"
#include "platform/process_platform.h"

namespace caretsafe {

std::unique_ptr<Platform> makeProcessPlatform() {
  return std::make_unique<NoServicePlatform>();
}

}  // namespace caretsafe
