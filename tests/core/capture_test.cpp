// Focus discovery, field inspection and capture over the simulated desktop. The journal
// shows which requests reached other applications, in which order, and where they stopped.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "insertion/digest.h"
#include "probe/focus.h"
#include "probe/inspection.h"
#include "support/harness.h"
#include "text/utf.h"

namespace caretsafe {
namespace {

using nlohmann::json;
using testing::Harness;
using testing::refusedWith;
using Requests = std::vector<std::string>;

const Requests kFocusRequests = {
    "frontmostApplication", "createApplication app:501", "setMessagingTimeout app:501",
    "copyAttributeValue app:501 AXFocusedUIElement", "setMessagingTimeout body"};
const Requests kInspectRequests = {
    "isAttributeSettable body AXSelectedText", "copyAttributeValue body AXSelectedTextRange",
    "copyAttributeValue body AXRole",          "copyAttributeValue body AXSubrole",
    "copyAttributeValue body AXEnabled",       "copyAttributeValue body AXValue"};

Requests first(const Requests& all, std::size_t n) {
  return Requests(all.begin(), all.begin() + static_cast<long>(n));
}

TEST(Focused, FindsTheFocusedElementOrNothing) {
  struct Row {
    const char* name;
    json patch;
    bool found;
    Requests requests;  // the journal, in order
  };
  const Requests refusedEarly = {"frontmostApplication"};
  const Row rows[] = {
      {.name = "ordinary app", .patch = json::object(), .found = true, .requests = kFocusRequests},
      {.name = "no frontmost app",
       .patch = {{"frontmost", nullptr}},
       .found = false,
       .requests = refusedEarly},
      {.name = "own process", .patch = {{"ownPid", 501}}, .found = false, .requests = refusedEarly},
      // The process that started this one is the host, whatever it is called.
      {.name = "parent process",
       .patch = {{"parentPid", 501}},
       .found = false,
       .requests = refusedEarly},
      {.name = "parent is another process",
       .patch = {{"parentPid", 502}},
       .found = true,
       .requests = kFocusRequests},
      {.name = "host bundle",
       .patch = {{"apps", {{"501", {{"bundleId", "com.github.Electron"}}}}}},
       .found = false,
       .requests = refusedEarly},
      {.name = "other host bundle",
       .patch = {{"apps", {{"501", {{"bundleId", "app.norvane.pro"}}}}}},
       .found = false,
       .requests = refusedEarly},
      {.name = "host id in another case",
       .patch = {{"apps", {{"501", {{"bundleId", "com.github.electron"}}}}}},
       .found = true,
       .requests = kFocusRequests},
      {.name = "no bundle id",
       .patch = {{"apps", {{"501", {{"bundleId", nullptr}}}}}},
       .found = true,
       .requests = kFocusRequests},
      {.name = "nothing focused",
       .patch = {{"apps", {{"501", {{"attributes", {{"AXFocusedUIElement", {{"none", true}}}}}}}}}},
       .found = false,
       .requests = first(kFocusRequests, 4)},
      {.name = "focus is not an element",
       .patch = {{"apps", {{"501", {{"attributes", {{"AXFocusedUIElement", "body"}}}}}}}},
       .found = false,
       .requests = first(kFocusRequests, 4)},
      {.name = "focus read fails",
       .patch = {{"apps",
                  {{"501", {{"attributes", {{"AXFocusedUIElement", {{"error", -25212}}}}}}}}}},
       .found = false,
       .requests = first(kFocusRequests, 4)},
      {.name = "attribute unsupported",
       .patch = {{"apps", {{"501", {{"attributes", {{"AXFocusedUIElement", nullptr}}}}}}}},
       .found = false,
       .requests = first(kFocusRequests, 4)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Harness h;
    h.desktop().patch(row.patch);
    {
      const std::optional<Focus> focus = focused(h.desktop());
      EXPECT_EQ(focus.has_value(), row.found);
      if (focus) {
        EXPECT_EQ(focus->pid, 501);
        EXPECT_EQ(h.desktop().liveElementReferences(), 1u);  // only the returned element
      }
    }
    EXPECT_EQ(h.requests(), row.requests);
    EXPECT_EQ(h.desktop().liveElementReferences(), 0u);  // nothing leaked on any path
    for (const json& t : h.entries("setMessagingTimeout")) EXPECT_EQ(t.at("seconds"), 0.6);
  }
}

TEST(Focused, HungApplicationIsBoundedByTheTimeout) {
  Harness h;
  h.desktop().patch({{"apps", {{"501", {{"hang", true}}}}}});
  std::vector<double> waits;
  h.desktop().setWait([&](double seconds) { waits.push_back(seconds); });
  EXPECT_FALSE(focused(h.desktop()).has_value());
  ASSERT_EQ(waits.size(), 1u);
  EXPECT_NEAR(waits[0], 0.6, 1e-6);  // the handle's own timeout, not the 6 s default
  EXPECT_EQ(h.entries("copyAttributeValue").at(0).at("error"), -25204);
}

TEST(IsTerminal, ByBundleIdOfTheRunningApplication) {
  struct Row {
    const char* bundleId;  // nullptr: none
    bool terminal;
  };
  const Row rows[] = {
      {.bundleId = "com.apple.Terminal", .terminal = true},
      {.bundleId = "com.googlecode.iterm2", .terminal = true},
      {.bundleId = "com.apple.terminal", .terminal = false},
      {.bundleId = "com.example.Notes", .terminal = false},
      {.bundleId = "", .terminal = false},
      {.bundleId = nullptr, .terminal = false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.bundleId ? row.bundleId : "(none)");
    Harness h;
    h.desktop().patch(
        {{"apps", {{"700", {{"bundleId", row.bundleId ? json(row.bundleId) : json()}}}}}});
    EXPECT_EQ(isTerminal(h.desktop(), 700), row.terminal);
  }
  Harness h;
  EXPECT_FALSE(isTerminal(h.desktop(), 4242));  // no such application
  EXPECT_EQ(h.entries("runningApplication").at(0).at("result"), false);
}

TEST(Inspect, RequestsInOrderAndStopsWhereItMust) {
  struct Row {
    const char* name;
    json attributes;  // merged into body's attributes
    json settable;    // body's settable map
    bool terminal;
    bool accepted;
    std::size_t requests;  // how many of kInspectRequests were made
  };
  const json settableTrue = {{"AXSelectedText", true}};
  const Row rows[] = {
      {.name = "ordinary field",
       .attributes = json::object(),
       .settable = settableTrue,
       .terminal = false,
       .accepted = true,
       .requests = 6},
      {.name = "not settable",
       .attributes = json::object(),
       .settable = {{"AXSelectedText", false}},
       .terminal = false,
       .accepted = false,
       .requests = 1},
      {.name = "settable test fails",
       .attributes = json::object(),
       .settable = {{"AXSelectedText", {{"error", -25205}}}},
       .terminal = false,
       .accepted = false,
       .requests = 1},
      {.name = "settable not listed",
       .attributes = json::object(),
       .settable = json::object(),
       .terminal = false,
       .accepted = false,
       .requests = 1},
      {.name = "terminal, not settable",
       .attributes = json::object(),
       .settable = {{"AXSelectedText", false}},
       .terminal = true,
       .accepted = true,
       .requests = 6},
      {.name = "terminal, settable test fails",
       .attributes = json::object(),
       .settable = json::object(),
       .terminal = true,
       .accepted = true,
       .requests = 6},
      {.name = "selection unreadable",
       .attributes = {{"AXSelectedTextRange", {{"error", -25204}}}},
       .settable = settableTrue,
       .terminal = false,
       .accepted = false,
       .requests = 2},
      {.name = "selection a point",
       .attributes = {{"AXSelectedTextRange", {{"point", {1, 2}}}}},
       .settable = settableTrue,
       .terminal = false,
       .accepted = false,
       .requests = 2},
      {.name = "selection a size",
       .attributes = {{"AXSelectedTextRange", {{"size", {1, 2}}}}},
       .settable = settableTrue,
       .terminal = false,
       .accepted = false,
       .requests = 2},
      {.name = "selection a number",
       .attributes = {{"AXSelectedTextRange", 5}},
       .settable = settableTrue,
       .terminal = false,
       .accepted = false,
       .requests = 2},
      {.name = "selection not empty",
       .attributes = {{"AXSelectedTextRange", {{"range", {1, 2}}}}},
       .settable = settableTrue,
       .terminal = false,
       .accepted = false,
       .requests = 5},
      {.name = "secure field: value never read",
       .attributes = {{"AXSubrole", "AXSecureTextField"}},
       .settable = settableTrue,
       .terminal = false,
       .accepted = false,
       .requests = 5},
      {.name = "button",
       .attributes = {{"AXRole", "AXButton"}},
       .settable = settableTrue,
       .terminal = false,
       .accepted = false,
       .requests = 5},
      {.name = "role missing",
       .attributes = {{"AXRole", {{"error", -25205}}}},
       .settable = settableTrue,
       .terminal = false,
       .accepted = false,
       .requests = 5},
      {.name = "role not text",
       .attributes = {{"AXRole", 3}},
       .settable = settableTrue,
       .terminal = false,
       .accepted = false,
       .requests = 5},
      {.name = "subrole missing passes",
       .attributes = {{"AXSubrole", {{"error", -25205}}}},
       .settable = settableTrue,
       .terminal = false,
       .accepted = true,
       .requests = 6},
      {.name = "text field",
       .attributes = {{"AXRole", "AXTextField"}},
       .settable = settableTrue,
       .terminal = false,
       .accepted = true,
       .requests = 6},
      {.name = "disabled",
       .attributes = {{"AXEnabled", false}},
       .settable = settableTrue,
       .terminal = false,
       .accepted = false,
       .requests = 5},
      {.name = "enabled missing",
       .attributes = {{"AXEnabled", {{"error", -25205}}}},
       .settable = settableTrue,
       .terminal = false,
       .accepted = false,
       .requests = 5},
      {.name = "enabled not boolean",
       .attributes = {{"AXEnabled", 1}},
       .settable = settableTrue,
       .terminal = false,
       .accepted = false,
       .requests = 5},
      {.name = "value missing",
       .attributes = {{"AXValue", {{"error", -25205}}}},
       .settable = settableTrue,
       .terminal = false,
       .accepted = false,
       .requests = 6},
      {.name = "value none",
       .attributes = {{"AXValue", {{"none", true}}}},
       .settable = settableTrue,
       .terminal = false,
       .accepted = false,
       .requests = 6},
      {.name = "value a number",
       .attributes = {{"AXValue", 12}},
       .settable = settableTrue,
       .terminal = false,
       .accepted = false,
       .requests = 6},
      {.name = "caret at end",
       .attributes = {{"AXSelectedTextRange", {{"range", {5, 0}}}}},
       .settable = settableTrue,
       .terminal = false,
       .accepted = true,
       .requests = 6},
      {.name = "caret at start",
       .attributes = {{"AXSelectedTextRange", {{"range", {0, 0}}}}},
       .settable = settableTrue,
       .terminal = false,
       .accepted = true,
       .requests = 6},
      {.name = "caret one past end",
       .attributes = {{"AXSelectedTextRange", {{"range", {6, 0}}}}},
       .settable = settableTrue,
       .terminal = false,
       .accepted = false,
       .requests = 6},
      {.name = "negative caret, after the value read",
       .attributes = {{"AXSelectedTextRange", {{"range", {-1, 0}}}}},
       .settable = settableTrue,
       .terminal = false,
       .accepted = false,
       .requests = 6},
      {.name = "empty field",
       .attributes = {{"AXValue", ""}, {"AXSelectedTextRange", {{"range", {0, 0}}}}},
       .settable = settableTrue,
       .terminal = false,
       .accepted = true,
       .requests = 6},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Harness h;
    h.desktop().patch({{"elements", {{"body", {{"attributes", row.attributes}}}}}});
    json desktopSettable = {{"elements", {{"body", {{"settable", nullptr}}}}}};
    h.desktop().patch(desktopSettable);
    h.desktop().patch({{"elements", {{"body", {{"settable", row.settable}}}}}});
    std::optional<Focus> focus = focused(h.desktop());
    ASSERT_TRUE(focus.has_value());
    h.desktop().clearJournal();
    const std::optional<Inspection> field = inspect(h.desktop(), focus->element, row.terminal);
    EXPECT_EQ(field.has_value(), row.accepted);
    EXPECT_EQ(h.requests(), first(kInspectRequests, row.requests));
    if (field) {
      EXPECT_EQ(field->caret.length, 0);
    }
    focus.reset();
    EXPECT_EQ(h.desktop().liveElementReferences(), 0u);
  }
}

TEST(Inspect, ValueLimitCountsUtf16Units) {
  struct Row {
    const char* name;
    std::u16string value;
    bool accepted;
  };
  const Row rows[] = {
      {.name = "1,000,000 units", .value = std::u16string(1'000'000, u'a'), .accepted = true},
      {.name = "1,000,001 units", .value = std::u16string(1'000'001, u'a'), .accepted = false},
      {.name = "500,000 astral characters",
       .value =
           [] {
             std::u16string s;
             for (int i = 0; i < 500'000; ++i) s += u"\U0001F600";
             return s;
           }(),
       .accepted = true},
      {.name = "500,000 astral characters and one more unit",
       .value =
           [] {
             std::u16string s = u"x";
             for (int i = 0; i < 500'000; ++i) s += u"\U0001F600";
             return s;
           }(),
       .accepted = false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Harness h;
    h.desktop().patch({{"elements",
                        {{"body",
                          {{"attributes",
                            {{"AXValue", text::utf8FromUtf16(row.value)},
                             {"AXSelectedTextRange", {{"range", {0, 0}}}}}}}}}}});
    const std::optional<Focus> focus = focused(h.desktop());
    ASSERT_TRUE(focus.has_value());
    const std::optional<Inspection> field = inspect(h.desktop(), focus->element);
    EXPECT_EQ(field.has_value(), row.accepted);
    if (field) {
      EXPECT_EQ(field->value, row.value);
    }
  }
}

TEST(Capture, AnswersATokenAndStoresTheRecord) {
  Harness h;
  const json response = h.request({{"action", "capture"}});
  ASSERT_EQ(response.size(), 2u);
  EXPECT_EQ(response.at("ok"), true);
  const std::string token = response.at("token");
  ASSERT_EQ(token.size(), 36u);
  for (std::size_t i = 0; i < token.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    EXPECT_TRUE(dash ? token[i] == '-'
                     : std::string("0123456789ABCDEF").find(token[i]) != std::string::npos)
        << token;
  }
  const Target* record = h.target().peek();
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->token, token);
  EXPECT_EQ(record->pid, 501);
  EXPECT_FALSE(record->terminal);
  EXPECT_EQ(record->caret, (Range{5, 0}));
  EXPECT_EQ(record->hash, digest(u"Hello"));
  EXPECT_EQ(record->time, 800000000.0);
  // One permission check, the focus lookup, the terminal check, the six inspection requests.
  Requests expected = {"isProcessTrusted"};
  expected.insert(expected.end(), kFocusRequests.begin(), kFocusRequests.end());
  expected.push_back("runningApplication");
  expected.insert(expected.end(), kInspectRequests.begin(), kInspectRequests.end());
  EXPECT_EQ(h.requests(), expected);
  EXPECT_EQ(h.desktop().liveElementReferences(), 1u);  // the record's own
}

TEST(Capture, EveryRefusedFieldIsUnsupportedAndLeavesTheSlotEmpty) {
  const std::vector<std::pair<const char*, json>> cases = {
      {"selection not empty",
       {{"elements",
         {{"body", {{"attributes", {{"AXSelectedTextRange", {{"range", {0, 2}}}}}}}}}}}},
      {"secure field",
       {{"elements", {{"body", {{"attributes", {{"AXSubrole", "AXSecureTextField"}}}}}}}}},
      {"button", {{"elements", {{"body", {{"attributes", {{"AXRole", "AXButton"}}}}}}}}},
      {"disabled", {{"elements", {{"body", {{"attributes", {{"AXEnabled", false}}}}}}}}},
      {"host frontmost", {{"apps", {{"501", {{"bundleId", "com.github.Electron"}}}}}}},
      {"no frontmost", {{"frontmost", nullptr}}},
      {"focus on an unknown element",
       {{"apps", {{"501", {{"attributes", {{"AXFocusedUIElement", {{"element", "ghost"}}}}}}}}}}},
  };
  for (const auto& [name, patch] : cases) {
    SCOPED_TRACE(name);
    Harness h;
    const std::string earlier = h.captureToken();
    ASSERT_FALSE(earlier.empty());
    h.desktop().patch(patch);
    EXPECT_EQ(h.request({{"action", "capture"}}), refusedWith("unsupported-field"));
    EXPECT_FALSE(h.target().holding());
    EXPECT_EQ(h.desktop().liveElementReferences(), 0u);
    EXPECT_EQ(h.insert(earlier, "x"), refusedWith("no-target"));
  }
}

// Under secure event input a key posted to another application never arrives, so a field that
// would be typed into is refused at its capture; a field written through the accessibility
// interface is not affected.
TEST(Capture, SecureEventInputRefusesOnlyFieldsThatWouldBeTyped) {
  json browser = testing::baseDesktop();
  browser["frontmost"] = 701;
  browser["apps"]["701"] = {{"bundleId", "com.example.Browser"},
                            {"attributes", {{"AXFocusedUIElement", {{"element", "web"}}}}}};
  browser["elements"]["web"] = {{"app", 701},
                                {"attributes",
                                 {{"AXRole", "AXTextField"},
                                  {"AXEnabled", true},
                                  {"AXValue", ""},
                                  {"AXSelectedTextRange", {{"range", {0, 0}}}}}},
                                {"typedOnly", true}};
  const json typing = {{"action", "capture"}, {"allowTyping", true}};
  const json plain = {{"action", "capture"}};
  struct Row {
    const char* name;
    json desktop;
    json request;
    bool captured;
  };
  const Row rows[] = {
      {"terminal", testing::terminalDesktop(), plain, false},
      {"field typed into", browser, typing, false},
      {"written field", testing::baseDesktop(), plain, true},
      {"written field, typing allowed", testing::baseDesktop(), typing, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Harness h(row.desktop);
    h.desktop().setWait([](double) {});
    ASSERT_TRUE(h.request(row.request).contains("token")) << "captured while it is off";
    h.desktop().patch({{"secureInput", true}});
    EXPECT_EQ(h.request(row.request).contains("token"), row.captured);
    EXPECT_EQ(h.target().holding(), row.captured);
    EXPECT_TRUE(h.entries("postToPid").empty());
  }

  // Turned on while a field that takes keys only is being typed into: the key after it is never
  // posted, and the insert is not confirmed.
  browser["elements"]["web"]["onKeys"] = "insert";
  browser["schedule"] = {{{"afterPosts", 2}, {"patch", {{"secureInput", true}}}}};
  Harness h(browser);
  h.desktop().setWait([](double) {});
  const json captured = h.request(typing);
  ASSERT_TRUE(captured.contains("token"));
  EXPECT_EQ(h.insert(captured["token"], "xyz"), refusedWith("write-unconfirmed"));
  EXPECT_EQ(h.entries("postToPid").size(), 2u) << "one key pair, for x";
  EXPECT_EQ(h.desktop().attribute("web", "AXValue"), json("x"));
}

TEST(Capture, SecondCaptureReplacesTheFirst) {
  Harness h;
  const std::string first = h.captureToken();
  const std::string second = h.captureToken();
  ASSERT_FALSE(first.empty());
  EXPECT_NE(first, second);
  EXPECT_EQ(h.desktop().liveElementReferences(), 1u);
  EXPECT_EQ(h.insert(first, "x"), refusedWith("no-target"));
  // That insert used the capture up as well.
  EXPECT_EQ(h.insert(second, "x"), refusedWith("no-target"));
}

TEST(Capture, EmptyFieldAndTerminal) {
  Harness h;
  h.desktop().patch(
      {{"elements",
        {{"body",
          {{"attributes", {{"AXValue", ""}, {"AXSelectedTextRange", {{"range", {0, 0}}}}}}}}}}});
  ASSERT_FALSE(h.captureToken().empty());
  EXPECT_EQ(h.target().peek()->hash,
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(h.target().peek()->caret, (Range{0, 0}));

  Harness t(testing::terminalDesktop());
  ASSERT_FALSE(t.captureToken().empty());
  EXPECT_TRUE(t.target().peek()->terminal);
  EXPECT_EQ(t.target().peek()->pid, 601);
}

}  // namespace
}  // namespace caretsafe
