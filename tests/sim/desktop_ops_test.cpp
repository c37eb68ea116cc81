// The platform operations of the simulated desktop: the journal, writes, the schedule, hung
// applications, keyboard events and handle bookkeeping.

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "platform/sim/json_text.h"
#include "sim_support.h"

namespace caretsafe::sim {
namespace {

using nlohmann::json;
using testing::describe;
using testing::journalOf;
using testing::smallDesktop;

// The focused element of app 501, as focus discovery finds it.
Element focusedBody(SimDesktop& sim) {
  const AttributeRead focus =
      sim.copyAttributeValue(sim.createApplication(501), "AXFocusedUIElement");
  const Element* element = std::get_if<Element>(&focus.value);
  return element != nullptr ? *element : Element();
}

json bodyPatch(const json& members) {
  return {{"elements", {{"body", members}}}};
}

TEST(Journal, EachOperationWritesExactlyItsMembers) {
  json desktop = smallDesktop();
  desktop["modifiers"] = 131072;
  desktop["elements"]["body"]["attributes"]["AXValue"] = "Hi";
  desktop["elements"]["body"]["attributes"]["AXSelectedTextRange"] = {{"range", {2, 0}}};
  SimDesktop sim(desktop);

  sim.isProcessTrusted();
  sim.frontmostApplication();
  sim.runningApplication(501);
  sim.runningApplication(601);
  sim.runningApplication(9);
  const Element app = sim.createApplication(501);
  sim.setMessagingTimeout(app, 0.6f);
  const Element body = std::get<Element>(sim.copyAttributeValue(app, "AXFocusedUIElement").value);
  sim.isAttributeSettable(body, "AXSelectedText");
  sim.setAttributeValue(body, "AXSelectedText", u"\xD800\n\"");
  sim.setAttributeValue(body, "AXTitle", u"x");
  sim.modifierFlags();
  KeyEvent down = sim.createKeyboardEvent(0, true);
  sim.setUnicodeString(down, u"\xD83D\xDE00");
  sim.setFlags(down, 0);
  sim.postToPid(601, down);
  // Operations that only show through others' members, or not at all.
  sim.ownPid();
  sim.now();
  sim.newUuid();
  sim.elementsEqual(app, body);
  { const Element copy = body; }

  const std::vector<std::string> expected = {
      R"({"op":"isProcessTrusted","result":true})",
      R"({"op":"frontmostApplication","result":501})",
      R"({"op":"runningApplication","pid":501,"result":"com.example.Notes"})",
      R"({"op":"runningApplication","pid":601,"result":null})",
      R"({"op":"runningApplication","pid":9,"result":false})",
      R"({"op":"createApplication","pid":501,"element":"app:501"})",
      R"({"op":"setMessagingTimeout","element":"app:501","seconds":0.6})",
      R"({"op":"copyAttributeValue","element":"app:501","attribute":"AXFocusedUIElement","error":0})",
      R"({"op":"isAttributeSettable","element":"body","attribute":"AXSelectedText","error":0,"settable":true})",
      R"({"op":"setAttributeValue","element":"body","attribute":"AXSelectedText","value":"\ud800\n\"","error":0,"fieldValue":"Hi\ud800\n\""})",
      R"({"op":"setAttributeValue","element":"body","attribute":"AXTitle","value":"x","error":-25205,"fieldValue":"Hi\ud800\n\""})",
      R"({"op":"flagsState","result":131072})",
      R"({"op":"createKeyboardEvent","keyDown":true,"virtualKey":0,"created":true})",
      "{\"op\":\"postToPid\",\"pid\":601,\"keyDown\":true,\"text\":\"\xF0\x9F\x98\x80\","
      "\"virtualKey\":0,\"flags\":0}",
  };
  EXPECT_EQ(sim.journal(), expected);
  sim.clearJournal();
  EXPECT_TRUE(sim.journal().empty());
}

struct WriteRow {
  const char* name;
  json value{};      // "AXValue" before; null: absent
  json selection{};  // "AXSelectedTextRange" before; null: absent
  json onWrite{};    // null: absent
  std::u16string text;
  AxError error = kAxSuccess;
  json after{};       // "AXValue" after (null: absent)
  json caretAfter{};  // "AXSelectedTextRange" after (null: absent)
  const char* attribute = "AXSelectedText";
};

json range(std::int64_t location, std::int64_t length) {
  return {{"range", {location, length}}};
}

class Writes : public ::testing::TestWithParam<WriteRow> {};

TEST_P(Writes, DoWhatOnWriteSays) {
  const WriteRow& row = GetParam();
  json desktop = smallDesktop();
  json& body = desktop["elements"]["body"];
  body["attributes"].erase("AXValue");
  body["attributes"].erase("AXSelectedTextRange");
  if (!row.value.is_null()) body["attributes"]["AXValue"] = row.value;
  if (!row.selection.is_null()) body["attributes"]["AXSelectedTextRange"] = row.selection;
  if (!row.onWrite.is_null()) body["onWrite"] = row.onWrite;
  SimDesktop sim(desktop);
  ASSERT_TRUE(sim.isProcessTrusted());

  EXPECT_EQ(sim.setAttributeValue(focusedBody(sim), row.attribute, row.text), row.error);
  EXPECT_EQ(sim.attribute("body", "AXValue").value_or(json()), row.after);
  EXPECT_EQ(sim.attribute("body", "AXSelectedTextRange").value_or(json()), row.caretAfter);
  // Read back with the desktop's own reader, which keeps lone surrogates.
  const auto line = parseJsonText(sim.journal().back());
  ASSERT_TRUE(line.has_value());
  EXPECT_EQ(line->at("fieldValue"), row.after);
}

const std::string kGrin = "\xF0\x9F\x98\x80";  // two UTF-16 units

const WriteRow kWriteRows[] = {
    {.name = "InsertAtTheCaret",
     .value = "Hello",
     .selection = range(5, 0),
     .text = u"!",
     .after = "Hello!",
     .caretAfter = range(6, 0)},
    {.name = "InsertReplacesTheSelection",
     .value = "Hello",
     .selection = range(1, 3),
     .onWrite = "insert",
     .text = u"EY",
     .after = "HEYo",
     .caretAfter = range(3, 0)},
    {.name = "InsertCountsUnitsNotBytes",
     .value = kGrin + "b",
     .selection = range(2, 0),
     .onWrite = "insert",
     .text = u"a",
     .after = kGrin + "ab",
     .caretAfter = range(3, 0)},
    {.name = "DecomposeStoresFormD",
     .value = "",
     .selection = range(0, 0),
     .onWrite = "decompose",
     .text = u"caf\u00E9",
     .after = "cafe\xCC\x81",
     .caretAfter = range(5, 0)},
    {.name = "DecomposeKeepsLoneSurrogates",
     .value = "",
     .selection = range(0, 0),
     .onWrite = "decompose",
     .text = u"\u00E9\xD800\u00E9",
     .after = "e\xCC\x81\xED\xA0\x80"
              "e\xCC\x81",
     .caretAfter = range(5, 0)},
    {.name = "AlterSwapsAsciiCase",
     .value = "x",
     .selection = range(1, 0),
     .onWrite = "alter",
     .text = u"aB1\u00E9",
     .after = "xAb1\xC3\xA9",
     .caretAfter = range(5, 0)},
    {.name = "LimitCutsTheValue",
     .value = "Hello",
     .selection = range(5, 0),
     .onWrite = {{"limit", 6}},
     .text = u"!!",
     .after = "Hello!",
     .caretAfter = range(6, 0)},
    {.name = "LimitCaretAtTheEndOfTheText",
     .value = "Hello",
     .selection = range(0, 0),
     .onWrite = {{"limit", 3}},
     .text = u"ab",
     .after = "abH",
     .caretAfter = range(2, 0)},
    {.name = "LimitNeverSplitsAPair",
     .value = "ab",
     .selection = range(2, 0),
     .onWrite = {{"limit", 3}},
     .text = u"\xD83D\xDE00",
     .after = "ab",
     .caretAfter = range(2, 0)},
    {.name = "LimitRightAfterAPair",
     .value = "ab",
     .selection = range(2, 0),
     .onWrite = {{"limit", 4}},
     .text = u"\xD83D\xDE00x",
     .after = "ab" + kGrin,
     .caretAfter = range(4, 0)},
    {.name = "LimitAboveTheLength",
     .value = "ab",
     .selection = range(1, 0),
     .onWrite = {{"limit", 100}},
     .text = u"X",
     .after = "aXb",
     .caretAfter = range(2, 0)},
    {.name = "IgnoreChangesNothing",
     .value = "Hello",
     .selection = range(5, 0),
     .onWrite = "ignore",
     .text = u"!",
     .after = "Hello",
     .caretAfter = range(5, 0)},
    {.name = "ErrorAnswersItsCode",
     .value = "Hello",
     .selection = range(5, 0),
     .onWrite = {{"error", -25204}},
     .text = u"!",
     .error = -25204,
     .after = "Hello",
     .caretAfter = range(5, 0)},
    {.name = "ErrorComesBeforeTheFieldChecks",
     .value = 5,
     .onWrite = {{"error", -25211}},
     .text = u"!",
     .error = -25211,
     .after = 5},
    {.name = "ValueNotText",
     .value = 5,
     .selection = range(0, 0),
     .text = u"!",
     .error = -25200,
     .after = 5,
     .caretAfter = range(0, 0)},
    {.name = "ValueAbsent",
     .selection = range(0, 0),
     .text = u"!",
     .error = -25200,
     .caretAfter = range(0, 0)},
    {.name = "SelectionAbsent", .value = "Hello", .text = u"!", .error = -25200, .after = "Hello"},
    {.name = "SelectionNotARange",
     .value = "Hello",
     .selection = {{"point", {0, 0}}},
     .text = u"!",
     .error = -25200,
     .after = "Hello",
     .caretAfter = {{"point", {0, 0}}}},
    {.name = "SelectionPastTheEnd",
     .value = "Hello",
     .selection = range(6, 0),
     .text = u"!",
     .error = -25200,
     .after = "Hello",
     .caretAfter = range(6, 0)},
    {.name = "SelectionRunsPastTheEnd",
     .value = "Hello",
     .selection = range(4, 2),
     .text = u"!",
     .error = -25200,
     .after = "Hello",
     .caretAfter = range(4, 2)},
    {.name = "SelectionNegative",
     .value = "Hello",
     .selection = range(-1, 0),
     .text = u"!",
     .error = -25200,
     .after = "Hello",
     .caretAfter = range(-1, 0)},
    {.name = "AnotherAttribute",
     .value = "Hello",
     .selection = range(5, 0),
     .text = u"!",
     .error = -25205,
     .after = "Hello",
     .caretAfter = range(5, 0),
     .attribute = "AXValue"},
};

INSTANTIATE_TEST_SUITE_P(Table, Writes, ::testing::ValuesIn(kWriteRows),
                         [](const auto& test) { return std::string(test.param.name); });

TEST(Writes, DeferredChangeLandsRightAfterTheNextReadOfTheValue) {
  SimDesktop sim(smallDesktop());
  sim.patch(bodyPatch({{"onWrite", "deferred"}}));
  const Element body = focusedBody(sim);

  EXPECT_EQ(sim.setAttributeValue(body, "AXSelectedText", u"!"), 0);
  EXPECT_EQ(journalOf(sim).back().at("fieldValue"), "Hello");
  // The change keeps the selection of the write, wherever the caret went since.
  sim.patch(bodyPatch({{"attributes", {{"AXSelectedTextRange", range(0, 0)}}}}));
  EXPECT_EQ(describe(sim.copyAttributeValue(body, "AXRole")), "text:AXTextArea");
  EXPECT_EQ(sim.attribute("body", "AXValue"), json("Hello"));

  EXPECT_EQ(describe(sim.copyAttributeValue(body, "AXValue")), "text:Hello");
  EXPECT_EQ(sim.attribute("body", "AXValue"), json("Hello!"));
  EXPECT_EQ(sim.attribute("body", "AXSelectedTextRange"), range(6, 0));
  EXPECT_EQ(describe(sim.copyAttributeValue(body, "AXValue")), "text:Hello!");
}

TEST(Writes, DeferredChangeFollowsEvenAFailedRead) {
  SimDesktop sim(smallDesktop());
  sim.setWait([](double) {});
  sim.patch(bodyPatch({{"onWrite", "deferred"}}));
  const Element body = focusedBody(sim);
  EXPECT_EQ(sim.setAttributeValue(body, "AXSelectedText", u"!"), 0);
  sim.patch({{"apps", {{"501", {{"hang", true}}}}}});
  EXPECT_EQ(describe(sim.copyAttributeValue(body, "AXValue")), "error:-25204");
  EXPECT_EQ(sim.attribute("body", "AXValue"), json("Hello!"));
}

TEST(Writes, AfterReadsLandsAfterTheNthReadOfValueOrSelectionAtTheSelectionThen) {
  SimDesktop sim(smallDesktop());
  sim.patch(bodyPatch({{"onWrite", {{"afterReads", 3}}}, {"onKeys", {{"afterReads", 2}}}}));
  const Element body = focusedBody(sim);
  EXPECT_EQ(sim.setAttributeValue(body, "AXSelectedText", u"!"), 0);
  EXPECT_EQ(journalOf(sim).back().at("fieldValue"), "Hello");
  // Other attributes do not count; the value and the selection do, and the change lands right
  // after the third, at the selection the field has then.
  sim.copyAttributeValue(body, "AXRole");
  sim.copyAttributeValue(body, "AXValue");
  sim.patch(bodyPatch({{"attributes", {{"AXSelectedTextRange", range(0, 0)}}}}));
  EXPECT_EQ(describe(sim.copyAttributeValue(body, "AXSelectedTextRange")), "axvalue:4:0,0");
  EXPECT_EQ(describe(sim.copyAttributeValue(body, "AXValue")), "text:Hello");
  EXPECT_EQ(sim.attribute("body", "AXValue"), json("!Hello"));
  EXPECT_EQ(sim.attribute("body", "AXSelectedTextRange"), range(1, 0));

  // Keys posted to the application reach its focused element the same way, one after another,
  // each at the caret the field has when it lands.
  KeyEvent a = sim.createKeyboardEvent(0, true);
  sim.setUnicodeString(a, u"a");
  KeyEvent b = sim.createKeyboardEvent(0, true);
  sim.setUnicodeString(b, u"b");
  sim.postToPid(501, a);
  sim.postToPid(501, b);
  EXPECT_EQ(describe(sim.copyAttributeValue(body, "AXSelectedTextRange")), "axvalue:4:1,0");
  EXPECT_EQ(sim.attribute("body", "AXValue"), json("!Hello"));
  EXPECT_EQ(describe(sim.copyAttributeValue(body, "AXValue")), "text:!Hello");
  EXPECT_EQ(sim.attribute("body", "AXValue"), json("!abHello"));
  EXPECT_EQ(sim.attribute("body", "AXSelectedTextRange"), range(3, 0));
}

// A field whose keys lose the high bits of a character above U+FFFF says so when asked, and a
// key for one types its low 16 bits; other characters arrive as they are.
TEST(Keys, AFieldWithoutAstralKeysGetsTheLowBits) {
  SimDesktop sim(smallDesktop());
  sim.patch(bodyPatch({{"onKeys", "insert"}}));
  const Element body = focusedBody(sim);
  EXPECT_TRUE(sim.typesAstral(body));
  sim.patch(bodyPatch({{"astralKeys", false}}));
  const std::size_t journaled = journalOf(sim).size();
  EXPECT_FALSE(sim.typesAstral(body));
  // Asking is not journaled.
  EXPECT_EQ(journalOf(sim).size(), journaled);
  KeyEvent key = sim.createKeyboardEvent(0, true);
  sim.setUnicodeString(key, u"\U0001F600\u00E9");
  sim.postToPid(501, key);
  EXPECT_EQ(sim.attribute("body", "AXValue"), json("Hello\xEF\x98\x80\xC3\xA9"));
}

TEST(Schedule, AfterSettingWithRestartCountsFromTheLatestSettingAndFiresOnce) {
  json desktop = smallDesktop();
  desktop["apps"]["501"]["attributes"]["AXEnhancedUserInterface"] = false;
  desktop["schedule"] = json::parse(R"([
    {"afterSetting": {"attribute": "AXEnhancedUserInterface", "pauses": 2, "restart": true},
     "patch": {"modifiers": 8}},
    {"afterSetting": {"attribute": "AXEnhancedUserInterface", "pauses": 3},
     "patch": {"trusted": false}}])");
  SimDesktop sim(desktop);
  sim.setWait([](double) {});
  const Element app = sim.createApplication(501);
  sim.setFlagAttribute(app, "AXEnhancedUserInterface", true);
  sim.pause(0.1);
  sim.setFlagAttribute(app, "AXEnhancedUserInterface", true);  // starts the count again
  sim.pause(0.1);
  EXPECT_EQ(sim.modifierFlags(), 0u);
  sim.pause(0.1);
  // Three pauses since the first setting, two since the latest: both fire.
  EXPECT_EQ(sim.modifierFlags(), 8u);
  EXPECT_FALSE(sim.isProcessTrusted());
  // Reached again after another setting, the restarting entry does not fire twice.
  sim.patch({{"modifiers", 0}});
  sim.setFlagAttribute(app, "AXEnhancedUserInterface", true);
  sim.pause(0.1);
  sim.pause(0.1);
  EXPECT_EQ(sim.modifierFlags(), 0u);
}

TEST(Schedule, AfterPausesCountsTheProgramsWaits) {
  json desktop = smallDesktop();
  desktop["schedule"] = {{{"afterPauses", 2}, {"patch", {{"modifiers", 8}}}}};
  SimDesktop sim(desktop);
  sim.setWait([](double) {});
  sim.isProcessTrusted();  // other operations do not count
  sim.pause(0.01);
  EXPECT_EQ(sim.modifierFlags(), 0u);
  sim.pause(0.01);
  EXPECT_EQ(sim.modifierFlags(), 8u);
}

TEST(Journal, WebEngineNamesWhatTheBundleHolds) {
  json desktop = smallDesktop();
  desktop["apps"]["501"]["engine"] = "chromium";
  desktop["apps"]["601"]["engine"] = "gecko";
  SimDesktop sim(desktop);
  EXPECT_EQ(sim.webEngine(501), WebEngine::kChromium);
  EXPECT_EQ(sim.webEngine(601), WebEngine::kGecko);
  EXPECT_EQ(sim.webEngine(9), WebEngine::kNone);
  const std::vector<std::string> expected = {
      R"({"op":"webEngine","pid":501,"result":"chromium"})",
      R"({"op":"webEngine","pid":601,"result":"gecko"})",
      R"({"op":"webEngine","pid":9,"result":null})",
  };
  EXPECT_EQ(sim.journal(), expected);
}

TEST(Schedule, AfterOpsFiresRightAfterTheNthJournaledOperation) {
  json desktop = smallDesktop();
  desktop["schedule"] = {{{"afterOps", 3}, {"patch", {{"trusted", false}}}}};
  SimDesktop sim(desktop);
  sim.ownPid();  // not journaled, so not counted
  sim.now();
  EXPECT_TRUE(sim.isProcessTrusted());
  EXPECT_TRUE(sim.isProcessTrusted());
  EXPECT_TRUE(sim.isProcessTrusted());  // the third: the change comes right after it
  EXPECT_FALSE(sim.isProcessTrusted());
}

TEST(Schedule, AfterPostsCountsPostedEventsOnly) {
  json desktop = smallDesktop();
  desktop["schedule"] = {{{"afterPosts", 2}, {"patch", {{"modifiers", 8}}}},
                         {{"afterPosts", 3}, {"patch", {{"modifiers", 9}}}}};
  SimDesktop sim(desktop);
  KeyEvent event = sim.createKeyboardEvent(0, true);
  sim.postToPid(601, event);
  EXPECT_EQ(sim.modifierFlags(), 0u);
  sim.postToPid(601, event);
  EXPECT_EQ(sim.modifierFlags(), 8u);
  sim.postToPid(601, KeyEvent());  // nothing to post: not counted
  EXPECT_EQ(sim.modifierFlags(), 8u);
  sim.postToPid(601, event);
  EXPECT_EQ(sim.modifierFlags(), 9u);
}

TEST(Schedule, PatchesMergeAsRfc7386AndEachEntryFiresOnce) {
  json desktop = smallDesktop();
  desktop["elements"]["body"]["attributes"]["AXTitle"] = "Notes";
  desktop["schedule"] = {
      {{"afterOps", 1},
       {"patch",
        {{"frontmost", nullptr},  // null deletes
         {"elements", {{"body", {{"attributes", {{"AXTitle", nullptr}, {"AXValue", "Hi"}}}}}}}}}}};
  SimDesktop sim(desktop);
  const Element app = sim.createApplication(501);  // op 1
  EXPECT_FALSE(sim.frontmostApplication().has_value());
  const Element body = std::get<Element>(sim.copyAttributeValue(app, "AXFocusedUIElement").value);
  EXPECT_EQ(describe(sim.copyAttributeValue(body, "AXTitle")), "error:-25205");
  EXPECT_EQ(describe(sim.copyAttributeValue(body, "AXValue")), "text:Hi");
  EXPECT_EQ(describe(sim.copyAttributeValue(body, "AXRole")), "text:AXTextArea");  // kept

  sim.patch({{"frontmost", 501}});
  for (int i = 0; i < 3; ++i) EXPECT_EQ(sim.frontmostApplication()->pid, 501);
}

// A patch merges into what the desktop holds, including what an earlier patch left without its
// form: such a member reads as absent until a later patch gives it its form again.
TEST(Schedule, APatchCanRepairWhatAnEarlierOneLeftWithoutItsForm) {
  SimDesktop sim(smallDesktop());
  const Element body = focusedBody(sim);
  sim.patch(bodyPatch({{"onWrite", {{"limit", 3}}}, {"attributes", {{"AXProbe", range(1, 0)}}}}));
  sim.patch(bodyPatch({{"onWrite", {{"error", -25211}}},  // two modes: none of them
                       {"attributes", {{"AXProbe", {{"point", {0, 0}}}}}}}));
  EXPECT_EQ(describe(sim.copyAttributeValue(body, "AXProbe")), "other");
  EXPECT_EQ(sim.setAttributeValue(body, "AXSelectedText", u"!"), 0);  // an insert
  EXPECT_EQ(sim.attribute("body", "AXValue"), json("Hello!"));

  sim.patch(bodyPatch(
      {{"onWrite", {{"limit", nullptr}}}, {"attributes", {{"AXProbe", {{"range", nullptr}}}}}}));
  EXPECT_EQ(describe(sim.copyAttributeValue(body, "AXProbe")), "axvalue:1");
  EXPECT_EQ(sim.setAttributeValue(body, "AXSelectedText", u"!"), -25211);

  sim.patch({{"trusted", "yes"}});  // formless: trusted, as when absent
  EXPECT_TRUE(sim.isProcessTrusted());
  sim.patch({{"elements", {{"body", 5}}}});
  EXPECT_EQ(describe(sim.copyAttributeValue(body, "AXRole")), "error:-25202");
  sim.patch(bodyPatch({{"app", 501}}));  // a new element, without the old one's attributes
  EXPECT_EQ(describe(sim.copyAttributeValue(body, "AXRole")), "error:-25205");
}

TEST(Schedule, AnEntryAddedByAPatchCountsFromTheLoad) {
  SimDesktop sim(smallDesktop());
  KeyEvent event = sim.createKeyboardEvent(0, true);
  sim.postToPid(601, event);
  sim.patch({{"schedule",
              {{{"afterPosts", 2}, {"patch", {{"modifiers", 4}}}},
               {{"afterPosts", 1}, {"patch", {{"modifiers", 5}}}}}}});
  sim.postToPid(601, event);
  EXPECT_EQ(sim.modifierFlags(), 4u);  // the first post was already counted; 1 never comes again
}

TEST(Hang, WaitsTheTimeoutOfTheHandleThenFails) {
  SimDesktop sim(smallDesktop());
  std::vector<double> waits;
  sim.setWait([&](double seconds) { waits.push_back(seconds); });
  const Element app = sim.createApplication(501);
  sim.setMessagingTimeout(app, 0.6f);
  const Element body = std::get<Element>(sim.copyAttributeValue(app, "AXFocusedUIElement").value);
  const Element again = std::get<Element>(sim.copyAttributeValue(app, "AXFocusedUIElement").value);
  sim.setMessagingTimeout(body, 0.25f);
  const Element sharedCopy = body;
  sim.patch({{"apps", {{"501", {{"hang", true}}}}}});

  EXPECT_EQ(describe(sim.copyAttributeValue(app, "AXFocusedUIElement")), "error:-25204");
  EXPECT_EQ(sim.isAttributeSettable(sharedCopy, "AXSelectedText").error, -25204);
  EXPECT_FALSE(sim.isAttributeSettable(again, "AXSelectedText").settable);
  EXPECT_EQ(sim.setAttributeValue(body, "AXSelectedText", u"!"), -25204);
  EXPECT_EQ(journalOf(sim).back().at("fieldValue"), "Hello");  // the field, though unreachable
  EXPECT_EQ(describe(sim.copyAttributeValue(sim.createApplication(501), "AXRole")), "error:-25204");
  sim.setMessagingTimeout(app, 0.0f);  // back to the default
  EXPECT_EQ(describe(sim.copyAttributeValue(app, "AXRole")), "error:-25204");
  // Other applications still answer, without a wait.
  EXPECT_EQ(describe(sim.copyAttributeValue(sim.createApplication(601), "AXRole")), "error:-25205");

  EXPECT_EQ(waits, (std::vector<double>{0.6, 0.25, 6.0, 0.25, 6.0, 6.0}));
  EXPECT_EQ(sim.attribute("body", "AXValue"), json("Hello"));
}

TEST(KeyboardEvents, CreationsAreLimitedPerLoad) {
  json desktop = smallDesktop();
  desktop["eventCreations"] = 2;
  SimDesktop sim(desktop);
  EXPECT_TRUE(sim.createKeyboardEvent(0, true));
  EXPECT_TRUE(sim.createKeyboardEvent(0, false));
  EXPECT_FALSE(sim.createKeyboardEvent(0, true));
  EXPECT_FALSE(sim.createKeyboardEvent(0, true));
  EXPECT_EQ(journalOf(sim).back(), (json{{"op", "createKeyboardEvent"},
                                         {"keyDown", true},
                                         {"virtualKey", 0},
                                         {"created", false}}));
  sim.patch({{"eventCreations", 3}});  // failed creations were not counted
  EXPECT_TRUE(sim.createKeyboardEvent(0, true));
  EXPECT_FALSE(sim.createKeyboardEvent(0, true));
}

TEST(Handles, LiveCountsFollowCreateCopyRetainAndRelease) {
  SimDesktop sim(smallDesktop());
  {
    const Element app = sim.createApplication(501);
    EXPECT_EQ(sim.liveElementReferences(), 1u);
    const AttributeRead focus = sim.copyAttributeValue(app, "AXFocusedUIElement");
    EXPECT_EQ(sim.liveElementReferences(), 2u);
    {
      const Element copy = std::get<Element>(focus.value);
      EXPECT_EQ(sim.liveElementReferences(), 3u);
      // A failed read hands back nothing to release.
      EXPECT_EQ(describe(sim.copyAttributeValue(copy, "AXNothing")), "error:-25205");
      EXPECT_EQ(sim.liveElementReferences(), 3u);
    }
    EXPECT_EQ(sim.liveElementReferences(), 2u);

    KeyEvent down = sim.createKeyboardEvent(0, true);
    KeyEvent up = sim.createKeyboardEvent(0, false);
    EXPECT_EQ(sim.liveKeyEvents(), 2u);
    down = std::move(up);
    EXPECT_EQ(sim.liveKeyEvents(), 1u);
  }
  EXPECT_EQ(sim.liveElementReferences(), 0u);
  EXPECT_EQ(sim.liveKeyEvents(), 0u);
}

TEST(Misc, ClockOwnPidAndTokens) {
  SimDesktop fixed(smallDesktop());
  EXPECT_EQ(fixed.now(), 800000000.5);
  EXPECT_EQ(fixed.ownPid(), 7);
  EXPECT_EQ(fixed.parentPid(), std::nullopt);  // absent: no process counts as the parent
  SimDesktop started(json{{"parentPid", 42}});
  EXPECT_EQ(started.parentPid(), 42);

  SimDesktop real(json::object());
  const double now = real.now();
  // 2024-01-01 and 2100-01-01 in seconds from 2001-01-01: the real clock, not the Unix epoch.
  EXPECT_GT(now, 725846400.0);
  EXPECT_LT(now, 3124224000.0);
  EXPECT_EQ(real.ownPid(), 1);

  const std::regex uuid("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
  const std::string first = real.newUuid();
  EXPECT_TRUE(std::regex_match(first, uuid)) << first;
  EXPECT_NE(first, real.newUuid());
}

}  // namespace
}  // namespace caretsafe::sim
