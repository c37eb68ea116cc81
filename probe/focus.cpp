#include "probe/focus.h"

#include <algorithm>
#include <span>
#include <string>

#include "platform/app_ids.h"

namespace caretsafe {
namespace {

bool listed(std::span<const std::string_view> list, const std::optional<std::string>& appId) {
  const std::string_view id = appId ? std::string_view(*appId) : std::string_view();
  return std::find(list.begin(), list.end(), id) != list.end();
}

}  // namespace

std::optional<RunningApp> frontmostOther(Platform& platform) {
  std::optional<RunningApp> app = platform.frontmostApplication();
  if (!app) return std::nullopt;
  if (app->pid == platform.ownPid()) return std::nullopt;
  // Whatever the host is called, it is the process that started this one.
  if (app->pid == platform.parentPid()) return std::nullopt;
  if (listed(kHostAppIds, app->bundleId)) return std::nullopt;
  return app;
}

std::optional<Focus> focused(Platform& platform) {
  const std::optional<RunningApp> app = frontmostOther(platform);
  if (!app) return std::nullopt;

  const Element application = platform.createApplication(app->pid);
  platform.setMessagingTimeout(application, kMessagingTimeout);
  AttributeRead read = platform.copyAttributeValue(application, "AXFocusedUIElement");
  if (read.error != kAxSuccess) return std::nullopt;
  // A value of any other form is released with `read`.
  auto* element = std::get_if<Element>(&read.value);
  if (element == nullptr || !*element) return std::nullopt;
  platform.setMessagingTimeout(*element, kMessagingTimeout);
  return Focus{std::move(*element), app->pid};
}

bool isTerminal(Platform& platform, Pid pid) {
  const std::optional<RunningApp> app = platform.runningApplication(pid);
  return app && listed(kTerminalAppIds, app->bundleId);
}

bool isChromeFamily(const std::optional<std::string>& appId) {
  return listed(kChromeFamilyAppIds, appId);
}

bool isGeckoFamily(const std::optional<std::string>& appId) {
  return listed(kGeckoAppIds, appId);
}

}  // namespace caretsafe
