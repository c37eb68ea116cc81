#include "platform/linux/display/display.h"

#include <cstdlib>

#include "platform/linux/display/wayland/wayland_display.h"
#include "platform/linux/display/x11/x11_display.h"

namespace caretsafe::linux_desktop {

std::unique_ptr<DisplayServer> sessionDisplayServer() {
  // A Wayland session sets DISPLAY too when it runs XWayland; its native applications are
  // reached only through the compositor, and XWayland's through it as well.
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if (wayland != nullptr && *wayland != '\0') return std::make_unique<WaylandDisplay>();
  return std::make_unique<X11Display>();
}

}  // namespace caretsafe::linux_desktop
