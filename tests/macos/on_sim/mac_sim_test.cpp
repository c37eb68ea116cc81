// The macOS adapter over the frameworks that the simulated desktop answers (caretsafe-mac-sim's
// platform): the same requests give the same answers and the same journal as the simulated
// desktop's own platform, and the frameworks hold the adapter to their reference rules.

#include <ApplicationServices/ApplicationServices.h>
#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/request_loop.h"
#include "insertion/target.h"
#include "platform/process_platform.h"
#include "platform/sim/sim_desktop.h"
#include "support/harness.h"
#include "support/mac_browsers.h"
#include "tests/macos/on_sim/frameworks.h"

namespace caretsafe {
namespace {

using nlohmann::json;

std::unique_ptr<sim::SimDesktop> quietDesktop(const json& desktop) {
  auto made = std::make_unique<sim::SimDesktop>(desktop);
  made->setWait([](double) {});  // pauses and hangs are journaled, not waited for
  return made;
}

struct Session {
  std::vector<json> answers;
  std::vector<std::string> journal;
};

// The requests through the request loop's line handling on this platform; an insert's token
// "$TOKEN" stands for the token of the capture before it. Tokens are left out of the answers.
Session runOn(Platform& platform, const sim::SimDesktop& desktop,
              const std::vector<json>& requests) {
  Session run;
  TargetSlot target;
  std::string token;
  for (json request : requests) {
    if (request.value("token", "") == "$TOKEN") request["token"] = token;
    const auto line = answerLine(request.dump(), platform, target);
    json answer = line ? json::parse(*line) : json();
    if (answer.contains("token")) {
      token = answer["token"];
      EXPECT_EQ(token.size(), 36u);
      EXPECT_EQ(token.find_first_of("abcdef"), std::string::npos) << "tokens are upper case";
      answer["token"] = "$TOKEN";
    }
    run.answers.push_back(answer);
  }
  target.clear();
  run.journal = desktop.journal();
  return run;
}

json webDesktop(const char* bundleId, const char* treeSwitch, bool electron) {
  json d = testing::baseDesktop();
  d["frontmost"] = 801;
  d["apps"]["801"] = {
      {"bundleId", bundleId},
      {"electron", electron},
      {"attributes", {{"AXFocusedUIElement", {{"error", -25212}}}, {treeSwitch, false}}}};
  d["elements"]["page"] = {{"app", 801}, {"attributes", {{"AXRole", "AXWebArea"}}}};
  d["elements"]["web"] = {{"app", 801},
                          {"attributes",
                           {{"AXRole", "AXTextField"},
                            {"AXEnabled", true},
                            {"AXParent", {{"element", "page"}}},
                            {"AXValue",
                             "a\xF0\x9F\x98\x80"
                             "b c"},
                            {"AXSelectedTextRange", {{"range", {4, 0}}}}}},
                          {"settable", {{"AXSelectedText", true}}},
                          {"onWrite", "ignore"},
                          {"onKeys", "insert"}};
  d["schedule"] =
      json::array({{{"afterSetting", {{"attribute", treeSwitch}, {"pauses", 2}}},
                    {"patch", json::parse(R"({"apps": {"801": {"attributes": {"AXFocusedUIElement":
                                 {"error": null, "element": "web"}}}}})")}}});
  return d;
}

TEST(MacOnSim, AnswersAndJournalAreTheSimulatedDesktopsOwn) {
  const json capture = {{"action", "capture"}};
  const json typingCapture = {{"action", "capture"}, {"allowTyping", true}};
  const auto insert = [](const char* text) {
    return json{{"action", "insert"}, {"token", "$TOKEN"}, {"text", text}};
  };
  struct Row {
    const char* name;
    json desktop;
    std::vector<json> requests;
    json last;  // the answer to the last request
  };
  const json done = {{"ok", true}};
  const auto refused = [](const char* reason) { return json{{"ok", false}, {"reason", reason}}; };
  json deferred = testing::baseDesktop();
  deferred["elements"]["body"]["onWrite"] = "deferred";
  json hung = testing::baseDesktop();
  hung["apps"]["501"]["hang"] = true;
  json moved = testing::baseDesktop();
  moved["schedule"] = json::parse(
      R"([{"afterOps": 14, "patch": {"elements": {"body": {"attributes": {"AXValue": "Hullo"}}}}}])");
  json untrusted = testing::baseDesktop();
  untrusted["trusted"] = false;
  json held = testing::terminalDesktop();
  held["modifiers"] = 131072;
  json lone = testing::baseDesktop();
  lone["elements"]["body"]["attributes"]["AXValue"] = "\xED\xA0\x80";  // a lone high surrogate
  lone["elements"]["body"]["attributes"]["AXSelectedTextRange"] = {{"range", {1, 0}}};
  json secureTerminal = testing::terminalDesktop();
  secureTerminal["secureInput"] = true;
  json secureMidway = testing::terminalDesktop();
  secureMidway["schedule"] = json::parse(R"([{"afterPosts": 4, "patch": {"secureInput": true}}])");
  json apiDisabled = testing::baseDesktop();
  apiDisabled["apps"]["501"]["attributes"]["AXFocusedUIElement"] = {{"error", -25211}};
  json host = testing::baseDesktop();
  host["parentPid"] = 501;
  std::vector<Row> rows = {
      {"written field",
       testing::baseDesktop(),
       {capture, insert(" w\xC3\xB6rld \xF0\x9F\x98\x80")},
       done},
      {"typed terminal",
       testing::terminalDesktop(),
       {capture, insert("echo h\xC3\xA9llo \xF0\x9F\x98\x80\n")},
       {{"ok", true}, {"delivery", "sent-unverified"}}},
      {"deferred write", deferred, {capture, insert("!")}, refused("write-unconfirmed")},
      {"hung application", hung, {capture}, refused("unsupported-field")},
      {"value changed before the insert", moved, {capture, insert("x")}, refused("target-changed")},
      {"untrusted", untrusted, {{{"action", "status"}}, capture}, refused("permission-required")},
      {"modifier held", held, {capture, insert("ls")}, refused("modifier-held")},
      {"lone surrogate kept", lone, {capture, insert("x")}, done},
      {"terminal under secure event input",
       secureTerminal,
       {capture},
       refused("unsupported-field")},
      {"secure event input turned on while typing",
       secureMidway,
       {capture, insert("ls -l")},
       refused("write-unconfirmed")},
      {"accessibility API disabled", apiDisabled, {capture}, refused("permission-required")},
      {"the host itself", host, {capture}, refused("unsupported-field")},
      {"browser web field typed",
       webDesktop("com.google.Chrome", "AXEnhancedUserInterface", false),
       {typingCapture, insert("Z\xF0\x9F\x98\x80")},
       done},
      {"Electron web field typed",
       webDesktop("com.example.Chat", "AXManualAccessibility", true),
       {typingCapture, insert("Z")},
       done},
  };
  for (const testing::BrowserCase& browser : testing::macBrowserCases()) {
    rows.push_back({browser.name,
                    browser.desktop,
                    {typingCapture, insert(testing::kBrowserText.c_str())},
                    done});
  }
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const auto direct = quietDesktop(row.desktop);
    const Session expected = runOn(*direct, *direct, row.requests);

    auto owned = quietDesktop(row.desktop);
    const sim::SimDesktop& behind = *owned;
    onsim::useDesktop(std::move(owned));
    Session actual;
    {
      const std::unique_ptr<Platform> mac = makeProcessPlatform();
      actual = runOn(*mac, behind, row.requests);
    }
    EXPECT_EQ(onsim::liveObjects(), 0u) << "every framework object released";
    EXPECT_EQ(behind.liveElementReferences(), 0u);
    EXPECT_EQ(behind.liveKeyEvents(), 0u);

    EXPECT_EQ(actual.answers, expected.answers);
    EXPECT_EQ(actual.answers.back(), row.last);
    // The adapter knows no field that takes keys only (it finds web fields by their web area),
    // so it never asks the desktop's typedOnly; everything else is asked alike.
    std::vector<std::string> asked;
    for (const std::string& line : expected.journal) {
      if (line.rfind(R"({"op":"typedOnly")", 0) != 0) asked.push_back(line);
    }
    EXPECT_EQ(actual.journal, asked);
  }
  onsim::useDesktop(nullptr);
}

TEST(MacOnSim, FrameworkValuesKeepTheRealRules) {
  onsim::useDesktop(quietDesktop(testing::terminalDesktop()));
  // Strings hold exactly the units given, a lone surrogate too.
  const UniChar units[] = {u'a', 0xD800, u'b'};
  CFStringRef text = CFStringCreateWithCharacters(kCFAllocatorDefault, units, 3);
  UniChar back[3] = {};
  ASSERT_EQ(CFStringGetLength(text), 3);
  CFStringGetCharacters(text, CFRangeMake(0, 3), back);
  EXPECT_EQ(std::u16string(back, back + 3), std::u16string(u"a\xD800"
                                                           u"b"));
  // Bytes that are not UTF-8 make no string.
  const UInt8 broken[] = {0xC3, 0x28};
  EXPECT_EQ(CFStringCreateWithBytes(kCFAllocatorDefault, broken, 2, kCFStringEncodingUTF8, false),
            nullptr);

  // A copied element carries one reference; two copies of one element are equal.
  AXUIElementRef app = AXUIElementCreateApplication(601);
  const auto focusName = CFStringCreateWithCharacters(
      kCFAllocatorDefault, reinterpret_cast<const UniChar*>(u"AXFocusedUIElement"), 18);
  CFTypeRef first = nullptr;
  CFTypeRef second = nullptr;
  ASSERT_EQ(AXUIElementCopyAttributeValue(app, focusName, &first), kAXErrorSuccess);
  ASSERT_EQ(AXUIElementCopyAttributeValue(app, focusName, &second), kAXErrorSuccess);
  EXPECT_TRUE(CFEqual(first, second));
  EXPECT_FALSE(CFEqual(first, app));
  EXPECT_EQ(onsim::liveObjects(), 5u);

  // An event carries at most 20 UTF-16 units, as the real one does.
  CGEventRef down = CGEventCreateKeyboardEvent(nullptr, 0, true);
  const std::u16string long_(25, u'x');
  CGEventKeyboardSetUnicodeString(down, long_.size(),
                                  reinterpret_cast<const UniChar*>(long_.data()));
  CGEventPostToPid(601, down);
  const json posted = json::parse(onsim::desktop().journal().back());
  EXPECT_EQ(posted.at("text"), std::string(20, 'x'));

  for (CFTypeRef object :
       {CFTypeRef(down), first, second, CFTypeRef(focusName), CFTypeRef(app), CFTypeRef(text)}) {
    CFRelease(object);
  }
  EXPECT_EQ(onsim::liveObjects(), 0u);
  EXPECT_EQ(onsim::desktop().liveElementReferences(), 0u);
  onsim::useDesktop(nullptr);
}

TEST(MacOnSimDeathTest, DoubleReleaseStopsTheProcessAtTheSecondRelease) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        const UniChar unit = u'a';
        CFStringRef text = CFStringCreateWithCharacters(kCFAllocatorDefault, &unit, 1);
        CFRelease(text);
        std::fputs("released once\n", stderr);
        CFRelease(text);
        std::fputs("released twice\n", stderr);
      },
      "released once\ncaretsafe-mac-sim: CFRelease given a CFString that was already released");
  // Any other use of a released object stops there as well: its address is never reused.
  EXPECT_DEATH(
      {
        onsim::useDesktop(quietDesktop(testing::baseDesktop()));
        AXUIElementRef app = AXUIElementCreateApplication(501);
        CFRelease(app);
        AXUIElementSetMessagingTimeout(app, 1);
      },
      "AXUIElementSetMessagingTimeout given a AXUIElement that was already released");
}

TEST(MacOnSimDeathTest, AnObjectAliveAtExitFailsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        const UniChar unit = u'a';
        static_cast<void>(CFStringCreateWithCharacters(kCFAllocatorDefault, &unit, 1));
        std::exit(0);
      },
      ::testing::ExitedWithCode(1),
      "caretsafe-mac-sim: at exit 1 framework object\\(s\\) still alive \\(1 CFString\\), 0 "
      "autorelease pool\\(s\\) open");
}

}  // namespace
}  // namespace caretsafe
