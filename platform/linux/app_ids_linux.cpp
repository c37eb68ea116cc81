// Executable file names on Linux (what /proc/PID/exe points at).
#include "platform/app_ids.h"

namespace caretsafe {
namespace {

// Electron's own executable, and the product's when it is packaged under its own name.
constexpr std::string_view kHosts[] = {"electron", "norvane-pro"};
// Terminals are typed into through the X server: the VTE terminals expose a read-only
// accessible, the others none at all, and none of them takes an accessibility write.
constexpr std::string_view kTerminals[] = {"xterm",       "uxterm",         "gnome-terminal-server",
                                           "konsole",     "xfce4-terminal", "mate-terminal",
                                           "lxterminal",  "sakura",         "tilix",
                                           "terminator",  "kitty",          "alacritty",
                                           "wezterm-gui", "urxvt",          "rxvt",
                                           "st",          "terminology",    "qterminal",
                                           "foot"};

}  // namespace

const std::span<const std::string_view> kHostAppIds = kHosts;
const std::span<const std::string_view> kTerminalAppIds = kTerminals;
// The Linux adapter wakes Chromium's tree and knows its fields by their interfaces.
const std::span<const std::string_view> kChromeFamilyAppIds;
const std::span<const std::string_view> kGeckoAppIds;

}  // namespace caretsafe
