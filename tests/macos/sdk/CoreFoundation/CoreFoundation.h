// Stand-in for the Core Foundation umbrella header, so that the macOS adapter can be compiled
// on Linux: by the syntax check against every file of platform/macos/, and by the adapter's unit
// tests against the in-memory fake in tests/macos/fake/.
//
// Written from Apple's public API reference, declaring only what caretsafe uses. The types are
// as strict as on a Mac: every object reference is a distinct pointer type, and the documented
// enumerations have their fixed underlying types, so that C++ refuses a plain integer where an
// enumerator is expected, exactly as it does with the real SDK.
#pragma once

#include <stdint.h>

#ifndef __cplusplus
#error "the Core Foundation stand-in serves C++ and Objective-C++ only"
#endif

extern "C" {

// --- scalar types ---
typedef unsigned char Boolean;
typedef uint8_t UInt8;
typedef uint16_t UInt16;
typedef uint32_t UInt32;
typedef int32_t SInt32;
typedef uint64_t UInt64;
typedef UInt16 UniChar;  // one UTF-16 code unit
typedef unsigned long UniCharCount;
typedef signed long CFIndex;
typedef unsigned long CFTypeID;
typedef double CFTimeInterval;
typedef CFTimeInterval CFAbsoluteTime;  // seconds from 2001-01-01 00:00:00 UTC

// --- object references (opaque, one pointer type each) ---
typedef const void* CFTypeRef;
typedef const struct StandInCFAllocator* CFAllocatorRef;
typedef const struct StandInCFString* CFStringRef;
typedef const struct StandInCFBoolean* CFBooleanRef;
typedef const struct StandInCFNumber* CFNumberRef;
typedef const struct StandInCFUUID* CFUUIDRef;
typedef CFStringRef CFRunLoopMode;

struct CFRange {
  CFIndex location;
  CFIndex length;
};
typedef struct CFRange CFRange;
static inline CFRange CFRangeMake(CFIndex location, CFIndex length) {
  CFRange range;
  range.location = location;
  range.length = length;
  return range;
}

// --- enumerations with fixed underlying types ---
typedef UInt32 CFStringEncoding;
enum CFStringBuiltInEncodings : CFStringEncoding {
  kCFStringEncodingASCII = 0x0600,
  kCFStringEncodingUTF8 = 0x08000100,
};

enum CFNumberType : CFIndex {
  kCFNumberSInt32Type = 3,
  kCFNumberSInt64Type = 4,
  kCFNumberDoubleType = 13,
};

enum CFRunLoopRunResult : SInt32 {
  kCFRunLoopRunFinished = 1,
  kCFRunLoopRunStopped = 2,
  kCFRunLoopRunTimedOut = 3,
  kCFRunLoopRunHandledSource = 4,
};

// --- constants ---
extern const CFAllocatorRef kCFAllocatorDefault;
extern const CFBooleanRef kCFBooleanTrue;
extern const CFBooleanRef kCFBooleanFalse;
extern const CFRunLoopMode kCFRunLoopDefaultMode;

// --- every object ---
CFTypeRef CFRetain(CFTypeRef cf);
void CFRelease(CFTypeRef cf);
Boolean CFEqual(CFTypeRef cf1, CFTypeRef cf2);
CFTypeID CFGetTypeID(CFTypeRef cf);

// --- strings ---
CFTypeID CFStringGetTypeID(void);
CFStringRef CFStringCreateWithBytes(CFAllocatorRef alloc, const UInt8* bytes, CFIndex numBytes,
                                    CFStringEncoding encoding, Boolean isExternalRepresentation);
CFStringRef CFStringCreateWithCharacters(CFAllocatorRef alloc, const UniChar* chars,
                                         CFIndex numChars);
CFIndex CFStringGetLength(CFStringRef theString);
void CFStringGetCharacters(CFStringRef theString, CFRange range, UniChar* buffer);

// --- booleans and numbers ---
CFTypeID CFBooleanGetTypeID(void);
Boolean CFBooleanGetValue(CFBooleanRef boolean);
CFTypeID CFNumberGetTypeID(void);
CFNumberRef CFNumberCreate(CFAllocatorRef allocator, CFNumberType theType, const void* valuePtr);
Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void* valuePtr);

// --- UUIDs, time, the run loop ---
CFUUIDRef CFUUIDCreate(CFAllocatorRef alloc);
CFStringRef CFUUIDCreateString(CFAllocatorRef alloc, CFUUIDRef uuid);
CFAbsoluteTime CFAbsoluteTimeGetCurrent(void);
CFRunLoopRunResult CFRunLoopRunInMode(CFRunLoopMode mode, CFTimeInterval seconds,
                                      Boolean returnAfterSourceHandled);

}  // extern "C"
