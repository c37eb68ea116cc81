// The few AppKit and Foundation calls of the macOS adapter, behind plain C++ declarations so
// that the rest of the adapter stays C++ (they are defined in appkit_bridge.mm). Each answers
// with standard types only; no Objective-C object outlives a call.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/platform.h"

namespace caretsafe::macos {

// NSWorkspace sharedWorkspace, frontmostApplication: the frontmost application as the
// workspace last learnt it (it learns only while the run loop turns; see the adapter).
// None when there is no frontmost application or it has no process.
std::optional<RunningApp> workspaceFrontmostApplication();

// NSRunningApplication runningApplicationWithProcessIdentifier: the running application with
// this pid, or none.
std::optional<RunningApp> runningApplicationWithPid(Pid pid);

// Whether the running application with this pid is built on Electron: its bundle
// (NSRunningApplication bundleURL) holds Contents/Frameworks/Electron Framework.framework.
// False when there is no such application or it has no bundle.
bool bundleHoldsElectron(Pid pid);

// What the running application with this pid builds web content with, by its bundle's
// contents: Chromium when a framework in Contents/Frameworks holds Chromium's resource pack
// (Resources/chrome_100_percent.pak: Chromium-based browsers, apps embedding Chromium, Electron
// applications), Gecko when Contents/MacOS holds Gecko's library (XUL). kNone when there is no
// such application, it has no bundle, or neither is found.
WebEngine bundleWebEngine(Pid pid);

// NSProcessInfo processInfo, processIdentifier: this process's pid.
Pid processIdentifier();

// objc_autoreleasePoolPush: opens an autorelease pool and returns its token.
std::uintptr_t autoreleasePoolPush();

// objc_autoreleasePoolPop: releases what was autoreleased since the matching push.
void autoreleasePoolPop(std::uintptr_t pool);

}  // namespace caretsafe::macos
