// Proof that the stand-in SDK headers are strict enough to catch a misused signature. Built
// as is, it uses each call correctly and must compile; built with one CARETSAFE_MISUSE_…
// macro, one call is made the way a careless port would make it, and it must not compile
// (these are WILL_FAIL tests in CMakeLists.txt). Each macro swaps exactly one expression, so
// the failure can only come from that misuse.

#include <ApplicationServices/ApplicationServices.h>
#include <CoreFoundation/CoreFoundation.h>

void probe(AXUIElementRef element, CFStringRef name, AXValueRef value, CFNumberRef number,
           CGEventRef event) {
  CFRange range = CFRangeMake(0, 0);
#ifdef CARETSAFE_MISUSE_RANGE_CONSTANT
  // The old value-kind constant is a plain UInt32, not an AXValueType.
  static_cast<void>(AXValueGetValue(value, kAXValueCFRangeType, &range));
#else
  static_cast<void>(AXValueGetValue(value, kAXValueTypeCFRange, &range));
#endif

  CFTypeRef copied = nullptr;
#ifdef CARETSAFE_MISUSE_TYPED_OUT_SLOT
  // A Copy call writes a CFTypeRef; a slot of a narrower reference type is not one.
  CFStringRef text = nullptr;
  static_cast<void>(AXUIElementCopyAttributeValue(element, name, &text));
#else
  static_cast<void>(AXUIElementCopyAttributeValue(element, name, &copied));
#endif
  if (copied != nullptr) CFRelease(copied);

#ifdef CARETSAFE_MISUSE_BOOL_ANSWER_SLOT
  // The answer slot is a Boolean (unsigned char), not a C++ bool.
  bool settable = false;
#else
  Boolean settable = false;
#endif
  static_cast<void>(AXUIElementIsAttributeSettable(element, name, &settable));

#ifdef CARETSAFE_MISUSE_ELEMENT_AS_NAME
  // Reference types do not convert into one another.
  static_cast<void>(AXUIElementSetAttributeValue(element, element, name));
#else
  static_cast<void>(AXUIElementSetAttributeValue(element, name, name));
#endif

  double real = 0;
#ifdef CARETSAFE_MISUSE_NUMBER_TYPE_INTEGER
  static_cast<void>(CFNumberGetValue(number, 13, &real));
#else
  static_cast<void>(CFNumberGetValue(number, kCFNumberDoubleType, &real));
#endif

#ifdef CARETSAFE_MISUSE_STATE_INTEGER
  static_cast<void>(CGEventSourceFlagsState(0));
#else
  static_cast<void>(CGEventSourceFlagsState(kCGEventSourceStateCombinedSessionState));
#endif

#ifdef CARETSAFE_MISUSE_CHAR16_UNITS
  // char16_t and UniChar are both 16 bits wide but distinct types.
  const char16_t units[] = u"a";
#else
  const UniChar units[] = {u'a'};
#endif
  CGEventKeyboardSetUnicodeString(event, 1, units);
}
