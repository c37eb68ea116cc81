#include "platform/linux/display/display.h"

#include <cstdlib>

#include "platform/linux/display/x11/x11_display.h"

namespace caretsafe::linux_desktop {

std::unique_ptr<DisplayServer> sessionDisplayServer() {
  return std::make_unique<X11Display>();
}

}  // namespace caretsafe::linux_desktop
