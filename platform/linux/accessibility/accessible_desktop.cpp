#include "platform/linux/accessibility/accessible_desktop.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <utility>

#include "platform/linux/accessibility/atspi_util.h"
#include "platform/sleep.h"
#include "platform/stop_request.h"

namespace caretsafe::linux_desktop {

using namespace atspi;

namespace {

using Clock = std::chrono::steady_clock;

// Bounds on the depth-first search for the focused element: real windows are far smaller
// (the GTK test window: 14 nodes; LibreOffice Calc's, its sheet left out: about 1,600), and a
// lookup stays within the messaging timeout anyway. Past the bound on requests the window
// counts as having nothing focused; only a node's first `kMaxWalkNodes` children are seen.
constexpr int kMaxWalkDepth = 64;
constexpr std::size_t kMaxWalkNodes = 5000;
constexpr std::size_t kMaxWalkRequests = 3 * kMaxWalkNodes;
// A container that manages its descendants makes them on demand, one object per row and cell
// asked for (a tree view's (rows + 1) x columns, a spreadsheet's 2^31): it is looked into only
// when it has this few (a list box whose rows are widgets, an entry among them).
constexpr gint kMaxManagedChildren = 64;

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

}  // namespace

AccessibleDesktop::AccessibleDesktop() {
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

AccessibleDesktop::~AccessibleDesktop() {
  if (focusedRule_ != nullptr) g_object_unref(focusedRule_);
}

void AccessibleDesktop::note(std::string_view method, AtspiAccessible* accessible) {
  if (!observer_) return;
  const char* bus = busNameOf(accessible);
  const char* path = pathOf(accessible);
  observer_(method, bus != nullptr ? bus : "", path != nullptr ? path : "");
}

bool AccessibleDesktop::arm(int timeoutMs) {
  if (!bus_.connected()) return false;
  bus_.setTimeout(timeoutMs);
  return true;
}

bool AccessibleDesktop::arm(const Budget& budget) {
  const int left = budget.remainingMs();
  return left > 0 && arm(left);
}

void AccessibleDesktop::refreshCaches() {
  if (bus_.generation() == cachedGeneration_) return;
  busPids_.clear();
  busToolkits_.clear();
  busHidesText_.clear();
  wokenBuses_.clear();
  settledBuses_.clear();
  rootsByPid_.clear();
  rootless_ = {};
  walkedFocus_ = {};
  cachedGeneration_ = bus_.generation();
}

std::optional<Pid> AccessibleDesktop::pidOfBus(const char* busName) {
  if (busName == nullptr) return std::nullopt;
  refreshCaches();
  if (const auto it = busPids_.find(busName); it != busPids_.end()) return it->second;
  const std::optional<int> pid = bus_.processOf(busName);
  if (!pid) return std::nullopt;
  // A unique bus name is never given out twice while the bus runs, so its process stays.
  busPids_.emplace(busName, *pid);
  return *pid;
}

AccessibleDesktop::Search AccessibleDesktop::wake(const Roots& roots, int timeoutMs) {
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

AccessibleDesktop::Search AccessibleDesktop::settlePageFocus(const Roots& roots, Search found,
                                                             int timeoutMs) {
  const char* name = busNameOf(found.found);
  if (name == nullptr) return found;
  // Copied: the accessible that owns the name may be let go below.
  const std::string bus(name);
  if (settledBuses_.contains(bus)) return found;
  const std::optional<std::string> toolkit = toolkitName(found.found, timeoutMs);
  if (!toolkit || !toolkitShowsPageFocusLate(*toolkit)) return found;
  const auto until = Clock::now() + kWakeWait;
  for (;;) {
    const Budget budget(timeoutMs);
    const std::optional<bool> inPage = inWebDocument(found.found, budget);
    const std::optional<bool> caret = inPage && *inPage ? caretShown(found.found, budget) : inPage;
    if (!caret) {
      g_object_unref(found.found);
      return {true};
    }
    // A focus inside a page with its caret is settled. The page's document itself, a focus in
    // the browser's own window, or a field that has no caret yet may stand for a page's focus
    // not fully shown (measured right after Firefox started: the document focused for a
    // moment, then the field, its caret a moment later; Chromium's document stayed focused
    // for up to 0.3 s after its field took the focus).
    if (*caret) break;
    if (!(Clock::now() < until) || stopRequested()) break;
    sleepSeconds(kWakePoll);
    const Search again = searchRoots(roots, Budget(timeoutMs));
    if (again.failed) {
      g_object_unref(found.found);
      return again;
    }
    if (again.found == nullptr) continue;
    g_object_unref(found.found);
    found = again;
  }
  settledBuses_.insert(bus);
  return found;
}

std::optional<bool> AccessibleDesktop::caretShown(AtspiAccessible* accessible,
                                                  const Budget& budget) {
  if (!arm(budget)) return std::nullopt;
  const Owned<AtspiText> text(atspi_accessible_get_text(accessible));
  // Not a text: nothing to wait for.
  if (!text) return true;
  if (!arm(budget)) return std::nullopt;
  note("GetCaretOffset", accessible);
  ErrorSlot error;
  const gint caret = atspi_text_get_caret_offset(text.get(), error.out());
  if (error.failed()) return std::nullopt;
  return caret >= 0;
}

std::optional<bool> AccessibleDesktop::inWebDocument(AtspiAccessible* accessible,
                                                     const Budget& budget) {
  Owned<AtspiAccessible> current(ATSPI_ACCESSIBLE(g_object_ref(accessible)));
  for (int depth = 0; depth < kMaxWalkDepth; ++depth) {
    if (!arm(budget)) return std::nullopt;
    note("GetParent", current.get());
    ErrorSlot error;
    AtspiAccessible* parent = atspi_accessible_get_parent(current.get(), error.out());
    if (error.failed()) {
      if (parent != nullptr) g_object_unref(parent);
      return std::nullopt;
    }
    if (parent == nullptr) return false;
    current = Owned<AtspiAccessible>(parent);
    if (!arm(budget)) return std::nullopt;
    note("GetRole", current.get());
    const AtspiRole role = atspi_accessible_get_role(current.get(), error.out());
    if (error.failed()) return std::nullopt;
    if (role == ATSPI_ROLE_DOCUMENT_WEB) return true;
  }
  return false;
}

void AccessibleDesktop::askAttributes(AtspiAccessible* accessible, const Budget& budget) {
  if (!arm(budget)) return;
  note("GetAttributes", accessible);
  ErrorSlot error;
  GHashTable* attributes = atspi_accessible_get_attributes(accessible, error.out());
  if (attributes != nullptr) g_hash_table_unref(attributes);
}

bool AccessibleDesktop::lazyTree(AtspiAccessible* root, int timeoutMs) {
  const std::optional<std::string> name = toolkitName(root, timeoutMs);
  return name && toolkitBuildsTreeOnDemand(*name);
}

std::optional<int> AccessibleDesktop::registrySize(const Budget& budget) {
  if (!arm(budget)) return std::nullopt;
  const Owned<AtspiAccessible> desktop(atspi_get_desktop(0));
  if (!desktop) return std::nullopt;
  ErrorSlot error;
  // libatspi reports some failures by -1 alone, with no error.
  const gint apps = atspi_accessible_get_child_count(desktop.get(), error.out());
  if (error.failed() || apps < 0) return std::nullopt;
  return apps;
}

std::optional<AccessibleDesktop::Registered> AccessibleDesktop::rootsOf(Pid pid,
                                                                        const Budget& budget) {
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

std::optional<std::vector<Pid>> AccessibleDesktop::activeProcesses() {
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

AccessibleDesktop::Search AccessibleDesktop::searchRoots(const Roots& roots, const Budget& budget) {
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

std::optional<AtspiAccessible*> AccessibleDesktop::focusedIn(AtspiAccessible* window,
                                                             const Budget& budget) {
  // A Collection match walks the whole tree in the application, into every container that
  // makes its descendants on demand, until it finds a match: asked of a GTK window whose list
  // of 100,000 rows came before the focused entry, it kept the application busy for 10 s (7 s
  // of CPU), and of LibreOffice Calc with the focus after its sheet, for minutes, making a
  // cell object for each of its 2^31 cells. Only a browser engine's tree, which holds what its
  // page holds, is matched in the application; every other one is walked from here, within
  // bounds, never into such a container.
  const std::optional<std::string> toolkit = toolkitName(window, budget.remainingMs());
  if (!toolkit || !webToolkit(*toolkit)) {
    const std::optional<AtspiAccessible*> found = walkForFocus(window, budget);
    if (found && *found != nullptr) {
      const std::optional<Pid> pid = pidOfBus(busNameOf(*found));
      if (pid) {
        walkedFocus_ = {*pid, std::shared_ptr<AtspiAccessible>(
                                  ATSPI_ACCESSIBLE(g_object_ref(*found)), Unref{})};
      }
    }
    return found;
  }
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

AtspiAccessible* AccessibleDesktop::stillFocused(Pid pid, const Budget& budget) {
  if (walkedFocus_.pid != pid || !walkedFocus_.accessible) return nullptr;
  AtspiAccessible* last = walkedFocus_.accessible.get();
  if (!arm(budget)) return nullptr;
  note("GetState", last);
  const Owned<AtspiStateSet> states(atspi_accessible_get_state_set(last));
  // A toolkit says an element is focused only while its window is the active one (GTK, Qt):
  // one that still says so is still the focus, which a walk would find again.
  if (states && atspi_state_set_contains(states.get(), ATSPI_STATE_FOCUSED) &&
      atspi_state_set_contains(states.get(), ATSPI_STATE_SHOWING) &&
      !atspi_state_set_contains(states.get(), ATSPI_STATE_DEFUNCT)) {
    return ATSPI_ACCESSIBLE(g_object_ref(last));
  }
  walkedFocus_ = {};
  return nullptr;
}

std::optional<AtspiAccessible*> AccessibleDesktop::walkForFocus(AtspiAccessible* window,
                                                                const Budget& budget) {
  // A node being looked through: its next child is asked for only when the ones before it
  // and theirs have been seen, so the requests made are those for the nodes seen.
  struct Open {
    Owned<AtspiAccessible> node;
    int depth;
    gint next;
    gint count;
  };
  std::vector<Open> open;
  std::size_t requests = 0;
  ErrorSlot error;
  // The node's child count, or nothing when its children are not to be looked through.
  const auto childCount = [&](AtspiAccessible* node, bool managed) -> std::optional<gint> {
    ++requests;
    note("GetChildCount", node);
    const gint children = atspi_accessible_get_child_count(node, error.out());
    if (error.failed()) return std::nullopt;
    // Asking for the count makes nothing; asking for a child of such a container makes it.
    if (managed && children > kMaxManagedChildren) return 0;
    return std::clamp<gint>(children, 0, static_cast<gint>(kMaxWalkNodes));
  };
  if (!arm(budget)) return std::nullopt;
  const std::optional<gint> top = childCount(window, false);
  if (!top) return std::nullopt;
  open.push_back({Owned<AtspiAccessible>(ATSPI_ACCESSIBLE(g_object_ref(window))), 0, 0, *top});
  while (!open.empty()) {
    // A window this large holds no focus that can be found in time: nothing is focused there.
    if (requests >= kMaxWalkRequests) return nullptr;
    Open& parent = open.back();
    if (parent.next >= parent.count) {
      open.pop_back();
      continue;
    }
    const gint index = parent.next++;
    const int depth = parent.depth + 1;
    if (!arm(budget)) return std::nullopt;
    ++requests;
    note("GetChildAtIndex", parent.node.get());
    Owned<AtspiAccessible> child(
        atspi_accessible_get_child_at_index(parent.node.get(), index, error.out()));
    if (error.failed()) return std::nullopt;
    if (!child) continue;
    if (!arm(budget)) return std::nullopt;
    ++requests;
    note("GetState", child.get());
    const Owned<AtspiStateSet> states(atspi_accessible_get_state_set(child.get()));
    if (!states) return std::nullopt;
    if (atspi_state_set_contains(states.get(), ATSPI_STATE_FOCUSED)) return child.release();
    const bool shown = atspi_state_set_contains(states.get(), ATSPI_STATE_SHOWING) ||
                       atspi_state_set_contains(states.get(), ATSPI_STATE_VISIBLE);
    if (!shown || depth >= kMaxWalkDepth) continue;
    if (!arm(budget)) return std::nullopt;
    const std::optional<gint> count = childCount(
        child.get(), atspi_state_set_contains(states.get(), ATSPI_STATE_MANAGES_DESCENDANTS));
    if (!count) return std::nullopt;
    if (*count > 0) open.push_back({std::move(child), depth, 0, *count});
  }
  return nullptr;
}

std::optional<std::string> AccessibleDesktop::toolkitName(AtspiAccessible* accessible,
                                                          int timeoutMs) {
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

std::optional<TextUnits> AccessibleDesktop::unitsOf(AtspiAccessible* accessible, int timeoutMs) {
  const std::optional<std::string> name = toolkitName(accessible, timeoutMs);
  return name ? toolkitUnits(*name) : std::nullopt;
}

std::optional<bool> AccessibleDesktop::hidesTextUnseen(AtspiAccessible* accessible, int timeoutMs) {
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

AccessibleDesktop::Lookup AccessibleDesktop::focusedAccessible(Pid pid, int timeoutMs,
                                                               bool trustRecent) {
  // The whole lookup counts as one request: however many calls it takes, a hung or slow
  // application costs at most the messaging timeout.
  const Budget budget(timeoutMs);
  if (!arm(budget)) return {Lookup::kFailed};
  refreshCaches();
  if (trustRecent && rootless_.pid == pid && Clock::now() - rootless_.confirmed < kRootlessTrust) {
    // Typing into it: the lookup before each character trusts a confirmation this recent
    // (the key itself is checked at window level by the display server).
    return {Lookup::kNoAccessible};
  }
  if (rootless_.pid == pid && Clock::now() - rootless_.confirmed < kRootlessFor) {
    // Still without an accessible while nothing has joined or left the registry: one request
    // instead of one per application on the desktop, before every character typed into it.
    const std::optional<int> size = registrySize(budget);
    if (!size) return {Lookup::kFailed};
    if (*size == rootless_.registrySize) {
      rootless_.confirmed = Clock::now();
      return {Lookup::kNoAccessible};
    }
  }
  if (AtspiAccessible* still = stillFocused(pid, budget)) return {Lookup::kFound, still};
  if (const auto known = rootsByPid_.find(pid); known != rootsByPid_.end()) {
    Search search = searchRoots(known->second, budget);
    if (search.found != nullptr) {
      search = settlePageFocus(known->second, search, timeoutMs);
      if (search.failed) return {Lookup::kFailed};
      return {Lookup::kFound, search.found};
    }
    if (budget.remainingMs() == 0) return {Lookup::kFailed};
    // Gone, registered anew, or nothing focused there: the registry knows the whole list.
  }
  std::optional<Registered> registered = rootsOf(pid, budget);
  if (!registered) return {Lookup::kFailed};
  const bool accessible = !registered->roots.empty();
  if (!accessible) {
    rootless_ = {pid, registered->registrySize, Clock::now()};
  } else if (rootless_.pid == pid) {
    rootless_ = {};
  }
  Search search = searchRoots(registered->roots, budget);
  if (rootsByPid_.size() > kMaxCachedProcesses) rootsByPid_.clear();
  Roots& roots = rootsByPid_[pid];
  roots = std::move(registered->roots);
  if (search.failed) return {Lookup::kFailed};
  if (search.found == nullptr && accessible) search = wake(roots, timeoutMs);
  if (search.found != nullptr) search = settlePageFocus(roots, search, timeoutMs);
  if (search.failed) return {Lookup::kFailed};
  if (search.found != nullptr) return {Lookup::kFound, search.found};
  return {accessible ? Lookup::kNothingFocused : Lookup::kNoAccessible};
}

}  // namespace caretsafe::linux_desktop
