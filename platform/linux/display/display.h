// The display server's part of the Linux platform: which application is in front, where the
// keys typed now would go, and typing them. X11 and Wayland do each of these their own way
// (display/x11/, display/wayland/); fields and their text are read over AT-SPI the same way on
// both (accessibility/), and `LinuxPlatform` composes the two, choosing the display server
// once, at start.
//
// The rule no implementation may skip: a key is sent only when the focus check made for it
// says the keyboard focus is still in the window the key is meant for, and the check and the
// key are as close together as the display server allows (X11: one step under a server grab;
// Wayland has no grab, so the window between them is measured and documented).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace caretsafe::linux_desktop {

// A window of the display server: an X11 window, or a Wayland compositor's window id.
using WindowId = unsigned long;

// What the accessibility side reports about the applications' top-level windows, for a display
// server that cannot tell the frontmost application itself: the processes that have a window
// in the ACTIVE state (one entry per process), or nothing when the registry did not answer.
using ActiveProcesses = std::function<std::optional<std::vector<Pid>>()>;

class DisplayServer {
 public:
  virtual ~DisplayServer() = default;

  // Whether the display server answers now; connects (again) when needed. Also gets typing
  // ready, so that what an earlier helper left behind is cleaned up before anything else.
  virtual bool answers() = 0;

  // Where the display server advertises the accessibility bus (X11: the root window's
  // AT_SPI_BUS), for when the environment does not say.
  virtual std::optional<std::string> accessibilityBusAddress() = 0;

  // Whether the display server sees this process under a pid other than `own` (a pid namespace
  // of its own, as in a sandbox): nothing when it cannot tell.
  virtual std::optional<bool> seesOtherPid(Pid own) = 0;

  // The process of the frontmost application, or nothing when there is none or it cannot be
  // told without guessing. `active` is asked only by a display server that needs it.
  virtual std::optional<Pid> frontmostPid(const ActiveProcesses& active) = 0;

  // The window keys typed now would go to, when it belongs to `pid`: keys for that process's
  // focused element may go only there. `kFocusedSurface` when the display server cannot name
  // the window but keys would reach the process's focused surface (Wayland without a
  // compositor that names windows); nothing when the focus is elsewhere or unknown. `active`
  // as for `frontmostPid`.
  virtual std::optional<WindowId> keyWindow(Pid pid, const ActiveProcesses& active) = 0;

  // Whether `keyWindow`'s answer names an actual window, one that a key can be checked against
  // on its own (a terminal with no accessible is typed into only then).
  static bool namesWindow(WindowId window) { return window != kFocusedSurface; }
  static constexpr WindowId kFocusedSurface = ~WindowId{0};

  // The modifiers held now, as the portable core's flag bits; 0 when unreadable (every key is
  // checked again as it is sent).
  virtual std::uint64_t modifierFlags() = 0;

  // Whether keys can be typed at all on this display server (a Wayland compositor without a
  // virtual keyboard for clients cannot take them).
  virtual bool canType() = 0;
  // Whether a key for a character above U+FFFF reaches a Chromium (or Electron) window as that
  // character. X11: yes. Wayland: Chromium keeps only the character's low 16 bits (measured on
  // sway with Chromium 156: U+1F600 became U+F600, U+1F469 U+F469; Firefox, GTK and foot take
  // them exactly, and every character up to U+FFFF reaches Chromium exactly).
  virtual bool chromiumTakesAstralKeys() const { return true; }

  // Types one scalar as one key press and release into `window` of `pid`, if the focus is still
  // there as the key is sent and no modifier is held. `field`: the target is a text field that
  // reads keys (a client that may read a new key mapping in its own time), not a terminal.
  // True only when the key went out.
  virtual bool typeScalar(char32_t scalar, Pid pid, WindowId window, bool field) = 0;

  // The process is ending: whatever typing left on the display server is put back in a
  // bounded time.
  virtual void release() {}
};

// The display server of this session: Wayland when WAYLAND_DISPLAY names one, else X11 (the
// DISPLAY variable; no display at all answers as an X11 server that cannot be reached).
std::unique_ptr<DisplayServer> sessionDisplayServer();

}  // namespace caretsafe::linux_desktop
