// The fake AppKit bridge (platform/macos/appkit_bridge.h), answering from `fake::services()`.

#include "platform/macos/appkit_bridge.h"

#include <string>

#include "tests/macos/fake/services.h"

namespace caretsafe::macos {

using fake::services;

std::optional<RunningApp> workspaceFrontmostApplication() {
  services().calls.push_back("NSWorkspace frontmostApplication");
  services().pendingWhenFrontmostRead = services().pendingSources;
  return services().frontmost;
}

std::optional<RunningApp> runningApplicationWithPid(Pid pid) {
  services().calls.push_back("NSRunningApplication runningApplicationWithProcessIdentifier " +
                             std::to_string(pid));
  return services().running;
}

bool bundleHoldsElectron(Pid pid) {
  services().calls.push_back("NSRunningApplication bundleURL Electron Framework " +
                             std::to_string(pid));
  return services().electron;
}

WebEngine bundleWebEngine(Pid pid) {
  services().calls.push_back("NSRunningApplication bundleURL web engine " + std::to_string(pid));
  return services().engine;
}

Pid processIdentifier() {
  services().calls.push_back("NSProcessInfo processIdentifier");
  return services().ownPid;
}

std::uintptr_t autoreleasePoolPush() {
  services().calls.push_back("objc_autoreleasePoolPush");
  return 0x5000;
}

void autoreleasePoolPop(std::uintptr_t pool) {
  services().calls.push_back("objc_autoreleasePoolPop " + std::to_string(pool));
}

}  // namespace caretsafe::macos
