#include "platform/linux/display/wayland/wayland_display.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/linux/display/wayland/sway_ipc.h"
#include "platform/linux/display/wayland/virtual_keyboard.h"
#include "platform/linux/display/x11/x11_windows.h"

namespace caretsafe::linux_desktop {
namespace {

// The compositor's socket, as libwayland finds it: WAYLAND_DISPLAY, a path of its own or a
// name in XDG_RUNTIME_DIR.
std::optional<std::string> socketPath() {
  const char* name = std::getenv("WAYLAND_DISPLAY");
  if (name == nullptr || *name == '\0') return std::nullopt;
  if (name[0] == '/') return std::string(name);
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime == nullptr || *runtime == '\0') return std::nullopt;
  return std::string(runtime) + "/" + name;
}

// How long the focus read for the frontmost application stands for the focus in the key-window
// lookup that follows it (the same request), as on X11.
constexpr auto kFocusReuse = std::chrono::milliseconds(100);

// Whether something accepts connections on the compositor's socket.
bool compositorListens() {
  const std::optional<std::string> path = socketPath();
  if (!path) return false;
  sockaddr_un address{};
  if (path->size() >= sizeof address.sun_path) return false;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path->c_str(), path->size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool connected =
      ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return connected;
}

}  // namespace

WaylandDisplay::WaylandDisplay()
    : ipc_(std::make_unique<wayland::SwayIpc>(wayland::SwayIpc::fromEnvironment())) {}

WaylandDisplay::~WaylandDisplay() = default;

bool WaylandDisplay::answers() {
  if (!compositorListens()) return false;
  // Opened now, so that its keymap is in place before the first key is asked for.
  keyboard();
  return true;
}

wayland::VirtualKeyboard* WaylandDisplay::keyboard() {
  if (keyboard_ && keyboard_->broken()) keyboard_.reset();
  if (!keyboard_) keyboard_ = wayland::VirtualKeyboard::open();
  return keyboard_.get();
}

bool WaylandDisplay::canType() {
  // Asked at capture and before each key, right after the focused element (and with it the
  // key window) was looked up.
  return keysReachTarget_ && keyboard() != nullptr;
}

std::optional<WaylandDisplay::Focused> WaylandDisplay::compositorFocus() {
  const std::optional<wayland::FocusedWindow> window = ipc_->focusedWindow();
  // Only a window the compositor itself marks focused, with its process known: a focused
  // workspace or container does not say where keys go.
  if (!window || !window->focused || !window->pid || *window->pid <= 0 || window->conId <= 0) {
    return std::nullopt;
  }
  return Focused{static_cast<WindowId>(window->conId), static_cast<Pid>(*window->pid),
                 window->xwayland};
}

WaylandDisplay::LookupFocus WaylandDisplay::takeLookup() {
  const LookupFocus taken = lookup_;
  lookup_ = {};
  if (std::chrono::steady_clock::now() - taken.read >= kFocusReuse) return {};
  return taken;
}

std::optional<Pid> WaylandDisplay::frontmostPid(const ActiveProcesses& active) {
  lookup_ = {};
  // The compositor, where it says, knows which window has the keyboard focus. A toolkit that
  // says another application's window is active as well (a hidden window that kept the state)
  // is not believed over it, and an application with no accessible at all (a terminal such as
  // foot) is found by the compositor alone.
  if (ipc_->available()) {
    const std::optional<Focused> compositor = compositorFocus();
    if (!compositor) return std::nullopt;
    lookup_ = {compositor, std::nullopt, std::chrono::steady_clock::now()};
    return compositor->pid;
  }
  // Without the compositor's word, exactly one application may say its window is active:
  // with two, or none, the frontmost application would be a guess.
  const std::optional<std::vector<Pid>> activePids = active();
  if (!activePids || activePids->size() != 1) return std::nullopt;
  lookup_ = {std::nullopt, activePids->front(), std::chrono::steady_clock::now()};
  return activePids->front();
}

std::optional<WindowId> WaylandDisplay::keyWindow(Pid pid, const ActiveProcesses& active) {
  keysReachTarget_ = false;
  LookupFocus lookup = takeLookup();
  if (ipc_->available()) {
    const std::optional<Focused> compositor =
        lookup.compositor ? lookup.compositor : compositorFocus();
    if (!compositor || compositor->pid != pid) return std::nullopt;
    keysReachTarget_ = !compositor->xwayland;
    return compositor->window;
  }
  // Keys go to the focused surface, which belongs to the one application whose window is
  // active: the element looked up there before each key is what they go to.
  std::optional<Pid> soleActive = lookup.soleActive;
  if (!soleActive) {
    const std::optional<std::vector<Pid>> activePids = active();
    if (activePids && activePids->size() == 1) soleActive = activePids->front();
  }
  if (soleActive != pid) return std::nullopt;
  // Nor does it say whether the window is an XWayland one (see `keysReachTarget_`).
  const std::optional<bool> xClient = clientOfXwayland(pid);
  keysReachTarget_ = xClient && !*xClient;
  return kFocusedSurface;
}

std::optional<bool> WaylandDisplay::clientOfXwayland(Pid pid) {
  const char* name = std::getenv("DISPLAY");
  if (name == nullptr || *name == '\0') return false;
  // Nothing listening there: no X client runs.
  x11::XDisplay* display = x11_.display();
  if (display == nullptr) return false;
  const x11::Connection::Watch watch(x11_, x11::kRequestLimit);
  return x11::isClientProcess(display, pid);
}

bool WaylandDisplay::typeScalar(char32_t scalar, Pid pid, WindowId window, bool) {
  wayland::VirtualKeyboard* keys = keyboard();
  if (keys == nullptr) return false;
  // The last step before the key: the compositor's focused window is still the target's.
  // Where the compositor names no window, the element looked up before this key is the check.
  const auto focusIsTarget = [this, pid, window] {
    if (!namesWindow(window)) return true;
    const std::optional<Focused> compositor = compositorFocus();
    return compositor && compositor->pid == pid && compositor->window == window &&
           !compositor->xwayland;
  };
  if (keys->typeScalar(scalar, focusIsTarget) != wayland::KeyOutcome::kTyped) return false;
  // One round trip: the compositor has handled the key before the next focus check is asked
  // of it, so a focus move lets at most the one key in flight through; and a key never waits
  // unread on the connection (a compositor drops what it has not read when a client goes).
  return keys->settle();
}

}  // namespace caretsafe::linux_desktop
