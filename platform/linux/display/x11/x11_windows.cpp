#include "platform/linux/display/x11/x11_windows.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XRes.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace caretsafe::x11 {
namespace {

// Xlib's handlers are process-wide, so is what they record. Touched only on the one thread
// that makes X requests.
std::uint64_t protocolErrors = 0;
std::unordered_set<Display*>& brokenDisplays() {
  static std::unordered_set<Display*> displays;
  return displays;
}

int onProtocolError(Display*, XErrorEvent*) {
  ++protocolErrors;
  return 0;
}

// Called first when a connection breaks; Xlib's default prints a message here.
int onConnectionBroken(Display*) {
  return 0;
}

// Called after `onConnectionBroken`; Xlib's default ends the process here. Returning marks
// the display as broken instead, and Xlib then answers every later request on it at once.
void onConnectionBrokenExit(Display* display, void*) {
  brokenDisplays().insert(display);
}

void installHandlers() {
  static const bool installed = [] {
    XSetErrorHandler(onProtocolError);
    XSetIOErrorHandler(onConnectionBroken);
    return true;
  }();
  static_cast<void>(installed);
}

// Bounds on walks of the window tree: a real tree is a few levels deep.
constexpr int kMaxTreeDepth = 64;
constexpr std::size_t kMaxWindowsSearched = 4096;

// A window property as the server sent it; nothing when the window has none of that type,
// or is gone.
struct Property {
  Atom type = None;
  int format = 0;
  unsigned long items = 0;
  std::unique_ptr<unsigned char, int (*)(void*)> data{nullptr, XFree};
};
std::optional<Property> readProperty(Display* display, Window window, Atom name, Atom type,
                                     long maxItems) {
  if (name == None || isBroken(display)) return std::nullopt;
  Property property;
  unsigned long after = 0;
  unsigned char* data = nullptr;
  const ErrorTrap trap(display);
  const int status =
      XGetWindowProperty(display, window, name, 0, maxItems, False, type, &property.type,
                         &property.format, &property.items, &after, &data);
  property.data.reset(data);
  if (status != Success || trap.failed() || property.type == None) return std::nullopt;
  return property;
}

// One 32-bit-format property item (Xlib hands those out as longs), or nothing.
std::optional<unsigned long> cardinalProperty(Display* display, Window window, Atom name,
                                              Atom type) {
  const std::optional<Property> property = readProperty(display, window, name, type, 1);
  if (!property || property->type != type || property->format != 32 || property->items != 1 ||
      !property->data) {
    return std::nullopt;
  }
  return static_cast<unsigned long>(*reinterpret_cast<const long*>(property->data.get()));
}

// An atom by name. Created when the server does not know it yet: a missing atom is asked for
// again on every call, a known one Xlib remembers, and these few names cost the server
// nothing to keep.
Atom atom(Display* display, const char* name) {
  return XInternAtom(display, name, False);
}

bool hasProperty(Display* display, Window window, Atom name) {
  return readProperty(display, window, name, AnyPropertyType, 0).has_value();
}

// The window's parent and children; nothing when the window is gone.
struct Tree {
  Window root = None;
  Window parent = None;
  std::vector<Window> children;
};
std::optional<Tree> queryTree(Display* display, Window window) {
  Tree tree;
  Window* children = nullptr;
  unsigned int count = 0;
  const ErrorTrap trap(display);
  const Status status = XQueryTree(display, window, &tree.root, &tree.parent, &children, &count);
  if (status == 0 || trap.failed()) {
    if (children != nullptr) XFree(children);
    return std::nullopt;
  }
  tree.children.assign(children, children + count);
  if (children != nullptr) XFree(children);
  return tree;
}

// Whether this connection listens to the root window's property notices, and whether the
// root named no manager's check window when last read (valid until a notice says otherwise).
struct WatchedRoot {
  bool selected = false;
  bool noManager = false;
};
std::unordered_map<Display*, WatchedRoot>& watchedRoots() {
  static std::unordered_map<Display*, WatchedRoot> watched;
  return watched;
}

// The window manager's check window last seen alive, per display.
std::unordered_map<Display*, Window>& checkWindows() {
  static std::unordered_map<Display*, Window> known;
  return known;
}

// Whether the server tells the pid behind a window, asked once per display.
std::unordered_map<Display*, bool>& clientIdSupport() {
  static std::unordered_map<Display*, bool> known;
  return known;
}

bool serverHasClientIds(Display* display) {
  if (const auto it = clientIdSupport().find(display); it != clientIdSupport().end()) {
    return it->second;
  }
  int eventBase = 0;
  int errorBase = 0;
  bool supported = false;
  if (XResQueryExtension(display, &eventBase, &errorBase)) {
    int major = 0;
    int minor = 0;
    const ErrorTrap trap(display);
    // Client ids (and with them pids) came with version 1.2.
    supported = XResQueryVersion(display, &major, &minor) != 0 && !trap.failed() &&
                (major > 1 || (major == 1 && minor >= 2));
  }
  if (!isBroken(display)) clientIdSupport().emplace(display, supported);
  return supported;
}

std::optional<Pid> pidFromServer(Display* display, Window window) {
  if (!serverHasClientIds(display)) return std::nullopt;
  XResClientIdSpec spec{window, XRES_CLIENT_ID_PID_MASK};
  long count = 0;
  XResClientIdValue* ids = nullptr;
  const ErrorTrap trap(display);
  const Status status = XResQueryClientIds(display, 1, &spec, &count, &ids);
  std::optional<Pid> pid;
  if (status == Success && !trap.failed()) {
    for (long i = 0; i < count; ++i) {
      if (ids[i].spec.mask != XRES_CLIENT_ID_PID_MASK) continue;
      const pid_t found = XResGetClientPid(&ids[i]);
      if (found > 0) pid = static_cast<Pid>(found);
    }
  }
  if (ids != nullptr) XResClientIdsDestroy(count, ids);
  return pid;
}

}  // namespace

std::optional<bool> isClientProcess(XDisplay* display, Pid pid) {
  if (isBroken(display) || !serverHasClientIds(display)) return std::nullopt;
  // A spec of no client asks for every client's ids.
  XResClientIdSpec spec{0, XRES_CLIENT_ID_PID_MASK};
  long count = 0;
  XResClientIdValue* ids = nullptr;
  const ErrorTrap trap(display);
  const Status status = XResQueryClientIds(display, 1, &spec, &count, &ids);
  std::optional<bool> found;
  if (status == Success && !trap.failed()) {
    found = false;
    for (long i = 0; i < count; ++i) {
      if (ids[i].spec.mask == XRES_CLIENT_ID_PID_MASK && XResGetClientPid(&ids[i]) == pid) {
        found = true;
      }
    }
  }
  if (ids != nullptr) XResClientIdsDestroy(count, ids);
  return found;
}

// --- Connection -------------------------------------------------------------------------

Connection::Connection() {
  installHandlers();
}

Connection::~Connection() {
  close();
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    ending_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void Connection::watchdog() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!ending_) {
    if (!deadline_) {
      changed_.wait(lock);
      continue;
    }
    const auto deadline = *deadline_;
    if (changed_.wait_until(lock, deadline) == std::cv_status::timeout && deadline_ == deadline &&
        watchedFd_ >= 0) {
      // Only the socket is touched here, never Xlib: the thread waiting in Xlib finds the
      // connection closed and returns through the I/O error handler.
      ::shutdown(watchedFd_, SHUT_RDWR);
      ++cutOff_;
      deadline_.reset();
    }
  }
}

Connection::Watch::Watch(Connection& connection, std::chrono::milliseconds limit)
    : connection_(connection) {
  XDisplay* display = connection.display_;
  if (display == nullptr || isBroken(display)) return;
  {
    const std::lock_guard<std::mutex> lock(connection.mutex_);
    if (connection.deadline_) return;
    outer_ = true;
    connection.deadline_ = std::chrono::steady_clock::now() + limit;
    connection.watchedFd_ = ConnectionNumber(display);
    if (!connection.thread_.joinable())
      connection.thread_ = std::thread([&c = connection] { c.watchdog(); });
  }
  connection.changed_.notify_all();
}

Connection::Watch::~Watch() {
  if (!outer_) return;
  {
    const std::lock_guard<std::mutex> lock(connection_.mutex_);
    connection_.deadline_.reset();
    connection_.watchedFd_ = -1;
  }
  connection_.changed_.notify_all();
}

bool serverAnswers(const char* displayName, std::chrono::milliseconds limit) {
  // ":N", ":N.S" or "unix:N": the local socket /tmp/.X11-unix/XN, also bound in the abstract
  // namespace. Anything else (a host name) is not probed.
  std::string_view name(displayName);
  if (name.substr(0, 5) == "unix:") name.remove_prefix(4);
  if (name.empty() || name.front() != ':') return true;
  name.remove_prefix(1);
  const std::size_t dot = name.find('.');
  const std::string_view number = name.substr(0, dot);
  if (number.empty() || number.find_first_not_of("0123456789") != std::string_view::npos) {
    return true;
  }
  const std::string path = "/tmp/.X11-unix/X" + std::string(number);
  for (const bool abstract : {true, false}) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return true;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t offset = abstract ? 1 : 0;
    path.copy(address.sun_path + offset, sizeof address.sun_path - 1 - offset);
    const auto length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size());
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0 &&
        errno != EINPROGRESS) {
      ::close(fd);
      continue;  // not bound there; the other name, or no server at all
    }
    // The handshake's opening: little-endian, protocol 11.0, no authorisation. The server
    // answers with success, failure or a demand for authentication: any reply will do.
    const unsigned char hello[12] = {'l', 0, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    pollfd entry{fd, POLLOUT, 0};
    bool answered = false;
    if (::poll(&entry, 1, static_cast<int>(limit.count())) == 1 &&
        ::send(fd, hello, sizeof hello, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof hello)) {
      entry = pollfd{fd, POLLIN, 0};
      answered =
          ::poll(&entry, 1, static_cast<int>(limit.count())) == 1 && (entry.revents & POLLIN) != 0;
    }
    ::close(fd);
    return answered;
  }
  return true;  // nothing listens locally: XOpenDisplay fails at once
}

void Connection::close() {
  if (display_ == nullptr) return;
  if (beforeClose_) beforeClose_();
  // A broken display still owns its memory; XCloseDisplay frees it and, the connection being
  // marked broken already, sends nothing.
  XCloseDisplay(display_);
  brokenDisplays().erase(display_);
  clientIdSupport().erase(display_);
  checkWindows().erase(display_);
  watchedRoots().erase(display_);
  display_ = nullptr;
}

XDisplay* Connection::display() {
  if (display_ != nullptr && !isBroken(display_)) return display_;
  close();
  const char* name = std::getenv("DISPLAY");
  if (name == nullptr || *name == '\0') return nullptr;
  if (!serverAnswers(name, kOpenProbe)) return nullptr;
  display_ = XOpenDisplay(name);
  if (display_ != nullptr) XSetIOErrorExitHandler(display_, onConnectionBrokenExit, nullptr);
  return display_;
}

bool Connection::answers() {
  XDisplay* d = display();
  if (d == nullptr) return false;
  const Watch watch(*this, kRequestLimit);
  XSync(d, False);
  return !isBroken(d);
}

bool Connection::broken() const {
  return display_ != nullptr && isBroken(display_);
}

// --- ErrorTrap --------------------------------------------------------------------------

ErrorTrap::ErrorTrap(XDisplay* display) : display_(display), errorsBefore_(protocolErrors) {
  installHandlers();
}

ErrorTrap::~ErrorTrap() = default;

bool ErrorTrap::failed() const {
  return protocolErrors != errorsBefore_ || isBroken(display_);
}

// --- windows and processes --------------------------------------------------------------

bool isBroken(XDisplay* display) {
  return display == nullptr || brokenDisplays().count(display) != 0;
}

std::optional<WindowId> inputFocusWindow(XDisplay* display) {
  if (isBroken(display)) return std::nullopt;
  Window focus = None;
  int revertTo = 0;
  XGetInputFocus(display, &focus, &revertTo);
  if (isBroken(display) || focus == None || focus == PointerRoot) return std::nullopt;
  return focus;
}

std::optional<WindowId> topLevelWindow(XDisplay* display, WindowId window) {
  Window current = window;
  for (int depth = 0; depth < kMaxTreeDepth; ++depth) {
    const std::optional<Tree> tree = queryTree(display, current);
    if (!tree) return std::nullopt;
    if (current == tree->root) return std::nullopt;  // the root window is nobody's window
    if (tree->parent == tree->root) return current;
    current = tree->parent;
  }
  return std::nullopt;
}

std::optional<WindowId> clientWindow(XDisplay* display, WindowId topLevel) {
  const Atom wmState = atom(display, "WM_STATE");
  if (wmState == None || hasProperty(display, topLevel, wmState)) return topLevel;
  // Breadth first, so the shallowest client wins.
  std::vector<Window> queue{topLevel};
  for (std::size_t next = 0; next < queue.size() && next < kMaxWindowsSearched; ++next) {
    const std::optional<Tree> tree = queryTree(display, queue[next]);
    if (!tree) continue;
    for (const Window child : tree->children) {
      if (hasProperty(display, child, wmState)) return child;
      queue.push_back(child);
    }
  }
  return topLevel;
}

std::optional<WindowId> ownClientWindow(XDisplay* display, WindowId window) {
  const Atom wmState = atom(display, "WM_STATE");
  Window current = window;
  for (int depth = 0; depth < kMaxTreeDepth; ++depth) {
    const std::optional<Tree> tree = queryTree(display, current);
    if (!tree || current == tree->root) return std::nullopt;
    // A top-level window is the answer whether a manager marked it or not (then no manager
    // marked anything nearer): one request for the common case of a focus on it.
    if (tree->parent == tree->root) return current;
    if (wmState != None && hasProperty(display, current, wmState)) return current;
    current = tree->parent;
  }
  return std::nullopt;
}

bool isWithin(XDisplay* display, WindowId window, WindowId ancestor) {
  Window current = window;
  for (int depth = 0; depth < kMaxTreeDepth; ++depth) {
    if (current == ancestor) return true;
    const std::optional<Tree> tree = queryTree(display, current);
    if (!tree || current == tree->root) return false;
    current = tree->parent;
  }
  return false;
}

bool windowManagerRunning(XDisplay* display) {
  if (isBroken(display)) return false;
  const Atom check = atom(display, "_NET_SUPPORTING_WM_CHECK");
  // With no manager's mark on the root window, the root's property notices say when one
  // comes: until then the answer stays "none" without a request. The notices are asked for
  // once; those that arrived are taken off the queue here.
  const Window root = DefaultRootWindow(display);
  WatchedRoot& watched = watchedRoots()[display];
  if (!watched.selected) {
    XSelectInput(display, root, PropertyChangeMask);
    watched.selected = true;
    watched.noManager = false;
  }
  XEvent event;
  while (XCheckTypedWindowEvent(display, root, PropertyNotify, &event)) {
    if (event.xproperty.atom == check) watched.noManager = false;
  }
  if (watched.noManager) return false;
  // The check window found last: while it still names itself, the root window need not be
  // asked again (one request instead of two).
  auto& known = checkWindows();
  if (const auto it = known.find(display); it != known.end()) {
    const auto self = cardinalProperty(display, it->second, check, XA_WINDOW);
    if (self && *self == it->second) return true;
    known.erase(it);
  }
  const auto named = cardinalProperty(display, DefaultRootWindow(display), check, XA_WINDOW);
  if (!named || *named == None) {
    if (!isBroken(display)) watched.noManager = true;
    return false;
  }
  // Gone (the manager exited and left the root window's properties behind), the read fails.
  const auto self = cardinalProperty(display, *named, check, XA_WINDOW);
  if (!self || *self != *named) return false;
  if (!isBroken(display)) known[display] = *named;
  return true;
}

std::optional<WindowId> managedActiveWindow(XDisplay* display) {
  if (!windowManagerRunning(display)) return std::nullopt;
  const Atom netActive = atom(display, "_NET_ACTIVE_WINDOW");
  const auto active = cardinalProperty(display, DefaultRootWindow(display), netActive, XA_WINDOW);
  if (!active || *active == None) return std::nullopt;
  return *active;
}

std::optional<WindowId> activeWindow(XDisplay* display) {
  if (isBroken(display)) return std::nullopt;
  if (const std::optional<WindowId> active = managedActiveWindow(display)) {
    // A window that is gone has no owner: the input focus says more then.
    if (windowPid(display, *active)) return *active;
  }
  const std::optional<WindowId> focus = inputFocusWindow(display);
  if (!focus) return std::nullopt;
  const std::optional<WindowId> top = topLevelWindow(display, *focus);
  if (!top) return std::nullopt;
  return clientWindow(display, *top);
}

std::optional<Pid> windowPid(XDisplay* display, WindowId window) {
  if (isBroken(display)) return std::nullopt;
  if (const std::optional<Pid> pid = pidFromServer(display, window)) return pid;
  const Atom netPid = atom(display, "_NET_WM_PID");
  if (const auto pid = cardinalProperty(display, window, netPid, XA_CARDINAL)) {
    if (*pid > 0 && *pid <= 0x7fffffff) return static_cast<Pid>(*pid);
  }
  return std::nullopt;
}

std::optional<Pid> ownPidAsSeenByServer(XDisplay* display) {
  if (isBroken(display)) return std::nullopt;
  XSetWindowAttributes attributes{};
  const Window probe = XCreateWindow(display, DefaultRootWindow(display), -1, -1, 1, 1, 0, 0,
                                     InputOnly, nullptr, 0, &attributes);
  const std::optional<Pid> pid = pidFromServer(display, probe);
  XDestroyWindow(display, probe);
  return pid;
}

std::optional<std::string> rootTextProperty(XDisplay* display, const char* name) {
  if (isBroken(display)) return std::nullopt;
  constexpr long kMaxLongs = 4096;  // 16 KiB: far more than a bus address
  const std::optional<Property> property =
      readProperty(display, DefaultRootWindow(display), atom(display, name), XA_STRING, kMaxLongs);
  if (!property || property->format != 8 || property->items == 0 || !property->data) {
    return std::nullopt;
  }
  return std::string(reinterpret_cast<const char*>(property->data.get()), property->items);
}

std::optional<Pid> activePid(XDisplay* display, std::optional<KeyFocus>* focusRead) {
  if (isBroken(display)) return std::nullopt;
  // The focus first: its replies bring every root window notice sent before them, which
  // `windowManagerRunning` needs to trust what it knows; and a caller needs the focus anyway.
  const std::optional<KeyFocus> focus = keyFocus(display);
  if (focusRead != nullptr) *focusRead = focus;
  if (const std::optional<WindowId> active = managedActiveWindow(display)) {
    // A window that is gone has no owner: the input focus says more then.
    if (const std::optional<Pid> pid = windowPid(display, *active)) return pid;
  }
  // Without a window manager's word, the owner of the focus window is the application in
  // front; the server names it without a walk to the top-level window.
  return focus ? focus->pid : std::nullopt;
}

std::optional<KeyFocus> keyFocus(XDisplay* display) {
  const std::optional<WindowId> focus = inputFocusWindow(display);
  if (!focus) return std::nullopt;
  // The server knows the owner of any window, so the focus window itself will do; a
  // property fallback needs the client window.
  if (const std::optional<Pid> pid = pidFromServer(display, *focus)) return KeyFocus{*focus, pid};
  const std::optional<WindowId> top = topLevelWindow(display, *focus);
  if (!top) return KeyFocus{*focus, std::nullopt};
  const std::optional<WindowId> client = clientWindow(display, *top);
  if (!client) return KeyFocus{*focus, std::nullopt};
  return KeyFocus{*focus, windowPid(display, *client)};
}

std::optional<Pid> inputFocusPid(XDisplay* display) {
  const std::optional<KeyFocus> focus = keyFocus(display);
  return focus ? focus->pid : std::nullopt;
}

namespace {

// The server's time now: the time of a property change on a window of our own, read back from
// its notice. Nothing when the notice did not come.
std::optional<Time> serverTime(XDisplay* display) {
  XSetWindowAttributes attributes{};
  attributes.event_mask = PropertyChangeMask;
  const Window probe = XCreateWindow(display, DefaultRootWindow(display), -1, -1, 1, 1, 0, 0,
                                     InputOnly, nullptr, CWEventMask, &attributes);
  const Atom name = atom(display, "_CARETSAFE_TIME");
  XChangeProperty(display, probe, name, XA_STRING, 8, PropModeReplace, nullptr, 0);
  // The notice is sent before the reply to the sync, so it is queued once the sync returns.
  XSync(display, False);
  XEvent event;
  std::optional<Time> now;
  while (XCheckTypedWindowEvent(display, probe, PropertyNotify, &event)) {
    now = event.xproperty.time;
  }
  XDestroyWindow(display, probe);
  return now;
}

}  // namespace

bool keyboardFree(XDisplay* display, WindowId window) {
  if (isBroken(display)) return false;
  ErrorTrap trap(display);
  const std::optional<Time> now = serverTime(display);
  if (!now || trap.failed()) return false;
  // A grab stamped with a time after the server's own is refused as invalid, and the server
  // looks for another client's grab before it looks at the time: so "invalid time" means free,
  // and nothing was grabbed. A real grab and release would hand the focus window a focus-out
  // and focus-in, which GTK passes on as the window losing and regaining the focus: Gecko's
  // fields then answer no caret for a moment and can miss the caret of the key that follows
  // (measured in Firefox and Thunderbird: a confirmation that never came, the text cut).
  constexpr Time kAhead = Time{1} << 30;  // about twelve days, well inside the half-cycle
  const Time later = (*now + kAhead) & 0xFFFFFFFFUL;
  const int status = XGrabKeyboard(display, window, False, GrabModeAsync, GrabModeAsync, later);
  if (trap.failed()) return false;
  if (status == GrabInvalidTime) return true;
  if (status != GrabSuccess) return false;
  // A server that took the grab anyway: the keyboard was free; give it back.
  XUngrabKeyboard(display, CurrentTime);
  return true;
}

}  // namespace caretsafe::x11
