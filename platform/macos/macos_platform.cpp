// The macOS platform: the `Platform` seam over the accessibility API, Quartz event services and
// Core Foundation, with the few AppKit and Foundation calls in appkit_bridge.mm. Each primitive
// makes one platform call; the order of requests, what a failure code means and when to give up
// all live above the seam.
//
// An `Element` carries an AXUIElementRef and a `KeyEvent` a CGEventRef, as the pointer value in
// the handle's `ref`; the handle owns one reference. A null result of a create or copy call
// becomes an empty handle, which every primitive answers with a failure (or nothing) without
// calling the platform; the handle bookkeeping never sees one.

#include <ApplicationServices/ApplicationServices.h>
#include <Carbon/Carbon.h>  // IsSecureEventInputEnabled (HIToolbox)
#include <CoreFoundation/CoreFoundation.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

#include "platform/macos/appkit_bridge.h"
#include "platform/macos/cf_ref.h"
#include "platform/process_platform.h"
#include "platform/sleep.h"

namespace caretsafe {
namespace {

using macos::CfRef;

// How many already-pending run-loop sources one look at the frontmost application handles at
// most: enough to take in every workspace change queued since the last request, bounded so
// that a source that is always ready cannot hold the request up.
constexpr int kMaxRunLoopPasses = 64;

AXUIElementRef axElement(const Element& element) {
  return reinterpret_cast<AXUIElementRef>(element.ref());
}

CGEventRef cgEvent(const KeyEvent& event) {
  return reinterpret_cast<CGEventRef>(event.ref());
}

// An attribute name as a CF string; empty when the bytes are not UTF-8 (or memory ran out).
CfRef<CFStringRef> attributeName(std::string_view name) {
  return CfRef<CFStringRef>::adopt(
      CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(name.data()),
                              static_cast<CFIndex>(name.size()), kCFStringEncodingUTF8, false));
}

// The UTF-16 code units of a CF string.
std::u16string unitsOf(CFStringRef string) {
  const CFIndex length = CFStringGetLength(string);
  if (length <= 0) return {};
  // UniChar and char16_t are both 16-bit code units but distinct types: the platform fills a
  // buffer of its own type, which is then converted unit by unit.
  std::vector<UniChar> units(static_cast<std::size_t>(length));
  CFStringGetCharacters(string, CFRangeMake(0, length), units.data());
  return std::u16string(units.begin(), units.end());
}

// UTF-16 code units in the platform's own unit type, for the calls that read a UniChar array.
class UniChars {
 public:
  explicit UniChars(std::u16string_view text) : units_(text.begin(), text.end()) {}
  // Never null, also for no units.
  const UniChar* data() const { return units_.empty() ? &kNone : units_.data(); }
  std::size_t size() const { return units_.size(); }

 private:
  static constexpr UniChar kNone = 0;
  std::vector<UniChar> units_;
};

// A CF string holding exactly these UTF-16 code units; empty when memory ran out.
CfRef<CFStringRef> stringOf(std::u16string_view text) {
  const UniChars units(text);
  return CfRef<CFStringRef>::adopt(CFStringCreateWithCharacters(
      kCFAllocatorDefault, units.data(), static_cast<CFIndex>(units.size())));
}

class MacPlatform final : public Platform {
 public:
  // --- permission ---

  bool isProcessTrusted() override {
    // Never the variant that prompts: asking the user is the host's decision.
    return AXIsProcessTrusted() != 0;
  }

  // --- applications ---

  std::optional<RunningApp> frontmostApplication() override {
    // The workspace learns of application switches only while this thread's run loop turns,
    // and nothing else turns it in this helper: without this, the answer would stay the
    // application that was frontmost at start-up. Each pass handles what is already pending
    // and never waits.
    for (int pass = 0; pass < kMaxRunLoopPasses; ++pass) {
      if (CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, true) != kCFRunLoopRunHandledSource) break;
    }
    return macos::workspaceFrontmostApplication();
  }

  std::optional<RunningApp> runningApplication(Pid pid) override {
    return macos::runningApplicationWithPid(pid);
  }

  Pid ownPid() override { return macos::processIdentifier(); }
  std::optional<Pid> parentPid() override { return static_cast<Pid>(::getppid()); }

  // --- accessibility ---

  Element createApplication(Pid pid) override {
    return Element::adopt(*this,
                          reinterpret_cast<std::uintptr_t>(AXUIElementCreateApplication(pid)));
  }

  void setMessagingTimeout(const Element& element, float seconds) override {
    if (!element) return;
    // Its result tells callers nothing they could act on.
    static_cast<void>(AXUIElementSetMessagingTimeout(axElement(element), seconds));
  }

  AttributeRead copyAttributeValue(const Element& element, std::string_view attribute) override {
    if (!element) return {kAXErrorIllegalArgument, NoValue{}};
    const CfRef<CFStringRef> name = attributeName(attribute);
    if (!name) return {kAXErrorIllegalArgument, NoValue{}};
    CfRef<CFTypeRef> value;
    const AXError error =
        AXUIElementCopyAttributeValue(axElement(element), name.get(), value.out());
    // A value that came back with a failure code is released by its owner all the same.
    if (error != kAXErrorSuccess) return {error, NoValue{}};
    return {kAxSuccess, converted(std::move(value))};
  }

  SettableAnswer isAttributeSettable(const Element& element, std::string_view attribute) override {
    if (!element) return {kAXErrorIllegalArgument, false};
    const CfRef<CFStringRef> name = attributeName(attribute);
    if (!name) return {kAXErrorIllegalArgument, false};
    Boolean settable = false;
    const AXError error = AXUIElementIsAttributeSettable(axElement(element), name.get(), &settable);
    return {error, settable != 0};
  }

  AxError setAttributeValue(const Element& element, std::string_view attribute,
                            std::u16string_view text) override {
    if (!element) return kAXErrorIllegalArgument;
    const CfRef<CFStringRef> name = attributeName(attribute);
    if (!name) return kAXErrorIllegalArgument;
    const CfRef<CFStringRef> value = stringOf(text);
    if (!value) return kAXErrorFailure;
    return AXUIElementSetAttributeValue(axElement(element), name.get(), value.get());
  }

  bool elementsEqual(const Element& a, const Element& b) override {
    if (!a || !b) return false;
    return CFEqual(axElement(a), axElement(b)) != 0;
  }

  // The platform itself knows no field that takes keys only; web fields of browsers and
  // Electron applications, which report their write settable and change nothing, are found
  // above the seam by their web area.
  bool typedOnly(const Element&) override { return false; }
  // A key event carries its text as UTF-16 units: a pair arrives as one character.
  bool typesAstral(const Element&) override { return true; }

  AxError setFlagAttribute(const Element& element, std::string_view attribute,
                           bool value) override {
    if (!element) return kAXErrorIllegalArgument;
    const CfRef<CFStringRef> name = attributeName(attribute);
    if (!name) return kAXErrorIllegalArgument;
    return AXUIElementSetAttributeValue(axElement(element), name.get(),
                                        value ? kCFBooleanTrue : kCFBooleanFalse);
  }

  bool builtOnElectron(Pid pid) override { return macos::bundleHoldsElectron(pid); }
  WebEngine webEngine(Pid pid) override { return macos::bundleWebEngine(pid); }

  // --- keyboard events ---

  bool secureEventInput() override { return IsSecureEventInputEnabled() != 0; }

  std::uint64_t modifierFlags() override {
    return CGEventSourceFlagsState(kCGEventSourceStateCombinedSessionState);
  }

  KeyEvent createKeyboardEvent(std::uint16_t virtualKey, bool keyDown) override {
    // With no event source: the event stands for no device and carries no state of one.
    return KeyEvent::adopt(*this, reinterpret_cast<std::uintptr_t>(
                                      CGEventCreateKeyboardEvent(nullptr, virtualKey, keyDown)));
  }

  void setUnicodeString(KeyEvent& event, std::u16string_view units) override {
    if (!event) return;
    const UniChars chars(units);
    CGEventKeyboardSetUnicodeString(cgEvent(event), chars.size(), chars.data());
  }

  void setFlags(KeyEvent& event, std::uint64_t flags) override {
    if (!event) return;
    CGEventSetFlags(cgEvent(event), static_cast<CGEventFlags>(flags));
  }

  bool postToPid(Pid pid, const KeyEvent& event) override {
    if (!event) return false;
    CGEventPostToPid(pid, cgEvent(event));  // reports nothing: queued is all it can tell
    return true;
  }

  // --- misc ---

  std::string newUuid() override {
    const auto uuid = CfRef<CFUUIDRef>::adopt(CFUUIDCreate(kCFAllocatorDefault));
    // A token must never be guessable or blank: without a fresh UUID there is no safe answer.
    if (!uuid) std::abort();
    const auto text =
        CfRef<CFStringRef>::adopt(CFUUIDCreateString(kCFAllocatorDefault, uuid.get()));
    if (!text) std::abort();
    return canonicalUuid(unitsOf(text.get()));
  }

  double now() override { return CFAbsoluteTimeGetCurrent(); }

  void pause(double seconds) override { sleepSeconds(seconds); }

  std::uintptr_t openReleasePool() override { return macos::autoreleasePoolPush(); }
  void closeReleasePool(std::uintptr_t pool) override { macos::autoreleasePoolPop(pool); }

 protected:
  void retainElement(std::uintptr_t ref) noexcept override {
    CFRetain(reinterpret_cast<CFTypeRef>(ref));
  }
  void releaseElement(std::uintptr_t ref) noexcept override {
    CFRelease(reinterpret_cast<CFTypeRef>(ref));
  }
  void releaseKeyEvent(std::uintptr_t ref) noexcept override {
    CFRelease(reinterpret_cast<CFTypeRef>(ref));
  }

 private:
  // The forms an attribute value can take. Takes over the value: an element's reference goes
  // to the returned handle, every other value is released once it has been read.
  AttributeValue converted(CfRef<CFTypeRef> value) {
    if (!value) return NoValue{};
    const CFTypeID type = CFGetTypeID(value.get());
    if (type == CFStringGetTypeID()) {
      return unitsOf(static_cast<CFStringRef>(value.get()));
    }
    if (type == CFBooleanGetTypeID()) {
      const bool flag = CFBooleanGetValue(static_cast<CFBooleanRef>(value.get())) != 0;
      return AttributeValue(std::in_place_type<bool>, flag);
    }
    if (type == CFNumberGetTypeID()) {
      NumberValue number;
      // A lossy conversion still leaves the nearest double, and callers only need to know that
      // the value was a number.
      static_cast<void>(CFNumberGetValue(static_cast<CFNumberRef>(value.get()), kCFNumberDoubleType,
                                         &number.value));
      return number;
    }
    if (type == AXValueGetTypeID()) {
      const auto axValue = static_cast<AXValueRef>(value.get());
      const AXValueType kind = AXValueGetType(axValue);
      AxValue result{static_cast<std::int32_t>(kind), std::nullopt};
      if (kind == kAXValueTypeCFRange) {
        CFRange range = CFRangeMake(0, 0);
        if (AXValueGetValue(axValue, kAXValueTypeCFRange, &range) != 0) {
          result.range = Range{range.location, range.length};
        }
      }
      return result;
    }
    if (type == AXUIElementGetTypeID()) {
      // The copy's reference becomes the handle's: detached here, so it is released once, when
      // the last handle goes.
      return Element::adopt(*this, reinterpret_cast<std::uintptr_t>(value.detach()));
    }
    return OtherValue{};
  }

  // The canonical upper-case form of a UUID string: 36 characters, hexadecimal digits in groups
  // of 8-4-4-4-12 joined by hyphens. The platform writes it so already; anything else would be
  // a token the host could not rely on, so it is refused rather than passed on.
  static std::string canonicalUuid(const std::u16string& units) {
    if (units.size() != 36) std::abort();
    std::string out(36, '-');
    for (std::size_t i = 0; i < units.size(); ++i) {
      const char16_t unit = units[i];
      const bool hyphenHere = i == 8 || i == 13 || i == 18 || i == 23;
      if (hyphenHere) {
        if (unit != u'-') std::abort();
      } else if (unit >= u'0' && unit <= u'9') {
        out[i] = static_cast<char>(unit);
      } else if (unit >= u'A' && unit <= u'F') {
        out[i] = static_cast<char>(unit);
      } else if (unit >= u'a' && unit <= u'f') {
        out[i] = static_cast<char>(unit - u'a' + u'A');
      } else {
        std::abort();
      }
    }
    return out;
  }
};

}  // namespace

std::unique_ptr<Platform> makeProcessPlatform() {
  return std::make_unique<MacPlatform>();
}

}  // namespace caretsafe
