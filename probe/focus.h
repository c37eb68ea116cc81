// Focus discovery: which element has keyboard focus in the frontmost application, and
// whether an application is one of the terminals that receive text as keystrokes.
#pragma once

#include <optional>
#include <string_view>

#include "platform/platform.h"

namespace caretsafe {

// Bounds every accessibility request to another application.
inline constexpr float kMessagingTimeout = 0.6f;

struct Focus {
  Element element;  // carries the messaging timeout; owned by the caller
  Pid pid = 0;
};

// The frontmost application, unless it is this process, the process that started it or an
// application on the host list. Asks nothing of any application.
std::optional<RunningApp> frontmostOther(Platform& platform);

// The focused element of the frontmost application and that application's pid, or nothing:
// no frontmost application, the frontmost one is this process, the process that started it
// or an application on the host list, or its focused element cannot be read. A refused application
// costs no accessibility request; otherwise exactly one request (the read of "AXFocusedUIElement")
// goes to another process.
std::optional<Focus> focused(Platform& platform);

// Whether the running application with this pid has a terminal's identifier. A pid
// with no running application, or an application without an identifier, is no terminal.
bool isTerminal(Platform& platform, Pid pid);

// Whether the identifier is one of the Chromium-family browsers on the platform's list.
bool isChromeFamily(const std::optional<std::string>& appId);
// Whether the identifier is one of the Gecko browsers on the platform's list.
bool isGeckoFamily(const std::optional<std::string>& appId);

}  // namespace caretsafe
