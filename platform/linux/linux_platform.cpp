#include "platform/linux/linux_platform.h"

#include <atspi/atspi.h>
#include <dbus/dbus.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <utility>
#include <vector>

#include "platform/app_ids.h"
#include "platform/linux/processes.h"
#include "platform/sleep.h"
#include "platform/stop_request.h"
#include "text/utf.h"

namespace caretsafe::linux_desktop {
namespace {

using Clock = std::chrono::steady_clock;

// Bounds on the depth-first search for the focused element when a window offers no
// Collection interface: real windows are far smaller, and a lookup stays within the
// messaging timeout anyway.
constexpr int kMaxWalkDepth = 64;
constexpr std::size_t kMaxWalkNodes = 5000;

// How long an application that builds its accessibles on demand is given to show a focused
// element the first time it is seen without one, how often it is looked at meanwhile, and how
// many of its windows are asked for their attributes to wake it.
constexpr auto kWakeWait = std::chrono::milliseconds(3000);
constexpr double kWakePoll = 0.05;
constexpr gint kMaxWakeWindows = 16;

// Processes whose application roots are remembered; past this the memory starts afresh.
constexpr std::size_t kMaxCachedProcesses = 256;

// How long a process found with no accessible at all counts as still without one, as long as
// the registry's list keeps its size: lookups closer together than this (one before every
// character typed) need not go through the whole list, and a capture after a pause does.
constexpr auto kRootlessFor = std::chrono::seconds(1);
// How long such a confirmation stands without even that request; `confirmed` is not renewed
// meanwhile, so the registry is asked again at least this often while typing.
constexpr auto kRootlessTrust = std::chrono::milliseconds(100);

struct Unref {
  void operator()(void* object) const {
    if (object != nullptr) g_object_unref(object);
  }
};
template <class T>
using Owned = std::unique_ptr<T, Unref>;

// A GError slot that frees what it holds.
class ErrorSlot {
 public:
  ErrorSlot() = default;
  ErrorSlot(const ErrorSlot&) = delete;
  ErrorSlot& operator=(const ErrorSlot&) = delete;
  ~ErrorSlot() { clear(); }
  GError** out() {
    clear();
    return &error_;
  }
  bool failed() const { return error_ != nullptr; }

 private:
  void clear() {
    if (error_ != nullptr) g_error_free(error_);
    error_ = nullptr;
  }
  GError* error_ = nullptr;
};

// A string libatspi handed over, freed with g_free.
struct GFree {
  void operator()(gchar* text) const { g_free(text); }
};
using OwnedText = std::unique_ptr<gchar, GFree>;

const char* busNameOf(AtspiAccessible* accessible) {
  const AtspiApplication* app = accessible->parent.app;
  return app != nullptr ? app->bus_name : nullptr;
}

const char* pathOf(AtspiAccessible* accessible) {
  return accessible->parent.path;
}

bool sameText(const char* a, const char* b) {
  return a != nullptr && b != nullptr && std::strcmp(a, b) == 0;
}

AttributeRead failure(AxError error = kAxErrorCannotComplete) {
  return {error, NoValue{}};
}

AttributeRead text(std::string_view utf8) {
  return {kAxSuccess,
          AttributeValue(std::in_place_type<std::u16string>, text::utf16FromUtf8(utf8))};
}

}  // namespace

struct LinuxPlatform::Handle {
  std::size_t references = 1;
  AtspiAccessible* accessible = nullptr;  // owned; null for an application or a window
  Pid pid = 0;                            // an application's process, or a window's
  WindowId window = 0;                    // a terminal's window, standing for its text area
  // For an accessible: the window that held the keyboard focus when it was looked up, when it
  // belonged to the same process. Keys go to that window, so an accessible found while the focus
  // was in another window of the same process (the toolkit not yet told of the move) is not the
  // same target.
  WindowId focusWindow = 0;
  int timeoutMs = kDefaultTimeoutMs;
};

// A keyboard event: what the core gave it. Posting the key-down types the scalar, press and
// release together; the key-up has nothing left to do.
struct LinuxPlatform::Key {
  bool keyDown = false;
  std::u16string units;
};

// A deadline for a sequence of requests that together count as one.
class LinuxPlatform::Budget {
 public:
  explicit Budget(int milliseconds)
      : deadline_(Clock::now() + std::chrono::milliseconds(milliseconds)) {}
  int remainingMs() const {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
  }

 private:
  Clock::time_point deadline_;
};

LinuxPlatform::LinuxPlatform() : LinuxPlatform(sessionDisplayServer()) {}

LinuxPlatform::LinuxPlatform(std::unique_ptr<DisplayServer> display)
    : display_(std::move(display)) {
  GArray* states = g_array_new(FALSE, FALSE, sizeof(AtspiStateType));
  const AtspiStateType focused = ATSPI_STATE_FOCUSED;
  g_array_append_val(states, focused);
  AtspiStateSet* set = atspi_state_set_new(states);
  g_array_free(states, TRUE);
  focusedRule_ = atspi_match_rule_new(
      set, ATSPI_Collection_MATCH_ALL, nullptr, ATSPI_Collection_MATCH_ALL, nullptr,
      ATSPI_Collection_MATCH_ALL, nullptr, ATSPI_Collection_MATCH_ALL, FALSE);
  g_object_unref(set);
}

LinuxPlatform::~LinuxPlatform() {
  // What typing left on the display server is put back while it is still open.
  display_->release();
  if (focusedRule_ != nullptr) g_object_unref(focusedRule_);
}

// --- bookkeeping ------------------------------------------------------------------------

Element LinuxPlatform::newElement(AtspiAccessible* owned) {
  auto* handle = new Handle{};
  handle->accessible = owned;
  ++liveReferences_;
  return Element::adopt(*this, reinterpret_cast<std::uintptr_t>(handle));
}

Element LinuxPlatform::newWindowElement(WindowId window, Pid pid) {
  auto* handle = new Handle{};
  handle->window = window;
  handle->pid = pid;
  ++liveReferences_;
  return Element::adopt(*this, reinterpret_cast<std::uintptr_t>(handle));
}

LinuxPlatform::Handle* LinuxPlatform::handleOf(const Element& element) const {
  return element ? reinterpret_cast<Handle*>(element.ref()) : nullptr;
}

void LinuxPlatform::retainElement(std::uintptr_t ref) noexcept {
  ++reinterpret_cast<Handle*>(ref)->references;
  ++liveReferences_;
}

void LinuxPlatform::releaseElement(std::uintptr_t ref) noexcept {
  auto* handle = reinterpret_cast<Handle*>(ref);
  --liveReferences_;
  if (--handle->references != 0) return;
  if (handle->accessible != nullptr) g_object_unref(handle->accessible);
  delete handle;
}

void LinuxPlatform::releaseKeyEvent(std::uintptr_t ref) noexcept {
  delete reinterpret_cast<Key*>(ref);
}

void LinuxPlatform::note(std::string_view method, AtspiAccessible* accessible) {
  if (!observer_) return;
  const char* bus = busNameOf(accessible);
  const char* path = pathOf(accessible);
  observer_(method, bus != nullptr ? bus : "", path != nullptr ? path : "");
}

bool LinuxPlatform::arm(int timeoutMs) {
  if (!bus_.connected()) return false;
  bus_.setTimeout(timeoutMs);
  return true;
}

bool LinuxPlatform::arm(const Budget& budget) {
  const int left = budget.remainingMs();
  return left > 0 && arm(left);
}

// --- permission and applications -------------------------------------------------------

bool LinuxPlatform::isProcessTrusted() {
  if (!display_->answers()) return false;
  bus_.setTimeout(kDefaultTimeoutMs);
  return bus_.ready([this] { return display_->accessibilityBusAddress(); });
}

bool LinuxPlatform::sandboxed() {
  const Pid own = ownPid();
  const std::optional<bool> displaySeesOther = display_->seesOtherPid(own);
  if (bus_.connected() && (!sandboxedBus_ || sandboxedBusGeneration_ != bus_.generation())) {
    const char* name = dbus_bus_get_unique_name(bus_.connection());
    const std::optional<int> seen = name != nullptr ? bus_.processOf(name) : std::nullopt;
    if (seen) {
      sandboxedBus_ = *seen != own;
      sandboxedBusGeneration_ = bus_.generation();
    }
  }
  return displaySeesOther.value_or(false) || sandboxedBus_.value_or(false);
}

std::optional<RunningApp> LinuxPlatform::frontmostApplication() {
  // Pids from another namespace would be compared with ours: refused rather than guessed.
  if (sandboxed()) return std::nullopt;
  const std::optional<Pid> pid = display_->frontmostPid([this] { return activeProcesses(); });
  if (!pid) return std::nullopt;
  return RunningApp{*pid, processApplicationId(*pid)};
}

std::optional<RunningApp> LinuxPlatform::runningApplication(Pid pid) {
  if (!processExists(pid)) return std::nullopt;
  return RunningApp{pid, processApplicationId(pid)};
}

Pid LinuxPlatform::ownPid() {
  return static_cast<Pid>(::getpid());
}

std::optional<Pid> LinuxPlatform::parentPid() {
  return static_cast<Pid>(::getppid());
}

std::uintptr_t LinuxPlatform::openReleasePool() {
  bus_.drain();
  return 0;
}

// --- elements ---------------------------------------------------------------------------

Element LinuxPlatform::createApplication(Pid pid) {
  auto* handle = new Handle{};
  handle->pid = pid;
  ++liveReferences_;
  return Element::adopt(*this, reinterpret_cast<std::uintptr_t>(handle));
}

void LinuxPlatform::setMessagingTimeout(const Element& element, float seconds) {
  Handle* handle = handleOf(element);
  if (handle == nullptr) return;
  // Zero (or anything unusable) means the default, as for the platform this seam follows.
  const double ms = std::round(static_cast<double>(seconds) * 1000.0);
  handle->timeoutMs =
      std::isfinite(ms) && ms >= 1 && ms <= INT_MAX ? static_cast<int>(ms) : kDefaultTimeoutMs;
  bus_.setTimeout(handle->timeoutMs);
}

bool LinuxPlatform::elementsEqual(const Element& a, const Element& b) {
  const Handle* x = handleOf(a);
  const Handle* y = handleOf(b);
  if (x == nullptr || y == nullptr) return false;
  if (x->accessible == nullptr || y->accessible == nullptr) {
    return x->accessible == y->accessible && x->pid == y->pid && x->window == y->window;
  }
  return sameText(busNameOf(x->accessible), busNameOf(y->accessible)) &&
         sameText(pathOf(x->accessible), pathOf(y->accessible)) && x->focusWindow == y->focusWindow;
}

AttributeRead LinuxPlatform::copyAttributeValue(const Element& element,
                                                std::string_view attribute) {
  const Handle* handle = handleOf(element);
  if (handle == nullptr) return failure(kAxErrorInvalidUiElement);
  if (!bus_.connected()) return failure();
  if (handle->window != 0) {
    // A terminal's window, standing for its text area: an empty, enabled field with the caret
    // at its start, so the value and caret checks hold nothing; the focus is checked at
    // window level before every character.
    if (attribute == "AXRole") return text("AXTextArea");
    if (attribute == "AXSubrole") return failure(kAxErrorNoValue);
    if (attribute == "AXEnabled")
      return {kAxSuccess, AttributeValue(std::in_place_type<bool>, true)};
    if (attribute == "AXSelectedTextRange")
      return {kAxSuccess, AxValue{kAxValueKindRange, Range{}}};
    if (attribute == "AXValue") return text("");
    return failure(kAxErrorAttributeUnsupported);
  }
  if (handle->accessible == nullptr) {
    if (attribute == "AXFocusedUIElement") return focusedElement(*handle);
    return failure(kAxErrorAttributeUnsupported);
  }
  if (attribute == "AXRole") return role(*handle);
  if (attribute == "AXSubrole") return subrole(*handle);
  if (attribute == "AXEnabled") return enabled(*handle);
  if (attribute == "AXSelectedTextRange") return selectedRange(*handle);
  if (attribute == "AXValue") return value(*handle);
  return failure(kAxErrorAttributeUnsupported);
}

// --- the focused element ----------------------------------------------------------------

void LinuxPlatform::refreshCaches() {
  if (bus_.generation() == cachedGeneration_) return;
  busPids_.clear();
  busToolkits_.clear();
  busHidesText_.clear();
  wokenBuses_.clear();
  rootsByPid_.clear();
  rootless_ = {};
  cachedGeneration_ = bus_.generation();
}

std::optional<Pid> LinuxPlatform::pidOfBus(const char* busName) {
  if (busName == nullptr) return std::nullopt;
  refreshCaches();
  if (const auto it = busPids_.find(busName); it != busPids_.end()) return it->second;
  const std::optional<int> pid = bus_.processOf(busName);
  if (!pid) return std::nullopt;
  // A unique bus name is never given out twice while the bus runs, so its process stays.
  busPids_.emplace(busName, *pid);
  return *pid;
}

AttributeRead LinuxPlatform::focusedElement(const Handle& application) {
  // A terminal, or a field that takes keys only, is typed into by keys, which go to the focus
  // window: they may go only to the window that held the focus when this lookup began (see
  // postToPid). A move after that, even to another window of the same process, stops them, and
  // the element found is the same target only with the same window.
  keyTarget_ = {};
  const bool terminal = isListedTerminal(application.pid);
  const std::optional<WindowId> window = display_->keyWindow(application.pid, [this] { return activeProcesses(); });
  // A window the display server cannot name stands for no terminal of its own.
  const bool namedWindow = window && DisplayServer::namesWindow(*window);
  const auto answer = [&](Element element) -> AttributeRead {
    if (window) {
      keyTarget_ = {application.pid, *window, terminal};
      handleOf(element)->focusWindow = *window;
    }
    return {kAxSuccess, std::move(element)};
  };
  // The whole lookup counts as one request: however many calls it takes, a hung or slow
  // application costs at most the messaging timeout.
  const Budget budget(application.timeoutMs);
  if (!arm(budget)) return failure();
  refreshCaches();
  if (rootless_.pid == application.pid && Clock::now() - rootless_.confirmed < kRootlessTrust &&
      terminal && namedWindow) {
    // Typing into it: the lookup before each character trusts a confirmation this recent
    // (the key itself is checked at window level under the server grab).
    return answer(newWindowElement(*window, application.pid));
  }
  if (rootless_.pid == application.pid && Clock::now() - rootless_.confirmed < kRootlessFor) {
    // Still without an accessible while nothing has joined or left the registry: one request
    // instead of one per application on the desktop, before every character typed into it.
    const std::optional<int> size = registrySize(budget);
    if (!size) return failure();
    if (*size == rootless_.registrySize) {
      rootless_.confirmed = Clock::now();
      if (terminal && namedWindow) return answer(newWindowElement(*window, application.pid));
      return failure(kAxErrorNoValue);
    }
  }
  if (const auto known = rootsByPid_.find(application.pid); known != rootsByPid_.end()) {
    const Search search = searchRoots(known->second, budget);
    if (search.found != nullptr) return answer(newElement(search.found));
    if (budget.remainingMs() == 0) return failure();
    // Gone, registered anew, or nothing focused there: the registry knows the whole list.
  }
  std::optional<Registered> registered = rootsOf(application.pid, budget);
  if (!registered) return failure();
  const bool accessible = !registered->roots.empty();
  if (!accessible) {
    rootless_ = {application.pid, registered->registrySize, Clock::now()};
  } else if (rootless_.pid == application.pid) {
    rootless_ = {};
  }
  Search search = searchRoots(registered->roots, budget);
  if (rootsByPid_.size() > kMaxCachedProcesses) rootsByPid_.clear();
  Roots& roots = rootsByPid_[application.pid];
  roots = std::move(registered->roots);
  if (search.failed) return failure();
  if (search.found == nullptr && accessible) search = wake(roots, application.timeoutMs);
  if (search.failed) return failure();
  if (search.found != nullptr) return answer(newElement(search.found));
  // Only a terminal that exposes no accessible at all stands for itself by its window. One
  // that does, with nothing focused in it (its window not active yet, the focus somewhere
  // with no accessible), has no text area to offer now.
  if (!accessible && terminal && namedWindow) {
    return answer(newWindowElement(*window, application.pid));
  }
  return failure(kAxErrorNoValue);
}

LinuxPlatform::Search LinuxPlatform::wake(const Roots& roots, int timeoutMs) {
  bool lazy = false;
  for (const std::shared_ptr<AtspiAccessible>& root : roots) {
    // Reading attributes is what makes Chromium build its page's accessibles; it is a read,
    // harmless to every other application.
    const Budget budget(timeoutMs);
    askAttributes(root.get(), budget);
    ErrorSlot error;
    if (!arm(budget)) return {true};
    const gint windows = atspi_accessible_get_child_count(root.get(), error.out());
    if (error.failed()) return {true};
    for (gint w = 0; w < std::min(windows, kMaxWakeWindows); ++w) {
      if (!arm(budget)) return {true};
      const Owned<AtspiAccessible> window(
          atspi_accessible_get_child_at_index(root.get(), w, error.out()));
      if (error.failed()) return {true};
      if (window) askAttributes(window.get(), budget);
    }
    const char* bus = busNameOf(root.get());
    if (bus != nullptr && lazyTree(root.get(), timeoutMs) && wokenBuses_.insert(bus).second) {
      lazy = true;
    }
  }
  // Only an application that builds its tree on demand, and only the first time it is seen
  // without a focused element, is waited for; later its tree is there or it has no focus.
  if (!lazy) return {};
  const auto until = Clock::now() + kWakeWait;
  while (Clock::now() < until && !stopRequested()) {
    sleepSeconds(kWakePoll);
    const Budget budget(timeoutMs);
    const Search search = searchRoots(roots, budget);
    if (search.failed || search.found != nullptr) return search;
  }
  return {};
}

void LinuxPlatform::askAttributes(AtspiAccessible* accessible, const Budget& budget) {
  if (!arm(budget)) return;
  note("GetAttributes", accessible);
  ErrorSlot error;
  GHashTable* attributes = atspi_accessible_get_attributes(accessible, error.out());
  if (attributes != nullptr) g_hash_table_unref(attributes);
}

bool LinuxPlatform::lazyTree(AtspiAccessible* root, int timeoutMs) {
  const std::optional<std::string> name = toolkitName(root, timeoutMs);
  return name && toolkitBuildsTreeOnDemand(*name);
}

bool LinuxPlatform::isListedTerminal(Pid pid) {
  const std::optional<std::string> id = processApplicationId(pid);
  return id &&
         std::find(kTerminalAppIds.begin(), kTerminalAppIds.end(), *id) != kTerminalAppIds.end();
}

std::optional<int> LinuxPlatform::registrySize(const Budget& budget) {
  if (!arm(budget)) return std::nullopt;
  const Owned<AtspiAccessible> desktop(atspi_get_desktop(0));
  if (!desktop) return std::nullopt;
  ErrorSlot error;
  // libatspi reports some failures by -1 alone, with no error.
  const gint apps = atspi_accessible_get_child_count(desktop.get(), error.out());
  if (error.failed() || apps < 0) return std::nullopt;
  return apps;
}

std::optional<LinuxPlatform::Registered> LinuxPlatform::rootsOf(Pid pid, const Budget& budget) {
  const std::optional<int> apps = registrySize(budget);
  if (!apps) return std::nullopt;
  const Owned<AtspiAccessible> desktop(atspi_get_desktop(0));
  if (!desktop) return std::nullopt;
  ErrorSlot error;
  Registered registered{{}, *apps};
  Roots& roots = registered.roots;
  for (gint i = 0; i < *apps; ++i) {
    if (!arm(budget)) return std::nullopt;
    AtspiAccessible* root = atspi_accessible_get_child_at_index(desktop.get(), i, error.out());
    if (error.failed()) {
      if (root != nullptr) g_object_unref(root);
      return std::nullopt;
    }
    if (root == nullptr) continue;
    std::shared_ptr<AtspiAccessible> held(root, Unref{});
    if (!arm(budget)) return std::nullopt;
    const std::optional<Pid> owner = pidOfBus(busNameOf(root));
    if (owner && *owner == pid) roots.push_back(std::move(held));
  }
  return registered;
}

std::optional<std::vector<Pid>> LinuxPlatform::activeProcesses() {
  // One request bound for the whole look, as for a focused-element lookup.
  const Budget budget(bus_.timeout());
  const std::optional<int> apps = registrySize(budget);
  if (!apps) return std::nullopt;
  const Owned<AtspiAccessible> desktop(atspi_get_desktop(0));
  if (!desktop) return std::nullopt;
  std::vector<Pid> active;
  ErrorSlot error;
  for (gint i = 0; i < *apps; ++i) {
    if (!arm(budget)) return std::nullopt;
    const Owned<AtspiAccessible> root(
        atspi_accessible_get_child_at_index(desktop.get(), i, error.out()));
    if (error.failed()) return std::nullopt;
    if (!root) continue;
    if (!arm(budget)) return std::nullopt;
    const gint windows = atspi_accessible_get_child_count(root.get(), error.out());
    // An application that does not answer may be the one in front: nothing can be told then.
    if (error.failed() || windows < 0) return std::nullopt;
    for (gint w = 0; w < windows; ++w) {
      if (!arm(budget)) return std::nullopt;
      const Owned<AtspiAccessible> window(
          atspi_accessible_get_child_at_index(root.get(), w, error.out()));
      if (error.failed()) return std::nullopt;
      if (!window) continue;
      if (!arm(budget)) return std::nullopt;
      note("GetState", window.get());
      const Owned<AtspiStateSet> states(atspi_accessible_get_state_set(window.get()));
      if (!states) return std::nullopt;
      // Any top-level role: Qt's top-level window is a "filler", not a "frame".
      if (!atspi_state_set_contains(states.get(), ATSPI_STATE_ACTIVE)) continue;
      if (!arm(budget)) return std::nullopt;
      const std::optional<Pid> pid = pidOfBus(busNameOf(root.get()));
      if (!pid) return std::nullopt;
      if (std::find(active.begin(), active.end(), *pid) == active.end()) active.push_back(*pid);
      break;
    }
  }
  return active;
}

LinuxPlatform::Search LinuxPlatform::searchRoots(const Roots& roots, const Budget& budget) {
  ErrorSlot error;
  for (const std::shared_ptr<AtspiAccessible>& root : roots) {
    if (!arm(budget)) return {true};
    note("GetChildCount", root.get());
    const gint windows = atspi_accessible_get_child_count(root.get(), error.out());
    if (error.failed() || windows < 0) return {true};
    for (gint w = 0; w < windows; ++w) {
      if (!arm(budget)) return {true};
      note("GetChildAtIndex", root.get());
      const Owned<AtspiAccessible> window(
          atspi_accessible_get_child_at_index(root.get(), w, error.out()));
      if (error.failed()) return {true};
      if (!window) continue;
      if (!arm(budget)) return {true};
      note("GetState", window.get());
      const Owned<AtspiStateSet> states(atspi_accessible_get_state_set(window.get()));
      if (!states) return {true};
      if (!atspi_state_set_contains(states.get(), ATSPI_STATE_ACTIVE)) continue;
      const std::optional<AtspiAccessible*> found = focusedIn(window.get(), budget);
      if (!found) return {true};
      if (*found != nullptr) return {false, *found};
    }
  }
  return {};
}

std::optional<AtspiAccessible*> LinuxPlatform::focusedIn(AtspiAccessible* window,
                                                         const Budget& budget) {
  if (!arm(budget)) return std::nullopt;
  const Owned<AtspiCollection> collection(atspi_accessible_get_collection(window));
  if (collection) {
    if (!arm(budget)) return std::nullopt;
    note("GetMatches", window);
    ErrorSlot error;
    GArray* matches =
        atspi_collection_get_matches(collection.get(), focusedRule_,
                                     ATSPI_Collection_SORT_ORDER_CANONICAL, 1, TRUE, error.out());
    AtspiAccessible* first = nullptr;
    if (matches != nullptr) {
      for (guint i = 0; i < matches->len; ++i) {
        AtspiAccessible* match = g_array_index(matches, AtspiAccessible*, i);
        if (first == nullptr && match != nullptr) {
          first = match;
        } else if (match != nullptr) {
          g_object_unref(match);
        }
      }
      g_array_free(matches, TRUE);
    }
    if (!error.failed()) return first;
    if (first != nullptr) g_object_unref(first);
    // The walk below finds out whether the application still answers at all.
  }
  return walkForFocus(window, budget);
}

std::optional<AtspiAccessible*> LinuxPlatform::walkForFocus(AtspiAccessible* window,
                                                            const Budget& budget) {
  struct Pending {
    Owned<AtspiAccessible> node;
    int depth;
  };
  std::vector<Pending> stack;
  stack.push_back({Owned<AtspiAccessible>(ATSPI_ACCESSIBLE(g_object_ref(window))), 0});
  std::size_t visited = 0;
  ErrorSlot error;
  while (!stack.empty()) {
    Pending current = std::move(stack.back());
    stack.pop_back();
    if (++visited > kMaxWalkNodes) return nullptr;
    if (current.depth > 0) {
      if (!arm(budget)) return std::nullopt;
      note("GetState", current.node.get());
      const Owned<AtspiStateSet> states(atspi_accessible_get_state_set(current.node.get()));
      if (!states) return std::nullopt;
      if (atspi_state_set_contains(states.get(), ATSPI_STATE_FOCUSED)) {
        return current.node.release();
      }
      const bool shown = atspi_state_set_contains(states.get(), ATSPI_STATE_SHOWING) ||
                         atspi_state_set_contains(states.get(), ATSPI_STATE_VISIBLE);
      // A list or table that manages its descendants may have thousands of them, made on
      // demand: no text field to find there.
      if (!shown || atspi_state_set_contains(states.get(), ATSPI_STATE_MANAGES_DESCENDANTS)) {
        continue;
      }
    }
    if (current.depth >= kMaxWalkDepth) continue;
    if (!arm(budget)) return std::nullopt;
    note("GetChildCount", current.node.get());
    const gint children = atspi_accessible_get_child_count(current.node.get(), error.out());
    if (error.failed()) return std::nullopt;
    // Pushed last to first, so the first child is looked at first.
    for (gint i = children - 1; i >= 0; --i) {
      if (!arm(budget)) return std::nullopt;
      note("GetChildAtIndex", current.node.get());
      Owned<AtspiAccessible> child(
          atspi_accessible_get_child_at_index(current.node.get(), i, error.out()));
      if (error.failed()) return std::nullopt;
      if (child) stack.push_back({std::move(child), current.depth + 1});
    }
  }
  return nullptr;
}

// --- the attributes of a field ----------------------------------------------------------

std::optional<std::string> LinuxPlatform::toolkitName(AtspiAccessible* accessible, int timeoutMs) {
  const char* bus = busNameOf(accessible);
  if (bus == nullptr) return std::nullopt;
  refreshCaches();
  if (const auto it = busToolkits_.find(bus); it != busToolkits_.end()) return it->second;
  // Qt names its toolkit only on its application's root object.
  AtspiApplication* app = accessible->parent.app;
  if (app == nullptr || app->root == nullptr || !arm(timeoutMs)) return std::nullopt;
  note("GetToolkitName", app->root);
  ErrorSlot error;
  const OwnedText name(atspi_accessible_get_toolkit_name(app->root, error.out()));
  if (error.failed() || !name) return std::nullopt;
  return busToolkits_.emplace(bus, name.get()).first->second;
}

std::optional<TextUnits> LinuxPlatform::unitsOf(AtspiAccessible* accessible, int timeoutMs) {
  const std::optional<std::string> name = toolkitName(accessible, timeoutMs);
  return name ? toolkitUnits(*name) : std::nullopt;
}

namespace {

// A fresh read of the element's role; ATSPI_ROLE_INVALID when it cannot be read.
AtspiRole currentRole(AtspiAccessible* accessible) {
  ErrorSlot error;
  const AtspiRole role = atspi_accessible_get_role(accessible, error.out());
  return error.failed() ? ATSPI_ROLE_INVALID : role;
}

}  // namespace

AttributeRead LinuxPlatform::role(const Handle& element) {
  if (!arm(element.timeoutMs)) return failure();
  note("GetRole", element.accessible);
  const AtspiRole role = currentRole(element.accessible);
  switch (role) {
    case ATSPI_ROLE_INVALID:
      return failure();
    case ATSPI_ROLE_ENTRY:
    case ATSPI_ROLE_PASSWORD_TEXT:
      return text("AXTextField");
    case ATSPI_ROLE_PARAGRAPH:
    case ATSPI_ROLE_DOCUMENT_TEXT:
    case ATSPI_ROLE_TERMINAL:
      return text("AXTextArea");
    case ATSPI_ROLE_TEXT: {
      // GTK's text role covers entries and text views alike; the state tells them apart.
      note("GetState", element.accessible);
      const Owned<AtspiStateSet> states(atspi_accessible_get_state_set(element.accessible));
      if (!states) return failure();
      const bool multiLine = atspi_state_set_contains(states.get(), ATSPI_STATE_MULTI_LINE);
      return text(multiLine ? "AXTextArea" : "AXTextField");
    }
    case ATSPI_ROLE_SECTION:
    case ATSPI_ROLE_COMBO_BOX: {
      // In a web page an editable element (contenteditable) is a section, and an input with
      // suggestions (a datalist) a combo box, both with editable text (measured in Chromium
      // and Firefox). Elsewhere these roles are containers and stay refused.
      const std::optional<std::string> toolkit = toolkitName(element.accessible, element.timeoutMs);
      if (!toolkit || !webToolkit(*toolkit)) return text("AXUnknown");
      note("GetState", element.accessible);
      const Owned<AtspiStateSet> states(atspi_accessible_get_state_set(element.accessible));
      if (!states) return failure();
      if (!atspi_state_set_contains(states.get(), ATSPI_STATE_EDITABLE)) return text("AXUnknown");
      const bool multiLine = atspi_state_set_contains(states.get(), ATSPI_STATE_MULTI_LINE);
      return text(multiLine ? "AXTextArea" : "AXTextField");
    }
    default:
      // Any other role is one the insertion policy refuses.
      return text("AXUnknown");
  }
}

AttributeRead LinuxPlatform::subrole(const Handle& element) {
  if (!arm(element.timeoutMs)) return failure();
  note("GetRole", element.accessible);
  const AtspiRole role = currentRole(element.accessible);
  if (role == ATSPI_ROLE_INVALID) return failure();
  if (role == ATSPI_ROLE_PASSWORD_TEXT) return text("AXSecureTextField");
  return failure(kAxErrorNoValue);
}

AttributeRead LinuxPlatform::enabled(const Handle& element) {
  if (!arm(element.timeoutMs)) return failure();
  note("GetState", element.accessible);
  const Owned<AtspiStateSet> states(atspi_accessible_get_state_set(element.accessible));
  if (!states) return failure();
  // GTK 4 sets only SENSITIVE.
  const bool on = atspi_state_set_contains(states.get(), ATSPI_STATE_ENABLED) ||
                  atspi_state_set_contains(states.get(), ATSPI_STATE_SENSITIVE);
  return {kAxSuccess, AttributeValue(std::in_place_type<bool>, on)};
}

AttributeRead LinuxPlatform::selectedRange(const Handle& element) {
  const std::optional<TextUnits> units = unitsOf(element.accessible, element.timeoutMs);
  if (!units) return failure();
  const Owned<AtspiText> textIface(atspi_accessible_get_text(element.accessible));
  if (!textIface) return failure(kAxErrorAttributeUnsupported);
  ErrorSlot error;
  if (!arm(element.timeoutMs)) return failure();
  note("GetCaretOffset", element.accessible);
  const gint caret = atspi_text_get_caret_offset(textIface.get(), error.out());
  if (error.failed() || caret < 0) return failure();
  note("GetNSelections", element.accessible);
  const gint selections = atspi_text_get_n_selections(textIface.get(), error.out());
  if (error.failed()) return failure();
  std::int64_t start = caret;
  std::int64_t end = caret;
  if (selections > 0) {
    note("GetSelection", element.accessible);
    AtspiRange* first = atspi_text_get_selection(textIface.get(), 0, error.out());
    if (error.failed() || first == nullptr) {
      g_free(first);
      return failure();
    }
    if (first->start_offset != first->end_offset) {
      start = std::min(first->start_offset, first->end_offset);
      end = std::max(first->start_offset, first->end_offset);
    }
    g_free(first);
  }
  if (start < 0) return failure();
  Range range{start, end - start};

  if (*units == TextUnits::kCodePoints) {
    // Converting needs the text before the offsets; a password's text is never asked for, so
    // its range stays in the toolkit's units (the policy refuses such a field anyway, and its
    // value is never read).
    if (end > INT_MAX) return failure();
    const TextRead prefix = readText(element, textIface.get(), *units, static_cast<int>(end));
    if (!prefix.refused) {
      if (!prefix.utf8) return failure();
      const std::optional<std::int64_t> from = utf16Offset(*units, *prefix.utf8, start);
      const std::optional<std::int64_t> to = utf16Offset(*units, *prefix.utf8, end);
      if (!from || !to) return failure();
      range = Range{*from, *to - *from};
    }
  }
  return {kAxSuccess, AxValue{kAxValueKindRange, range}};
}

AttributeRead LinuxPlatform::value(const Handle& element) {
  const std::optional<TextUnits> units = unitsOf(element.accessible, element.timeoutMs);
  if (!units) return failure();
  const Owned<AtspiText> textIface(atspi_accessible_get_text(element.accessible));
  if (!textIface) return failure(kAxErrorAttributeUnsupported);
  const TextRead whole = readText(element, textIface.get(), *units, -1);
  if (!whole.utf8) return failure();
  return text(fieldText(*units, *whole.utf8));
}

std::optional<bool> LinuxPlatform::hidesTextUnseen(AtspiAccessible* accessible, int timeoutMs) {
  const char* bus = busNameOf(accessible);
  if (bus == nullptr) return std::nullopt;
  refreshCaches();
  if (const auto it = busHidesText_.find(bus); it != busHidesText_.end()) return it->second;
  const std::optional<std::string> toolkit = toolkitName(accessible, timeoutMs);
  if (!toolkit) return std::nullopt;
  bool hides = false;
  if (g_ascii_strcasecmp(toolkit->c_str(), "GTK") == 0) {
    AtspiApplication* app = accessible->parent.app;
    if (app == nullptr || app->root == nullptr || !arm(timeoutMs)) return std::nullopt;
    note("GetToolkitVersion", app->root);
    ErrorSlot error;
    const OwnedText version(atspi_accessible_get_toolkit_version(app->root, error.out()));
    if (error.failed() || !version) return std::nullopt;
    // GTK 4 and later; GTK 3 gives a hidden entry the password role.
    hides = std::atoi(version.get()) >= 4;
  }
  return busHidesText_.emplace(bus, hides).first->second;
}

LinuxPlatform::TextRead LinuxPlatform::readText(const Handle& element, AtspiText* textIface,
                                                TextUnits units, int end) {
  if (!arm(element.timeoutMs)) return {};
  note("GetRole", element.accessible);
  const AtspiRole role = currentRole(element.accessible);
  if (role == ATSPI_ROLE_INVALID) return {};
  if (role == ATSPI_ROLE_PASSWORD_TEXT) return {true, std::nullopt};
  if (role == ATSPI_ROLE_TEXT) {
    const std::optional<bool> hides = hidesTextUnseen(element.accessible, element.timeoutMs);
    if (!hides) return {};
    if (*hides) {
      if (!arm(element.timeoutMs)) return {};
      note("GetState", element.accessible);
      const Owned<AtspiStateSet> states(atspi_accessible_get_state_set(element.accessible));
      if (!states) return {};
      if (!atspi_state_set_contains(states.get(), ATSPI_STATE_MULTI_LINE))
        return {true, std::nullopt};
    }
  }
  if (!arm(element.timeoutMs)) return {};
  ErrorSlot error;
  gint count = -1;
  if (end < 0) {
    note("GetCharacterCount", element.accessible);
    count = atspi_text_get_character_count(textIface, error.out());
    if (error.failed() || count < 0) return {};
  }
  note("GetText", element.accessible);
  const OwnedText got(atspi_text_get_text(textIface, 0, end, error.out()));
  if (error.failed() || !got) return {};
  std::string utf8(got.get());
  // A whole text that disagrees with the count is not the field's text: such a field is
  // unreadable, never written blind.
  if (end < 0 && unitCount(units, utf8) != static_cast<std::size_t>(count)) return {};
  return {false, std::move(utf8)};
}

SettableAnswer LinuxPlatform::isAttributeSettable(const Element& element,
                                                  std::string_view attribute) {
  const Handle* handle = handleOf(element);
  if (handle == nullptr) return {kAxErrorInvalidUiElement, false};
  if (!bus_.connected()) return {kAxErrorCannotComplete, false};
  // A terminal's window takes keys, never an accessibility write.
  if (handle->accessible == nullptr || attribute != "AXSelectedText") return {kAxSuccess, false};
  // Only where the text's units are known can a write land where it is meant to, and only
  // where a write is known to take is it tried at all.
  const std::optional<std::string> toolkit = toolkitName(handle->accessible, handle->timeoutMs);
  if (!toolkit || !toolkitUnits(*toolkit) || !toolkitWriteTakes(*toolkit))
    return {kAxSuccess, false};
  if (!arm(handle->timeoutMs)) return {kAxErrorCannotComplete, false};
  const Owned<AtspiEditableText> editable(atspi_accessible_get_editable_text(handle->accessible));
  if (!editable) return {kAxSuccess, false};
  note("GetState", handle->accessible);
  const Owned<AtspiStateSet> states(atspi_accessible_get_state_set(handle->accessible));
  if (!states) return {kAxErrorCannotComplete, false};
  // Qt keeps EDITABLE on a read-only line edit and adds READ_ONLY.
  const bool settable = atspi_state_set_contains(states.get(), ATSPI_STATE_EDITABLE) &&
                        !atspi_state_set_contains(states.get(), ATSPI_STATE_READ_ONLY);
  return {kAxSuccess, settable};
}

bool LinuxPlatform::typedOnly(const Element& element) {
  const Handle* handle = handleOf(element);
  // A terminal's window is typed into as a terminal, never as a field.
  if (handle == nullptr || handle->accessible == nullptr || !bus_.connected()) return false;
  // Keys are placed by the toolkit itself, but the caret and the read-back need its units.
  const std::optional<std::string> toolkit = toolkitName(handle->accessible, handle->timeoutMs);
  if (!toolkit || !toolkitUnits(*toolkit)) return false;
  if (!arm(handle->timeoutMs)) return false;
  const Owned<AtspiText> textIface(atspi_accessible_get_text(handle->accessible));
  if (!textIface) return false;
  const Owned<AtspiEditableText> editable(atspi_accessible_get_editable_text(handle->accessible));
  // A field that offers a write that works gets the write.
  if (editable && toolkitWriteTakes(*toolkit)) return false;
  note("GetState", handle->accessible);
  const Owned<AtspiStateSet> states(atspi_accessible_get_state_set(handle->accessible));
  if (!states) return false;
  // Chromium's fields (editable text with no EditableText interface at all) and Firefox's.
  return atspi_state_set_contains(states.get(), ATSPI_STATE_EDITABLE) &&
         !atspi_state_set_contains(states.get(), ATSPI_STATE_READ_ONLY);
}

AxError LinuxPlatform::setAttributeValue(const Element& element, std::string_view attribute,
                                         std::u16string_view text) {
  const Handle* handle = handleOf(element);
  if (handle == nullptr) return kAxErrorInvalidUiElement;
  if (!bus_.connected()) return kAxErrorCannotComplete;
  if (handle->accessible == nullptr || attribute != "AXSelectedText") {
    return kAxErrorAttributeUnsupported;
  }
  // The text crosses as a C string: a NUL would cut it short after part of it was written.
  if (text.find(u'\0') != std::u16string_view::npos) return kAxErrorFailure;
  const std::optional<std::string> toolkit = toolkitName(handle->accessible, handle->timeoutMs);
  const std::optional<TextUnits> units = toolkit ? toolkitUnits(*toolkit) : std::nullopt;
  if (!units || !toolkitWriteTakes(*toolkit)) return kAxErrorCannotComplete;
  const Owned<AtspiText> textIface(atspi_accessible_get_text(handle->accessible));
  const Owned<AtspiEditableText> editable(atspi_accessible_get_editable_text(handle->accessible));
  if (!textIface || !editable) return kAxErrorAttributeUnsupported;

  if (!arm(handle->timeoutMs)) return kAxErrorCannotComplete;
  ErrorSlot error;
  note("GetCaretOffset", handle->accessible);
  const gint caret = atspi_text_get_caret_offset(textIface.get(), error.out());
  if (error.failed() || caret < 0) return kAxErrorCannotComplete;
  note("GetNSelections", handle->accessible);
  const gint selections = atspi_text_get_n_selections(textIface.get(), error.out());
  if (error.failed()) return kAxErrorCannotComplete;
  if (selections > 0) {
    // Setting the selected text replaces a selection; this write only inserts at a caret,
    // so a selection that appeared since the caret was checked stops it.
    note("GetSelection", handle->accessible);
    AtspiRange* first = atspi_text_get_selection(textIface.get(), 0, error.out());
    const bool empty =
        !error.failed() && first != nullptr && first->start_offset == first->end_offset;
    g_free(first);
    if (!empty) return kAxErrorCannotComplete;
  }

  const std::string utf8 = text::utf8FromUtf16(text);
  const std::int64_t length = insertLength(*units, utf8, text);
  if (length > INT_MAX) return kAxErrorFailure;
  note("InsertText", handle->accessible);
  const gboolean inserted = atspi_editable_text_insert_text(editable.get(), caret, utf8.c_str(),
                                                            static_cast<gint>(length), error.out());
  return inserted && !error.failed() ? kAxSuccess : kAxErrorCannotComplete;
}

// --- keyboard events --------------------------------------------------------------------

std::uint64_t LinuxPlatform::modifierFlags() {
  return display_->modifierFlags();
}

KeyEvent LinuxPlatform::createKeyboardEvent(std::uint16_t, bool keyDown) {
  return KeyEvent::adopt(*this, reinterpret_cast<std::uintptr_t>(new Key{keyDown, {}}));
}

void LinuxPlatform::setUnicodeString(KeyEvent& event, std::u16string_view units) {
  if (event) reinterpret_cast<Key*>(event.ref())->units.assign(units);
}

// Keys are typed with no modifier held, whatever flags the event would carry.
void LinuxPlatform::setFlags(KeyEvent&, std::uint64_t) {}

bool LinuxPlatform::postToPid(Pid pid, const KeyEvent& event) {
  if (!event) return false;
  const Key& key = *reinterpret_cast<const Key*>(event.ref());
  if (!key.keyDown) return true;
  if (key.units.empty()) return false;
  // Asked to stop: the text is cut short here, and the answer says so.
  if (stopRequested()) return false;
  const text::ScalarAt scalar = text::scalarAt(key.units, 0, text::LoneSurrogates::kKeep);
  if (scalar.units != key.units.size()) return false;
  // Keys go only to the window the last focus lookup for this process began with.
  if (keyTarget_.pid != pid || keyTarget_.window == 0) return false;
  // The display server checks, as it sends the key, that the focus is still in that window.
  return display_->typeScalar(scalar.scalar, pid, keyTarget_.window,
                              /*field=*/!keyTarget_.terminal);
}

// --- misc -------------------------------------------------------------------------------

std::string LinuxPlatform::newUuid() {
  unsigned char bytes[16];
  std::size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      // A token must never be guessable or blank: without randomness there is no safe answer.
      std::abort();
    }
  }
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string uuid;
  uuid.reserve(36);
  for (std::size_t i = 0; i < sizeof bytes; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) uuid.push_back('-');
    uuid.push_back(kHex[bytes[i] >> 4]);
    uuid.push_back(kHex[bytes[i] & 0x0F]);
  }
  return uuid;
}

void LinuxPlatform::pause(double seconds) {
  sleepSeconds(seconds);
}

double LinuxPlatform::now() {
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration<double>(since).count() - kUnixToReferenceSeconds;
}

}  // namespace caretsafe::linux_desktop
