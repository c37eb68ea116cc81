// Insert: the order of the checks, the accessibility write and its confirmation, and
// keystroke delivery into a terminal, over the simulated desktop.

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "insertion/keystrokes.h"
#include "platform/no_service_platform.h"
#include "support/harness.h"
#include "text/utf.h"

namespace caretsafe {
namespace {

using nlohmann::json;
using testing::Harness;
using testing::ok;
using testing::refusedWith;

json bodyAttributes(json attributes) {
  return {{"elements", {{"body", {{"attributes", std::move(attributes)}}}}}};
}

std::string repeat(const std::string& s, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}

// One row: what happens between capture and insert, the request, and the answer.
struct Row {
  const char* name;
  std::function<void(Harness&)> between;
  std::function<json(const std::string& token)> request;
  json expected;
};

json insertWith(const std::string& token, json text) {
  return {{"action", "insert"}, {"token", token}, {"text", std::move(text)}};
}

TEST(InsertValidation, ChecksInOrder) {
  const auto nothing = [](Harness&) {};
  const auto withText = [](json text) {
    return [text](const std::string& token) { return insertWith(token, text); };
  };
  const auto clock = [](double seconds) {
    return [seconds](Harness& h) { h.desktop().patch({{"clock", 800000000.0 + seconds}}); };
  };
  const Row rows[] = {
      {"neither token nor text", nothing,
       [](const std::string&) {
         return json{{"action", "insert"}};
       },
       refusedWith("no-target")},
      {"wrong token", nothing, [](const std::string&) { return insertWith("nope", "x"); },
       refusedWith("no-target")},
      {"token in lower case", nothing,
       [](const std::string& t) {
         std::string lower = t;
         for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
         return insertWith(lower, "x");
       },
       refusedWith("no-target")},
      {"token a number", nothing,
       [](const std::string&) {
         return json{{"action", "insert"}, {"token", 1}, {"text", "x"}};
       },
       refusedWith("no-target")},
      {"expired and no text: age before text", clock(600.0),
       [](const std::string& t) {
         return json{{"action", "insert"}, {"token", t}};
       },
       refusedWith("expired")},
      {"exactly 600 s", clock(600.0), withText("x"), refusedWith("expired")},
      {"599.9 s passes", clock(599.9), withText("x"), ok()},
      {"clock set back passes", clock(-3600.0), withText("x"), ok()},
      {"no text", nothing,
       [](const std::string& t) {
         return json{{"action", "insert"}, {"token", t}};
       },
       refusedWith("invalid-text")},
      {"text a number", nothing, withText(5), refusedWith("invalid-text")},
      {"text null", nothing, withText(nullptr), refusedWith("invalid-text")},
      {"text empty", nothing, withText(""), refusedWith("invalid-text")},
      {"60,000 units", nothing, withText(std::string(60'000, 'a')), ok()},
      {"60,001 units", nothing, withText(std::string(60'001, 'a')), refusedWith("invalid-text")},
      {"30,000 astral characters", nothing, withText(repeat("\xF0\x9F\x98\x80", 30'000)), ok()},
      {"30,000 astral characters and one more unit", nothing,
       withText(repeat("\xF0\x9F\x98\x80", 30'000) + "a"), refusedWith("invalid-text")},
      {"empty text is found before a changed target",
       [](Harness& h) {
         h.desktop().patch({{"frontmost", nullptr}});
       },
       withText(""), refusedWith("invalid-text")},
      {"host app frontmost",
       [](Harness& h) {
         h.desktop().patch({{"apps", {{"501", {{"bundleId", "com.github.Electron"}}}}}});
       },
       withText("x"), refusedWith("target-changed")},
      {"nothing frontmost",
       [](Harness& h) {
         h.desktop().patch({{"frontmost", nullptr}});
       },
       withText("x"), refusedWith("target-changed")},
      {"another process",
       [](Harness& h) {
         h.desktop().patch({{"frontmost", 601}});
       },
       withText("x"), refusedWith("target-changed")},
      {"another field with the same text",
       [](Harness& h) {
         json twin = testing::baseDesktop()["elements"]["body"];
         h.desktop().patch(
             {{"elements", {{"twin", twin}}},
              {"apps",
               {{"501", {{"attributes", {{"AXFocusedUIElement", {{"element", "twin"}}}}}}}}}});
       },
       withText("x"), refusedWith("target-changed")},
      {"text selected since",
       [](Harness& h) {
         h.desktop().patch(bodyAttributes({{"AXSelectedTextRange", {{"range", {1, 3}}}}}));
       },
       withText("x"), refusedWith("target-changed")},
      {"caret moved",
       [](Harness& h) {
         h.desktop().patch(bodyAttributes({{"AXSelectedTextRange", {{"range", {2, 0}}}}}));
       },
       withText("x"), refusedWith("target-changed")},
      {"caret moved and back",
       [](Harness& h) {
         h.desktop().patch(bodyAttributes({{"AXSelectedTextRange", {{"range", {2, 0}}}}}));
         h.desktop().patch(bodyAttributes({{"AXSelectedTextRange", {{"range", {5, 0}}}}}));
       },
       withText("x"), ok()},
      {"value changed, caret kept",
       [](Harness& h) {
         h.desktop().patch(bodyAttributes({{"AXValue", "Hallo"}}));
       },
       withText("x"), refusedWith("target-changed")},
      {"typed and deleted",
       [](Harness& h) {
         h.desktop().patch(
             bodyAttributes({{"AXValue", "Hello!"}, {"AXSelectedTextRange", {{"range", {6, 0}}}}}));
         h.desktop().patch(
             bodyAttributes({{"AXValue", "Hello"}, {"AXSelectedTextRange", {{"range", {5, 0}}}}}));
       },
       withText("x"), ok()},
      {"became secure",
       [](Harness& h) {
         h.desktop().patch(bodyAttributes({{"AXSubrole", "AXSecureTextField"}}));
       },
       withText("x"), refusedWith("target-changed")},
      {"no longer settable",
       [](Harness& h) {
         h.desktop().patch({{"elements", {{"body", {{"settable", {{"AXSelectedText", false}}}}}}}});
       },
       withText("x"), refusedWith("target-changed")},
      {"app stopped answering",
       [](Harness& h) {
         h.desktop().setWait([](double) {});
         h.desktop().patch({{"apps", {{"501", {{"hang", true}}}}}});
       },
       withText("x"), refusedWith("target-changed")},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Harness h;
    const std::string token = h.captureToken();
    ASSERT_FALSE(token.empty());
    row.between(h);
    EXPECT_EQ(h.request(row.request(token)), row.expected);
    // Used up whatever the answer, and nothing left alive.
    EXPECT_FALSE(h.target().holding());
    EXPECT_EQ(h.desktop().liveElementReferences(), 0u);
    // A refusal writes nothing.
    if (row.expected != ok()) {
      EXPECT_TRUE(h.entries("setAttributeValue").empty());
    }
    // The same token again: the capture is gone.
    EXPECT_EQ(h.request(row.request(token)).at("reason"), "no-target");
  }
}

TEST(InsertValidation, NoCaptureAtAll) {
  Harness h;
  EXPECT_EQ(h.request({{"action", "insert"}}), refusedWith("no-target"));
  EXPECT_EQ(h.insert("00000000-0000-0000-0000-000000000000", "x"), refusedWith("no-target"));
}

TEST(AccessibilityWrite, ConfirmedOnlyWhenTheReadBackShowsTheText) {
  struct WriteRow {
    const char* name;
    json onWrite;
    std::string text;
    json expected;
  };
  const WriteRow rows[] = {
      {"insert", "insert", "!", ok()},
      {"decomposed storage is the same text", "decompose", "caf\xC3\xA9", ok()},
      {"altered text", "alter", "Ab", refusedWith("write-unconfirmed")},
      {"alter on text without letters is still the text", "alter", "123", ok()},
      {"length limit", {{"limit", 6}}, "!!", refusedWith("write-unconfirmed")},
      {"applied only after the read-back", "deferred", "!", refusedWith("write-unconfirmed")},
      {"ignored", "ignore", "!", refusedWith("write-unconfirmed")},
      {"refused with an error", {{"error", -25200}}, "!", refusedWith("write-unconfirmed")},
  };
  for (const WriteRow& row : rows) {
    SCOPED_TRACE(row.name);
    Harness h;
    h.desktop().patch({{"elements", {{"body", {{"onWrite", row.onWrite}}}}}});
    const std::string token = h.captureToken();
    h.desktop().clearJournal();
    EXPECT_EQ(h.insert(token, row.text), row.expected);
    // Exactly one write, then at once one read of the value; nothing retried.
    const auto requests = h.requests();
    const auto write =
        std::find(requests.begin(), requests.end(), "setAttributeValue body AXSelectedText");
    ASSERT_NE(write, requests.end());
    const bool refusedWrite = row.onWrite.is_object() && row.onWrite.contains("error");
    if (!refusedWrite) {
      ASSERT_NE(write + 1, requests.end());
      EXPECT_EQ(*(write + 1), "copyAttributeValue body AXValue");
    }
    EXPECT_EQ(requests.end() - write, refusedWrite ? 1 : 2);
    EXPECT_EQ(h.entries("setAttributeValue").at(0).at("value"), row.text);
  }
}

TEST(AccessibilityWrite, SplicesByUtf16Offset) {
  struct CaretRow {
    const char* name;
    std::string value;
    std::int64_t caret;
    std::string text;
    std::string after;
  };
  const CaretRow rows[] = {
      {"caret at 0 prepends", "Hello", 0, ">> ", ">> Hello"},
      {"caret at end appends", "Hello", 5, " world", "Hello world"},
      {"after astral characters",
       "\xF0\x9F\x98\x80\xF0\x9F\x98\x80"
       "ab",
       4, "X",
       "\xF0\x9F\x98\x80\xF0\x9F\x98\x80"
       "Xab"},
      {"control characters pass unchanged", "ab", 1, "\n\t\x1B",
       "a\n\t\x1B"
       "b"},
      {"spaces only", "ab", 1, "   ", "a   b"},
      {"into an empty field", "", 0, "x", "x"},
  };
  for (const CaretRow& row : rows) {
    SCOPED_TRACE(row.name);
    Harness h;
    h.desktop().patch(bodyAttributes(
        {{"AXValue", row.value}, {"AXSelectedTextRange", {{"range", {row.caret, 0}}}}}));
    EXPECT_EQ(h.insert(h.captureToken(), row.text), ok());
    EXPECT_EQ(h.desktop().attribute("body", "AXValue"), json(row.after));
    EXPECT_EQ(h.entries("setAttributeValue").at(0).at("fieldValue"), row.after);
  }
}

// --- keystroke delivery ---

// What was posted, as (keyDown, text) pairs in order.
std::vector<std::pair<bool, std::string>> posted(const Harness& h) {
  std::vector<std::pair<bool, std::string>> out;
  for (const json& e : h.entries("postToPid")) {
    EXPECT_EQ(e.at("pid"), 601);
    EXPECT_EQ(e.at("virtualKey"), 0);
    EXPECT_EQ(e.at("flags"), 0);
    out.emplace_back(e.at("keyDown").get<bool>(), e.at("text").get<std::string>());
  }
  return out;
}

// The text typed, read back from the key-down events; each key-up must repeat its key-down.
std::string typed(const Harness& h) {
  std::string out;
  const auto events = posted(h);
  for (std::size_t i = 0; i + 1 < events.size(); i += 2) {
    EXPECT_TRUE(events[i].first);
    EXPECT_FALSE(events[i + 1].first);
    EXPECT_EQ(events[i].second, events[i + 1].second);
    out += events[i].second;
  }
  EXPECT_EQ(events.size() % 2, 0u);
  return out;
}

const json kSent = {{"ok", true}, {"delivery", "sent-unverified"}};

TEST(KeystrokeDelivery, OneKeyPairPerScalarWithAFocusLookupBeforeEach) {
  Harness h(testing::terminalDesktop());
  const std::string token = h.captureToken();
  h.desktop().clearJournal();
  EXPECT_EQ(h.insert(token, "ls\n-\xC3\xA9\xF0\x9F\x98\x80"), kSent);
  EXPECT_EQ(typed(h), "ls -\xC3\xA9\xF0\x9F\x98\x80");
  // After validation: one modifier read, then per scalar a focus lookup and its pair.
  auto requests = h.requests();
  const auto flags = std::find(requests.begin(), requests.end(), "flagsState");
  ASSERT_NE(flags, requests.end());
  std::vector<std::string> delivery(flags + 1, requests.end());
  const std::vector<std::string> perScalar = {"frontmostApplication",
                                              "createApplication app:601",
                                              "setMessagingTimeout app:601",
                                              "copyAttributeValue app:601 AXFocusedUIElement",
                                              "setMessagingTimeout shell",
                                              "createKeyboardEvent",
                                              "createKeyboardEvent",
                                              "postToPid",
                                              "postToPid"};
  std::vector<std::string> expected;
  for (int i = 0; i < 6; ++i) expected.insert(expected.end(), perScalar.begin(), perScalar.end());
  EXPECT_EQ(delivery, expected);
  EXPECT_EQ(h.entries("flagsState").size(), 1u);
  EXPECT_EQ(h.desktop().liveKeyEvents(), 0u);
  EXPECT_EQ(h.desktop().liveElementReferences(), 0u);
  EXPECT_TRUE(h.entries("setAttributeValue").empty());  // never the accessibility write
}

TEST(KeystrokeDelivery, Outcomes) {
  struct DeliveryRow {
    const char* name;
    json patch;  // applied after the capture
    std::string text;
    json expected;
    std::string typedText;
  };
  const auto focusTo = [](const char* element) {
    return json{
        {"apps", {{"601", {{"attributes", {{"AXFocusedUIElement", {{"element", element}}}}}}}}}};
  };
  const std::string letters4000(4000, 'a');
  const DeliveryRow rows[] = {
      {"Shift held", {{"modifiers", 0x20000}}, "ls", refusedWith("modifier-held"), ""},
      {"Control held", {{"modifiers", 0x40000}}, "ls", refusedWith("modifier-held"), ""},
      {"Option held", {{"modifiers", 0x80000}}, "ls", refusedWith("modifier-held"), ""},
      {"Command held", {{"modifiers", 0x100000}}, "ls", refusedWith("modifier-held"), ""},
      {"Caps Lock engaged", {{"modifiers", 0x10000}}, "ls", kSent, "ls"},
      {"Fn held", {{"modifiers", 0x800000}}, "ls", kSent, "ls"},
      {"line feeds only", json::object(), "\n\n\r\n", refusedWith("invalid-text"), ""},
      {"spaces only", json::object(), "   ", refusedWith("invalid-text"), ""},
      {"4,000 after trimming", json::object(), letters4000 + std::string(10, '\n'), kSent,
       letters4000},
      {"4,001 units", json::object(), letters4000 + "a", refusedWith("invalid-text"), ""},
      {"2,000 emoji", json::object(), repeat("\xF0\x9F\x98\x80", 2000), kSent,
       repeat("\xF0\x9F\x98\x80", 2000)},
      {"2,000 emoji and one more unit", json::object(), repeat("\xF0\x9F\x98\x80", 2000) + "a",
       refusedWith("invalid-text"), ""},
      {"two lines become one", json::object(), "echo\nhi", kSent, "echo hi"},
      {"focus moves after five scalars",
       {{"schedule", {{{"afterPosts", 10}, {"patch", focusTo("body")}}}}},
       "abcdefgh",
       refusedWith("write-unconfirmed"),
       "abcde"},
      {"focus to another terminal element after two",
       {{"elements", {{"tab2", {{"app", 601}}}}},
        {"schedule", {{{"afterPosts", 4}, {"patch", focusTo("tab2")}}}}},
       "abc",
       refusedWith("write-unconfirmed"),
       "ab"},
      {"host comes to the front after one",
       {{"schedule",
         {{{"afterPosts", 2},
           {"patch",
            {{"frontmost", 501}, {"apps", {{"501", {{"bundleId", "app.norvane.pro"}}}}}}}}}}},
       "abc",
       refusedWith("write-unconfirmed"),
       "a"},
      {"secure event input on before the first key",
       {{"secureInput", true}},
       "ls",
       refusedWith("write-unconfirmed"),
       ""},
      {"secure event input turned on after two scalars",
       {{"schedule", {{{"afterPosts", 4}, {"patch", {{"secureInput", true}}}}}}},
       "abcd",
       refusedWith("write-unconfirmed"),
       "ab"},
      {"no key event can be made",
       {{"eventCreations", 0}},
       "ab",
       refusedWith("write-unconfirmed"),
       ""},
      {"key-up of the second pair cannot be made",
       {{"eventCreations", 3}},
       "ab",
       refusedWith("write-unconfirmed"),
       "a"},
  };
  for (const DeliveryRow& row : rows) {
    SCOPED_TRACE(row.name);
    Harness h(testing::terminalDesktop());
    const std::string token = h.captureToken();
    ASSERT_FALSE(token.empty());
    h.desktop().patch(row.patch);
    EXPECT_EQ(h.insert(token, row.text), row.expected);
    EXPECT_EQ(typed(h), row.typedText);
    EXPECT_EQ(h.desktop().liveKeyEvents(), 0u);
    EXPECT_EQ(h.desktop().liveElementReferences(), 0u);
    EXPECT_EQ(h.insert(token, row.text), refusedWith("no-target"));
  }
}

TEST(KeystrokeDelivery, NoPostedEventEverCarriesALineBreakOrControl) {
  // Random texts drawn mostly from the dangerous characters.
  const char32_t pool[] = {0x00,   0x03,   0x09,    0x0A,   0x0B,   0x0C,   0x0D,   0x1B,  0x1F,
                           0x20,   0x41,   0x7E,    0x7F,   0x85,   0x9B,   0x9F,   0xA0,  0x2028,
                           0x2029, 0x3000, 0x1F600, 0x05D0, 0x0301, 0xFEFF, 0xD800, 0xDC00};
  std::mt19937 random(20261210);
  std::uniform_int_distribution<std::size_t> pick(0, std::size(pool) - 1);
  std::uniform_int_distribution<int> length(1, 40);
  for (int round = 0; round < 200; ++round) {
    std::u16string text;
    for (int i = length(random); i > 0; --i) {
      const char32_t c = pool[pick(random)];
      if (text::isSurrogate(c)) {
        text.push_back(static_cast<char16_t>(c));  // lone halves, as an escape could carry them
      } else {
        text::appendUtf16(text, c);
      }
    }
    Harness h(testing::terminalDesktop());
    // Through the JSON line, as a host would send it: lone halves as \u escapes.
    std::string escaped;
    for (const char16_t unit : text) {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\u%04X", static_cast<unsigned>(unit));
      escaped += buffer;
    }
    const std::string token = h.captureToken();
    const std::string line =
        R"({"action":"insert","token":")" + token + R"(","text":")" + escaped + "\"}";
    const auto response = answerLine(line, h.desktop(), h.target());
    ASSERT_TRUE(response.has_value());
    for (const json& e : h.entries("postToPid")) {
      const std::u16string units = text::utf16FromUtf8(e.at("text").get<std::string>());
      ASSERT_FALSE(units.empty());
      ASSERT_LE(units.size(), 2u);
      for (const char16_t u : units) {
        EXPECT_FALSE(u < 0x20 || (u >= 0x7F && u <= 0x9F) || u == 0x2028 || u == 0x2029)
            << "round " << round << " posted U+" << std::hex << static_cast<unsigned>(u);
      }
      EXPECT_FALSE(units.size() == 1 && text::isSurrogate(units[0]));
    }
  }
}

// A terminal whose platform can tell that a key did not arrive (the focus left under the
// server grab, say): the first refused key ends the delivery, and nothing after it is posted.
class RefusingTerminal final : public NoServicePlatform {
 public:
  explicit RefusingTerminal(std::size_t acceptedKeys) : accepted_(acceptedKeys) {}
  std::optional<RunningApp> frontmostApplication() override {
    return RunningApp{601, std::string("com.apple.Terminal")};
  }
  Pid ownPid() override { return 1; }
  std::optional<Pid> parentPid() override { return std::nullopt; }
  AttributeRead copyAttributeValue(const Element&, std::string_view) override {
    return {kAxSuccess, Element::adopt(*this, 1)};
  }
  bool elementsEqual(const Element& a, const Element& b) override { return a.ref() == b.ref(); }
  KeyEvent createKeyboardEvent(std::uint16_t, bool) override { return KeyEvent::adopt(*this, 7); }
  bool postToPid(Pid, const KeyEvent&) override {
    ++posts;
    return posts <= 2 * accepted_;
  }
  std::size_t posts = 0;

 private:
  std::size_t accepted_;
};

TEST(Keystrokes, AKeyThePlatformRefusedEndsTheDelivery) {
  for (const std::size_t accepted : {0u, 2u, 4u}) {
    SCOPED_TRACE(accepted);
    RefusingTerminal platform(accepted);
    const Element validated = Element::adopt(platform, 1);
    const InsertResult result = typeText(platform, validated, 601, u"abcde");
    EXPECT_EQ(result, InsertResult(Reason::kWriteUnconfirmed));
    EXPECT_EQ(platform.posts, 2 * accepted + 1);  // the refused key-down, nothing after it
  }
  RefusingTerminal all(5);
  EXPECT_EQ(typeText(all, Element::adopt(all, 1), 601, u"abcde"),
            InsertResult(Delivery::kSentUnverified));
}

}  // namespace
}  // namespace caretsafe
