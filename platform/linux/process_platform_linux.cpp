// caretsafe on Linux: the real desktop through AT-SPI and X11.

#include "platform/linux/linux_platform.h"
#include "platform/process_platform.h"

namespace caretsafe {

std::unique_ptr<Platform> makeProcessPlatform() {
  return std::make_unique<linux_desktop::LinuxPlatform>();
}

}  // namespace caretsafe
