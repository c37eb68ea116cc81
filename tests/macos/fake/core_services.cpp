// The fake Core Foundation, accessibility and Quartz event services (see services.h).

#include <algorithm>
#include <set>
#include <string>

#include <Carbon/Carbon.h>

#include "tests/macos/fake/services.h"

namespace caretsafe::fake {
namespace {

enum class Kind { kString, kBoolean, kNumber, kUuid, kElement, kAxValue, kEvent, kOther };

constexpr CFTypeID kTypeIds[] = {7, 21, 22, 30, 100, 101, 102, 999};

struct Object {
  Kind kind = Kind::kOther;
  long refs = 1;
  std::u16string text;
  double number = 0;
  bool flag = false;
  int id = 0;  // an element's identity; two handles on one element compare equal
  AXValueType axKind = kAXValueTypeIllegal;
  CFRange range{0, 0};
  bool readable = true;
  CGKeyCode virtualKey = 0;
  bool keyDown = false;
  std::u16string units;
  CGEventFlags flags = 0;
};

std::set<const Object*>& live() {
  static std::set<const Object*> objects;
  return objects;
}

Object& immortal(Kind kind, bool flag, const std::u16string& text) {
  auto* object = new Object{};
  object->kind = kind;
  object->flag = flag;
  object->text = text;
  return *object;
}
Object& trueObject() {
  static Object& object = immortal(Kind::kBoolean, true, u"");
  return object;
}
Object& falseObject() {
  static Object& object = immortal(Kind::kBoolean, false, u"");
  return object;
}
Object& defaultModeObject() {
  static Object& object = immortal(Kind::kString, false, u"kCFRunLoopDefaultMode");
  return object;
}
bool isImmortal(const Object* object) {
  return object == &trueObject() || object == &falseObject() || object == &defaultModeObject();
}

Object* make(Kind kind) {
  auto* object = new Object{};
  object->kind = kind;
  live().insert(object);
  return object;
}

Object* makeElementObject(int id) {
  Object* object = make(Kind::kElement);
  object->id = id;
  return object;
}

Object* makeAxValueObject(AXValueType kind, CFRange range, bool readable) {
  Object* object = make(Kind::kAxValue);
  object->axKind = kind;
  object->range = range;
  object->readable = readable;
  return object;
}

Object* makeNumberObject(double value) {
  Object* object = make(Kind::kNumber);
  object->number = value;
  return object;
}

Object* makeStringObject(const std::u16string& text) {
  Object* object = make(Kind::kString);
  object->text = text;
  return object;
}

// The object behind a reference, or null (and a fault) when it is not alive.
Object* find(CFTypeRef ref) {
  auto* object = static_cast<Object*>(const_cast<void*>(ref));
  if (object != nullptr && (isImmortal(object) || live().count(object) != 0)) return object;
  ++services().faults;
  return nullptr;
}

template <typename Ref>
Ref as(Object* object) {
  return reinterpret_cast<Ref>(object);
}

std::string narrow(const std::u16string& text) {
  std::string out;
  for (char16_t unit : text) out += unit < 0x80 ? static_cast<char>(unit) : '?';
  return out;
}

std::string elementName(AXUIElementRef element) {
  const Object* object = find(element);
  return object == nullptr ? "#?" : "#" + std::to_string(object->id);
}

std::string attributeName(CFStringRef attribute) {
  const Object* object = find(attribute);
  return object == nullptr ? "?" : narrow(object->text);
}

void record(std::string line) {
  services().calls.push_back(std::move(line));
}

}  // namespace

Services& services() {
  static Services instance;
  return instance;
}

void reset() {
  for (const Object* object : live()) delete object;
  live().clear();
  services() = Services{};
}

std::size_t liveObjects() {
  return live().size();
}

long referenceCount(CFTypeRef ref) {
  const auto* object = static_cast<const Object*>(ref);
  return live().count(object) != 0 ? object->refs : 0;
}

CFTypeRef makeString(const std::u16string& text) {
  return makeStringObject(text);
}

CFTypeRef makeNumber(double value) {
  return makeNumberObject(value);
}

CFTypeRef makeElement(int id) {
  return makeElementObject(id);
}

CFTypeRef makeAxValue(AXValueType kind, CFRange range, bool readable) {
  return makeAxValueObject(kind, range, readable);
}

CFTypeRef makeOther() {
  return make(Kind::kOther);
}

int elementId(std::uintptr_t ref) {
  const auto* object = reinterpret_cast<const Object*>(ref);
  if (live().count(object) == 0 || object->kind != Kind::kElement) return 0;
  return object->id;
}

}  // namespace caretsafe::fake

using caretsafe::fake::services;
using namespace caretsafe::fake;  // NOLINT: the C entry points below implement the fake

// ------------------------------------------------------------------ Core Foundation

const CFAllocatorRef kCFAllocatorDefault = nullptr;
const CFBooleanRef kCFBooleanTrue = as<CFBooleanRef>(&trueObject());
const CFBooleanRef kCFBooleanFalse = as<CFBooleanRef>(&falseObject());
const CFRunLoopMode kCFRunLoopDefaultMode = as<CFStringRef>(&defaultModeObject());

CFTypeRef CFRetain(CFTypeRef cf) {
  if (Object* object = find(cf)) ++object->refs;
  return cf;
}

void CFRelease(CFTypeRef cf) {
  Object* object = find(cf);
  if (object == nullptr || isImmortal(object)) return;
  if (--object->refs == 0) {
    live().erase(object);
    delete object;
  }
}

Boolean CFEqual(CFTypeRef cf1, CFTypeRef cf2) {
  const Object* a = find(cf1);
  const Object* b = find(cf2);
  if (a == nullptr || b == nullptr) return false;
  if (a == b) return true;
  if (a->kind != b->kind) return false;
  if (a->kind == Kind::kElement) return a->id == b->id;
  if (a->kind == Kind::kString) return a->text == b->text;
  return false;
}

CFTypeID CFGetTypeID(CFTypeRef cf) {
  const Object* object = find(cf);
  return object == nullptr ? 0 : kTypeIds[static_cast<int>(object->kind)];
}

CFTypeID CFStringGetTypeID(void) {
  return kTypeIds[static_cast<int>(Kind::kString)];
}
CFTypeID CFBooleanGetTypeID(void) {
  return kTypeIds[static_cast<int>(Kind::kBoolean)];
}
CFTypeID CFNumberGetTypeID(void) {
  return kTypeIds[static_cast<int>(Kind::kNumber)];
}

CFStringRef CFStringCreateWithBytes(CFAllocatorRef, const UInt8* bytes, CFIndex numBytes,
                                    CFStringEncoding encoding, Boolean) {
  if (encoding != kCFStringEncodingUTF8) return nullptr;
  // Enough of UTF-8 for the tests: ASCII passes, any other byte makes the text unreadable
  // (the real call answers null for bytes that are not in the encoding).
  std::u16string text;
  for (CFIndex i = 0; i < numBytes; ++i) {
    if (bytes[i] >= 0x80) return nullptr;
    text += static_cast<char16_t>(bytes[i]);
  }
  return as<CFStringRef>(makeStringObject(text));
}

CFStringRef CFStringCreateWithCharacters(CFAllocatorRef, const UniChar* chars, CFIndex numChars) {
  std::u16string text;
  for (CFIndex i = 0; i < numChars; ++i) text += static_cast<char16_t>(chars[i]);
  return as<CFStringRef>(makeStringObject(text));
}

CFIndex CFStringGetLength(CFStringRef theString) {
  const Object* object = find(theString);
  return object == nullptr ? 0 : static_cast<CFIndex>(object->text.size());
}

void CFStringGetCharacters(CFStringRef theString, CFRange range, UniChar* buffer) {
  const Object* object = find(theString);
  if (object == nullptr) return;
  for (CFIndex i = 0; i < range.length; ++i) {
    buffer[i] = object->text.at(static_cast<std::size_t>(range.location + i));
  }
}

Boolean CFBooleanGetValue(CFBooleanRef boolean) {
  const Object* object = find(boolean);
  return object != nullptr && object->flag;
}

CFNumberRef CFNumberCreate(CFAllocatorRef, CFNumberType theType, const void* valuePtr) {
  if (theType != kCFNumberDoubleType) return nullptr;
  return as<CFNumberRef>(makeNumberObject(*static_cast<const double*>(valuePtr)));
}

Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void* valuePtr) {
  const Object* object = find(number);
  if (object == nullptr || theType != kCFNumberDoubleType) return false;
  *static_cast<double*>(valuePtr) = object->number;
  return true;
}

CFUUIDRef CFUUIDCreate(CFAllocatorRef) {
  record("CFUUIDCreate");
  if (services().uuidFails) return nullptr;
  return as<CFUUIDRef>(make(Kind::kUuid));
}

CFStringRef CFUUIDCreateString(CFAllocatorRef, CFUUIDRef uuid) {
  record("CFUUIDCreateString");
  if (find(uuid) == nullptr) return nullptr;
  return as<CFStringRef>(makeStringObject(services().uuidText));
}

CFAbsoluteTime CFAbsoluteTimeGetCurrent(void) {
  record("CFAbsoluteTimeGetCurrent");
  return services().absoluteTime;
}

CFRunLoopRunResult CFRunLoopRunInMode(CFRunLoopMode mode, CFTimeInterval seconds,
                                      Boolean returnAfterSourceHandled) {
  record("CFRunLoopRunInMode " + attributeName(mode) + " " + std::to_string(seconds) + " " +
         (returnAfterSourceHandled ? "true" : "false"));
  if (services().pendingSources == 0) return kCFRunLoopRunTimedOut;
  --services().pendingSources;
  return kCFRunLoopRunHandledSource;
}

// ------------------------------------------------------------------ accessibility

Boolean AXIsProcessTrusted(void) {
  record("AXIsProcessTrusted");
  return services().trusted;
}

CFTypeID AXUIElementGetTypeID(void) {
  return kTypeIds[static_cast<int>(Kind::kElement)];
}
CFTypeID AXValueGetTypeID(void) {
  return kTypeIds[static_cast<int>(Kind::kAxValue)];
}

AXUIElementRef AXUIElementCreateApplication(pid_t pid) {
  record("AXUIElementCreateApplication " + std::to_string(pid));
  if (services().createApplicationFails) return nullptr;
  // An application's element is known by its pid.
  return as<AXUIElementRef>(makeElementObject(pid));
}

AXError AXUIElementSetMessagingTimeout(AXUIElementRef element, float timeoutInSeconds) {
  record("AXUIElementSetMessagingTimeout " + elementName(element));
  services().lastTimeout = timeoutInSeconds;
  return kAXErrorSuccess;
}

AXError AXUIElementCopyAttributeValue(AXUIElementRef element, CFStringRef attribute,
                                      CFTypeRef* value) {
  record("AXUIElementCopyAttributeValue " + elementName(element) + " " + attributeName(attribute));
  if (services().copyValue) *value = services().copyValue();
  return services().copyError;
}

AXError AXUIElementIsAttributeSettable(AXUIElementRef element, CFStringRef attribute,
                                       Boolean* settable) {
  record("AXUIElementIsAttributeSettable " + elementName(element) + " " + attributeName(attribute));
  if (services().settableWrites) *settable = services().settableAnswer;
  return services().settableError;
}

AXError AXUIElementSetAttributeValue(AXUIElementRef element, CFStringRef attribute,
                                     CFTypeRef value) {
  record("AXUIElementSetAttributeValue " + elementName(element) + " " + attributeName(attribute));
  const Object* object = find(value);
  services().lastSetText = object != nullptr ? object->text : u"<not alive>";
  services().lastSetFlag = object != nullptr && object->kind == Kind::kBoolean
                               ? std::optional<bool>(object->flag)
                               : std::nullopt;
  return services().setError;
}

AXValueRef AXValueCreate(AXValueType theType, const void* valuePtr) {
  return as<AXValueRef>(makeAxValueObject(theType, *static_cast<const CFRange*>(valuePtr), true));
}

AXValueType AXValueGetType(AXValueRef value) {
  const Object* object = find(value);
  return object == nullptr ? kAXValueTypeIllegal : object->axKind;
}

Boolean AXValueGetValue(AXValueRef value, AXValueType theType, void* valuePtr) {
  const Object* object = find(value);
  if (object == nullptr || object->axKind != theType || !object->readable) return false;
  *static_cast<CFRange*>(valuePtr) = object->range;
  return true;
}

// ------------------------------------------------------------------ secure event input

Boolean IsSecureEventInputEnabled(void) {
  record("IsSecureEventInputEnabled");
  return services().secureInput;
}

// ------------------------------------------------------------------ Quartz event services

CGEventFlags CGEventSourceFlagsState(CGEventSourceStateID stateID) {
  record("CGEventSourceFlagsState " + std::to_string(static_cast<int>(stateID)));
  return services().modifierFlags;
}

CGEventRef CGEventCreateKeyboardEvent(CGEventSourceRef source, CGKeyCode virtualKey, bool keyDown) {
  record(std::string("CGEventCreateKeyboardEvent ") + (source == nullptr ? "no-source" : "source") +
         " " + std::to_string(virtualKey) + " " + (keyDown ? "down" : "up"));
  if (services().eventsLeft == 0) return nullptr;
  if (services().eventsLeft > 0) --services().eventsLeft;
  Object* event = make(Kind::kEvent);
  event->virtualKey = virtualKey;
  event->keyDown = keyDown;
  return as<CGEventRef>(event);
}

void CGEventKeyboardSetUnicodeString(CGEventRef event, UniCharCount stringLength,
                                     const UniChar* unicodeString) {
  record("CGEventKeyboardSetUnicodeString " + std::to_string(stringLength));
  if (Object* object = find(event)) {
    object->units.assign(unicodeString, unicodeString + stringLength);
  }
}

void CGEventSetFlags(CGEventRef event, CGEventFlags flags) {
  record("CGEventSetFlags " + std::to_string(flags));
  if (Object* object = find(event)) object->flags = flags;
}

void CGEventPostToPid(pid_t pid, CGEventRef event) {
  record("CGEventPostToPid " + std::to_string(pid));
  if (const Object* object = find(event)) {
    services().posted.push_back(
        PostedEvent{pid, object->virtualKey, object->keyDown, object->units, object->flags});
  }
}
