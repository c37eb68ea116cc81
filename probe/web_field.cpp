#include "probe/web_field.h"

#include <cmath>
#include <string>
#include <utility>

#include "probe/inspection.h"

namespace caretsafe {

std::optional<TreeSwitch> treeSwitch(Platform& platform, const RunningApp& app) {
  if (isChromeFamily(app.bundleId)) return TreeSwitch{kEnhancedInterface, WebFields::kTyped};
  if (isGeckoFamily(app.bundleId)) return TreeSwitch{kEnhancedInterface, WebFields::kLateWrite};
  if (platform.builtOnElectron(app.pid)) {
    return TreeSwitch{kManualAccessibility, WebFields::kTyped};
  }
  switch (platform.webEngine(app.pid)) {
    case WebEngine::kChromium:
      return TreeSwitch{kEnhancedInterface, WebFields::kTyped};
    case WebEngine::kGecko:
      return TreeSwitch{kEnhancedInterface, WebFields::kLateWrite};
    case WebEngine::kNone:
      break;
  }
  return std::nullopt;
}

void TreeWakes::note(Pid pid, double when) {
  for (std::size_t i = 0; i < count_; ++i) {
    if (wakes_[i].pid == pid) {
      wakes_[i].when = when;
      return;
    }
  }
  // The oldest one makes room.
  wakes_[next_] = Wake{pid, when};
  next_ = (next_ + 1) % kRemembered;
  if (count_ < kRemembered) ++count_;
}

std::optional<double> TreeWakes::switchedAt(Pid pid) const {
  for (std::size_t i = 0; i < count_; ++i) {
    if (wakes_[i].pid == pid) return wakes_[i].when;
  }
  return std::nullopt;
}

int treeLooks(Platform& platform, TreeWakes& wakes, const RunningApp& app,
              const TreeSwitch& treeSwitch) {
  if (const std::optional<double> switched = wakes.switchedAt(app.pid)) {
    const double waited = platform.now() - *switched;
    // A clock set back or gone wrong ends the wait as surely as the budget does.
    if (!(waited >= 0 && waited < kWakeBudget)) return 0;
    return static_cast<int>(std::ceil((kWakeBudget - waited) / kWakePause));
  }
  const Element application = platform.createApplication(app.pid);
  platform.setMessagingTimeout(application, kMessagingTimeout);
  // Already on: the tree is as complete as asking makes it, and asking again could disturb the
  // application (a browser's windows animate and resize worse under the enhanced interface).
  if (const std::optional<AttributeValue> on = attr(platform, application, treeSwitch.attribute)) {
    if (const auto* flag = std::get_if<bool>(&*on); flag != nullptr && *flag) return 0;
  }
  platform.setFlagAttribute(application, treeSwitch.attribute, true);
  wakes.note(app.pid, platform.now());
  return kWakeLooks;
}

bool inWebArea(Platform& platform, const Element& element) {
  Element current = element;
  for (int depth = 0; depth < kMaxWebAreaDepth; ++depth) {
    std::optional<AttributeValue> parent = attr(platform, current, "AXParent");
    auto* next = parent ? std::get_if<Element>(&*parent) : nullptr;
    if (next == nullptr || !*next) return false;
    platform.setMessagingTimeout(*next, kMessagingTimeout);
    const std::optional<AttributeValue> role = attr(platform, *next, "AXRole");
    const auto* text = role ? std::get_if<std::u16string>(&*role) : nullptr;
    if (text != nullptr && *text == u"AXWebArea") return true;
    current = std::move(*next);
  }
  return false;
}

}  // namespace caretsafe
