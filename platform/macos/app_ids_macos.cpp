// Bundle identifiers on macOS; the simulated desktop speaks them too.
#include "platform/app_ids.h"

namespace caretsafe {
namespace {

constexpr std::string_view kHosts[] = {"app.norvane.pro", "com.github.Electron"};
constexpr std::string_view kTerminals[] = {"com.apple.Terminal", "com.googlecode.iterm2"};
// Asking for the enhanced interface is known to disturb window animations and resizing, so it
// is asked only of these.
constexpr std::string_view kChromeFamily[] = {
    "com.google.Chrome",        "com.google.Chrome.beta", "com.google.Chrome.dev",
    "com.google.Chrome.canary", "org.chromium.Chromium",  "com.microsoft.edgemac",
    "com.brave.Browser",        "com.vivaldi.Vivaldi",    "com.operasoftware.Opera"};
// Firefox (release, Beta and ESR share the first), Developer Edition, Nightly.
constexpr std::string_view kGecko[] = {"org.mozilla.firefox", "org.mozilla.firefoxdeveloperedition",
                                       "org.mozilla.nightly"};

}  // namespace

const std::span<const std::string_view> kHostAppIds = kHosts;
const std::span<const std::string_view> kTerminalAppIds = kTerminals;
const std::span<const std::string_view> kChromeFamilyAppIds = kChromeFamily;
const std::span<const std::string_view> kGeckoAppIds = kGecko;

}  // namespace caretsafe
