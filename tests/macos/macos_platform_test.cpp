// The macOS adapter (platform/macos/macos_platform.cpp) over the fake services of
// tests/macos/fake/: what each primitive asks the platform, how it converts the answer, and that
// every platform reference is released exactly once, whatever came back.

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "platform/macos/cf_ref.h"
#include "platform/process_platform.h"
#include "tests/macos/fake/services.h"

namespace caretsafe {
namespace {

using fake::services;

std::string hexUnits(std::u16string_view text) {
  std::string out;
  for (char16_t unit : text) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "%s%04X", out.empty() ? "" : " ",
                  static_cast<unsigned>(unit));
    out += buffer;
  }
  return out;
}

// One line per form, so that a table can state what a read must give.
std::string describe(const AttributeValue& value) {
  if (std::holds_alternative<NoValue>(value)) return "none";
  if (const auto* text = std::get_if<std::u16string>(&value))
    return "text [" + hexUnits(*text) + "]";
  if (const auto* flag = std::get_if<bool>(&value)) return *flag ? "bool true" : "bool false";
  if (const auto* number = std::get_if<NumberValue>(&value)) {
    return "number " + std::to_string(number->value);
  }
  if (const auto* ax = std::get_if<AxValue>(&value)) {
    std::string out = "axvalue " + std::to_string(ax->kind);
    if (ax->range) {
      out +=
          " range " + std::to_string(ax->range->location) + "+" + std::to_string(ax->range->length);
    }
    return out;
  }
  if (const auto* element = std::get_if<Element>(&value)) {
    return "element #" + std::to_string(fake::elementId(element->ref()));
  }
  return "other";
}

class MacPlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::reset();
    platform = makeProcessPlatform();
  }
  void TearDown() override {
    platform.reset();
    EXPECT_EQ(fake::liveObjects(), 0u) << "a platform reference was never released";
    EXPECT_EQ(services().faults, 0) << "a reference was used or released when it was not alive";
  }

  std::unique_ptr<Platform> platform;
};

TEST_F(MacPlatformTest, ReadsEveryFormOfAttributeValueAndReleasesIt) {
  struct Row {
    const char* name;
    std::function<CFTypeRef()> value;
    std::string expected;
  };
  const std::vector<Row> rows = {
      {"no value", nullptr, "none"},
      {"empty text", [] { return fake::makeString(u""); }, "text []"},
      {"text with an accent and an emoji", [] { return fake::makeString(u"h\u00e9\U0001F600"); },
       "text [0068 00E9 D83D DE00]"},
      {"true", [] { return CFRetain(kCFBooleanTrue); }, "bool true"},
      {"false", [] { return CFRetain(kCFBooleanFalse); }, "bool false"},
      {"number", [] { return fake::makeNumber(2.5); }, "number 2.500000"},
      {"caret range", [] { return fake::makeAxValue(kAXValueTypeCFRange, CFRangeMake(3, 0)); },
       "axvalue 4 range 3+0"},
      {"range beyond 32 bits",
       [] { return fake::makeAxValue(kAXValueTypeCFRange, CFRangeMake(CFIndex{1} << 40, 2)); },
       "axvalue 4 range 1099511627776+2"},
      {"range the platform will not hand over",
       [] { return fake::makeAxValue(kAXValueTypeCFRange, CFRangeMake(3, 0), false); },
       "axvalue 4"},
      {"a point, not a range",
       [] { return fake::makeAxValue(kAXValueTypeCGPoint, CFRangeMake(3, 0)); }, "axvalue 1"},
      {"element", [] { return fake::makeElement(9); }, "element #9"},
      {"any other object", [] { return fake::makeOther(); }, "other"},
  };

  const Element application = platform->createApplication(42);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    services().calls.clear();
    services().copyValue = row.value;
    {
      const AttributeRead read = platform->copyAttributeValue(application, "AXValue");
      EXPECT_EQ(read.error, kAxSuccess);
      EXPECT_EQ(describe(read.value), row.expected);
    }
    EXPECT_EQ(services().calls,
              std::vector<std::string>{"AXUIElementCopyAttributeValue #42 AXValue"});
    EXPECT_EQ(fake::liveObjects(), 1u) << "only the application element may be left";
  }
}

TEST_F(MacPlatformTest, FailureCodeGivesNoValueAndReleasesWhateverCameBack) {
  const Element application = platform->createApplication(42);
  for (const bool withValue : {false, true}) {
    SCOPED_TRACE(withValue ? "with a value" : "without a value");
    services().copyError = kAXErrorCannotComplete;
    services().copyValue =
        withValue ? std::function<CFTypeRef()>([] { return fake::makeElement(7); }) : nullptr;
    const AttributeRead read = platform->copyAttributeValue(application, "AXFocusedUIElement");
    EXPECT_EQ(read.error, kAxErrorCannotComplete);
    EXPECT_EQ(describe(read.value), "none");
    EXPECT_EQ(fake::liveObjects(), 1u);
  }
}

TEST_F(MacPlatformTest, ElementHandleOwnsTheCopiedReference) {
  const Element application = platform->createApplication(42);
  services().copyValue = [] { return fake::makeElement(7); };
  AttributeRead read = platform->copyAttributeValue(application, "AXFocusedUIElement");
  Element focused = std::get<Element>(std::move(read.value));
  const auto* ref = reinterpret_cast<const void*>(focused.ref());
  EXPECT_EQ(fake::referenceCount(ref), 1) << "the copy's reference, handed over once";

  {
    const Element copy = focused;  // NOLINT(performance-unnecessary-copy-initialization)
    EXPECT_EQ(fake::referenceCount(ref), 2);
    EXPECT_TRUE(platform->elementsEqual(copy, focused));
  }
  EXPECT_EQ(fake::referenceCount(ref), 1);

  // Equality is the platform's: another reference to element 7 is the same element.
  const AttributeRead again = platform->copyAttributeValue(application, "AXFocusedUIElement");
  EXPECT_TRUE(platform->elementsEqual(std::get<Element>(again.value), focused));
  EXPECT_FALSE(platform->elementsEqual(application, focused));
  EXPECT_FALSE(platform->elementsEqual(Element{}, focused));
  EXPECT_FALSE(platform->elementsEqual(focused, Element{}));
}

TEST_F(MacPlatformTest, HandleThatNamesNothingIsAnsweredWithoutAPlatformCall) {
  services().createApplicationFails = true;
  const Element nothing = platform->createApplication(42);
  EXPECT_FALSE(nothing) << "a null reference makes an empty handle";
  for (const Element* element : {&nothing, static_cast<const Element*>(nullptr)}) {
    const Element empty;
    const Element& handle = element != nullptr ? *element : empty;
    services().calls.clear();
    platform->setMessagingTimeout(handle, 0.6f);
    EXPECT_EQ(platform->copyAttributeValue(handle, "AXValue").error, -25201);
    const SettableAnswer settable = platform->isAttributeSettable(handle, "AXSelectedText");
    EXPECT_EQ(settable.error, -25201);
    EXPECT_FALSE(settable.settable);
    EXPECT_EQ(platform->setAttributeValue(handle, "AXSelectedText", u"x"), -25201);
    EXPECT_FALSE(platform->elementsEqual(handle, handle));
    EXPECT_EQ(services().calls, std::vector<std::string>{});
  }
}

TEST_F(MacPlatformTest, AttributeNameThatIsNotUtf8IsRefusedWithoutARequest) {
  const Element application = platform->createApplication(42);
  services().calls.clear();
  EXPECT_EQ(platform->copyAttributeValue(application, "AX\xC3(").error, -25201);
  EXPECT_EQ(platform->isAttributeSettable(application, "AX\xC3(").error, -25201);
  EXPECT_EQ(platform->setAttributeValue(application, "AX\xC3(", u"x"), -25201);
  EXPECT_EQ(services().calls, std::vector<std::string>{});
}

TEST_F(MacPlatformTest, SettableTestPassesTheCodeAndTheAnswer) {
  struct Row {
    const char* name;
    AXError error;
    bool writes;
    bool answer;
    SettableAnswer expected;
  };
  const Row rows[] = {
      {"settable", kAXErrorSuccess, true, true, {0, true}},
      {"not settable", kAXErrorSuccess, true, false, {0, false}},
      {"failed, answer slot untouched", kAXErrorAttributeUnsupported, false, true, {-25205, false}},
  };
  const Element application = platform->createApplication(42);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    services().calls.clear();
    services().settableError = row.error;
    services().settableWrites = row.writes;
    services().settableAnswer = row.answer;
    const SettableAnswer answer = platform->isAttributeSettable(application, "AXSelectedText");
    EXPECT_EQ(answer.error, row.expected.error);
    EXPECT_EQ(answer.settable, row.expected.settable);
    EXPECT_EQ(services().calls,
              std::vector<std::string>{"AXUIElementIsAttributeSettable #42 AXSelectedText"});
  }
}

TEST_F(MacPlatformTest, WritesExactlyTheGivenCodeUnits) {
  const std::u16string texts[] = {
      u"",
      u"plain",
      u"e\u0301 combining",
      u"\U0001F600 outside the basic plane",
      std::u16string(u"line\nbreak\ttab\0nul", 18),
      u"\xD800 unpaired surrogate",
  };
  const Element application = platform->createApplication(42);
  for (const std::u16string& text : texts) {
    SCOPED_TRACE(hexUnits(text));
    services().calls.clear();
    services().setError = kAXErrorSuccess;
    EXPECT_EQ(platform->setAttributeValue(application, "AXSelectedText", text), kAxSuccess);
    EXPECT_EQ(hexUnits(services().lastSetText), hexUnits(text));
    EXPECT_EQ(services().calls,
              std::vector<std::string>{"AXUIElementSetAttributeValue #42 AXSelectedText"});
    EXPECT_EQ(fake::liveObjects(), 1u) << "the string made for the write is released";
  }
  services().setError = kAXErrorCannotComplete;
  EXPECT_EQ(platform->setAttributeValue(application, "AXSelectedText", u"x"), -25204);
}

// The switches that ask a browser or an Electron application for its tree are CF booleans, and
// whether an application is built on Electron is the bridge's look into its bundle.
TEST_F(MacPlatformTest, SetsABooleanAndAsksTheBridgeAboutElectron) {
  const Element application = platform->createApplication(42);
  for (const bool value : {true, false}) {
    services().calls.clear();
    services().setError = kAXErrorSuccess;
    EXPECT_EQ(platform->setFlagAttribute(application, "AXManualAccessibility", value), kAxSuccess);
    EXPECT_EQ(services().lastSetFlag, std::optional<bool>(value));
    EXPECT_EQ(services().calls,
              std::vector<std::string>{"AXUIElementSetAttributeValue #42 AXManualAccessibility"});
  }
  services().setError = kAXErrorAttributeUnsupported;
  EXPECT_EQ(platform->setFlagAttribute(application, "AXEnhancedUserInterface", true), -25205);
  services().calls.clear();
  EXPECT_EQ(platform->setFlagAttribute(Element(), "AXEnhancedUserInterface", true), -25201);
  EXPECT_TRUE(services().calls.empty());
  EXPECT_EQ(fake::liveObjects(), 1u);

  for (const bool electron : {false, true}) {
    services().calls.clear();
    services().electron = electron;
    EXPECT_EQ(platform->builtOnElectron(77), electron);
    EXPECT_EQ(services().calls,
              std::vector<std::string>{"NSRunningApplication bundleURL Electron Framework 77"});
  }
  for (const WebEngine engine : {WebEngine::kNone, WebEngine::kChromium, WebEngine::kGecko}) {
    services().calls.clear();
    services().engine = engine;
    EXPECT_EQ(platform->webEngine(77), engine);
    EXPECT_EQ(services().calls,
              std::vector<std::string>{"NSRunningApplication bundleURL web engine 77"});
  }
  EXPECT_FALSE(platform->typedOnly(application));
}

TEST_F(MacPlatformTest, MessagingTimeoutIsSetOnTheElement) {
  const Element application = platform->createApplication(42);
  services().calls.clear();
  platform->setMessagingTimeout(application, 0.6f);
  EXPECT_EQ(services().lastTimeout, 0.6f);
  EXPECT_EQ(services().calls, std::vector<std::string>{"AXUIElementSetMessagingTimeout #42"});
}

TEST_F(MacPlatformTest, KeyPairCarriesItsUnitsAndNoFlagsToThePid) {
  {
    KeyEvent down = platform->createKeyboardEvent(0, true);
    KeyEvent up = platform->createKeyboardEvent(0, false);
    ASSERT_TRUE(down && up);
    const std::u16string pair = u"\U0001F600";
    platform->setUnicodeString(down, pair);
    platform->setUnicodeString(up, pair);
    platform->setFlags(down, 0);
    platform->setFlags(up, 0);
    platform->postToPid(501, down);
    platform->postToPid(501, up);
    EXPECT_EQ(fake::liveObjects(), 2u);
  }
  const std::vector<fake::PostedEvent> expected = {
      {501, 0, true, u"\U0001F600", 0},
      {501, 0, false, u"\U0001F600", 0},
  };
  EXPECT_EQ(services().posted, expected);
  EXPECT_EQ(services().calls, (std::vector<std::string>{
                                  "CGEventCreateKeyboardEvent no-source 0 down",
                                  "CGEventCreateKeyboardEvent no-source 0 up",
                                  "CGEventKeyboardSetUnicodeString 2",
                                  "CGEventKeyboardSetUnicodeString 2",
                                  "CGEventSetFlags 0",
                                  "CGEventSetFlags 0",
                                  "CGEventPostToPid 501",
                                  "CGEventPostToPid 501",
                              }));
}

TEST_F(MacPlatformTest, EventThatCannotBeCreatedIsEmptyAndGoesNowhere) {
  services().eventsLeft = 0;
  KeyEvent event = platform->createKeyboardEvent(0, true);
  EXPECT_FALSE(event);
  platform->setUnicodeString(event, u"a");
  platform->setFlags(event, 0);
  platform->postToPid(501, event);
  EXPECT_EQ(services().calls,
            std::vector<std::string>{"CGEventCreateKeyboardEvent no-source 0 down"});
  EXPECT_TRUE(services().posted.empty());
}

TEST_F(MacPlatformTest, ModifierFlagsAreThoseOfTheCombinedSessionState) {
  services().modifierFlags = kCGEventFlagMaskCommand | kCGEventFlagMaskAlphaShift;
  EXPECT_EQ(platform->modifierFlags(), 0x110000u);
  EXPECT_EQ(services().calls, std::vector<std::string>{"CGEventSourceFlagsState 0"});
}

TEST_F(MacPlatformTest, SecureEventInputIsTheSessionsState) {
  for (const bool on : {false, true}) {
    services().calls.clear();
    services().secureInput = on;
    EXPECT_EQ(platform->secureEventInput(), on);
    EXPECT_EQ(services().calls, std::vector<std::string>{"IsSecureEventInputEnabled"});
  }
}

TEST_F(MacPlatformTest, FrontmostApplicationIsReadAfterThePendingWorkspaceNews) {
  services().pendingSources = 3;
  services().frontmost = RunningApp{501, "com.apple.Terminal"};
  const std::optional<RunningApp> app = platform->frontmostApplication();
  ASSERT_TRUE(app);
  EXPECT_EQ(app->pid, 501);
  EXPECT_EQ(app->bundleId, "com.apple.Terminal");
  EXPECT_EQ(services().pendingWhenFrontmostRead, 0) << "read before the run loop caught up";
  const std::string pass = "CFRunLoopRunInMode kCFRunLoopDefaultMode 0.000000 true";
  EXPECT_EQ(services().calls,
            (std::vector<std::string>{pass, pass, pass, pass, "NSWorkspace frontmostApplication"}));

  // A source that is always ready cannot hold the answer up.
  services().calls.clear();
  services().pendingSources = 1000;
  EXPECT_TRUE(platform->frontmostApplication());
  EXPECT_EQ(services().calls.size(), 65u);
  EXPECT_EQ(services().calls.back(), "NSWorkspace frontmostApplication");
}

TEST_F(MacPlatformTest, ApplicationsOwnPidAndReleasePoolComeFromTheBridge) {
  services().running = RunningApp{77, std::nullopt};
  services().ownPid = 1234;
  EXPECT_EQ(platform->runningApplication(77)->bundleId, std::nullopt);
  EXPECT_EQ(platform->ownPid(), 1234);
  { const ReleasePoolScope pool(*platform); }
  EXPECT_EQ(services().calls, (std::vector<std::string>{
                                  "NSRunningApplication runningApplicationWithProcessIdentifier 77",
                                  "NSProcessInfo processIdentifier",
                                  "objc_autoreleasePoolPush",
                                  "objc_autoreleasePoolPop 20480",
                              }));
}

TEST_F(MacPlatformTest, TrustClockAndTokenAreThePlatformsOwn) {
  for (const bool trusted : {false, true}) {
    services().trusted = trusted;
    EXPECT_EQ(platform->isProcessTrusted(), trusted);
  }
  services().absoluteTime = 789000000.25;
  EXPECT_EQ(platform->now(), 789000000.25);

  // CFUUIDCreateString writes upper case, the path every capture takes on a Mac; lower case is
  // accepted and raised all the same.
  for (const std::u16string& text : {std::u16string(u"0F8C5E52-1B5A-4C1F-9E1A-7A2B3C4D5E6F"),
                                     std::u16string(u"0f8c5e52-1b5a-4c1f-9e1a-7a2b3c4d5e6f")}) {
    services().calls.clear();
    services().uuidText = text;
    EXPECT_EQ(platform->newUuid(), "0F8C5E52-1B5A-4C1F-9E1A-7A2B3C4D5E6F");
    EXPECT_EQ(services().calls, (std::vector<std::string>{"CFUUIDCreate", "CFUUIDCreateString"}));
    EXPECT_EQ(fake::liveObjects(), 0u) << "the UUID and its string are released";
  }
}

using MacPlatformDeathTest = MacPlatformTest;

TEST_F(MacPlatformDeathTest, NoTokenIsInventedWhenThePlatformGivesNone) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::u16string malformed[] = {u"0F8C5E52-1B5A-4C1F-9E1A",
                                      u"0F8C5E52_1B5A_4C1F_9E1A_7A2B3C4D5E6F",
                                      u"0F8C5E52-1B5A-4C1F-9E1A-7A2B3C4D5E6G"};
  for (const std::u16string& text : malformed) {
    services().uuidText = text;
    EXPECT_DEATH(platform->newUuid(), "");
  }
  services().uuidFails = true;
  EXPECT_DEATH(platform->newUuid(), "");
  services().uuidFails = false;
  services().uuidText = u"0F8C5E52-1B5A-4C1F-9E1A-7A2B3C4D5E6F";
}

TEST(CfRefTest, EachOwnerReleasesExactlyTheReferenceItHolds) {
  using macos::CfRef;
  fake::reset();
  CFTypeRef made = fake::makeOther();
  {
    auto adopted = CfRef<CFTypeRef>::adopt(made);
    EXPECT_EQ(fake::referenceCount(made), 1) << "adopt takes over, it does not retain";
    auto retained = CfRef<CFTypeRef>::retain(made);
    EXPECT_EQ(fake::referenceCount(made), 2);
    CfRef<CFTypeRef> moved = std::move(retained);
    EXPECT_FALSE(retained);  // NOLINT(bugprone-use-after-move): a moved-from owner is empty
    EXPECT_EQ(fake::referenceCount(made), 2);
    CFTypeRef detached = moved.detach();
    EXPECT_EQ(fake::referenceCount(made), 2);
    CFRelease(detached);
  }
  EXPECT_EQ(fake::liveObjects(), 0u);
  EXPECT_TRUE(CfRef<CFTypeRef>::adopt(nullptr).get() == nullptr);
  EXPECT_EQ(fake::services().faults, 0);
}

TEST(CfRefDeathTest, OutParameterOfAFullOwnerIsRefused) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  fake::reset();
  auto full = macos::CfRef<CFTypeRef>::adopt(fake::makeOther());
  EXPECT_DEATH(static_cast<void>(full.out()), "");
  macos::CfRef<CFTypeRef> empty;
  EXPECT_NE(empty.out(), nullptr);
}

}  // namespace
}  // namespace caretsafe
