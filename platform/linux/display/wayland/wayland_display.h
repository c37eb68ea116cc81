// The display server part on Wayland. A Wayland client cannot see other clients' windows, so
// the frontmost application comes from the compositor where it says (sway's IPC names the
// focused window and its process: SWAYSOCK), else from the accessibility side (the one
// process with an ACTIVE top-level window; two or none: no frontmost application). Keys are typed
// through the compositor's virtual keyboard for clients; a compositor without one takes no keys
// from us, and then nothing is typed at all (a terminal is refused when captured). Nor are keys
// typed into an XWayland window (see `keysReachTarget_`).
//
// There is no server grab: the focus check before each key and the key itself are two steps,
// kept as close together as possible (the check is the last thing before the key is sent).
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/display/display.h"
#include "platform/linux/display/x11/x11_windows.h"

namespace caretsafe::wayland {
class SwayIpc;
class VirtualKeyboard;
}  // namespace caretsafe::wayland

namespace caretsafe::linux_desktop {

class WaylandDisplay final : public DisplayServer {
 public:
  WaylandDisplay();
  ~WaylandDisplay() override;
  WaylandDisplay(const WaylandDisplay&) = delete;
  WaylandDisplay& operator=(const WaylandDisplay&) = delete;

  bool answers() override;
  // The bus is found through the session bus (org.a11y.Bus), or the environment.
  std::optional<std::string> accessibilityBusAddress() override { return std::nullopt; }
  // A Wayland compositor does not say which pid it sees for us; the accessibility bus does.
  std::optional<bool> seesOtherPid(Pid) override { return std::nullopt; }
  std::optional<Pid> frontmostPid(const ActiveProcesses& active) override;
  std::optional<WindowId> keyWindow(Pid pid, const ActiveProcesses& active) override;
  // No Wayland client can read another keyboard's modifiers. Our keys come from a keyboard of
  // our own that never holds one, and a compositor keeps each virtual keyboard's modifiers
  // apart, so a modifier held elsewhere does not change what our keys type (see the README).
  std::uint64_t modifierFlags() override { return 0; }
  bool canType() override;
  bool chromiumTakesAstralKeys() const override { return false; }
  bool typeScalar(char32_t scalar, Pid pid, WindowId window, bool field) override;

 private:
  // The compositor's focused window, when it names one and its process.
  struct Focused {
    WindowId window = 0;
    Pid pid = 0;
    bool xwayland = false;  // an X11 window shown through XWayland
  };
  std::optional<Focused> compositorFocus();
  // The compositor's focus, or the one active process, as the frontmost-application lookup just
  // read them: the key-window lookup that follows at once (the same request) takes them
  // instead of asking again. Keys are checked against the compositor again before each one.
  struct LookupFocus {
    std::optional<Focused> compositor;
    std::optional<Pid> soleActive;  // the one process with an ACTIVE window
    std::chrono::steady_clock::time_point read{};
  };
  LookupFocus takeLookup();
  // The virtual keyboard, opened on first use (again after a broken connection); null when
  // the compositor offers none.
  wayland::VirtualKeyboard* keyboard();
  // Whether the process is a client of the X server that XWayland runs (DISPLAY); nothing
  // when that server cannot tell.
  std::optional<bool> clientOfXwayland(Pid pid);

  std::unique_ptr<wayland::SwayIpc> ipc_;
  // XWayland's X server, asked only where the compositor names no window.
  x11::Connection x11_;
  std::unique_ptr<wayland::VirtualKeyboard> keyboard_;
  LookupFocus lookup_;
  // Whether keys can reach the target of the last key-window lookup: it found the window, and
  // that window is not an XWayland one. An X11 client reads a keymap that changes under it in
  // its own time, so our keys would type other characters there (measured: xterm typed letters
  // of the default layout). Where the compositor names no window, a process that is a client
  // of XWayland's X server counts as XWayland's (and one that cannot be told, too).
  bool keysReachTarget_ = false;
};

}  // namespace caretsafe::linux_desktop
