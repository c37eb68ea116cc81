// Typed and confirmed delivery into fields that take keys only, over the simulated desktop: the
// opt-in at capture, what is typed and how it is confirmed, and that nothing changes for a
// capture that does not ask for it.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "insertion/ax_write.h"
#include "insertion/keystrokes.h"
#include "insertion/typed_field.h"
#include "probe/web_field.h"
#include "support/harness.h"
#include "support/mac_browsers.h"

namespace caretsafe {
namespace {

using nlohmann::json;
using testing::Harness;
using testing::ok;
using testing::refusedWith;

// The base desktop with a browser frontmost: its web field "web" holds "a😀b c" with the caret
// after "b" (UTF-16 offset 4), reports its selected text settable, answers a write with success
// and changes nothing, and takes typed keys at its caret.
json browserDesktop() {
  json d = testing::baseDesktop();
  d["frontmost"] = 701;
  d["apps"]["701"] = {{"bundleId", "com.example.Browser"},
                      {"attributes", {{"AXFocusedUIElement", {{"element", "web"}}}}}};
  d["elements"]["web"] = {{"app", 701},
                          {"attributes",
                           {{"AXRole", "AXTextField"},
                            {"AXEnabled", true},
                            {"AXValue",
                             "a\xF0\x9F\x98\x80"
                             "b c"},
                            {"AXSelectedTextRange", {{"range", {4, 0}}}}}},
                          {"settable", {{"AXSelectedText", true}}},
                          {"onWrite", "ignore"},
                          {"typedOnly", true},
                          {"onKeys", "insert"}};
  return d;
}

json captureTyping() {
  return {{"action", "capture"}, {"allowTyping", true}};
}

// A harness whose pauses are journaled but not slept.
struct Browser {
  explicit Browser(const json& desktop = browserDesktop()) : h(desktop) {
    h.desktop().setWait([](double) {});
  }
  std::string capture(const json& request = captureTyping()) {
    return h.request(request).value("token", std::string());
  }
  std::string typed() const {
    std::string out;
    for (const json& e : h.entries("postToPid")) {
      if (e.at("keyDown").get<bool>()) out += e.at("text").get<std::string>();
    }
    return out;
  }
  std::string value() { return h.desktop().attribute("web", "AXValue")->get<std::string>(); }
  Harness h;
};

TEST(TypedDelivery, TypedConfirmedAndNeverWritten) {
  Browser b;
  const std::string token = b.capture();
  ASSERT_FALSE(token.empty());
  b.h.desktop().clearJournal();
  const std::string text = "Z \xC3\xA9 \xF0\x9F\x98\x80 \xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D";
  EXPECT_EQ(b.h.insert(token, text), ok());
  EXPECT_EQ(b.value(),
            "a\xF0\x9F\x98\x80"
            "bZ \xC3\xA9 \xF0\x9F\x98\x80 \xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D c");
  EXPECT_EQ(b.typed(), text);
  EXPECT_TRUE(b.h.entries("setAttributeValue").empty());
  // Per scalar: the focus looked up and the key pair. A key goes out only once every key but
  // the one before it is shown: the caret is read before the third key, and as each read here
  // shows both keys sent (they land at once), before every second key after it; then once
  // after the last key, and the value once.
  const std::vector<std::string> requests = b.h.requests();
  const auto flags = std::find(requests.begin(), requests.end(), "flagsState");
  ASSERT_NE(flags, requests.end());
  const std::vector<std::string> perScalar = {"frontmostApplication",
                                              "createApplication app:701",
                                              "setMessagingTimeout app:701",
                                              "copyAttributeValue app:701 AXFocusedUIElement",
                                              "setMessagingTimeout web",
                                              "createKeyboardEvent",
                                              "createKeyboardEvent",
                                              "postToPid",
                                              "postToPid"};
  const std::string caretRead = "copyAttributeValue web AXSelectedTextRange";
  std::vector<std::string> expected;
  for (int i = 0; i < 10; ++i) {
    if (i >= 2 && i % 2 == 0) expected.push_back(caretRead);
    expected.insert(expected.end(), perScalar.begin(), perScalar.end());
  }
  expected.push_back(caretRead);
  expected.push_back("copyAttributeValue web AXValue");
  EXPECT_EQ(std::vector<std::string>(flags + 1, requests.end()), expected);
  EXPECT_EQ(b.h.desktop().liveElementReferences(), 0u);
  EXPECT_EQ(b.h.desktop().liveKeyEvents(), 0u);
  EXPECT_EQ(b.h.insert(token, "Z"), refusedWith("no-target"));
}

// Without the opt-in, or with anything but the JSON value true, capture and insert make exactly
// the requests they always made and answer as they always did.
TEST(TypedDelivery, WithoutTheOptInNothingChanges) {
  const json requests[] = {
      {{"action", "capture"}},
      {{"action", "capture"}, {"allowTyping", false}},
      {{"action", "capture"}, {"allowTyping", "true"}},
      {{"action", "capture"}, {"allowTyping", 1}},
      {{"action", "capture"}, {"allowTyping", nullptr}},
  };
  for (const json& request : requests) {
    SCOPED_TRACE(request.dump());
    // A web field that reports its write settable: captured and written, as ever; the write
    // changes nothing, which the read-back answers.
    Browser settable;
    const std::string token = settable.capture(request);
    ASSERT_FALSE(token.empty());
    EXPECT_EQ(settable.h.insert(token, "Z"), refusedWith("write-unconfirmed"));
    EXPECT_EQ(settable.h.entries("setAttributeValue").size(), 1u);
    EXPECT_TRUE(settable.h.entries("typedOnly").empty());
    EXPECT_TRUE(settable.h.entries("postToPid").empty());

    // One that does not: refused at capture after the one settable test, as ever.
    json d = browserDesktop();
    d["elements"]["web"]["settable"]["AXSelectedText"] = false;
    Browser unsettable(d);
    EXPECT_EQ(unsettable.h.request(request), refusedWith("unsupported-field"));
    EXPECT_EQ(unsettable.h.requests().back(), "isAttributeSettable web AXSelectedText");
  }
}

TEST(TypedDelivery, Outcomes) {
  struct Row {
    const char* name;
    json patch;  // applied after the capture
    std::string text;
    json expected;
    std::string typedText;
    std::string value;  // the field's value afterwards
  };
  const std::string before =
      "a\xF0\x9F\x98\x80"
      "b c";
  const auto focusTo = [](const char* element) {
    return json{
        {"apps", {{"701", {{"attributes", {{"AXFocusedUIElement", {{"element", element}}}}}}}}}};
  };
  const Row rows[] = {
      {"line feed", json::object(), "a\nb", refusedWith("write-unconfirmed"), "", before},
      {"carriage return", json::object(), "a\rb", refusedWith("write-unconfirmed"), "", before},
      {"tab", json::object(), "a\tb", refusedWith("write-unconfirmed"), "", before},
      {"escape", json::object(), "\x1B[A", refusedWith("write-unconfirmed"), "", before},
      {"delete", json::object(), "a\x7F", refusedWith("write-unconfirmed"), "", before},
      {"next line (C1)", json::object(), "a\xC2\x85", refusedWith("write-unconfirmed"), "", before},
      {"line separator", json::object(), "a\xE2\x80\xA8", refusedWith("write-unconfirmed"), "",
       before},
      {"paragraph separator", json::object(), "\xE2\x80\xA9", refusedWith("write-unconfirmed"), "",
       before},
      {"no-break space and zero-width joiner pass", json::object(),
       "\xC2\xA0\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92\xBB", ok(),
       "\xC2\xA0\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92\xBB",
       "a\xF0\x9F\x98\x80"
       "b\xC2\xA0\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92\xBB c"},
      {"spaces only are typed", json::object(), "  ", ok(), "  ",
       "a\xF0\x9F\x98\x80"
       "b   c"},
      {"4,000 units", json::object(), std::string(4000, 'x'), ok(), std::string(4000, 'x'),
       "a\xF0\x9F\x98\x80"
       "b" +
           std::string(4000, 'x') + " c"},
      {"4,001 units", json::object(), std::string(4001, 'x'), refusedWith("invalid-text"), "",
       before},
      {"Shift held", {{"modifiers", 0x20000}}, "Z", refusedWith("modifier-held"), "", before},
      {"Caps Lock engaged",
       {{"modifiers", 0x10000}},
       "Z",
       ok(),
       "Z",
       "a\xF0\x9F\x98\x80"
       "bZ c"},
      {"focus moves to another field after two keys",
       {{"elements", {{"other", {{"app", 701}}}}},
        {"schedule", {{{"afterPosts", 4}, {"patch", focusTo("other")}}}}},
       "xyz",
       refusedWith("write-unconfirmed"),
       "xy",
       "a\xF0\x9F\x98\x80"
       "bxy c"},
      {"host comes to the front after one key",
       {{"schedule",
         {{{"afterPosts", 2},
           {"patch",
            {{"frontmost", 501}, {"apps", {{"501", {{"bundleId", "app.norvane.pro"}}}}}}}}}}},
       "xyz",
       refusedWith("write-unconfirmed"),
       "x",
       "a\xF0\x9F\x98\x80"
       "bx c"},
      // The key after one the field has yet to show is already out: a field that never shows the
      // first has two.
      {"keys ignored: the caret never follows",
       {{"elements", {{"web", {{"onKeys", "ignore"}}}}}},
       "xyz",
       refusedWith("write-unconfirmed"),
       "xy",
       before},
      // Gecko's field holds no caret for a moment while its window's focus is handed over: read
      // again, not taken for a failure. Any other failure ends the wait.
      {"the caret missing for a moment after a key", json::parse(R"({"schedule": [
         {"afterPosts": 3, "patch": {"elements": {"web": {"attributes":
           {"AXSelectedTextRange": {"range": null, "error": -25212}}}}}},
         {"afterPauses": 3, "patch": {"elements": {"web": {"attributes":
           {"AXSelectedTextRange": {"error": null, "range": [6, 0]}}}}}}]})"),
       "xyz", ok(), "xyz",
       "a\xF0\x9F\x98\x80"
       "bxyz c"},
      // Firefox's field sometimes takes a key and never moves its caret: the value, holding
      // exactly the text typed so far, shows the key arrived. Anything else there does not.
      {"the caret stays behind after the last key, the value holds it",
       json::parse(R"({"schedule": [{"afterPosts": 6, "patch": {"elements": {"web": {"attributes":
                         {"AXSelectedTextRange": {"range": [6, 0]}}}}}}]})"),
       "xyz", ok(), "xyz",
       "a\xF0\x9F\x98\x80"
       "bxyz c"},
      // Keys go out ahead of the caret: the one it stays behind at need not be one it was
      // seen at before.
      {"the caret stays one short after an even number of keys, the value holds them",
       json::parse(R"({"schedule": [{"afterPosts": 8, "patch": {"elements": {"web": {"attributes":
                         {"AXSelectedTextRange": {"range": [7, 0]}}}}}}]})"),
       "xyzw", ok(), "xyzw",
       "a\xF0\x9F\x98\x80"
       "bxyzw c"},
      {"the caret stays behind and the key landed elsewhere",
       json::parse(R"({"schedule": [{"afterPosts": 6, "patch": {"elements": {"web": {"attributes":
                         {"AXValue": "a\ud83d\ude00bxy cz",
                          "AXSelectedTextRange": {"range": [6, 0]}}}}}}]})"),
       "xyz", refusedWith("write-unconfirmed"), "xyz",
       "a\xF0\x9F\x98\x80"
       "bxy cz"},
      // The key in flight when the caret moved lands where it went; nothing after it.
      {"the caret moved away from the text",
       json::parse(R"({"schedule": [{"afterPosts": 2, "patch": {"elements": {"web": {"attributes":
                         {"AXSelectedTextRange": {"range": [0, 0]}}}}}}]})"),
       "xyz", refusedWith("write-unconfirmed"), "xy",
       "ya\xF0\x9F\x98\x80"
       "bx c"},
      {"the caret unreadable after a key",
       json::parse(R"({"schedule": [{"afterPosts": 1, "patch": {"elements": {"web": {"attributes":
                         {"AXSelectedTextRange": {"range": null, "error": -25204}}}}}}]})"),
       "xyz", refusedWith("write-unconfirmed"), "xy",
       "a\xF0\x9F\x98\x80"
       "bx c"},
      // A field that shows each key a little later, in order: keys go out ahead of it, one at a
      // time, and the text arrives whole.
      {"keys shown a few reads later",
       {{"elements", {{"web", {{"onKeys", {{"afterReads", 3}}}}}}}},
       "x\xC3\xA9\xF0\x9F\x98\x80yz",
       ok(),
       "x\xC3\xA9\xF0\x9F\x98\x80yz",
       "a\xF0\x9F\x98\x80"
       "bx\xC3\xA9\xF0\x9F\x98\x80yz c"},
      // Keys applied only when the value is read, each where the selection stood when it came
      // (an application that takes its keys in order never does that): the value read while the
      // caret stays behind shows the first two out of order, and the read-back refuses the text.
      {"keys applied only when the value is read, out of order",
       {{"elements", {{"web", {{"onKeys", "deferred"}}}}}},
       "xyz",
       refusedWith("write-unconfirmed"),
       "xyz",
       "a\xF0\x9F\x98\x80"
       "byzx c"},
      {"keys altered: the caret follows, the value does not match",
       {{"elements", {{"web", {{"onKeys", "alter"}}}}}},
       "xyZ",
       refusedWith("write-unconfirmed"),
       "xyZ",
       "a\xF0\x9F\x98\x80"
       "bXYz c"},
      // The caret must stand exactly past the text typed so far: a field that stores a key in
      // another form is not followed, and nothing more is typed into it.
      {"keys stored decomposed: the caret lands elsewhere",
       {{"elements", {{"web", {{"onKeys", "decompose"}}}}}},
       "\xC3\xA9zq",
       refusedWith("write-unconfirmed"),
       "\xC3\xA9z",
       "a\xF0\x9F\x98\x80"
       "be\xCC\x81z c"},
      // Chromium on Wayland keeps a key's low 16 bits: U+1F600 would arrive as U+F600.
      {"a character the field's keys would change",
       {{"elements", {{"web", {{"astralKeys", false}}}}}},
       "x\xC3\xA9\xF0\x9F\x98\x80",
       refusedWith("write-unconfirmed"),
       "",
       before},
      {"the same field takes every character up to U+FFFF",
       {{"elements", {{"web", {{"astralKeys", false}}}}}},
       "x\xC3\xA9\xEF\xBF\xBD",
       ok(),
       "x\xC3\xA9\xEF\xBF\xBD",
       "a\xF0\x9F\x98\x80"
       "bx\xC3\xA9\xEF\xBF\xBD c"},
      {"no key event can be made",
       {{"eventCreations", 0}},
       "xy",
       refusedWith("write-unconfirmed"),
       "",
       before},
      {"the field stopped taking keys only",
       {{"elements", {{"web", {{"typedOnly", false}}}}}},
       "xy",
       refusedWith("target-changed"),
       "",
       before},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Browser b;
    const std::string token = b.capture();
    ASSERT_FALSE(token.empty());
    b.h.desktop().patch(row.patch);
    EXPECT_EQ(b.h.insert(token, row.text), row.expected);
    EXPECT_EQ(b.typed(), row.typedText);
    EXPECT_EQ(b.value(), row.value);
    EXPECT_TRUE(b.h.entries("setAttributeValue").empty());
    EXPECT_EQ(b.h.desktop().liveKeyEvents(), 0u);
    EXPECT_EQ(b.h.desktop().liveElementReferences(), 0u);
  }
}

// The waits are bounded by a count of reads, whatever the clock says: a field that never shows
// the key costs a fixed number of caret reads, one that never shows the text a fixed number of
// value reads.
TEST(TypedDelivery, WaitsAreBounded) {
  {
    Browser b;
    const std::string token = b.capture();
    b.h.desktop().patch({{"elements", {{"web", {{"onKeys", "ignore"}}}}}});
    b.h.desktop().clearJournal();
    EXPECT_EQ(b.h.insert(token, "x"), refusedWith("write-unconfirmed"));
    const std::vector<std::string> requests = b.h.requests();
    EXPECT_EQ(
        std::count(requests.begin(), requests.end(), "copyAttributeValue web AXSelectedTextRange"),
        1 + kKeySettleReads);  // one for validation
    const std::vector<json> pauses = b.h.entries("pause");
    ASSERT_EQ(pauses.size(), static_cast<std::size_t>(kKeySettleReads - 1));
    EXPECT_DOUBLE_EQ(pauses.front().at("seconds").get<double>(), kKeySettlePause);
  }
  {
    Browser b;
    const std::string token = b.capture();
    b.h.desktop().patch({{"elements", {{"web", {{"onKeys", "alter"}}}}}});
    b.h.desktop().clearJournal();
    EXPECT_EQ(b.h.insert(token, "x"), refusedWith("write-unconfirmed"));
    const std::vector<std::string> requests = b.h.requests();
    EXPECT_EQ(std::count(requests.begin(), requests.end(), "copyAttributeValue web AXValue"),
              1 + kConfirmReads);  // one for validation
  }
  {
    // A field whose caret follows every key is asked for its value only to validate and to
    // confirm: no read per key.
    Browser b;
    const std::string token = b.capture();
    b.h.desktop().clearJournal();
    EXPECT_EQ(b.h.insert(token, "xyz"), ok());
    const std::vector<std::string> requests = b.h.requests();
    EXPECT_EQ(std::count(requests.begin(), requests.end(), "copyAttributeValue web AXValue"), 2);
  }
}

// A field that stops answering ends the wait at its first failed read: one messaging timeout,
// not one per read.
TEST(TypedDelivery, AFieldThatStopsAnsweringEndsTheWait) {
  Browser b;
  const std::string token = b.capture();
  // The application hangs as soon as it has the second key, before the caret is read for it.
  b.h.desktop().patch(
      {{"schedule", {{{"afterPosts", 4}, {"patch", {{"apps", {{"701", {{"hang", true}}}}}}}}}}});
  b.h.desktop().clearJournal();
  EXPECT_EQ(b.h.insert(token, "xyz"), refusedWith("write-unconfirmed"));
  const std::vector<std::string> r = b.h.requests();
  EXPECT_EQ(std::count(r.begin(), r.end(), "copyAttributeValue web AXSelectedTextRange"), 2);
  EXPECT_TRUE(b.h.entries("pause").empty());
  EXPECT_EQ(b.typed(), "xy");
}

// A secure field is refused as always, its value never asked for; a field whose write works is
// written, not typed; a terminal is typed into as a terminal.
TEST(TypedDelivery, OtherFieldsKeepTheirWay) {
  {
    json d = browserDesktop();
    d["elements"]["web"]["attributes"]["AXSubrole"] = "AXSecureTextField";
    Browser b(d);
    EXPECT_EQ(b.h.request(captureTyping()), refusedWith("unsupported-field"));
    for (const std::string& r : b.h.requests()) EXPECT_NE(r, "copyAttributeValue web AXValue");
  }
  {
    json d = browserDesktop();
    d["elements"]["web"]["typedOnly"] = false;
    d["elements"]["web"]["onWrite"] = "insert";
    Browser b(d);
    const std::string token = b.capture();
    EXPECT_EQ(b.h.insert(token, "Z"), ok());
    EXPECT_EQ(b.value(),
              "a\xF0\x9F\x98\x80"
              "bZ c");
    EXPECT_EQ(b.h.entries("setAttributeValue").size(), 1u);
    EXPECT_TRUE(b.h.entries("postToPid").empty());
  }
  {
    json d = testing::terminalDesktop();
    d["elements"]["shell"]["typedOnly"] = true;
    Browser b(d);
    const std::string token = b.capture();
    EXPECT_EQ(b.h.insert(token, "ls\nx"), json({{"ok", true}, {"delivery", "sent-unverified"}}));
    EXPECT_EQ(b.typed(), "ls x");
    EXPECT_TRUE(b.h.entries("typedOnly").empty());
  }
}

// --- browsers and Electron applications that build their tree on demand ---

// A Chromium-family browser (801) whose page shows no focused element until its enhanced
// interface is asked for, and then only after three pauses; its field lies in a web area,
// reports its write settable, answers it with success and changes nothing.
json lazyBrowserDesktop(const char* bundleId = "com.google.Chrome",
                        const char* attribute = "AXEnhancedUserInterface") {
  json d = testing::baseDesktop();
  d["frontmost"] = 801;
  d["apps"]["801"] = {
      {"bundleId", bundleId},
      {"attributes", {{"AXFocusedUIElement", {{"error", -25212}}}, {attribute, false}}}};
  d["elements"]["page"] = {{"app", 801}, {"attributes", {{"AXRole", "AXWebArea"}}}};
  d["elements"]["group"] = {
      {"app", 801}, {"attributes", {{"AXRole", "AXGroup"}, {"AXParent", {{"element", "page"}}}}}};
  d["elements"]["web"] = {{"app", 801},
                          {"attributes",
                           {{"AXRole", "AXTextField"},
                            {"AXEnabled", true},
                            {"AXParent", {{"element", "group"}}},
                            {"AXValue",
                             "a\xF0\x9F\x98\x80"
                             "b c"},
                            {"AXSelectedTextRange", {{"range", {4, 0}}}}}},
                          {"settable", {{"AXSelectedText", true}}},
                          {"onWrite", "ignore"},
                          {"onKeys", "insert"}};
  // A merge patch: the null drops the error that reading the focus gave until then.
  json patch = json::parse(
      R"({"apps": {"801": {"attributes": {"AXFocusedUIElement": {"error": null, "element": "web"}}}}})");
  d["schedule"] = json::array(
      {{{"afterSetting", {{"attribute", attribute}, {"pauses", 3}}}, {"patch", patch}}});
  return d;
}

std::vector<json> settings(const Harness& h) {
  return h.entries("setFlagAttribute");
}

TEST(WebFields, TheTreeIsAskedForAndTheFieldTypedInto) {
  struct Row {
    const char* name;
    json desktop;
    const char* attribute;
  };
  json electron = lazyBrowserDesktop("com.example.Chat", "AXManualAccessibility");
  electron["apps"]["801"]["electron"] = true;
  // An older Electron answers an error and builds its tree all the same.
  json olderElectron = electron;
  olderElectron["apps"]["801"]["attributes"]["AXManualAccessibility"] = {{"error", -25205}};
  const Row rows[] = {
      {"Chromium-family browser", lazyBrowserDesktop(), "AXEnhancedUserInterface"},
      {"Electron application", electron, "AXManualAccessibility"},
      {"older Electron application", olderElectron, "AXManualAccessibility"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Browser b(row.desktop);
    const std::string token = b.capture();
    ASSERT_FALSE(token.empty());
    const std::vector<json> set = settings(b.h);
    ASSERT_EQ(set.size(), 1u);
    EXPECT_EQ(set[0].at("element"), "app:801");
    EXPECT_EQ(set[0].at("attribute"), row.attribute);
    EXPECT_EQ(set[0].at("value"), true);
    EXPECT_EQ(b.h.entries("pause").size(), 3u);
    EXPECT_EQ(b.h.insert(token, "Z"), ok());
    EXPECT_EQ(b.value(),
              "a\xF0\x9F\x98\x80"
              "bZ c");
    EXPECT_TRUE(b.h.entries("setAttributeValue").empty());
    EXPECT_EQ(b.h.desktop().liveElementReferences(), 0u);
  }
}

TEST(WebFields, WhenTheTreeIsNotAskedFor) {
  {
    // Without the opt-in nothing is asked of the application: no focused element, no field.
    Browser b(lazyBrowserDesktop());
    EXPECT_EQ(b.h.request({{"action", "capture"}}), refusedWith("unsupported-field"));
    EXPECT_TRUE(settings(b.h).empty());
    EXPECT_TRUE(b.h.entries("builtOnElectron").empty());
    EXPECT_TRUE(b.h.entries("pause").empty());
  }
  {
    // Already on: the tree is what it is; asking again would disturb the browser.
    json d = lazyBrowserDesktop();
    d["apps"]["801"]["attributes"]["AXEnhancedUserInterface"] = true;
    Browser b(d);
    EXPECT_EQ(b.h.request(captureTyping()), refusedWith("unsupported-field"));
    EXPECT_TRUE(settings(b.h).empty());
    EXPECT_TRUE(b.h.entries("pause").empty());
  }
  {
    // An application that is neither: its switch is never touched.
    json d = lazyBrowserDesktop("com.example.Notes");
    Browser b(d);
    EXPECT_EQ(b.h.request(captureTyping()), refusedWith("unsupported-field"));
    EXPECT_TRUE(settings(b.h).empty());
    EXPECT_EQ(b.h.entries("builtOnElectron").size(), 1u);
  }
  {
    // A tree that never comes: the looks run out after the browser's 2 s and time to build.
    json d = lazyBrowserDesktop();
    d.erase("schedule");
    Browser b(d);
    EXPECT_EQ(b.h.request(captureTyping()), refusedWith("unsupported-field"));
    EXPECT_EQ(b.h.entries("pause").size(), static_cast<std::size_t>(kWakeLooks));
    EXPECT_GE(kWakeLooks * kWakePause, 4.0);
  }
  {
    // Another application comes to the front meanwhile: its focus is not what was woken.
    json d = lazyBrowserDesktop();
    d["schedule"][0]["patch"]["frontmost"] = 501;
    Browser b(d);
    EXPECT_EQ(b.h.request(captureTyping()), refusedWith("unsupported-field"));
  }
}

TEST(WebFields, OnlyFieldsInAWebAreaAreTyped) {
  {
    // The browser's own address bar: no web area above it, so it is written as ever.
    json d = lazyBrowserDesktop();
    d["apps"]["801"]["attributes"]["AXFocusedUIElement"] = {{"element", "web"}};
    d["elements"]["group"]["attributes"].erase("AXParent");
    d["elements"]["web"]["onWrite"] = "insert";
    Browser b(d);
    const std::string token = b.capture();
    EXPECT_EQ(b.h.insert(token, "Z"), ok());
    EXPECT_EQ(b.h.entries("setAttributeValue").size(), 1u);
    EXPECT_TRUE(b.h.entries("postToPid").empty());
  }
  {
    // A password field in the page: refused, its value never asked for.
    json d = lazyBrowserDesktop();
    d["elements"]["web"]["attributes"]["AXSubrole"] = "AXSecureTextField";
    Browser b(d);
    EXPECT_EQ(b.h.request(captureTyping()), refusedWith("unsupported-field"));
    for (const std::string& r : b.h.requests()) EXPECT_NE(r, "copyAttributeValue web AXValue");
  }
  {
    // A cycle of parents ends at the depth bound.
    json d = lazyBrowserDesktop();
    d["apps"]["801"]["attributes"]["AXFocusedUIElement"] = {{"element", "web"}};
    d["elements"]["page"]["attributes"] = {{"AXRole", "AXGroup"},
                                           {"AXParent", {{"element", "group"}}}};
    Browser b(d);
    const std::string token = b.capture();
    ASSERT_FALSE(token.empty());
    const std::vector<std::string> r = b.h.requests();
    EXPECT_EQ(std::count(r.begin(), r.end(), "copyAttributeValue group AXParent") +
                  std::count(r.begin(), r.end(), "copyAttributeValue page AXParent") +
                  std::count(r.begin(), r.end(), "copyAttributeValue web AXParent"),
              kMaxWebAreaDepth);
    EXPECT_EQ(b.h.insert(token, "Z"), refusedWith("write-unconfirmed"));  // written, ignored
    EXPECT_EQ(b.h.desktop().liveElementReferences(), 0u);
  }
}

// --- a Mac's browsers as their source shows them (tests/support/mac_browsers.h) ---

TEST(MacBrowsers, EachGetsTheTextOnceByItsOneWay) {
  for (const testing::BrowserCase& browser : testing::macBrowserCases()) {
    SCOPED_TRACE(browser.name);
    Browser b(browser.desktop);
    const std::string token = b.capture();
    ASSERT_FALSE(token.empty());
    EXPECT_EQ(b.h.insert(token, testing::kBrowserText), ok());
    EXPECT_EQ(b.value(), testing::kBrowserResult);
    EXPECT_TRUE(testing::deliveredOnce(b.h.journal(), browser.way));
    EXPECT_LE(settings(b.h).size(), 1u);
    EXPECT_EQ(b.h.desktop().liveElementReferences(), 0u);
  }
}

TEST(MacBrowsers, TheSwitchIsSetOncePerApplication) {
  // A tree that comes 7 s after the latest setting: longer than one capture waits.
  const json slow = testing::treeAfterSwitch(testing::webFieldDesktop("com.google.Chrome", true),
                                             "AXEnhancedUserInterface", 70);
  {
    // The second capture does not set the switch again (which would start the 7 s afresh): it
    // waits on, and the tree the first setting asked for comes.
    Browser b(slow);
    EXPECT_EQ(b.h.request(captureTyping()), refusedWith("unsupported-field"));
    EXPECT_EQ(b.h.entries("pause").size(), static_cast<std::size_t>(kWakeLooks));
    const std::string token = b.capture();
    ASSERT_FALSE(token.empty());
    EXPECT_EQ(settings(b.h).size(), 1u);
    EXPECT_EQ(b.h.entries("pause").size(), 70u);
    EXPECT_EQ(b.h.insert(token, testing::kBrowserText), ok());
  }
  {
    // Once the wait is over, a capture that finds no field answers at once: the tree is as
    // complete as asking makes it.
    json never = slow;
    never.erase("schedule");
    Browser b(never);
    EXPECT_EQ(b.h.request(captureTyping()), refusedWith("unsupported-field"));
    b.h.desktop().patch({{"clock", 800000000.0 + kWakeBudget}});
    b.h.desktop().clearJournal();
    EXPECT_EQ(b.h.request(captureTyping()), refusedWith("unsupported-field"));
    EXPECT_TRUE(settings(b.h).empty());
    EXPECT_TRUE(b.h.entries("pause").empty());
  }
  {
    // A focus that is no field yet (the page's document before its tree is built) is waited
    // past as well.
    json early = testing::treeAfterSwitch(testing::webFieldDesktop("org.mozilla.firefox", false),
                                          "AXEnhancedUserInterface", 5);
    early["apps"]["801"]["attributes"]["AXFocusedUIElement"] = {{"element", "page"}};
    Browser b(early);
    const std::string token = b.capture();
    ASSERT_FALSE(token.empty());
    EXPECT_EQ(b.h.entries("pause").size(), 5u);
  }
}

TEST(MacBrowsers, AnApplicationThatAnswersSlowlyDoesNotStretchTheWait) {
  // Every request to the browser takes the whole messaging timeout: each look costs 0.7 s of the
  // desktop's clock, which the waits move on.
  json hung = testing::treeAfterSwitch(testing::webFieldDesktop("com.google.Chrome", true),
                                       "AXEnhancedUserInterface", 30);
  hung["apps"]["801"]["hang"] = true;
  Harness h(hung);
  double clock = 800000000.0;
  h.desktop().setWait([&](double seconds) {
    clock += seconds;
    h.desktop().patch({{"clock", clock}});
  });
  const double started = clock;
  EXPECT_EQ(h.request(captureTyping()), refusedWith("unsupported-field"));
  const std::size_t looks = h.entries("pause").size();
  EXPECT_GT(looks, 0u);
  EXPECT_LE(looks, static_cast<std::size_t>(kWakeBudget / 0.7) + 1);
  EXPECT_LT(clock - started, kWakeBudget + 3.0);
}

TEST(MacBrowsers, WebFieldsThatMustNotBeTypedInto) {
  json composing = testing::webFieldDesktop("com.google.Chrome", true);
  composing["apps"]["801"]["attributes"]["AXFocusedUIElement"] = {{"element", "web"}};
  json listOnly = composing;
  composing["elements"]["web"]["attributes"]["AXMarkedTextRange"] = {{"range", {1, 1}}};
  // A combo box that only picks from a list: its caret cannot be placed.
  listOnly["elements"]["web"]["attributes"]["AXRole"] = "AXComboBox";
  listOnly["elements"]["web"]["settable"]["AXSelectedTextRange"] = false;
  json number = listOnly;
  number["elements"]["web"]["attributes"]["AXRole"] = "AXIncrementor";
  const std::pair<const char*, json> rows[] = {
      {"an input method composing", composing},
      {"a combo box that only picks", listOnly},
      {"a number field", number},
  };
  for (const auto& [name, desktop] : rows) {
    SCOPED_TRACE(name);
    Browser b(desktop);
    EXPECT_EQ(b.h.request(captureTyping()), refusedWith("unsupported-field"));
  }
  // A composition that starts between capture and insert stops the insert before any key.
  json later = rows[0].second;
  later["elements"]["web"]["attributes"]["AXMarkedTextRange"] = {{"range", {1, 0}}};
  Browser b(later);
  const std::string token = b.capture();
  ASSERT_FALSE(token.empty());
  b.h.desktop().patch(json::parse(
      R"({"elements": {"web": {"attributes": {"AXMarkedTextRange": {"range": [1, 2]}}}}})"));
  EXPECT_EQ(b.h.insert(token, "Z"), refusedWith("target-changed"));
  EXPECT_TRUE(b.h.entries("postToPid").empty());
}

TEST(MacBrowsers, FirefoxWithAndWithoutTheOptIn) {
  json firefox = testing::webFieldDesktop("org.mozilla.firefox", false);
  firefox["apps"]["801"]["attributes"]["AXFocusedUIElement"] = {{"element", "web"}};
  {
    // Without it, the field is an ordinary one, read back once: the write lands after the answer,
    // which says so honestly.
    Browser b(firefox);
    const std::string token = b.capture({{"action", "capture"}});
    EXPECT_EQ(b.h.insert(token, "Z"), refusedWith("write-unconfirmed"));
    EXPECT_EQ(b.h.entries("setAttributeValue").size(), 1u);
    EXPECT_TRUE(b.h.entries("pause").empty());
  }
  {
    // With it, the read-back is awaited; a write that never lands is answered after the bound.
    json never = firefox;
    never["elements"]["web"]["onWrite"] = "ignore";
    Browser b(never);
    const std::string token = b.capture();
    EXPECT_EQ(b.h.insert(token, "Z"), refusedWith("write-unconfirmed"));
    EXPECT_EQ(b.h.entries("setAttributeValue").size(), 1u);
    EXPECT_EQ(b.h.entries("pause").size(), static_cast<std::size_t>(kConfirmReads - 1));
    EXPECT_TRUE(b.h.entries("postToPid").empty());
  }
  {
    // A Gecko application on no list is known by its bundle, after the Electron question.
    json unlisted = firefox;
    unlisted["apps"]["801"]["bundleId"] = "org.example.GeckoBrowser";
    unlisted["apps"]["801"]["engine"] = "gecko";
    Browser b(unlisted);
    const std::string token = b.capture();
    EXPECT_EQ(b.h.insert(token, testing::kBrowserText), ok());
    EXPECT_EQ(b.value(), testing::kBrowserResult);
    const std::vector<std::string> r = b.h.requests();
    const auto electron = std::find(r.begin(), r.end(), "builtOnElectron");
    EXPECT_NE(electron, r.end());
    EXPECT_TRUE(electron != r.end() && electron + 1 != r.end() && electron[1] == "webEngine");
  }
}

TEST(TypedDelivery, TypeableText) {
  EXPECT_TRUE(typeableInField(u"Z \u00E9 \U0001F600 \u05E9\u05DC\u05D5\u05DD"));
  EXPECT_TRUE(typeableInField(u"\u00A0\u200B\uFEFF\u200D"));
  for (const char16_t c : {u'\0', u'\t', u'\n', u'\r', u'\x1B', u'\x1F', u'\x7F', u'\x85', u'\x9F',
                           u'\u2028', u'\u2029'}) {
    SCOPED_TRACE(static_cast<int>(c));
    EXPECT_FALSE(typeableInField(std::u16string(u"a") + c));
  }
}

}  // namespace
}  // namespace caretsafe
