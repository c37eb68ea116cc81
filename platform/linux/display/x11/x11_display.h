// The display server part on X11: the active window or the input focus and the process behind
// it (x11_windows.h), and typing through XTest under a server grab (x11_keyboard.h).
#pragma once

#include <chrono>
#include <memory>
#include <optional>

#include "platform/linux/display/display.h"
#include "platform/linux/display/x11/x11_keyboard.h"
#include "platform/linux/display/x11/x11_windows.h"

namespace caretsafe::linux_desktop {

class X11Display final : public DisplayServer {
 public:
  X11Display();
  ~X11Display() override;
  X11Display(const X11Display&) = delete;
  X11Display& operator=(const X11Display&) = delete;

  bool answers() override;
  std::optional<std::string> accessibilityBusAddress() override;
  std::optional<bool> seesOtherPid(Pid own) override;
  std::optional<Pid> frontmostPid(const ActiveProcesses& active) override;
  std::optional<WindowId> keyWindow(Pid pid, const ActiveProcesses& active) override;
  std::uint64_t modifierFlags() override;
  bool canType() override { return true; }
  bool typeScalar(char32_t scalar, Pid pid, WindowId window, bool field) override;
  void release() override;

 private:
  // The keyboard on the current display, opened on first use; null without XTest or XKB.
  x11::X11Keyboard* keyboard();
  // Ends the keyboard before its display closes: its spares restored (in a bounded time when
  // the process was asked to stop), or abandoned when the display broke.
  void dropKeyboard();

  x11::Connection x11_;
  // Declared after the connection it types on, so it goes first: its spare keycodes are
  // emptied while the display is still open.
  std::unique_ptr<x11::X11Keyboard> keyboard_;
  // What `seesOtherPid` found for the current connection.
  std::optional<bool> otherPid_;
  // The input focus as the last frontmost-application lookup read it, for the key-window
  // lookup that follows (consumed once).
  struct LookupFocus {
    std::optional<x11::KeyFocus> focus;
    std::chrono::steady_clock::time_point read{};
  } lookupFocus_;
};

}  // namespace caretsafe::linux_desktop
