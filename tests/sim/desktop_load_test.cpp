// Reading the desktop: the forms of attribute values, what makes a desktop invalid (it then
// counts as missing: empty and untrusted), and strings with lone surrogates.

#include <gtest/gtest.h>

#include <string>

#include "platform/sim/json_text.h"
#include "sim_support.h"
#include "text/utf.h"

namespace caretsafe::sim {
namespace {

using nlohmann::json;
using testing::describe;
using testing::smallDesktop;

// The desktop with one attribute of "body" set to the value.
json withBodyAttribute(const char* name, const json& value) {
  json desktop = smallDesktop();
  desktop["elements"]["body"]["attributes"][name] = value;
  return desktop;
}

AttributeRead readBody(SimDesktop& desktop, const char* attribute) {
  const Element app = desktop.createApplication(501);
  const AttributeRead focus = desktop.copyAttributeValue(app, "AXFocusedUIElement");
  const Element* body = std::get_if<Element>(&focus.value);
  if (body == nullptr) return {-1, NoValue{}};
  return desktop.copyAttributeValue(*body, attribute);
}

struct FormRow {
  const char* name;
  json value;
  std::string read;  // as `describe` writes it
  bool loads;        // whether a desktop file may hold it (otherwise only a patch can)
};

class AttributeForms : public ::testing::TestWithParam<FormRow> {};

TEST_P(AttributeForms, ReadAsTheTableSays) {
  const FormRow& row = GetParam();
  SimDesktop loaded(withBodyAttribute("AXProbe", row.value));
  EXPECT_EQ(loaded.isProcessTrusted(), row.loads);
  if (row.loads) {
    EXPECT_EQ(describe(readBody(loaded, "AXProbe")), row.read);
  }

  // Whatever a merge patch leaves there is read, never rejected.
  SimDesktop patched(smallDesktop());
  patched.patch({{"elements", {{"body", {{"attributes", {{"AXProbe", row.value}}}}}}}});
  EXPECT_EQ(describe(readBody(patched, "AXProbe")), row.read);
  EXPECT_EQ(patched.liveElementReferences(), 0u);
}

const FormRow kFormRows[] = {
    {.name = "Text", .value = "caf\xC3\xA9", .read = "text:caf<e9>", .loads = true},
    {.name = "EmptyText", .value = "", .read = "text:", .loads = true},
    {.name = "AstralTextCountsTwoUnits",
     .value = "\xF0\x9F\x98\x80",
     .read = "text:<d83d><de00>",
     .loads = true},
    {.name = "True", .value = true, .read = "bool:true", .loads = true},
    {.name = "False", .value = false, .read = "bool:false", .loads = true},
    {.name = "Integer", .value = 3, .read = "number:3", .loads = true},
    {.name = "Float", .value = 2.5, .read = "number:2.5", .loads = true},
    {.name = "NoneAsObject", .value = {{"none", true}}, .read = "none", .loads = true},
    {.name = "Range", .value = {{"range", {3, 2}}}, .read = "axvalue:4:3,2", .loads = true},
    {.name = "NegativeRange",
     .value = {{"range", {-1, 0}}},
     .read = "axvalue:4:-1,0",
     .loads = true},
    {.name = "Point", .value = {{"point", {1.5, 2}}}, .read = "axvalue:1", .loads = true},
    {.name = "Size", .value = {{"size", {10, 20}}}, .read = "axvalue:2", .loads = true},
    {.name = "Element", .value = {{"element", "shell"}}, .read = "element", .loads = true},
    {.name = "Error", .value = {{"error", -25212}}, .read = "error:-25212", .loads = true},
    {.name = "FormWithAnUnknownMember",
     .value = {{"range", {1, 0}}, {"note", "x"}},
     .read = "axvalue:4:1,0",
     .loads = true},
    {.name = "RangeOfOneNumber", .value = {{"range", {1}}}, .read = "other", .loads = false},
    {.name = "RangeOfFractions", .value = {{"range", {1.5, 0}}}, .read = "other", .loads = false},
    {.name = "TwoForms",
     .value = {{"range", {1, 0}}, {"point", {1, 0}}},
     .read = "other",
     .loads = false},
    {.name = "NoneFalse", .value = {{"none", false}}, .read = "other", .loads = false},
    {.name = "ErrorZero", .value = {{"error", 0}}, .read = "other", .loads = false},
    {.name = "ElementNotText", .value = {{"element", 5}}, .read = "other", .loads = false},
    {.name = "EmptyObject", .value = json::object(), .read = "other", .loads = false},
    {.name = "Array", .value = {1, 2}, .read = "other", .loads = false},
};

INSTANTIATE_TEST_SUITE_P(Table, AttributeForms, ::testing::ValuesIn(kFormRows),
                         [](const auto& test) { return std::string(test.param.name); });

TEST(AttributeForms, NullReadsAsNoValueAndAnUnlistedAttributeIsUnsupported) {
  // null cannot go through a merge patch, so it is checked on a loaded desktop only.
  SimDesktop desktop(withBodyAttribute("AXSubrole", nullptr));
  EXPECT_EQ(describe(readBody(desktop, "AXSubrole")), "none");
  EXPECT_EQ(describe(readBody(desktop, "AXTitle")), "error:-25205");
}

TEST(Elements, IdsNameElementsAndApplications) {
  json desktop = smallDesktop();
  desktop["apps"]["501"]["attributes"]["AXChildren"] = {{"element", "gone"}};
  desktop["apps"]["501"]["attributes"]["AXParentApp"] = {{"element", "app:601"}};
  desktop["frontmost"] = 502;  // frontmost without an `apps` entry
  desktop["elements"]["body"]["app"] = 502;
  SimDesktop sim(desktop);

  const Element app501 = sim.createApplication(501);
  const AttributeRead gone = sim.copyAttributeValue(app501, "AXChildren");
  ASSERT_EQ(describe(gone), "element");
  const Element& goneElement = std::get<Element>(gone.value);
  EXPECT_EQ(describe(sim.copyAttributeValue(goneElement, "AXValue")), "error:-25202");
  EXPECT_EQ(sim.isAttributeSettable(goneElement, "AXSelectedText").error, -25202);
  EXPECT_EQ(sim.setAttributeValue(goneElement, "AXSelectedText", u"x"), -25202);

  // An element read from an attribute and one made for the pid are the same element.
  const AttributeRead parent = sim.copyAttributeValue(app501, "AXParentApp");
  ASSERT_EQ(describe(parent), "element");
  EXPECT_TRUE(sim.elementsEqual(std::get<Element>(parent.value), sim.createApplication(601)));
  EXPECT_FALSE(sim.elementsEqual(app501, sim.createApplication(601)));
  EXPECT_FALSE(sim.elementsEqual(Element(), Element()));

  // The frontmost application runs although `apps` does not list it: no bundle identifier, no
  // attributes. A pid that is neither listed nor frontmost names no application.
  ASSERT_TRUE(sim.frontmostApplication().has_value());
  EXPECT_EQ(sim.frontmostApplication()->bundleId, std::nullopt);
  EXPECT_EQ(sim.runningApplication(502)->pid, 502);
  EXPECT_EQ(describe(sim.copyAttributeValue(sim.createApplication(502), "AXFocusedUIElement")),
            "error:-25205");
  EXPECT_FALSE(sim.runningApplication(503).has_value());
  EXPECT_EQ(describe(sim.copyAttributeValue(sim.createApplication(503), "AXRole")), "error:-25202");
}

struct InvalidRow {
  const char* name;
  std::string text;  // the desktop file
};

class InvalidDesktops : public testing::FileFixture,
                        public ::testing::WithParamInterface<InvalidRow> {};

// A desktop file that is not valid counts as missing: nothing runs and nothing is trusted.
TEST_P(InvalidDesktops, CountAsMissing) {
  replaceDesktop(GetParam().text);
  const auto sim = SimDesktop::fromFile(desktopPath(), std::nullopt);
  EXPECT_FALSE(sim->isProcessTrusted());
  EXPECT_FALSE(sim->frontmostApplication().has_value());
  EXPECT_FALSE(sim->runningApplication(501).has_value());
  EXPECT_EQ(sim->ownPid(), 1);
  EXPECT_EQ(sim->parentPid(), std::nullopt);
  EXPECT_EQ(sim->modifierFlags(), 0u);
  EXPECT_EQ(describe(sim->copyAttributeValue(sim->createApplication(501), "AXFocusedUIElement")),
            "error:-25202");
}

// A valid desktop that the row edits by replacing `from` with `to` in its text.
std::string edited(const std::string& from, const std::string& to) {
  std::string text = R"({"frontmost": 501, "apps": {"501": {"attributes": {}}},
    "elements": {"body": {"app": 501, "attributes": {"AXValue": "v"},
                          "settable": {"AXSelectedText": true}, "onWrite": "insert"}},
    "schedule": [{"afterOps": 1, "patch": {}}]})";
  const auto at = text.find(from);
  if (at == std::string::npos) return "the row's text does not occur";
  return text.replace(at, from.size(), to);
}

// The valid desktop with one more top-level member.
std::string withTop(const std::string& member) {
  return edited("{\"frontmost\"", "{" + member + ", \"frontmost\"");
}

INSTANTIATE_TEST_SUITE_P(
    Table, InvalidDesktops,
    ::testing::Values(
        InvalidRow{"Empty", ""}, InvalidRow{"NotJson", "trusted: true"},
        InvalidRow{"TrailingComma", R"({"trusted": true,})"},
        InvalidRow{"TwoValues", R"({"trusted": true} {})"}, InvalidRow{"TopLevelArray", "[]"},
        InvalidRow{"NulByteAfterTheValue", std::string(R"({"frontmost": 501})") + '\0'},
        InvalidRow{"NulByteInAString", edited("\"v\"", std::string("\"v\0w\"", 5))},
        InvalidRow{"RawInvalidUtf8", edited("\"v\"", "\"\xC3\x28\"")},
        InvalidRow{"RawSurrogateBytes", edited("\"v\"", "\"\xED\xA0\x80\"")},
        InvalidRow{"BadEscape", edited("\"v\"", R"("\x41")")},
        InvalidRow{"NumberTooLarge", edited("\"v\"", "1e400")},
        InvalidRow{"NestedTooDeep", edited("\"v\"", std::string(300, '[') + std::string(300, ']'))},
        InvalidRow{"ElementWithoutApp", edited("\"app\": 501,", "")},
        InvalidRow{"ElementAppNotAPid", edited("\"app\": 501", "\"app\": \"501\"")},
        InvalidRow{"ElementIdBeginningWithApp", edited("\"body\"", "\"app:body\"")},
        InvalidRow{"ScheduleEntryWithoutTrigger", edited("\"afterOps\": 1,", "")},
        InvalidRow{"ScheduleEntryWithTwoTriggers",
                   edited("\"afterOps\": 1", "\"afterOps\": 1, \"afterPosts\": 1")},
        InvalidRow{"ScheduleEntryWithoutPatch", edited(", \"patch\": {}", "")},
        InvalidRow{"ScheduleCountNegative", edited("\"afterOps\": 1", "\"afterOps\": -1")},
        InvalidRow{"ScheduleNotAnArray", edited(R"([{"afterOps": 1, "patch": {}}])", "{}")},
        InvalidRow{"TrustedAsText", withTop(R"("trusted": "yes")")},
        InvalidRow{"FrontmostFraction", edited("\"frontmost\": 501", "\"frontmost\": 501.5")},
        InvalidRow{"FrontmostBeyond32Bits",
                   edited("\"frontmost\": 501", "\"frontmost\": 2147483648")},
        InvalidRow{"ModifiersNegative", withTop(R"("modifiers": -1)")},
        InvalidRow{"ParentPidAsText", withTop(R"("parentPid": "1")")},
        InvalidRow{"SecureInputAsNumber", withTop(R"("secureInput": 1)")},
        InvalidRow{"ClockAsText", withTop(R"("clock": "now")")},
        InvalidRow{"AppKeyNotCanonical", edited("\"501\": {", "\"0501\": {")},
        InvalidRow{"AppKeyNotANumber", edited("\"501\": {", "\"notes\": {")},
        InvalidRow{"BundleIdNumber", edited("\"attributes\": {}", "\"bundleId\": 5")},
        InvalidRow{"HangAsText", edited("\"attributes\": {}", "\"hang\": \"yes\"")},
        InvalidRow{"AttributesNotAnObject", edited("\"attributes\": {}", "\"attributes\": []")},
        InvalidRow{"AttributeWithoutForm", edited("\"v\"", R"({"range": [1, 2, 3]})")},
        InvalidRow{"SettableNumber", edited("\"AXSelectedText\": true", "\"AXSelectedText\": 1")},
        InvalidRow{"SettableErrorZero",
                   edited("\"AXSelectedText\": true", "\"AXSelectedText\": {\"error\": 0}")},
        InvalidRow{"OnWriteUnknown", edited("\"insert\"", "\"append\"")},
        InvalidRow{"LimitNegative", edited("\"insert\"", R"({"limit": -1})")},
        InvalidRow{"EventCreationsNegative", withTop(R"("eventCreations": -1)")},
        InvalidRow{"AfterReadsZero", edited("\"insert\"", R"({"afterReads": 0})")},
        InvalidRow{"EngineUnknown", edited("\"attributes\": {}", "\"engine\": \"webkit\"")},
        InvalidRow{"RestartAsNumber",
                   edited(R"({"afterOps": 1, "patch": {}})",
                          R"({"afterSetting": {"attribute": "A", "pauses": 1, "restart": 1},
                              "patch": {}})")}),
    [](const auto& test) { return std::string(test.param.name); });

class ValidDesktops : public testing::FileFixture,
                      public ::testing::WithParamInterface<InvalidRow> {};

// The lenient side of the reader: what it accepts although it might look suspicious.
TEST_P(ValidDesktops, Load) {
  replaceDesktop(GetParam().text);
  const auto sim = SimDesktop::fromFile(desktopPath(), std::nullopt);
  EXPECT_TRUE(sim->isProcessTrusted());
  EXPECT_EQ(sim->frontmostApplication()->pid, 501);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ValidDesktops,
    ::testing::Values(
        InvalidRow{"AsWritten", edited("", "")},
        InvalidRow{"LateChangesAndTheBundlesEngine",
                   R"({"frontmost": 501, "apps": {"501": {"engine": "gecko"}},
                       "elements": {"f": {"app": 501, "onWrite": {"afterReads": 2},
                                          "onKeys": {"afterReads": 1}}},
                       "schedule": [{"afterSetting": {"attribute": "A", "pauses": 3,
                                                      "restart": true}, "patch": {}}]})"},
        InvalidRow{"UnknownMembersIgnored", withTop(R"("future": [1, {"x": null}])")},
        InvalidRow{"ByteOrderMark", "\xEF\xBB\xBF" + edited("", "")},
        InvalidRow{"IntegralFloatPid", edited("\"frontmost\": 501", "\"frontmost\": 501.0")},
        InvalidRow{"LastDuplicateMemberCounts",
                   edited("\"frontmost\": 501", "\"frontmost\": 9, \"frontmost\": 501")},
        InvalidRow{"LoneSurrogateEscape", edited("\"v\"", R"("\uD800")")},
        InvalidRow{"NestingAtTheBound",
                   edited("\"v\"", "{\"none\": true, \"x\": " + std::string(250, '[') +
                                       std::string(250, ']') + "}")}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(DesktopText, EscapesOfUnpairedSurrogatesBecomeLoneUnits) {
  struct Row {
    const char* name;
    const char* escaped;
    std::u16string units;
  };
  const Row rows[] = {
      {"lone high", R"(a\uD800b)",
       u"a\xD800"
       u"b"},
      {"lone low", R"(\uDC00)", u"\xDC00"},
      {"pair", R"(\uD83D\uDE00)", u"\xD83D\xDE00"},
      {"low then high", R"(\uDC00\uD800)", u"\xDC00\xD800"},
      {"high then a plain escape", R"(\uD800\u0041)",
       u"\xD800"
       u"A"},
      {"high at the end", R"(x\uDBFF)", u"x\xDBFF"},
      {"escaped NUL", R"(a\u0000b)", std::u16string(u"a\0b", 3)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const auto parsed = parseJsonText(
        std::string(R"({"apps": {"1": {"attributes": {"AXValue": ")") + row.escaped + "\"}}}}");
    ASSERT_TRUE(parsed.has_value());
    SimDesktop sim(*parsed);
    const AttributeRead value = sim.copyAttributeValue(sim.createApplication(1), "AXValue");
    EXPECT_EQ(describe(value), describe({kAxSuccess, row.units}));
  }
}

// The desktop holds its strings in UTF-8 that keeps lone surrogates; the shared decoder reads
// it with the flag that keeps them, and rejects the same bytes everywhere else.
TEST(DesktopText, TheSharedDecoderKeepsLoneSurrogatesOnlyWhenAsked) {
  using text::LoneSurrogates;
  struct Row {
    const char* name;
    std::string bytes;
    std::u16string kept;      // read with kKeep
    std::u16string replaced;  // read with kReplace
  };
  const Row rows[] = {
      {"lone high", "a\xED\xA0\x80", u"a\xD800", u"a\uFFFD\uFFFD\uFFFD"},
      {"lone low", "\xED\xBF\xBF", u"\xDFFF", u"\uFFFD\uFFFD\uFFFD"},
      {"a pair stays four bytes", "\xF0\x9F\x98\x80", u"\xD83D\xDE00", u"\xD83D\xDE00"},
      {"truncated", "\xED\xA0", u"\uFFFD", u"\uFFFD\uFFFD"},
      {"below the surrogates", "\xED\x9F\xBF", u"\uD7FF", u"\uD7FF"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(text::utf16FromUtf8(row.bytes, LoneSurrogates::kKeep), row.kept);
    EXPECT_EQ(text::utf16FromUtf8(row.bytes), row.replaced);
    EXPECT_EQ(text::isValidUtf8(row.bytes), row.kept == row.replaced);
  }
  // Back to UTF-8: kept as their own three bytes, or U+FFFD; a pair is one character.
  const std::u16string units = u"\xDC00x\xD83D\xDE00\xD800";
  EXPECT_EQ(text::utf8FromUtf16(units, LoneSurrogates::kKeep),
            "\xED\xB0\x80x\xF0\x9F\x98\x80\xED\xA0\x80");
  EXPECT_EQ(text::utf8FromUtf16(units), "\xEF\xBF\xBDx\xF0\x9F\x98\x80\xEF\xBF\xBD");
  EXPECT_EQ(
      text::utf16FromUtf8(text::utf8FromUtf16(units, LoneSurrogates::kKeep), LoneSurrogates::kKeep),
      units);

  EXPECT_EQ(text::hexUnit("d83D"), u'\xD83D');
  EXPECT_EQ(text::hexUnit("00e9"), u'\u00E9');
  for (const char* bad : {"", "12", "12345", "12g4", "-123", " 123"}) {
    EXPECT_EQ(text::hexUnit(bad), std::nullopt) << bad;
  }
}

}  // namespace
}  // namespace caretsafe::sim
