// The AppKit and Foundation calls of the macOS adapter (declared in appkit_bridge.h).
//
// Written to be correct with and without automatic reference counting: it only reads objects
// the frameworks hand back unowned, never allocates, retains or releases one itself, and every
// function drains its own autorelease pool before it returns, after copying what it needs into
// standard C++ types.

#import <AppKit/AppKit.h>
#import <Foundation/Foundation.h>

#include <cstddef>
#include <string>

#include "platform/macos/appkit_bridge.h"

// Exported by the Objective-C runtime (the functions @autoreleasepool is built on), with no
// public header of their own.
extern "C" void* objc_autoreleasePoolPush(void);
extern "C" void objc_autoreleasePoolPop(void* pool);

namespace caretsafe::macos {
namespace {

// The pid and bundle identifier of a running application, or none when there is no application
// or it is not tied to a process (documented as pid -1).
std::optional<RunningApp> describe(NSRunningApplication* app) {
  if (app == nil) return std::nullopt;
  const pid_t pid = [app processIdentifier];
  if (pid <= 0) return std::nullopt;

  RunningApp result;
  result.pid = static_cast<Pid>(pid);
  NSString* bundleId = [app bundleIdentifier];
  if (bundleId != nil) {
    // All of the identifier's UTF-8 bytes, not a C string that would end at an embedded NUL
    // and could turn a foreign identifier into a listed one. An identifier that has no UTF-8
    // form (an unpaired surrogate) can match no list, so it counts as none.
    NSData* utf8 = [bundleId dataUsingEncoding:NSUTF8StringEncoding];
    if (utf8 != nil) {
      result.bundleId.emplace(static_cast<const char*>([utf8 bytes]),
                              static_cast<std::size_t>([utf8 length]));
    }
  }
  return result;
}

// The folder of the bundle of the running application with this pid; nil when there is no such
// application or it has no bundle. Call inside an autorelease pool.
NSString* bundlePath(Pid pid) {
  NSRunningApplication* app = [NSRunningApplication runningApplicationWithProcessIdentifier:pid];
  NSURL* bundle = app != nil ? [app bundleURL] : nil;
  return bundle != nil ? [bundle path] : nil;
}

}  // namespace

std::optional<RunningApp> workspaceFrontmostApplication() {
  std::optional<RunningApp> result;
  @autoreleasepool {
    result = describe([[NSWorkspace sharedWorkspace] frontmostApplication]);
  }
  return result;
}

std::optional<RunningApp> runningApplicationWithPid(Pid pid) {
  std::optional<RunningApp> result;
  @autoreleasepool {
    result = describe([NSRunningApplication runningApplicationWithProcessIdentifier:pid]);
  }
  return result;
}

bool bundleHoldsElectron(Pid pid) {
  bool found = false;
  @autoreleasepool {
    NSString* path = bundlePath(pid);
    if (path != nil) {
      NSString* framework =
          [path stringByAppendingPathComponent:@"Contents/Frameworks/Electron Framework.framework"];
      found = [[NSFileManager defaultManager] fileExistsAtPath:framework];
    }
  }
  return found;
}

WebEngine bundleWebEngine(Pid pid) {
  WebEngine engine = WebEngine::kNone;
  @autoreleasepool {
    NSString* path = bundlePath(pid);
    NSFileManager* files = [NSFileManager defaultManager];
    if (path != nil) {
      NSString* contents = [path stringByAppendingPathComponent:@"Contents"];
      if ([files fileExistsAtPath:[contents stringByAppendingPathComponent:@"MacOS/XUL"]]) {
        engine = WebEngine::kGecko;
      }
      // Every Chromium-based product packs its resources under this name in its framework
      // (whatever the framework is called), in the framework's current version.
      NSString* frameworks = [contents stringByAppendingPathComponent:@"Frameworks"];
      NSArray<NSString*>* names = [files contentsOfDirectoryAtPath:frameworks error:nullptr];
      for (NSString* name in names) {
        if (engine != WebEngine::kNone) break;
        if (![name hasSuffix:@".framework"]) continue;
        NSString* framework = [frameworks stringByAppendingPathComponent:name];
        for (NSString* resources in @[ @"Resources", @"Versions/Current/Resources" ]) {
          NSString* pack = [[framework stringByAppendingPathComponent:resources]
              stringByAppendingPathComponent:@"chrome_100_percent.pak"];
          if ([files fileExistsAtPath:pack]) {
            engine = WebEngine::kChromium;
            break;
          }
        }
      }
    }
  }
  return engine;
}

Pid processIdentifier() {
  Pid pid = 0;
  @autoreleasepool {
    pid = static_cast<Pid>([[NSProcessInfo processInfo] processIdentifier]);
  }
  return pid;
}

std::uintptr_t autoreleasePoolPush() {
  return reinterpret_cast<std::uintptr_t>(objc_autoreleasePoolPush());
}

void autoreleasePoolPop(std::uintptr_t pool) {
  objc_autoreleasePoolPop(reinterpret_cast<void*>(pool));
}

}  // namespace caretsafe::macos
