// The accessibility part of the Linux platform: the applications on the AT-SPI registry, the
// focused element inside an application, the windows in the ACTIVE state, and what never
// changes for an application while the bus runs (its process, its toolkit). The same on every
// session, X11 or Wayland: AT-SPI is plain D-Bus.
//
// Every request to another application is bounded: by the messaging timeout, and a lookup
// made of many requests by one `Budget` for all of them. Nothing is printed.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/linux/accessibility/accessibility_bus.h"
#include "platform/linux/accessibility/toolkit_text.h"
#include "platform/platform.h"

struct _AtspiAccessible;
struct _AtspiMatchRule;

namespace caretsafe::linux_desktop {

// A deadline for a sequence of requests that together count as one.
class Budget {
 public:
  explicit Budget(int milliseconds)
      : deadline_(std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds)) {}
  int remainingMs() const {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline_ - std::chrono::steady_clock::now())
                          .count();
    return left > 0 ? static_cast<int>(left) : 0;
  }

 private:
  std::chrono::steady_clock::time_point deadline_;
};

class AccessibleDesktop {
 public:
  AccessibleDesktop();
  ~AccessibleDesktop();
  AccessibleDesktop(const AccessibleDesktop&) = delete;
  AccessibleDesktop& operator=(const AccessibleDesktop&) = delete;

  AccessibilityBus& bus() { return bus_; }

  // Sees every AT-SPI request made to an application, before it is made (see
  // LinuxPlatform::observeRequests).
  using RequestObserver = std::function<void(std::string_view method, std::string_view busName,
                                             std::string_view objectPath)>;
  void observeRequests(RequestObserver observer) { observer_ = std::move(observer); }
  void note(std::string_view method, _AtspiAccessible* accessible);

  // Sets the bound of the libatspi requests that follow; false when there is no session, or
  // no time left.
  bool arm(int timeoutMs);
  bool arm(const Budget& budget);

  // The process behind a unique bus name (asked once per name).
  std::optional<Pid> pidOfBus(const char* busName);
  // The toolkit's name as the accessible's application reports it (asked once per bus name).
  std::optional<std::string> toolkitName(_AtspiAccessible* accessible, int timeoutMs);
  std::optional<TextUnits> unitsOf(_AtspiAccessible* accessible, int timeoutMs);
  // Whether the application's single-line text fields may hide their text without saying so
  // (asked once per bus name).
  std::optional<bool> hidesTextUnseen(_AtspiAccessible* accessible, int timeoutMs);

  // The focused element of a process's active window: found (an owned reference), nothing
  // focused there, the process exposes no accessible at all (a terminal such as xterm or
  // foot), or the lookup failed (an application did not answer in time). With `trustRecent`,
  // a process confirmed without an accessible less than 100 ms ago is taken as still without
  // one, with no request (the lookup before every character typed into such a terminal).
  struct Lookup {
    enum Kind { kFound, kNothingFocused, kNoAccessible, kFailed } kind;
    _AtspiAccessible* found = nullptr;
  };
  Lookup focusedAccessible(Pid pid, int timeoutMs, bool trustRecent);

  // The processes with a top-level window in the ACTIVE state (any role: Qt's top level is a
  // "filler"), one entry each; nothing when the registry or an application did not answer.
  std::optional<std::vector<Pid>> activeProcesses();

 private:
  struct Search {
    bool failed = false;
    _AtspiAccessible* found = nullptr;
  };
  using Roots = std::vector<std::shared_ptr<_AtspiAccessible>>;
  // The application roots a process registered, and the number of applications the registry
  // listed then.
  struct Registered {
    Roots roots;
    int registrySize = 0;
  };
  std::optional<Registered> rootsOf(Pid pid, const Budget& budget);
  // The number of applications the registry lists (one request).
  std::optional<int> registrySize(const Budget& budget);
  Search searchRoots(const Roots& roots, const Budget& budget);
  void refreshCaches();
  std::optional<_AtspiAccessible*> focusedIn(_AtspiAccessible* window, const Budget& budget);
  // The focus the last walk found for the process, when it still says it is focused and
  // shown (a new reference); nothing otherwise, or when it did not answer.
  _AtspiAccessible* stillFocused(Pid pid, const Budget& budget);
  std::optional<_AtspiAccessible*> walkForFocus(_AtspiAccessible* window, const Budget& budget);
  // An application whose roots showed no focused element: their attributes and their windows'
  // are read, which makes an application that builds its accessibles on demand build them;
  // such an application is then looked at again for a bounded time, the first time only.
  Search wake(const Roots& roots, int timeoutMs);
  // A focus found in an application that shows a page's focus late, not inside a web document
  // (the document itself, or the browser's own window) or without its caret yet: the first
  // time for that application, looked for again for a bounded time until it shows inside one
  // with its caret (then that one), else the last one found.
  Search settlePageFocus(const Roots& roots, Search found, int timeoutMs);
  // Whether a text accessible answers a caret (one that is no text counts as yes).
  std::optional<bool> caretShown(_AtspiAccessible* accessible, const Budget& budget);
  // Whether the accessible lies inside a web document (an ancestor with the document-web role).
  std::optional<bool> inWebDocument(_AtspiAccessible* accessible, const Budget& budget);
  void askAttributes(_AtspiAccessible* accessible, const Budget& budget);
  bool lazyTree(_AtspiAccessible* root, int timeoutMs);

  AccessibilityBus bus_;
  _AtspiMatchRule* focusedRule_ = nullptr;
  RequestObserver observer_;
  // What never changes for a unique bus name while the session lasts: its process and its
  // toolkit. Dropped when the session restarts.
  std::unordered_map<std::string, Pid> busPids_;
  std::unordered_map<std::string, std::string> busToolkits_;
  std::unordered_map<std::string, bool> busHidesText_;
  // The bus names of applications already woken and waited for.
  std::unordered_set<std::string> wokenBuses_;
  // The bus names of applications whose late page focus was already waited for.
  std::unordered_set<std::string> settledBuses_;
  // The application roots each process registered, as last found: asked first, so that a
  // lookup need not go through every application on the desktop.
  std::unordered_map<Pid, Roots> rootsByPid_;
  // The last process found with no application root at all (a terminal such as xterm), the
  // registry's size then, and when that was last confirmed.
  struct Rootless {
    Pid pid = 0;
    int registrySize = -1;
    std::chrono::steady_clock::time_point confirmed{};
  } rootless_;
  // The focus last found by a walk (never in a browser engine's tree), and its process: the
  // next lookup for that process asks it whether it is still focused before walking again
  // (the lookup before every character typed into a VTE terminal, for one).
  struct WalkedFocus {
    Pid pid = 0;
    std::shared_ptr<_AtspiAccessible> accessible;
  } walkedFocus_;
  std::uint64_t cachedGeneration_ = 0;
};

}  // namespace caretsafe::linux_desktop
