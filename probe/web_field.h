// Web fields of browsers and Electron applications, as the accessibility interface shows them.
// Their tree exists only once the application is asked for it, and they take text in their own
// way: a Chromium field answers a write of its selected text with success and changes nothing,
// so it takes keys only; a Gecko field takes the write, but the page applies it only after the
// call has returned.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

#include "platform/platform.h"
#include "probe/focus.h"

namespace caretsafe {

// How long a capture waits for a tree once it was asked for, looking for the focus again after
// each pause. Chromium and Electron (from version 37) build the tree 2 s after the last setting
// of the switch (and a new setting starts those 2 s again); a heavy page or application then
// takes its time to build it.
inline constexpr int kWakeLooks = 50;
inline constexpr double kWakePause = 0.1;
inline constexpr double kWakeBudget = kWakeLooks * kWakePause;
// The most ancestors looked at for a web area.
inline constexpr int kMaxWebAreaDepth = 64;

inline constexpr std::string_view kEnhancedInterface = "AXEnhancedUserInterface";
inline constexpr std::string_view kManualAccessibility = "AXManualAccessibility";

// How an application's web fields take text.
enum class WebFields {
  kNone,       // not a web application: its fields are ordinary fields
  kTyped,      // typed keys only (Chromium, Electron)
  kLateWrite,  // a write that the page applies after the call has returned (Gecko)
};

// The switch that asks an application for its tree, and how its web fields take text.
struct TreeSwitch {
  std::string_view attribute;
  WebFields fields = WebFields::kNone;
};

// The application's tree switch: the enhanced interface for a Chromium-based or Gecko browser,
// manual accessibility for an application built on Electron, none for any other. The bundle
// identifier lists decide first, without a request; then whether the application is built on
// Electron, then what its bundle holds (one request each, the second only when the first says
// no).
std::optional<TreeSwitch> treeSwitch(Platform& platform, const RunningApp& app);

// The tree switches this helper set, per application, and when (the wall clock): a switch is
// set once per application, since a browser starts its wait for the tree again at every setting
// and a second capture soon after the first would only push the tree further away. Remembers the
// latest few applications.
class TreeWakes {
 public:
  void note(Pid pid, double when);
  std::optional<double> switchedAt(Pid pid) const;

 private:
  struct Wake {
    Pid pid = 0;
    double when = 0;
  };
  static constexpr std::size_t kRemembered = 16;
  std::array<Wake, kRemembered> wakes_{};
  std::size_t count_ = 0;
  std::size_t next_ = 0;
};

// For a capture that found no field in the frontmost application `app` (with its tree switch):
// how many looks to make for its tree. The first time, the switch is set (unless it already
// reads true), noted, and the whole budget is looked for; while the wait started by an earlier
// setting runs, its remainder, without setting the switch again; after that, none: the tree is
// as complete as asking makes it. The result code of the setting is not trusted either way
// (older Electron versions answer an error and build the tree all the same).
int treeLooks(Platform& platform, TreeWakes& wakes, const RunningApp& app,
              const TreeSwitch& treeSwitch);

// Whether the element lies in a web page: one of its ancestors (by "AXParent", at most
// `kMaxWebAreaDepth` of them, each bounded by the messaging timeout) has the role "AXWebArea".
bool inWebArea(Platform& platform, const Element& element);

}  // namespace caretsafe
