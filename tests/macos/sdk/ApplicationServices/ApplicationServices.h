// Stand-in for the Application Services umbrella header (the accessibility API and Quartz event
// services), so that the macOS adapter can be compiled on Linux. Written from Apple's public API
// reference, declaring only what caretsafe uses, with the same strictness as the real SDK: the
// result codes, value kinds and event-source states are enumerations with fixed underlying
// types, so a plain integer does not convert to them in C++.
#pragma once

#include <stdint.h>
#include <sys/types.h>  // pid_t

#include <CoreFoundation/CoreFoundation.h>

extern "C" {

// ---------------------------------------------------------------- accessibility

typedef const struct StandInAXUIElement* AXUIElementRef;
typedef const struct StandInAXValue* AXValueRef;

enum AXError : int32_t {
  kAXErrorSuccess = 0,
  kAXErrorFailure = -25200,
  kAXErrorIllegalArgument = -25201,
  kAXErrorInvalidUIElement = -25202,
  kAXErrorCannotComplete = -25204,
  kAXErrorAttributeUnsupported = -25205,
  kAXErrorAPIDisabled = -25211,
  kAXErrorNoValue = -25212,
};

enum AXValueType : UInt32 {
  kAXValueTypeIllegal = 0,
  kAXValueTypeCGPoint = 1,
  kAXValueTypeCGSize = 2,
  kAXValueTypeCGRect = 3,
  kAXValueTypeCFRange = 4,
  kAXValueTypeAXError = 5,
};

// The value-kind names from before the kinds had a type of their own: plain unsigned integers,
// which C++ does not convert to AXValueType.
static const UInt32 kAXValueCGPointType = 1;
static const UInt32 kAXValueCGSizeType = 2;
static const UInt32 kAXValueCGRectType = 3;
static const UInt32 kAXValueCFRangeType = 4;

Boolean AXIsProcessTrusted(void);

CFTypeID AXUIElementGetTypeID(void);
AXUIElementRef AXUIElementCreateApplication(pid_t pid);
AXError AXUIElementSetMessagingTimeout(AXUIElementRef element, float timeoutInSeconds);
AXError AXUIElementCopyAttributeValue(AXUIElementRef element, CFStringRef attribute,
                                      CFTypeRef* value);
AXError AXUIElementIsAttributeSettable(AXUIElementRef element, CFStringRef attribute,
                                       Boolean* settable);
AXError AXUIElementSetAttributeValue(AXUIElementRef element, CFStringRef attribute,
                                     CFTypeRef value);

CFTypeID AXValueGetTypeID(void);
AXValueRef AXValueCreate(AXValueType theType, const void* valuePtr);
AXValueType AXValueGetType(AXValueRef value);
Boolean AXValueGetValue(AXValueRef value, AXValueType theType, void* valuePtr);

// ---------------------------------------------------------------- Quartz event services

typedef struct StandInCGEvent* CGEventRef;
typedef struct StandInCGEventSource* CGEventSourceRef;
typedef uint16_t CGKeyCode;

// In C++ the flag word is a plain 64-bit integer and its named bits an unnamed enumeration, so
// that flags combine with | without casts.
typedef uint64_t CGEventFlags;
enum : CGEventFlags {
  kCGEventFlagMaskAlphaShift = 0x00010000,
  kCGEventFlagMaskShift = 0x00020000,
  kCGEventFlagMaskControl = 0x00040000,
  kCGEventFlagMaskAlternate = 0x00080000,
  kCGEventFlagMaskCommand = 0x00100000,
  kCGEventFlagMaskSecondaryFn = 0x00800000,
};

enum CGEventSourceStateID : int32_t {
  kCGEventSourceStatePrivate = -1,
  kCGEventSourceStateCombinedSessionState = 0,
  kCGEventSourceStateHIDSystemState = 1,
};

CGEventFlags CGEventSourceFlagsState(CGEventSourceStateID stateID);
CGEventRef CGEventCreateKeyboardEvent(CGEventSourceRef source, CGKeyCode virtualKey, bool keyDown);
void CGEventKeyboardSetUnicodeString(CGEventRef event, UniCharCount stringLength,
                                     const UniChar* unicodeString);
void CGEventSetFlags(CGEventRef event, CGEventFlags flags);
void CGEventPostToPid(pid_t pid, CGEventRef event);

}  // extern "C"
