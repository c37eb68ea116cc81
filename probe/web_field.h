// Web fields of Chromium-family browsers and Electron applications, as the accessibility
// interface shows them: their tree exists only once the application is asked for it, and a
// write of their selected text answers success and changes nothing, so they take keys only.
#pragma once

#include <optional>
#include <string_view>

#include "platform/platform.h"
#include "probe/focus.h"

namespace caretsafe {

// How often the focus is looked for again once a tree was asked for, and the pause before each
// look: at most 2.5 s in all (such a tree follows about 2 s after the last change).
inline constexpr int kWakeLooks = 25;
inline constexpr double kWakePause = 0.1;
// The most ancestors looked at for a web area.
inline constexpr int kMaxWebAreaDepth = 64;

inline constexpr std::string_view kEnhancedInterface = "AXEnhancedUserInterface";
inline constexpr std::string_view kManualAccessibility = "AXManualAccessibility";

// The switch that asks the application for its tree: the enhanced interface for a listed
// Chromium-family browser, manual accessibility for an application built on Electron, none for
// any other. At most one request (whether it is built on Electron), made only when the first
// test does not decide.
std::optional<std::string_view> treeSwitch(Platform& platform, const RunningApp& app);

// For a capture that allows typing and found no focused element: when the frontmost application
// (never this process, its parent or the host) has a tree switch that does not already read
// true, turns it on and looks for the focused element again, pausing before each look, until
// one of that application is found or the looks run out. The result code of the switch is not
// trusted either way (older Electron versions answer an error and build the tree all the same).
std::optional<Focus> wokenFocus(Platform& platform);

// Whether the element lies in a web page: one of its ancestors (by "AXParent", at most
// `kMaxWebAreaDepth` of them, each bounded by the messaging timeout) has the role "AXWebArea".
bool inWebArea(Platform& platform, const Element& element);

}  // namespace caretsafe
