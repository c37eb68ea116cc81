#include "probe/focus.h"

#include <algorithm>
#include <string>

namespace caretsafe {
namespace {

template <std::size_t N>
bool listed(const std::string_view (&list)[N], const std::optional<std::string>& bundleId) {
  const std::string_view id = bundleId ? std::string_view(*bundleId) : std::string_view();
  return std::ranges::find(list, id) != std::end(list);
}

}  // namespace

std::optional<Focus> focused(Platform& platform) {
  const std::optional<RunningApp> app = platform.frontmostApplication();
  if (!app) return std::nullopt;
  if (app->pid == platform.ownPid()) return std::nullopt;
  if (listed(kHostBundleIds, app->bundleId)) return std::nullopt;

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
  return app && listed(kTerminalBundleIds, app->bundleId);
}

}  // namespace caretsafe
