// An in-memory stand-in for the macOS services the adapter calls (Core Foundation, the
// accessibility API, Quartz event services, the AppKit bridge and CommonCrypto), so that the
// adapter's own code runs on Linux under unit tests. It does what Apple documents for each call
// that matters to ownership: Create and Copy results come with one reference, Get results with
// none, and a release of something that is not alive is recorded as a fault rather than
// crashing. Tests script the answers and read back the calls, the live objects and the faults.
#pragma once

#include <ApplicationServices/ApplicationServices.h>
#include <CoreFoundation/CoreFoundation.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace caretsafe::fake {

// A keyboard event as it was when posted.
struct PostedEvent {
  Pid pid = 0;
  CGKeyCode virtualKey = 0;
  bool keyDown = false;
  std::u16string units;
  CGEventFlags flags = 0;
  friend bool operator==(const PostedEvent&, const PostedEvent&) = default;
};

struct Services {
  // --- scripted answers ---
  bool trusted = false;

  // AXUIElementCopyAttributeValue: the code, and a maker for the +1 value it writes into the
  // slot (also with a failure code, when set); no maker writes nothing.
  AXError copyError = kAXErrorSuccess;
  std::function<CFTypeRef()> copyValue;
  // AXUIElementIsAttributeSettable: the code and the answer; with `settableWrites` false the
  // answer slot is left as the caller set it.
  AXError settableError = kAXErrorSuccess;
  bool settableAnswer = false;
  bool settableWrites = true;
  AXError setError = kAXErrorSuccess;
  bool createApplicationFails = false;

  CGEventFlags modifierFlags = 0;
  bool secureInput = false;  // what IsSecureEventInputEnabled answers
  // How many keyboard events can still be created; negative: any number.
  int eventsLeft = -1;

  std::u16string uuidText = u"0F8C5E52-1B5A-4C1F-9E1A-7A2B3C4D5E6F";
  bool uuidFails = false;
  CFAbsoluteTime absoluteTime = 0;

  // Run-loop sources ready to fire; each pass of CFRunLoopRunInMode handles one.
  int pendingSources = 0;
  // What the workspace reports, and the sources still pending when it was asked.
  std::optional<RunningApp> frontmost;
  int pendingWhenFrontmostRead = -1;
  std::optional<RunningApp> running;
  bool electron = false;                // what the Electron framework check answers
  WebEngine engine = WebEngine::kNone;  // what the bundle's web engine check answers
  Pid ownPid = 0;

  // --- records ---
  // One line per platform call, such as "AXUIElementCopyAttributeValue #3 AXValue".
  std::vector<std::string> calls;
  // The UTF-16 units of the last string handed to AXUIElementSetAttributeValue.
  std::u16string lastSetText;
  std::optional<bool> lastSetFlag;  // the boolean last written, when it was one
  float lastTimeout = 0;
  std::vector<PostedEvent> posted;
  // Releases and retains of something that was not alive (or null).
  int faults = 0;
};

// The one set of services, reset to defaults by `reset` (which also forgets every object).
Services& services();
void reset();

// How many objects are alive (the immortal constants not counted), and one's reference count.
std::size_t liveObjects();
long referenceCount(CFTypeRef object);

// Values for scripted answers, each with one reference for whoever receives it.
CFTypeRef makeString(const std::u16string& text);
CFTypeRef makeNumber(double value);
CFTypeRef makeElement(int id);
CFTypeRef makeAxValue(AXValueType kind, CFRange range, bool readable = true);
CFTypeRef makeOther();

// The element id of an AXUIElementRef carried in a handle, 0 for anything else.
int elementId(std::uintptr_t ref);

}  // namespace caretsafe::fake
