// The macOS frameworks over the simulated desktop (see frameworks.h).

#include "tests/macos/on_sim/frameworks.h"

#include <ApplicationServices/ApplicationServices.h>
#include <Carbon/Carbon.h>
#include <CoreFoundation/CoreFoundation.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <variant>

#include "platform/macos/appkit_bridge.h"
#include "platform/sleep.h"
#include "text/utf.h"

namespace caretsafe::onsim {
namespace {

enum class Kind { kString, kBoolean, kNumber, kUuid, kElement, kAxValue, kEvent, kOther };

const char* nameOf(Kind kind) {
  switch (kind) {
    case Kind::kString:
      return "CFString";
    case Kind::kBoolean:
      return "CFBoolean";
    case Kind::kNumber:
      return "CFNumber";
    case Kind::kUuid:
      return "CFUUID";
    case Kind::kElement:
      return "AXUIElement";
    case Kind::kAxValue:
      return "AXValue";
    case Kind::kEvent:
      return "CGEvent";
    case Kind::kOther:
      return "CFType";
  }
  return "CFType";
}

// Type identifiers as CFGetTypeID reports them; any distinct values do.
CFTypeID typeIdOf(Kind kind) {
  return 0x100 + static_cast<CFTypeID>(kind);
}

// One framework object. It is never freed: once its last reference goes it is a tombstone
// (`alive` false, its desktop handle dropped), so its address is never handed out again and a
// late use of it is recognised as such.
struct Object {
  Kind kind = Kind::kOther;
  long references = 1;
  bool alive = true;
  bool immortal = false;  // the framework constants: retain and release change nothing
  std::u16string text;    // a string's units; a UUID's string form
  double number = 0;
  bool flag = false;
  AxValue axValue;
  Element element;  // the desktop's handle behind an AXUIElement
  KeyEvent event;   // the desktop's event behind a CGEvent
};

struct State {
  std::unique_ptr<sim::SimDesktop> desktop;
  std::unordered_set<const Object*> made;  // every object ever made, tombstones included
  std::size_t live = 0;
  long openPools = 0;
  bool exitCheck = false;
};

State& state() {
  static State* instance = new State();  // outlives every static destructor and exit handler
  return *instance;
}

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "caretsafe-mac-sim: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

void checkAtExit() {
  State& s = state();
  if (s.live == 0 && s.openPools == 0) return;
  std::map<std::string, int> kinds;
  for (const Object* object : s.made) {
    if (object->alive && !object->immortal) ++kinds[nameOf(object->kind)];
  }
  std::string list;
  for (const auto& [name, count] : kinds) {
    list += (list.empty() ? "" : ", ") + std::to_string(count) + " " + name;
  }
  std::fprintf(stderr,
               "caretsafe-mac-sim: at exit %zu framework object(s) still alive%s%s%s, %ld "
               "autorelease pool(s) open\n",
               s.live, list.empty() ? "" : " (", list.c_str(), list.empty() ? "" : ")",
               s.openPools);
  std::fflush(stderr);
  std::_Exit(1);
}

void armExitCheck() {
  State& s = state();
  if (s.exitCheck) return;
  s.exitCheck = true;
  std::atexit(checkAtExit);
}

Object* make(Kind kind) {
  armExitCheck();
  auto* object = new Object{};
  object->kind = kind;
  state().made.insert(object);
  ++state().live;
  return object;
}

Object* constant(Kind kind, bool flag, std::u16string text) {
  auto* object = new Object{};
  object->kind = kind;
  object->immortal = true;
  object->flag = flag;
  object->text = std::move(text);
  state().made.insert(object);
  return object;
}

// The live object behind a reference, of the kind the call needs (any kind when none is
// named). A null, unknown, released or mistyped reference stops the process here: the real
// frameworks would crash on it, at best.
Object* use(CFTypeRef ref, const char* call, std::optional<Kind> kind = std::nullopt) {
  if (ref == nullptr) fail(std::string(call) + " given NULL");
  auto* object = static_cast<Object*>(const_cast<void*>(ref));
  if (state().made.count(object) == 0)
    fail(std::string(call) + " given something that is no object");
  if (!object->alive) {
    fail(std::string(call) + " given a " + nameOf(object->kind) +
         " that was already released (a stale or double release)");
  }
  if (kind && object->kind != *kind) {
    fail(std::string(call) + " given a " + nameOf(object->kind) + " where it needs a " +
         nameOf(*kind));
  }
  return object;
}

template <typename Ref>
Ref as(Object* object) {
  return reinterpret_cast<Ref>(object);
}

Object* makeString(std::u16string text) {
  Object* object = make(Kind::kString);
  object->text = std::move(text);
  return object;
}

Object& trueObject() {
  static Object* object = constant(Kind::kBoolean, true, u"");
  return *object;
}
Object& falseObject() {
  static Object* object = constant(Kind::kBoolean, false, u"");
  return *object;
}
Object& defaultModeObject() {
  static Object* object = constant(Kind::kString, false, u"kCFRunLoopDefaultMode");
  return *object;
}

// An attribute name's text, for the desktop (names are ASCII; anything else reads as U+FFFD).
std::string nameText(CFStringRef name, const char* call) {
  return text::utf8FromUtf16(use(name, call, Kind::kString)->text);
}

const Element& elementOf(AXUIElementRef element, const char* call) {
  return use(element, call, Kind::kElement)->element;
}

// The +1 object a read result becomes; null for a success with no value.
CFTypeRef objectOf(AttributeValue& value) {
  if (std::holds_alternative<NoValue>(value)) return nullptr;
  if (auto* text = std::get_if<std::u16string>(&value)) return makeString(std::move(*text));
  // The boolean constants, as the real framework hands them out (retaining them is free).
  if (const bool* flag = std::get_if<bool>(&value)) return *flag ? kCFBooleanTrue : kCFBooleanFalse;
  if (const auto* number = std::get_if<NumberValue>(&value)) {
    Object* object = make(Kind::kNumber);
    object->number = number->value;
    return object;
  }
  if (const auto* axValue = std::get_if<AxValue>(&value)) {
    Object* object = make(Kind::kAxValue);
    object->axValue = *axValue;
    return object;
  }
  if (auto* element = std::get_if<Element>(&value)) {
    Object* object = make(Kind::kElement);
    object->element = std::move(*element);
    return object;
  }
  return make(Kind::kOther);
}

}  // namespace

sim::SimDesktop& desktop() {
  State& s = state();
  if (!s.desktop) {
    const auto variable = [](const char* name) -> std::optional<std::string> {
      const char* value = std::getenv(name);
      if (value == nullptr || *value == '\0') return std::nullopt;
      return std::string(value);
    };
    s.desktop = sim::SimDesktop::fromFile(variable("CARETSAFE_DESKTOP").value_or(std::string()),
                                          variable("CARETSAFE_JOURNAL"));
  }
  return *s.desktop;
}

void useDesktop(std::unique_ptr<sim::SimDesktop> given) {
  state().desktop = std::move(given);
}

std::size_t liveObjects() {
  return state().live;
}

}  // namespace caretsafe::onsim

using namespace caretsafe;         // NOLINT: the C entry points below implement the frameworks
using namespace caretsafe::onsim;  // NOLINT

// ------------------------------------------------------------------ system calls

// The desktop's parent pid (none: a pid no process has), in place of the C library's.
extern "C" pid_t getppid(void) noexcept {
  return static_cast<pid_t>(desktop().parentPid().value_or(-1));
}

namespace caretsafe {
void sleepSeconds(double seconds) {
  desktop().pause(seconds);
}
}  // namespace caretsafe

// ------------------------------------------------------------------ Core Foundation

const CFAllocatorRef kCFAllocatorDefault = nullptr;
const CFBooleanRef kCFBooleanTrue = as<CFBooleanRef>(&trueObject());
const CFBooleanRef kCFBooleanFalse = as<CFBooleanRef>(&falseObject());
const CFRunLoopMode kCFRunLoopDefaultMode = as<CFStringRef>(&defaultModeObject());

CFTypeRef CFRetain(CFTypeRef cf) {
  Object* object = use(cf, "CFRetain");
  if (!object->immortal) ++object->references;
  return cf;
}

void CFRelease(CFTypeRef cf) {
  Object* object = use(cf, "CFRelease");
  if (object->immortal || --object->references > 0) return;
  object->alive = false;
  --state().live;
  // What the object held goes with it: the desktop's handle or event is released now.
  object->element = Element();
  object->event = KeyEvent();
  object->text.clear();
}

Boolean CFEqual(CFTypeRef cf1, CFTypeRef cf2) {
  const Object* a = use(cf1, "CFEqual");
  const Object* b = use(cf2, "CFEqual");
  if (a == b) return true;
  if (a->kind != b->kind) return false;
  switch (a->kind) {
    case Kind::kElement:
      return desktop().elementsEqual(a->element, b->element);
    case Kind::kString:
      return a->text == b->text;
    case Kind::kNumber:
      return a->number == b->number;
    default:
      return false;
  }
}

CFTypeID CFGetTypeID(CFTypeRef cf) {
  return typeIdOf(use(cf, "CFGetTypeID")->kind);
}

CFTypeID CFStringGetTypeID(void) {
  return typeIdOf(Kind::kString);
}
CFTypeID CFBooleanGetTypeID(void) {
  return typeIdOf(Kind::kBoolean);
}
CFTypeID CFNumberGetTypeID(void) {
  return typeIdOf(Kind::kNumber);
}

CFStringRef CFStringCreateWithBytes(CFAllocatorRef, const UInt8* bytes, CFIndex numBytes,
                                    CFStringEncoding encoding, Boolean) {
  if (numBytes < 0 || (bytes == nullptr && numBytes > 0))
    fail("CFStringCreateWithBytes given no bytes");
  const std::string_view text(reinterpret_cast<const char*>(bytes),
                              static_cast<std::size_t>(numBytes));
  // Bytes that are not in the encoding make no string, as on the real platform.
  if (encoding != kCFStringEncodingUTF8 || !text::isValidUtf8(text)) return nullptr;
  return as<CFStringRef>(makeString(text::utf16FromUtf8(text)));
}

CFStringRef CFStringCreateWithCharacters(CFAllocatorRef, const UniChar* chars, CFIndex numChars) {
  if (numChars < 0 || (chars == nullptr && numChars > 0)) {
    fail("CFStringCreateWithCharacters given no characters");
  }
  // Exactly the units given, a lone surrogate too.
  return as<CFStringRef>(makeString(std::u16string(chars, chars + numChars)));
}

CFIndex CFStringGetLength(CFStringRef theString) {
  return static_cast<CFIndex>(use(theString, "CFStringGetLength", Kind::kString)->text.size());
}

void CFStringGetCharacters(CFStringRef theString, CFRange range, UniChar* buffer) {
  const Object* object = use(theString, "CFStringGetCharacters", Kind::kString);
  const auto size = static_cast<CFIndex>(object->text.size());
  if (range.location < 0 || range.length < 0 || range.location + range.length > size) {
    fail("CFStringGetCharacters given a range outside the string");
  }
  if (buffer == nullptr && range.length > 0) fail("CFStringGetCharacters given no buffer");
  for (CFIndex i = 0; i < range.length; ++i) {
    buffer[i] = object->text[static_cast<std::size_t>(range.location + i)];
  }
}

Boolean CFBooleanGetValue(CFBooleanRef boolean) {
  return use(boolean, "CFBooleanGetValue", Kind::kBoolean)->flag;
}

CFNumberRef CFNumberCreate(CFAllocatorRef, CFNumberType theType, const void* valuePtr) {
  if (valuePtr == nullptr) fail("CFNumberCreate given no value");
  if (theType != kCFNumberDoubleType) fail("CFNumberCreate: only doubles are modelled");
  Object* object = make(Kind::kNumber);
  object->number = *static_cast<const double*>(valuePtr);
  return as<CFNumberRef>(object);
}

Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void* valuePtr) {
  const Object* object = use(number, "CFNumberGetValue", Kind::kNumber);
  if (valuePtr == nullptr) fail("CFNumberGetValue given no buffer");
  if (theType != kCFNumberDoubleType) fail("CFNumberGetValue: only doubles are modelled");
  *static_cast<double*>(valuePtr) = object->number;
  return true;
}

CFUUIDRef CFUUIDCreate(CFAllocatorRef) {
  Object* object = make(Kind::kUuid);
  std::string uuid = desktop().newUuid();
  object->text.assign(uuid.begin(), uuid.end());
  return as<CFUUIDRef>(object);
}

CFStringRef CFUUIDCreateString(CFAllocatorRef, CFUUIDRef uuid) {
  // In upper case, as the real call writes it.
  return as<CFStringRef>(makeString(use(uuid, "CFUUIDCreateString", Kind::kUuid)->text));
}

CFAbsoluteTime CFAbsoluteTimeGetCurrent(void) {
  return desktop().now();
}

CFRunLoopRunResult CFRunLoopRunInMode(CFRunLoopMode mode, CFTimeInterval, Boolean) {
  use(mode, "CFRunLoopRunInMode", Kind::kString);
  // The desktop's frontmost application is current whenever it is asked: nothing is pending.
  return kCFRunLoopRunFinished;
}

// ------------------------------------------------------------------ accessibility

Boolean AXIsProcessTrusted(void) {
  return desktop().isProcessTrusted();
}

CFTypeID AXUIElementGetTypeID(void) {
  return typeIdOf(Kind::kElement);
}
CFTypeID AXValueGetTypeID(void) {
  return typeIdOf(Kind::kAxValue);
}

AXUIElementRef AXUIElementCreateApplication(pid_t pid) {
  Element element = desktop().createApplication(static_cast<Pid>(pid));
  if (!element) return nullptr;
  Object* object = make(Kind::kElement);
  object->element = std::move(element);
  return as<AXUIElementRef>(object);
}

AXError AXUIElementSetMessagingTimeout(AXUIElementRef element, float timeoutInSeconds) {
  // The desktop ignores a negative timeout, as the real call refuses it, and journals it all the
  // same.
  desktop().setMessagingTimeout(elementOf(element, "AXUIElementSetMessagingTimeout"),
                                timeoutInSeconds);
  return timeoutInSeconds < 0 ? kAXErrorIllegalArgument : kAXErrorSuccess;
}

AXError AXUIElementCopyAttributeValue(AXUIElementRef element, CFStringRef attribute,
                                      CFTypeRef* value) {
  const Element& target = elementOf(element, "AXUIElementCopyAttributeValue");
  const std::string name = nameText(attribute, "AXUIElementCopyAttributeValue");
  if (value == nullptr) fail("AXUIElementCopyAttributeValue given no value slot");
  AttributeRead read = desktop().copyAttributeValue(target, name);
  if (read.error != kAxSuccess) return static_cast<AXError>(read.error);
  *value = objectOf(read.value);
  return kAXErrorSuccess;
}

AXError AXUIElementIsAttributeSettable(AXUIElementRef element, CFStringRef attribute,
                                       Boolean* settable) {
  const Element& target = elementOf(element, "AXUIElementIsAttributeSettable");
  const std::string name = nameText(attribute, "AXUIElementIsAttributeSettable");
  if (settable == nullptr) fail("AXUIElementIsAttributeSettable given no answer slot");
  const SettableAnswer answer = desktop().isAttributeSettable(target, name);
  *settable = answer.settable;
  return static_cast<AXError>(answer.error);
}

AXError AXUIElementSetAttributeValue(AXUIElementRef element, CFStringRef attribute,
                                     CFTypeRef value) {
  const Element& target = elementOf(element, "AXUIElementSetAttributeValue");
  const std::string name = nameText(attribute, "AXUIElementSetAttributeValue");
  const Object* given = use(value, "AXUIElementSetAttributeValue");
  // The desktop takes texts and booleans, the two kinds the program writes.
  if (given->kind == Kind::kString) {
    return static_cast<AXError>(desktop().setAttributeValue(target, name, given->text));
  }
  if (given->kind == Kind::kBoolean) {
    return static_cast<AXError>(desktop().setFlagAttribute(target, name, given->flag));
  }
  fail(std::string("AXUIElementSetAttributeValue: a ") + nameOf(given->kind) +
       " value is not modelled");
}

AXValueRef AXValueCreate(AXValueType theType, const void* valuePtr) {
  if (valuePtr == nullptr) fail("AXValueCreate given no value");
  if (theType != kAXValueTypeCFRange) fail("AXValueCreate: only ranges are modelled");
  const auto* range = static_cast<const CFRange*>(valuePtr);
  Object* object = make(Kind::kAxValue);
  object->axValue = AxValue{kAxValueKindRange, Range{range->location, range->length}};
  return as<AXValueRef>(object);
}

AXValueType AXValueGetType(AXValueRef value) {
  return static_cast<AXValueType>(use(value, "AXValueGetType", Kind::kAxValue)->axValue.kind);
}

Boolean AXValueGetValue(AXValueRef value, AXValueType theType, void* valuePtr) {
  const Object* object = use(value, "AXValueGetValue", Kind::kAxValue);
  if (valuePtr == nullptr) fail("AXValueGetValue given no buffer");
  // A range that the desktop would not hand over reads as a failure, as does another kind.
  if (theType != kAXValueTypeCFRange || object->axValue.kind != kAxValueKindRange ||
      !object->axValue.range) {
    return false;
  }
  *static_cast<CFRange*>(valuePtr) =
      CFRangeMake(static_cast<CFIndex>(object->axValue.range->location),
                  static_cast<CFIndex>(object->axValue.range->length));
  return true;
}

// ------------------------------------------------------------------ secure event input

Boolean IsSecureEventInputEnabled(void) {
  return desktop().secureEventInput();
}

// ------------------------------------------------------------------ Quartz event services

CGEventFlags CGEventSourceFlagsState(CGEventSourceStateID) {
  return desktop().modifierFlags();
}

CGEventRef CGEventCreateKeyboardEvent(CGEventSourceRef source, CGKeyCode virtualKey, bool keyDown) {
  if (source != nullptr) fail("CGEventCreateKeyboardEvent: event sources are not modelled");
  KeyEvent event = desktop().createKeyboardEvent(virtualKey, keyDown);
  if (!event) return nullptr;
  Object* object = make(Kind::kEvent);
  object->event = std::move(event);
  return as<CGEventRef>(object);
}

void CGEventKeyboardSetUnicodeString(CGEventRef event, UniCharCount stringLength,
                                     const UniChar* unicodeString) {
  Object* object = use(event, "CGEventKeyboardSetUnicodeString", Kind::kEvent);
  if (unicodeString == nullptr && stringLength > 0) {
    fail("CGEventKeyboardSetUnicodeString given no characters");
  }
  // An event carries at most 20 UTF-16 units; the real call drops the rest.
  const UniCharCount kept = stringLength < 20 ? stringLength : 20;
  desktop().setUnicodeString(object->event, std::u16string(unicodeString, unicodeString + kept));
}

void CGEventSetFlags(CGEventRef event, CGEventFlags flags) {
  desktop().setFlags(use(event, "CGEventSetFlags", Kind::kEvent)->event, flags);
}

void CGEventPostToPid(pid_t pid, CGEventRef event) {
  static_cast<void>(desktop().postToPid(static_cast<Pid>(pid),
                                        use(event, "CGEventPostToPid", Kind::kEvent)->event));
}

// ------------------------------------------------------------------ the AppKit bridge

namespace caretsafe::macos {

std::optional<RunningApp> workspaceFrontmostApplication() {
  return desktop().frontmostApplication();
}

std::optional<RunningApp> runningApplicationWithPid(Pid pid) {
  return desktop().runningApplication(pid);
}

bool bundleHoldsElectron(Pid pid) {
  return desktop().builtOnElectron(pid);
}

WebEngine bundleWebEngine(Pid pid) {
  return desktop().webEngine(pid);
}

Pid processIdentifier() {
  return desktop().ownPid();
}

std::uintptr_t autoreleasePoolPush() {
  armExitCheck();
  ++state().openPools;
  return static_cast<std::uintptr_t>(state().openPools);
}

void autoreleasePoolPop(std::uintptr_t pool) {
  // Pools close in the order opposite to their opening, each exactly once.
  if (pool == 0 || static_cast<long>(pool) != state().openPools) {
    fail("autoreleasePoolPop given a pool that is not the innermost open one");
  }
  --state().openPools;
}

}  // namespace caretsafe::macos
