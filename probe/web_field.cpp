#include "probe/web_field.h"

#include <string>
#include <utility>

#include "probe/inspection.h"

namespace caretsafe {

std::optional<std::string_view> treeSwitch(Platform& platform, const RunningApp& app) {
  if (isChromeFamily(app.bundleId)) return kEnhancedInterface;
  if (platform.builtOnElectron(app.pid)) return kManualAccessibility;
  return std::nullopt;
}

std::optional<Focus> wokenFocus(Platform& platform) {
  const std::optional<RunningApp> app = frontmostOther(platform);
  if (!app) return std::nullopt;
  const std::optional<std::string_view> attribute = treeSwitch(platform, *app);
  if (!attribute) return std::nullopt;

  const Element application = platform.createApplication(app->pid);
  platform.setMessagingTimeout(application, kMessagingTimeout);
  // Already on: the tree is as complete as asking makes it, and asking again could disturb the
  // application (a browser's windows animate and resize worse under the enhanced interface).
  if (const std::optional<AttributeValue> on = attr(platform, application, *attribute)) {
    if (const auto* flag = std::get_if<bool>(&*on); flag != nullptr && *flag) return std::nullopt;
  }
  platform.setFlagAttribute(application, *attribute, true);
  for (int look = 0; look < kWakeLooks; ++look) {
    platform.pause(kWakePause);
    std::optional<Focus> focus = focused(platform);
    if (focus && focus->pid == app->pid) return focus;
    // Another application came to the front: its focus is not what was woken.
    if (focus) return std::nullopt;
  }
  return std::nullopt;
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
