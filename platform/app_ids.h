// The applications focus discovery treats specially, named as the platform names a running
// application (a bundle identifier on macOS, the executable's file name on Linux). Each
// platform has its own lists; the build links the file for the platform of the executable.
#pragma once

#include <span>
#include <string_view>

namespace caretsafe {

// The host application: never captured from or inserted into.
extern const std::span<const std::string_view> kHostAppIds;
// The terminals that get text as synthetic keystrokes instead of an accessibility write.
extern const std::span<const std::string_view> kTerminalAppIds;
// Browsers built on Chromium that build their web pages' accessibility tree only for a client
// that asks for the enhanced interface, and whose web fields take keys only. Empty where the
// platform's adapter finds such fields itself.
extern const std::span<const std::string_view> kChromeFamilyAppIds;
// Browsers built on Gecko, which build their accessibility tree once asked for the enhanced
// interface, and whose web fields take a write that reaches the page only after the call has
// returned. Both lists are a fast path: an application on neither is still recognised by what
// its bundle holds. Empty where the platform's adapter finds such fields itself.
extern const std::span<const std::string_view> kGeckoAppIds;

}  // namespace caretsafe
