// X11 windows and the processes behind them: which window is active or holds the input focus,
// and which process owns a window (what a process is called: platform/linux/processes.h).
//
// Xlib's own error reporting prints to standard error and, when the connection breaks, ends
// the process. `Connection` installs handlers that keep it silent instead: a protocol error is
// counted (see `ErrorTrap`), a broken connection is remembered, and every function here then
// answers "nothing" rather than reading a reply that never came. The next `display()` call
// opens a fresh connection.
//
// Xlib's header is not included here (its macros, such as None and Status, would leak into
// every includer); `Display` is Xlib's `struct _XDisplay` and a window is an XID.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "platform/platform.h"

struct _XDisplay;

namespace caretsafe::x11 {

using XDisplay = ::_XDisplay;
using WindowId = unsigned long;  // an XID

// One connection to the X server that DISPLAY names. Not copyable; used from one thread.
//
// Xlib waits for a reply for ever, so a server that stops answering (stopped, or hung) would
// hold a request for ever. A `Watch` bounds the X requests made while it lives: when its time
// runs out, a watchdog thread shuts the connection's socket down, Xlib sees a broken
// connection, and every request on it answers at once (as "nothing"). The next `display()`
// opens a fresh connection, and does so only once the server has answered a probe within
// kOpenProbe: opening waits on the server too.
class Connection {
 public:
  class Watch {
   public:
    Watch(Connection& connection, std::chrono::milliseconds limit);
    ~Watch();
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;

   private:
    Connection& connection_;
    bool outer_ = false;  // a watch inside another changes nothing
  };

  Connection();
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // The open display, opened now when there is none or the last one broke; null when the
  // server cannot be reached (no DISPLAY, or nothing listens there).
  XDisplay* display();
  // Whether the server answers a round trip now. Opens the display when needed.
  bool answers();
  // Whether the display this connection holds broke (its server went away).
  bool broken() const;
  // Called just before a display is closed (after a break, or when the connection ends), so
  // that whatever keeps the display lets go of it while it is still valid.
  void beforeClose(std::function<void()> release) { beforeClose_ = std::move(release); }
  // How many times a watch ran out and cut the connection.
  std::uint64_t cutOff() const { return cutOff_; }

 private:
  void close();
  void watchdog();
  XDisplay* display_ = nullptr;
  std::function<void()> beforeClose_;
  // The watchdog's state, shared with its thread.
  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<std::chrono::steady_clock::time_point> deadline_;
  int watchedFd_ = -1;
  bool ending_ = false;
  std::uint64_t cutOff_ = 0;
  std::thread thread_;
};

// How long a fresh connection's server has to answer a probe before it is opened.
inline constexpr std::chrono::milliseconds kOpenProbe{2000};
// How long the X requests of one step may take in all before the connection is cut.
inline constexpr std::chrono::milliseconds kRequestLimit{2000};

// Whether the X server behind a display name answers a connection within `limit`: a local
// server is sent the opening of the protocol's handshake and must reply something. A name this
// cannot probe (a remote server) counts as answering.
bool serverAnswers(const char* displayName, std::chrono::milliseconds limit);

// Counts the X protocol errors raised while it lives on one display, silently (they would
// otherwise be printed). Requests that have a reply report their error at once; for requests
// without one, call XSync before asking `failed`.
class ErrorTrap {
 public:
  explicit ErrorTrap(XDisplay* display);
  ~ErrorTrap();
  ErrorTrap(const ErrorTrap&) = delete;
  ErrorTrap& operator=(const ErrorTrap&) = delete;
  // Whether an error arrived since the trap was set, or the connection broke.
  bool failed() const;

 private:
  XDisplay* display_;
  std::uint64_t errorsBefore_;
};

// Whether the connection behind this display broke. A broken display answers nothing more.
bool isBroken(XDisplay* display);

// The window that has the input focus; nothing when the focus is None or PointerRoot.
std::optional<WindowId> inputFocusWindow(XDisplay* display);

// The top-level window (a child of the root window) that contains `window`, or the window
// itself when it is one.
std::optional<WindowId> topLevelWindow(XDisplay* display, WindowId window);

// The application's own window in a top-level window: the top-level itself, or (under a
// window manager that reparents) the descendant that carries WM_STATE.
std::optional<WindowId> clientWindow(XDisplay* display, WindowId topLevel);

// The application window that holds `window`: the window itself or its nearest ancestor that
// carries WM_STATE (the window manager's mark of a client window), else, where no manager marks
// windows, its top-level window. Under a reparenting manager, a virtual root or a container
// that embeds other programs' windows, the top-level window holds more than one application
// window; this one does not.
std::optional<WindowId> ownClientWindow(XDisplay* display, WindowId window);

// Whether `window` is `ancestor` or one of its descendants.
bool isWithin(XDisplay* display, WindowId window, WindowId ancestor);

// Whether an EWMH window manager runs: the root window's _NET_SUPPORTING_WM_CHECK names a live
// window that names itself. A manager that exited leaves its root window properties behind.
bool windowManagerRunning(XDisplay* display);

// _NET_ACTIVE_WINDOW, trusted only while a window manager runs to keep it; nothing otherwise.
std::optional<WindowId> managedActiveWindow(XDisplay* display);

// The active window: _NET_ACTIVE_WINDOW when a running window manager keeps it and the window
// still exists, otherwise the client window of the input focus's top-level window.
std::optional<WindowId> activeWindow(XDisplay* display);

// The pid of the process that owns the window: asked of the server (X-Resource extension,
// client ids with the pid mask), else the window's _NET_WM_PID.
std::optional<Pid> windowPid(XDisplay* display, WindowId window);

// The pid the server names as the owner of a window of this connection's own: a process id
// as the server sees it. Nothing when the server cannot tell pids (no X-Resource 1.2).
std::optional<Pid> ownPidAsSeenByServer(XDisplay* display);

// Whether the process is a client of this X server (has a connection to it); nothing when the
// server cannot tell pids (no X-Resource 1.2) or did not answer.
std::optional<bool> isClientProcess(XDisplay* display, Pid pid);

// A text (STRING, 8-bit) property of the root window, such as AT_SPI_BUS; nothing when absent.
std::optional<std::string> rootTextProperty(XDisplay* display, const char* name);

// The pid of the process that owns the active window: the owner of `managedActiveWindow`
// when there is one and it still exists, else the input focus's (see `inputFocusPid`; without a
// window manager the focus window and its top-level window have the same owner). When the input
// focus was read for it, `focusRead` (if given) receives what was read, so a caller that needs the
// focus next need not ask again.
struct KeyFocus;
std::optional<Pid> activePid(XDisplay* display, std::optional<KeyFocus>* focusRead = nullptr);

// The window holding the input focus, where key events go, and the process that owns it (see
// `inputFocusPid`); nothing when the focus is None or PointerRoot.
struct KeyFocus {
  WindowId window = 0;
  std::optional<Pid> pid;
};
std::optional<KeyFocus> keyFocus(XDisplay* display);

// Whether no other client holds the keyboard (a screen locker, a passphrase prompt): keys
// would go to that client whatever the focus. Asked with a grab on `window` that the server
// refuses either way (its time lies ahead), so the focus window sees no focus change; meant to
// be asked under a server grab, so nothing can change between the answer and the key. A
// keyboard frozen by another client's synchronous pointer grab is not seen: its keys wait and
// reach the focus window once it thaws, where the caret confirmation either sees them or ends
// the insert.
bool keyboardFree(XDisplay* display, WindowId window);

// The pid of the process that owns the window holding the input focus: the process that
// key events go to.
std::optional<Pid> inputFocusPid(XDisplay* display);

}  // namespace caretsafe::x11
