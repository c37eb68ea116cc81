#include "platform/linux/display/x11/x11_display.h"

#include <cstdlib>

#include "platform/stop_request.h"

namespace caretsafe::linux_desktop {
namespace {

using Clock = std::chrono::steady_clock;

// How long the spare keycodes wait for the last target to read its keys as the process ends:
// when its input has ended (a host gives an ending helper 2 s before SIGTERM: the Node client
// does), and when it was asked to stop by a signal (SIGKILL may follow 1 s later). A spare
// left mapped would type its keysym for the rest of the session; one whose target is still
// busy is kept, marked, at the end of input, and emptied all the same on a stop. The X
// requests of either are bounded as a whole too, so a server that stopped answering cannot
// hold the exit.
constexpr auto kExitSettle = std::chrono::milliseconds(1000);
constexpr auto kExitLimit = std::chrono::milliseconds(1700);
constexpr auto kStopSettle = std::chrono::milliseconds(400);
constexpr auto kStopLimit = std::chrono::milliseconds(900);

// The bound on the X requests of one key, or of emptying the spares, beyond the waits they
// may make on purpose for a spare keycode to be read (see x11_keyboard.h).
constexpr auto kKeyLimit = x11::kIdleLimit + x11::kRemapIdle + x11::kRequestLimit;

// How long the input focus read for the frontmost application stands for the focus in the
// focused-element lookup that follows it (the same request); keys are checked against the focus
// again under the server grab, whatever this finds.
constexpr auto kFocusReuse = std::chrono::milliseconds(100);

}  // namespace

X11Display::X11Display() {
  // The keyboard types on the connection's display: it goes before that display does.
  x11_.beforeClose([this] { dropKeyboard(); });
}

X11Display::~X11Display() {
  // The spare keycodes are emptied while the display is open; the connection, going last,
  // must find nothing left to release.
  dropKeyboard();
  x11_.beforeClose({});
}

void X11Display::release() {
  dropKeyboard();
}

void X11Display::dropKeyboard() {
  // A fresh connection is asked afresh.
  otherPid_.reset();
  if (!keyboard_) return;
  const bool stopping = stopRequested();
  const x11::Connection::Watch watch(x11_, stopping ? kStopLimit : kExitLimit);
  if (!x11_.broken()) {
    if (stopping) {
      keyboard_->restoreSpares(kStopSettle, /*evenIfBusy=*/true);
    } else {
      keyboard_->restoreSpares(kExitSettle, /*evenIfBusy=*/false);
    }
  }
  // Nothing more is sent or waited for (the display may have gone, or stopped answering and
  // been cut off): what stayed mapped stays marked, its owner window goes with the connection,
  // and the next keyboard on this server clears it.
  keyboard_->abandon();
  keyboard_.reset();
}

x11::X11Keyboard* X11Display::keyboard() {
  // A display that is closed takes its keyboard with it (see the constructor).
  x11::XDisplay* display = x11_.display();
  if (display == nullptr) return nullptr;
  if (!keyboard_) keyboard_ = x11::X11Keyboard::open(display);
  return keyboard_.get();
}

bool X11Display::answers() {
  if (!x11_.answers()) return false;
  const x11::Connection::Watch watch(x11_, x11::kRequestLimit);
  // Opening the keyboard clears spare keycodes an earlier helper left mapped when it died.
  keyboard();
  return x11_.display() != nullptr;
}

std::optional<std::string> X11Display::accessibilityBusAddress() {
  x11::XDisplay* display = x11_.display();
  if (display == nullptr) return std::nullopt;
  const x11::Connection::Watch watch(x11_, x11::kRequestLimit);
  return x11::rootTextProperty(display, "AT_SPI_BUS");
}

std::optional<bool> X11Display::seesOtherPid(Pid own) {
  x11::XDisplay* display = x11_.display();
  if (!otherPid_ && display != nullptr) {
    const x11::Connection::Watch watch(x11_, x11::kRequestLimit);
    const std::optional<Pid> seen = x11::ownPidAsSeenByServer(display);
    if (seen || !x11_.broken()) otherPid_ = seen && *seen != own;
  }
  return otherPid_;
}

std::optional<Pid> X11Display::frontmostPid(const ActiveProcesses&) {
  x11::XDisplay* display = x11_.display();
  if (display == nullptr) return std::nullopt;
  const x11::Connection::Watch watch(x11_, x11::kRequestLimit);
  std::optional<x11::KeyFocus> focus;
  const std::optional<Pid> pid = x11::activePid(display, &focus);
  // The key-window lookup that follows at once needs the focus too: one read serves both.
  lookupFocus_ = {};
  if (focus) lookupFocus_ = {*focus, Clock::now()};
  return pid;
}

std::optional<WindowId> X11Display::keyWindow(Pid pid, const ActiveProcesses&) {
  x11::XDisplay* display = x11_.display();
  if (display == nullptr) return std::nullopt;
  const x11::Connection::Watch watch(x11_, x11::kRequestLimit);
  std::optional<x11::KeyFocus> focus;
  if (lookupFocus_.focus && Clock::now() - lookupFocus_.read < kFocusReuse) {
    focus = lookupFocus_.focus;
  } else {
    focus = x11::keyFocus(display);
  }
  lookupFocus_ = {};
  if (!focus || focus->pid != pid) return std::nullopt;
  // The application's own window (WM_STATE), not the top-level window, which under a virtual
  // root or a container holds other windows of the same process, or other processes'.
  return x11::ownClientWindow(display, focus->window);
}

std::uint64_t X11Display::modifierFlags() {
  if (x11_.display() == nullptr) return 0;
  const x11::Connection::Watch watch(x11_, x11::kRequestLimit);
  x11::X11Keyboard* keys = keyboard();
  // Unreadable, the state counts as no modifier held: the keyboard checks it again under the
  // server grab before every key, and refuses the key then.
  return keys != nullptr ? keys->modifierFlags().value_or(0) : 0;
}

bool X11Display::typeScalar(char32_t scalar, Pid pid, WindowId window, bool field) {
  if (x11_.display() == nullptr) return false;
  const x11::Connection::Watch watch(x11_, kKeyLimit);
  x11::X11Keyboard* keys = keyboard();
  if (keys == nullptr) return false;
  // Checked under the server grab: however the focus moves meanwhile, the key reaches that
  // window or nothing.
  const auto focusIsTarget = [pid, window](Display* display) {
    const std::optional<x11::KeyFocus> focus = x11::keyFocus(display);
    return focus && focus->pid == pid && x11::isWithin(display, focus->window, window) &&
           x11::keyboardFree(display, focus->window);
  };
  // A field typed into may belong to a client that reads a new key mapping in its own time.
  if (keys->typeScalar(scalar, focusIsTarget, pid, /*settleRemaps=*/field) !=
      x11::KeyOutcome::kTyped) {
    return false;
  }
  // A connection that broke on the way has sent nothing that can be vouched for.
  return !x11_.broken();
}

}  // namespace caretsafe::linux_desktop
