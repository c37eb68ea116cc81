// The connection to the accessibility bus through libatspi: finding the bus, starting and
// ending libatspi's session, asking whether the registry answers, and the messaging timeout.
//
// libatspi keeps one session per process and ends the process (g_error) when a request finds
// no bus; it also remembers a failed start. So the bus address is found here first (the
// AT_SPI_BUS_ADDRESS environment variable, the AT_SPI_BUS property of the X root window, or
// org.a11y.Bus on the session bus, the order libatspi itself uses; the display server says
// where it advertises the bus, see display/display.h), handed to libatspi, and
// no libatspi request is ever made unless its session started. A start that fails is undone,
// so a later `ready` (accessibility turned on meanwhile) tries again. A session whose bus
// went away stays lost: libatspi cannot start another one in the same process, so the
// helper answers "not trusted" and asks to be started afresh (see platform/stop_request.h),
// which the program does once the request in hand is answered.
//
// The helper runs no main loop and listens to no accessibility events; the broadcast events
// libatspi subscribes to for its cache are unsubscribed again, so that nothing piles up
// between requests, and `drain` handles what did arrive (bus name changes).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

struct DBusConnection;

namespace caretsafe::linux_desktop {

// Keeps GLib (and through it libatspi) from writing to standard error or standard output, and
// keeps warnings from being fatal whatever G_DEBUG says. Once per process; idempotent.
void silenceGlibMessages();

// The messaging timeout every request is bounded by unless told otherwise, in milliseconds.
inline constexpr int kDefaultTimeoutMs = 600;

class AccessibilityBus {
 public:
  AccessibilityBus();
  // Ends libatspi's session, so that a later instance in the same process starts afresh.
  ~AccessibilityBus();
  AccessibilityBus(const AccessibilityBus&) = delete;
  AccessibilityBus& operator=(const AccessibilityBus&) = delete;

  // Where the display server advertises the bus, asked when the environment does not name it;
  // nothing when it does not say.
  using AddressSource = std::function<std::optional<std::string>()>;

  // Whether the registry answers now. Starts the session first when there is none (finding
  // the bus through `display` when the environment does not name it).
  bool ready(const AddressSource& display);
  // Whether libatspi's session is running: only then may libatspi be asked anything.
  bool connected() const { return connection_ != nullptr; }
  // The accessibility bus connection of the running session, or null.
  DBusConnection* connection() const { return connection_; }
  // Counts the sessions started: what a session's bus told us holds only while it runs.
  std::uint64_t generation() const { return generation_; }

  // Bounds the libatspi requests that follow (at least 1 ms).
  void setTimeout(int milliseconds);
  int timeout() const { return timeoutMs_; }

  // Handles the bus messages that arrived since the last request. Never blocks.
  void drain();

  // The pid of the process behind a unique bus name, asked of the bus within the timeout.
  std::optional<int> processOf(const char* busName);

 private:
  bool start(const AddressSource& display);
  void lose();
  std::optional<std::string> busAddress(const AddressSource& display) const;

  std::optional<std::string> environmentAddress_;  // AT_SPI_BUS_ADDRESS as given at start-up
  DBusConnection* connection_ = nullptr;           // one reference of ours
  int timeoutMs_ = 0;
  std::uint64_t generation_ = 0;
};

}  // namespace caretsafe::linux_desktop
