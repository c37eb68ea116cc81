#include "platform/linux/display/wayland/virtual_keyboard.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/linux/display/keysym.h"

namespace caretsafe::wayland {

// ---------------------------------------------------------------------------------------------
// The keymap

KeySlots::KeySlots(std::size_t count) {
  count = std::clamp<std::size_t>(count, 1, kSlotKeys.size());
  slots_.reserve(count);
  for (std::size_t i = 0; i < count; ++i) slots_.push_back(Slot{kSlotKeys[i], 0, 0, 0});
}

std::optional<KeySlots::Placement> KeySlots::place(char32_t scalar) {
  const std::optional<unsigned long> keysym = linux_desktop::keysymForScalar(scalar);
  if (!keysym) return std::nullopt;
  ++clock_;
  for (Slot& slot : slots_) {
    if (slot.keysym == *keysym) {
      slot.lastUse = clock_;
      return Placement{slot.evdev, false};
    }
  }
  // An empty key has lastUse 0 and comes first; otherwise the one used longest ago.
  Slot& slot = *std::min_element(slots_.begin(), slots_.end(), [](const Slot& a, const Slot& b) {
    return a.lastUse < b.lastUse;
  });
  slot.scalar = scalar;
  slot.keysym = *keysym;
  slot.lastUse = clock_;
  return Placement{slot.evdev, true};
}

std::string KeySlots::keymap() const {
  // One type with a single level: a key carries its keysym whatever state the compositor or
  // the client believes the modifiers to be in. Keys and their names only for the slots in use.
  //
  // XWayland hands the keymap the compositor forwards to X's keymap compiler and falls back to
  // a default US keymap (X clients would then read our keys by their letters) unless the
  // result has virtual modifiers, indicators and a compatibility map. So the keymap declares
  // one of each that can never take effect: a virtual modifier bound to nothing, the Caps Lock
  // indicator (we never lock a modifier), and a rule for the keysym that no key carries.
  std::string keycodes;
  std::string symbols;
  char line[128];
  for (const Slot& slot : slots_) {
    if (slot.keysym == 0) continue;
    const std::uint32_t code = slot.evdev + kXkbKeycodeOffset;
    std::snprintf(line, sizeof line, "    <I%u> = %u;\n", code, code);
    keycodes += line;
    std::snprintf(line, sizeof line,
                  "    key <I%u> { type = \"ONE_LEVEL\", symbols[Group1] = [ 0x%lx ] };\n", code,
                  slot.keysym);
    symbols += line;
  }
  std::string text;
  text += "xkb_keymap {\n";
  text += "  xkb_keycodes \"caretsafe\" {\n    minimum = 8;\n    maximum = 255;\n";
  text += keycodes;
  text += "    indicator 1 = \"Caps Lock\";\n";
  text += "  };\n";
  text += "  xkb_types \"caretsafe\" {\n";
  text += "    virtual_modifiers NumLock;\n";
  text += "    type \"ONE_LEVEL\" {\n      modifiers = none;\n      level_name[Level1] = \"Any\";\n";
  text += "    };\n  };\n";
  text += "  xkb_compatibility \"caretsafe\" {\n";
  text += "    interpret VoidSymbol {\n      action = NoAction();\n    };\n";
  text += "    indicator \"Caps Lock\" {\n      modifiers = Lock;\n    };\n";
  text += "  };\n";
  text += "  xkb_symbols \"caretsafe\" {\n";
  text += symbols;
  text += "  };\n};\n";
  return text;
}

// ---------------------------------------------------------------------------------------------
// The protocol's interfaces, as libwayland needs them to marshal our requests. The keyboard
// manager and the keyboard send no events.

namespace {

const wl_interface* const kNoTypes[] = {nullptr, nullptr, nullptr, nullptr};

extern const wl_interface kKeyboardInterface;

const wl_message kKeyboardRequests[] = {
    {"keymap", "uhu", const_cast<const wl_interface**>(kNoTypes)},
    {"key", "uuu", const_cast<const wl_interface**>(kNoTypes)},
    {"modifiers", "uuuu", const_cast<const wl_interface**>(kNoTypes)},
    {"destroy", "", const_cast<const wl_interface**>(kNoTypes)},
};

const wl_interface kKeyboardInterface = {
    "zwp_virtual_keyboard_v1", 1, 4, kKeyboardRequests, 0, nullptr,
};

const wl_interface* const kCreateTypes[] = {&wl_seat_interface, &kKeyboardInterface};

const wl_message kManagerRequests[] = {
    {"create_virtual_keyboard", "on", const_cast<const wl_interface**>(kCreateTypes)},
};

const wl_interface kManagerInterface = {
    "zwp_virtual_keyboard_manager_v1", 1, 1, kManagerRequests, 0, nullptr,
};

enum KeyboardRequest : std::uint32_t { kKeymap = 0, kKey = 1, kModifiers = 2, kDestroy = 3 };
constexpr std::uint32_t kCreateKeyboard = 0;
constexpr std::uint32_t kKeymapFormatXkbV1 = 1;  // wl_keyboard's keymap format
constexpr std::uint32_t kPressed = 1;
constexpr std::uint32_t kReleased = 0;

void silentLog(const char*, va_list) {}

std::uint32_t nowMilliseconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ts.tv_sec) * 1000U +
                                    static_cast<std::uint64_t>(ts.tv_nsec) / 1000000U);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The connection: a display, its registry, the seat and the keyboard, with bounded waits.

struct VirtualKeyboard::Connection {
  using Clock = std::chrono::steady_clock;

  wl_display* display = nullptr;
  wl_registry* registry = nullptr;
  wl_proxy* seat = nullptr;
  wl_proxy* manager = nullptr;
  wl_proxy* keyboard = nullptr;
  std::optional<std::uint32_t> seatName;
  std::optional<std::uint32_t> managerName;

  Connection() = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  ~Connection() {
    if (display == nullptr) return;
    if (keyboard != nullptr && wl_display_get_error(display) == 0) {
      wl_proxy_marshal_flags(keyboard, kDestroy, nullptr, wl_proxy_get_version(keyboard),
                             WL_MARSHAL_FLAG_DESTROY);
      keyboard = nullptr;
      // Best effort and short: the compositor drops the keyboard when the connection closes
      // anyway, and no key of ours is down.
      flush(Clock::now() + std::chrono::milliseconds(100));
    }
    if (keyboard != nullptr) wl_proxy_destroy(keyboard);
    if (manager != nullptr) wl_proxy_destroy(manager);
    if (seat != nullptr) wl_proxy_destroy(seat);
    if (registry != nullptr) wl_registry_destroy(registry);
    wl_display_disconnect(display);
  }

  // The compositor named by WAYLAND_DISPLAY (never a default name), its globals listed.
  static std::unique_ptr<Connection> connect(Clock::time_point deadline) {
    wl_log_set_handler_client(silentLog);
    const char* name = std::getenv("WAYLAND_DISPLAY");
    if (name == nullptr || *name == '\0') return nullptr;
    auto c = std::make_unique<Connection>();
    c->display = wl_display_connect(name);
    if (c->display == nullptr) return nullptr;
    c->registry = wl_display_get_registry(c->display);
    if (c->registry == nullptr) return nullptr;
    static const wl_registry_listener listener = {&Connection::onGlobal,
                                                  &Connection::onGlobalRemove};
    wl_registry_add_listener(c->registry, &listener, c.get());
    if (!c->roundTrip(deadline)) return nullptr;
    return c;
  }

  static void onGlobal(void* data, wl_registry*, std::uint32_t name, const char* interface,
                       std::uint32_t) {
    auto* c = static_cast<Connection*>(data);
    if (!c->seatName && std::strcmp(interface, wl_seat_interface.name) == 0) c->seatName = name;
    if (!c->managerName && std::strcmp(interface, kManagerInterface.name) == 0) {
      c->managerName = name;
    }
  }
  static void onGlobalRemove(void*, wl_registry*, std::uint32_t) {}

  bool offersKeyboards() const { return seatName && managerName; }

  // Writes out everything queued, waiting for the socket while it is full.
  bool flush(Clock::time_point deadline) {
    for (;;) {
      if (wl_display_flush(display) >= 0) return true;
      if (errno != EAGAIN) return false;
      pollfd p{wl_display_get_fd(display), POLLOUT, 0};
      const int ms = remainingMs(deadline);
      if (ms <= 0) return false;
      const int r = poll(&p, 1, ms);
      if (r < 0 && errno != EINTR) return false;
      if (r == 0) return false;
    }
  }

  // Sends a sync and handles events until its answer: everything sent before it has been
  // handled by the compositor. False when the deadline passes first or the connection fails.
  bool roundTrip(Clock::time_point deadline) {
    bool done = false;
    wl_callback* callback = wl_display_sync(display);
    if (callback == nullptr) return false;
    static const wl_callback_listener listener = {
        [](void* data, wl_callback*, std::uint32_t) { *static_cast<bool*>(data) = true; }};
    wl_callback_add_listener(callback, &listener, &done);
    const bool answered = dispatchUntil(done, deadline);
    wl_callback_destroy(callback);
    return answered && wl_display_get_error(display) == 0;
  }

  bool dispatchUntil(const bool& done, Clock::time_point deadline) {
    while (!done) {
      if (!flush(deadline)) return false;
      while (wl_display_prepare_read(display) != 0) {
        if (wl_display_dispatch_pending(display) < 0) return false;
      }
      if (done) {
        wl_display_cancel_read(display);
        break;
      }
      pollfd p{wl_display_get_fd(display), POLLIN, 0};
      const int ms = remainingMs(deadline);
      const int r = ms > 0 ? poll(&p, 1, ms) : 0;
      if (r <= 0) {
        wl_display_cancel_read(display);
        if (r < 0 && errno == EINTR) continue;
        return false;
      }
      if (wl_display_read_events(display) < 0) return false;
      if (wl_display_dispatch_pending(display) < 0) return false;
    }
    return true;
  }

  static int remainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 60000));
  }
};

// ---------------------------------------------------------------------------------------------
// The keyboard

bool VirtualKeyboard::offered(std::chrono::milliseconds timeout) {
  const auto c = Connection::connect(Clock::now() + timeout);
  return c != nullptr && c->offersKeyboards();
}

std::unique_ptr<VirtualKeyboard> VirtualKeyboard::open(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  auto c = Connection::connect(deadline);
  if (c == nullptr || !c->offersKeyboards()) return nullptr;
  c->seat = static_cast<wl_proxy*>(
      wl_registry_bind(c->registry, *c->seatName, &wl_seat_interface, 1));
  c->manager = static_cast<wl_proxy*>(
      wl_registry_bind(c->registry, *c->managerName, &kManagerInterface, 1));
  if (c->seat == nullptr || c->manager == nullptr) return nullptr;
  c->keyboard = wl_proxy_marshal_flags(c->manager, kCreateKeyboard, &kKeyboardInterface,
                                       wl_proxy_get_version(c->manager), 0, c->seat, nullptr);
  if (c->keyboard == nullptr) return nullptr;
  // A compositor that refuses this client a keyboard ends the connection with an error, which
  // the first upload's round trip sees.
  std::unique_ptr<VirtualKeyboard> keyboard(new VirtualKeyboard(std::move(c)));
  if (!keyboard->upload()) return nullptr;
  return keyboard;
}

VirtualKeyboard::VirtualKeyboard(std::unique_ptr<Connection> connection)
    : connection_(std::move(connection)) {}

VirtualKeyboard::~VirtualKeyboard() {
  if (!broken_) settle();
}

bool VirtualKeyboard::settle() {
  if (broken_) return false;
  if (!connection_->roundTrip(Clock::now() + kAnswerTimeout)) broken_ = true;
  return !broken_;
}

bool VirtualKeyboard::upload() {
  const std::string text = slots_.keymap();
  // The compositor maps the keymap; sealed, it cannot change or shrink under it.
  const int fd = memfd_create("caretsafe-keymap", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (fd < 0) return false;
  const std::size_t size = text.size() + 1;  // the text and its terminating NUL
  std::size_t written = 0;
  while (written < size) {
    const ssize_t n = write(fd, text.c_str() + written, size - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      close(fd);
      return false;
    }
    written += static_cast<std::size_t>(n);
  }
  if (fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
    close(fd);
    return false;
  }
  Connection& c = *connection_;
  const std::uint32_t version = wl_proxy_get_version(c.keyboard);
  // libwayland sends a duplicate of the descriptor.
  wl_proxy_marshal_flags(c.keyboard, kKeymap, nullptr, version, 0, kKeymapFormatXkbV1, fd,
                         static_cast<std::uint32_t>(size));
  close(fd);
  wl_proxy_marshal_flags(c.keyboard, kModifiers, nullptr, version, 0, 0U, 0U, 0U, 0U);
  ++stats_.uploads;
  return c.roundTrip(Clock::now() + kAnswerTimeout);
}

KeyOutcome VirtualKeyboard::typeScalar(char32_t scalar,
                                       const std::function<bool()>& focusIsTarget) {
  if (!linux_desktop::keysymForScalar(scalar)) return KeyOutcome::kUntypeable;
  if (broken_) return KeyOutcome::kFailure;
  const std::optional<KeySlots::Placement> placement = slots_.place(scalar);
  if (!placement) return KeyOutcome::kUntypeable;
  if (placement->keymapChanged && !upload()) {
    broken_ = true;
    return KeyOutcome::kFailure;
  }
  if (!focusIsTarget()) return KeyOutcome::kFocusLost;
  const Clock::time_point checked = Clock::now();
  Connection& c = *connection_;
  const std::uint32_t version = wl_proxy_get_version(c.keyboard);
  const std::uint32_t time = nowMilliseconds();
  wl_proxy_marshal_flags(c.keyboard, kKey, nullptr, version, 0, time, placement->evdev, kPressed);
  wl_proxy_marshal_flags(c.keyboard, kKey, nullptr, version, 0, time, placement->evdev,
                         kReleased);
  const bool flushed = c.flush(checked + kAnswerTimeout);
  stats_.lastCheckToFlush = Clock::now() - checked;
  if (!flushed || wl_display_get_error(c.display) != 0) {
    broken_ = true;
    return KeyOutcome::kFailure;
  }
  ++stats_.keys;
  return KeyOutcome::kTyped;
}

}  // namespace caretsafe::wayland
