#include "platform/linux/accessibility/accessibility_bus.h"

#include <atspi/atspi.h>
#include <dbus/dbus.h>
#include <glib.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string_view>

#include "platform/stop_request.h"

namespace caretsafe::linux_desktop {
namespace {

// libatspi's session is one per process, so is the knowledge of whether it runs. A session
// whose bus went away cannot be replaced within the process: libatspi keeps the registry's
// dead connection in tables no call can reach, so every later session would ask the old bus.
bool sessionRunning = false;
bool sessionLost = false;

// The broadcast signals libatspi subscribes to for its cache of other applications' trees.
// Without a main loop that cache is never used; the signals would only pile up between
// requests (every focus and state change of every application).
constexpr const char* kCacheRules[] = {
    "type='signal',interface='org.a11y.atspi.Cache',member='AddAccessible'",
    "type='signal',interface='org.a11y.atspi.Cache',member='RemoveAccessible'",
    "type='signal',interface='org.a11y.atspi.Event.Object',member='ChildrenChanged'",
    "type='signal',interface='org.a11y.atspi.Event.Object',member='PropertyChange'",
    "type='signal',interface='org.a11y.atspi.Event.Object',member='StateChanged'",
};

// The most bus messages handled by one `drain`, so that a flood cannot hold a request up.
constexpr int kMaxDrainIterations = 256;

GLogWriterOutput dropStructured(GLogLevelFlags, const GLogField*, gsize, gpointer) {
  return G_LOG_WRITER_HANDLED;
}
void dropMessage(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}
void dropPrint(const gchar*) {}

// The session bus's address: the environment's, else the per-user socket where a user
// session manager puts it. Never an autolaunched bus.
std::optional<std::string> sessionBusAddress() {
  if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address) {
    return std::string(address);
  }
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime == nullptr || *runtime == '\0') return std::nullopt;
  const std::string socket = std::string(runtime) + "/bus";
  struct stat info {};
  if (::stat(socket.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode)) return std::nullopt;
  return "unix:path=" + socket;
}

// The bus's Hello, which every connection must send first, within the timeout. libdbus's own
// `dbus_bus_register` waits 25 s for a bus that accepted the connection but does not answer (a
// stopped one). This connection is used for one call and closed, so the unique name the
// reply gives is not needed.
bool registerWithin(DBusConnection* bus, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  const auto left = [&] {
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
  };
  // The authentication comes first, and a blocking call would wait for it without any bound:
  // it is driven here, one bounded wait at a time.
  while (!dbus_connection_get_is_authenticated(bus)) {
    if (left() <= 0 || !dbus_connection_read_write(bus, left())) return false;
  }
  if (left() <= 0) return false;
  DBusMessage* hello = dbus_message_new_method_call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                    "org.freedesktop.DBus", "Hello");
  if (hello == nullptr) return false;
  DBusError error;
  dbus_error_init(&error);
  DBusMessage* reply = dbus_connection_send_with_reply_and_block(bus, hello, left(), &error);
  const bool registered = reply != nullptr;
  if (reply != nullptr) dbus_message_unref(reply);
  dbus_message_unref(hello);
  dbus_error_free(&error);
  return registered;
}

// Whether the bus at `address` takes a connection and answers its Hello within the timeout.
bool busAnswers(const std::string& address, int timeoutMs) {
  DBusError error;
  dbus_error_init(&error);
  DBusConnection* bus = dbus_connection_open_private(address.c_str(), &error);
  dbus_error_free(&error);
  if (bus == nullptr) return false;
  const bool answered = registerWithin(bus, timeoutMs);
  dbus_connection_close(bus);
  dbus_connection_unref(bus);
  return answered;
}

// org.a11y.Bus.GetAddress on the session bus, over a private connection closed afterwards.
std::optional<std::string> addressFromSessionBus(int timeoutMs) {
  const std::optional<std::string> session = sessionBusAddress();
  if (!session) return std::nullopt;
  DBusError error;
  dbus_error_init(&error);
  DBusConnection* bus = dbus_connection_open_private(session->c_str(), &error);
  if (bus == nullptr) {
    dbus_error_free(&error);
    return std::nullopt;
  }
  std::optional<std::string> address;
  if (registerWithin(bus, timeoutMs)) {
    DBusMessage* call =
        dbus_message_new_method_call("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress");
    if (call != nullptr) {
      DBusMessage* reply = dbus_connection_send_with_reply_and_block(bus, call, timeoutMs, &error);
      const char* text = nullptr;
      if (reply != nullptr &&
          dbus_message_get_args(reply, nullptr, DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID) &&
          text != nullptr && *text != '\0') {
        address = std::string(text);
      }
      if (reply != nullptr) dbus_message_unref(reply);
      dbus_message_unref(call);
    }
  }
  dbus_error_free(&error);
  dbus_connection_close(bus);
  dbus_connection_unref(bus);
  return address;
}

}  // namespace

void silenceGlibMessages() {
  static const bool silenced = [] {
    g_log_set_writer_func(dropStructured, nullptr, nullptr);
    g_log_set_default_handler(dropMessage, nullptr);
    g_set_print_handler(dropPrint);
    g_set_printerr_handler(dropPrint);
    // G_DEBUG=fatal-warnings in the host's environment must not end the helper over a
    // warning of a library; only GLib's own errors stay fatal, as they always are.
    g_log_set_always_fatal(G_LOG_LEVEL_ERROR);
    return true;
  }();
  static_cast<void>(silenced);
}

AccessibilityBus::AccessibilityBus() {
  silenceGlibMessages();
  if (const char* address = std::getenv("AT_SPI_BUS_ADDRESS"); address && *address) {
    environmentAddress_ = std::string(address);
  }
  setTimeout(kDefaultTimeoutMs);
}

AccessibilityBus::~AccessibilityBus() {
  // The session itself is the process's and stays for the next instance.
  if (connection_ != nullptr) dbus_connection_unref(connection_);
}

void AccessibilityBus::setTimeout(int milliseconds) {
  const int bounded = std::max(milliseconds, 1);
  if (bounded == timeoutMs_) return;
  timeoutMs_ = bounded;
  // The second value bounds requests to an application that has only just registered,
  // which libatspi otherwise lets run for 15 s.
  atspi_set_timeout(bounded, bounded);
}

std::optional<std::string> AccessibilityBus::busAddress(const AddressSource& display) const {
  if (environmentAddress_) return environmentAddress_;
  if (display) {
    if (auto address = display()) return address;
  }
  return addressFromSessionBus(timeoutMs_);
}

bool AccessibilityBus::start(const AddressSource& display) {
  if (sessionLost) return false;
  if (!sessionRunning) {
    const std::optional<std::string> address = busAddress(display);
    if (!address) return false;
    // libatspi registers on the bus with libdbus's 25 s wait: a bus that does not answer
    // (stopped, or hung) is found out here first, within the timeout.
    if (!busAnswers(*address, timeoutMs_)) return false;
    // libatspi reads the address from here before trying any other way.
    ::setenv("AT_SPI_BUS_ADDRESS", address->c_str(), 1);
    if (atspi_init() != 0) {
      // A failed start is remembered by libatspi, and any request after it would end the
      // process: end the half-started session so that the next attempt starts afresh.
      atspi_exit();
      return false;
    }
    sessionRunning = true;
    if (DBusConnection* bus = atspi_get_a11y_bus()) {
      for (const char* rule : kCacheRules) dbus_bus_remove_match(bus, rule, nullptr);
    }
  }
  // libatspi answers no connection when its bus went away and cannot be reached again; libdbus
  // would print and abort on a null connection.
  DBusConnection* bus = atspi_get_a11y_bus();
  if (bus == nullptr) {
    lose();
    return false;
  }
  connection_ = dbus_connection_ref(bus);
  ++generation_;
  // libatspi sets its own timeouts back on a new session.
  const int wanted = timeoutMs_;
  timeoutMs_ = 0;
  setTimeout(wanted);
  return true;
}

void AccessibilityBus::lose() {
  // libatspi is left as it is: nothing more is asked of it, and taking its session apart
  // would only touch the dead connection's leftovers.
  if (connection_ != nullptr) dbus_connection_unref(connection_);
  connection_ = nullptr;
  if (!sessionLost) {
    sessionLost = true;
    // Only a fresh process can start another session: the program starts itself afresh once
    // the request in hand is answered, finding the bus as at start-up (not the dead one's
    // address, which the session start put into the environment).
    if (environmentAddress_) {
      ::setenv("AT_SPI_BUS_ADDRESS", environmentAddress_->c_str(), 1);
    } else {
      ::unsetenv("AT_SPI_BUS_ADDRESS");
    }
    requestRestart();
  }
}

bool AccessibilityBus::ready(const AddressSource& display) {
  if (connection_ == nullptr && !start(display)) return false;
  bool answered = false;
  if (dbus_connection_get_is_connected(connection_)) {
    AtspiAccessible* desktop = atspi_get_desktop(0);
    if (desktop != nullptr) {
      // libatspi reports a failed request by -1, not always with an error.
      GError* error = nullptr;
      const gint count = atspi_accessible_get_child_count(desktop, &error);
      answered = error == nullptr && count >= 0;
      if (error != nullptr) g_error_free(error);
      g_object_unref(desktop);
    }
  }
  if (!answered && !dbus_connection_get_is_connected(connection_)) lose();
  return answered;
}

void AccessibilityBus::drain() {
  if (connection_ == nullptr) return;
  for (int i = 0; i < kMaxDrainIterations; ++i) {
    if (!g_main_context_iteration(nullptr, FALSE)) break;
  }
}

std::optional<int> AccessibilityBus::processOf(const char* busName) {
  if (connection_ == nullptr || busName == nullptr) return std::nullopt;
  DBusMessage* call =
      dbus_message_new_method_call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                   "org.freedesktop.DBus", "GetConnectionUnixProcessID");
  if (call == nullptr) return std::nullopt;
  std::optional<int> pid;
  if (dbus_message_append_args(call, DBUS_TYPE_STRING, &busName, DBUS_TYPE_INVALID)) {
    DBusError error;
    dbus_error_init(&error);
    DBusMessage* reply =
        dbus_connection_send_with_reply_and_block(connection_, call, timeoutMs_, &error);
    dbus_uint32_t value = 0;
    if (reply != nullptr &&
        dbus_message_get_args(reply, nullptr, DBUS_TYPE_UINT32, &value, DBUS_TYPE_INVALID) &&
        value > 0 && value <= 0x7fffffffu) {
      pid = static_cast<int>(value);
    }
    if (reply != nullptr) dbus_message_unref(reply);
    dbus_error_free(&error);
  }
  dbus_message_unref(call);
  return pid;
}

}  // namespace caretsafe::linux_desktop
