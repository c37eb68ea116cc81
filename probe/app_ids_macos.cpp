// Bundle identifiers on macOS; the simulated desktop speaks them too.
#include "probe/app_ids.h"

namespace caretsafe {
namespace {

constexpr std::string_view kHosts[] = {"app.norvane.pro", "com.github.Electron"};
constexpr std::string_view kTerminals[] = {"com.apple.Terminal", "com.googlecode.iterm2"};

}  // namespace

const std::span<const std::string_view> kHostAppIds = kHosts;
const std::span<const std::string_view> kTerminalAppIds = kTerminals;

}  // namespace caretsafe
