// The request channel over the simulated desktop: framing, the default refusal, the
// "requestId" echo, routing, the permission gate and what each request does to the slot.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/responses.h"
#include "support/harness.h"

namespace caretsafe {
namespace {

using nlohmann::json;
using testing::Harness;
using testing::ok;
using testing::refusedWith;
using namespace std::string_literals;

std::vector<json> parsed(const std::vector<std::string>& lines) {
  std::vector<json> out;
  for (const std::string& line : lines) out.push_back(json::parse(line));
  return out;
}

const json kDefault = refusedWith("invalid-command");
const json kStatus = {{"ok", true}, {"trusted", true}};

TEST(RequestLoop, Framing) {
  struct Row {
    const char* name;
    std::string input;
    std::vector<json> expected;
  };
  const Row rows[] = {
      {"no input at all", "", {}},
      {"empty line", "\n", {kDefault}},
      {"blank line", "   \n", {kDefault}},
      {"LF", "{\"action\":\"status\"}\n", {kStatus}},
      {"CR LF", "{\"action\":\"status\"}\r\n", {kStatus}},
      {"last line without terminator", "{\"action\":\"status\"}", {kStatus}},
      {"last line ending in a bare CR keeps it (JSON white space)",
       "{\"action\":\"status\"}\r",
       {kStatus}},
      {"a bare CR is no line break",
       "{\"action\":\"clear\"}\r{\"action\":\"status\"}\n",
       {kDefault}},
      {"CR inside a string stays in the text", "{\"action\":\"sta\rtus\"}\n", {kDefault}},
      {"batch answered in order",
       "{\"action\":\"clear\"}\n[]\n{\"action\":\"status\"}\r\n\n{\"action\":\"nope\"}",
       {ok(), kDefault, kStatus, kDefault, kDefault}},
      {"array, string, number, true, null",
       "[1]\n\"status\"\n3\ntrue\nnull\n",
       {kDefault, kDefault, kDefault, kDefault, kDefault}},
      {"object followed by more",
       "{\"action\":\"status\"}{}\n{\"action\":\"status\"} x\n",
       {kDefault, kDefault}},
      {"ill-formed UTF-8 in a string is read as U+FFFD",
       "{\"action\":\"status\",\"junk\":\"\xff\xc0\"}\n",
       {kStatus}},
      {"ill-formed UTF-8 outside strings", "{\"action\":\"status\"}\xff\n", {kDefault}},
      {"raw NUL", "{\"action\":\"status\"}\0\n"s, {kDefault}},
      {"endless line, then a request",
       std::string(3'000'000, '{') + "\n{\"action\":\"status\"}\n",
       {kDefault, kStatus}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Harness h;
    EXPECT_EQ(parsed(h.run(row.input)), row.expected);
  }
}

TEST(RequestLoop, OutputIsCompactOneLinePerRequest) {
  Harness h;
  const auto lines = h.run("{\"action\":\"status\",\"requestId\":{\"a\":[1, 2,\n3]}}\n");
  // The array spanned two input lines: two default refusals, compact, nothing else.
  EXPECT_EQ(lines, (std::vector<std::string>{R"({"ok":false,"reason":"invalid-command"})",
                                             R"({"ok":false,"reason":"invalid-command"})"}));
  const auto echoed = h.run("{ \"action\" : \"clear\" , \"requestId\" : [ 1 , \"x\\ny\" ] }\n");
  ASSERT_EQ(echoed.size(), 1u);
  EXPECT_EQ(echoed[0].find(' '), std::string::npos);
  EXPECT_EQ(json::parse(echoed[0]), (json{{"ok", true}, {"requestId", {1, "x\ny"}}}));
}

TEST(RequestLoop, RequestIdEchoedAsTheSameValue) {
  const std::vector<std::string> ids = {"null",
                                        "7",
                                        "-3.5",
                                        "\"abc\"",
                                        "true",
                                        "[1,[2,{}]]",
                                        "{\"k\":{\"v\":null}}",
                                        "18446744073709551615",
                                        "-9223372036854775808",
                                        "\"\\u00e9\\ud83d\\ude00\""};
  for (const std::string& id : ids) {
    SCOPED_TRACE(id);
    Harness h;
    for (const char* action : {"status", "clear", "nope"}) {
      const auto lines =
          h.run("{\"action\":\"" + std::string(action) + "\",\"requestId\":" + id + "}\n");
      ASSERT_EQ(lines.size(), 1u);
      const json response = json::parse(lines[0]);
      EXPECT_EQ(response.at("requestId"), json::parse(id));
    }
  }
  Harness h;
  EXPECT_EQ(parsed(h.run("{\"action\":\"status\"}\n")), std::vector<json>{kStatus});
  // An unpaired surrogate escape comes back as U+FFFD: the answer stays valid UTF-8, one line.
  EXPECT_EQ(h.run("{\"action\":\"clear\",\"requestId\":\"x\\ud800\"}\n"),
            std::vector<std::string>{"{\"ok\":true,\"requestId\":\"x\xEF\xBF\xBD\"}"});
  // Not a request object: never an echo, even when the text holds one.
  EXPECT_EQ(parsed(h.run("{\"requestId\":1,}\n[{\"requestId\":1}]\n")),
            (std::vector<json>{kDefault, kDefault}));
}

TEST(RequestLoop, SizeLimitCountsSanitisedBytes) {
  // {"action":"status","requestId":"xxx…"} padded to an exact size.
  const auto line = [](std::size_t size, const std::string& unit) {
    const std::string head = "{\"action\":\"status\",\"requestId\":\"";
    const std::string tail = "\"}";
    std::string fill;
    while (head.size() + fill.size() + tail.size() + unit.size() <= size) fill += unit;
    while (head.size() + fill.size() + tail.size() < size) fill += "x";
    return head + fill + tail;
  };
  struct Row {
    const char* name;
    std::string text;
    bool handled;
  };
  const Row rows[] = {
      {.name = "exactly 1,000,000 ASCII bytes", .text = line(1'000'000, "x"), .handled = true},
      {.name = "1,000,001 ASCII bytes", .text = line(1'000'001, "x"), .handled = false},
      {.name = "exactly 1,000,000 with 4-byte characters",
       .text = line(1'000'000, "\xF0\x9F\x98\x80"),
       .handled = true},
      {.name = "1,000,001 with 2-byte characters",
       .text = line(1'000'001, "\xC3\xA9"),
       .handled = false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_EQ(row.text.size(),
              std::string_view(row.name).starts_with("exactly") ? 1'000'000u : 1'000'001u);
    Harness h;
    const auto lines = h.run(row.text + "\n");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(json::parse(lines[0]).contains("requestId"), row.handled);
  }
  // The CR of a CR LF does not count: 1,000,001 bytes before the LF, the last one a CR.
  {
    Harness h;
    const auto lines = h.run(line(1'000'000, "x") + "\r\n" + line(1'000'000, "x") + "\r\r\n");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(json::parse(lines[0]).contains("requestId"));
    EXPECT_FALSE(json::parse(lines[1]).contains("requestId"));
  }
  // Each ill-formed byte counts as the three bytes of U+FFFD: 333,330 lone continuation bytes
  // become 999,990 bytes, plus the 12 around them is over the limit.
  const std::string wrapped =
      "{\"a\":\"" + std::string(333'330, '\x80') + "\"}";  // 333,338 raw bytes
  ASSERT_LT(wrapped.size(), 1'000'000u);
  Harness h;
  EXPECT_EQ(parsed(h.run(wrapped + "\n")), std::vector<json>{kDefault});
}

TEST(Dispatcher, RoutesByExactActionWordBehindTheGate) {
  struct Row {
    const char* name;
    json request;
    json trusted;    // response when trusted
    json untrusted;  // response when not
  };
  const json kPermission = refusedWith("permission-required");
  const Row rows[] = {
      {"clear", {{"action", "clear"}}, ok(), ok()},
      {"status", {{"action", "status"}}, kStatus, {{"ok", true}, {"trusted", false}}},
      {"Capital Status", {{"action", "Status"}}, kDefault, kPermission},
      {"status with a blank", {{"action", "status "}}, kDefault, kPermission},
      {"CLEAR", {{"action", "CLEAR"}}, kDefault, kPermission},
      {"Capture", {{"action", "Capture"}}, kDefault, kPermission},
      {"empty word", {{"action", ""}}, kDefault, kPermission},
      {"no action", json::object(), kDefault, kPermission},
      {"number", {{"action", 1}}, kDefault, kPermission},
      {"null", {{"action", nullptr}}, kDefault, kPermission},
      {"true", {{"action", true}}, kDefault, kPermission},
      {"array", {{"action", {"status"}}}, kDefault, kPermission},
      {"object", {{"action", {{"status", 1}}}}, kDefault, kPermission},
      {"capture untrusted", {{"action", "capture"}}, {}, kPermission},
      {"insert untrusted", {{"action", "insert"}, {"token", "x"}, {"text", "y"}}, {}, kPermission},
      {"other members ignored",
       {{"action", "status"}, {"token", 1}, {"text", "x"}},
       kStatus,
       {{"ok", true}, {"trusted", false}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    for (const bool trusted : {true, false}) {
      if (row.trusted.is_null() && trusted) continue;
      json desktop = testing::baseDesktop();
      desktop["trusted"] = trusted;
      Harness h(desktop);
      EXPECT_EQ(h.request(row.request), trusted ? row.trusted : row.untrusted);
      // The permission is asked once for "status" and at the gate, never for "clear".
      const std::size_t asked = h.entries("isProcessTrusted").size();
      EXPECT_EQ(asked, row.request.value("action", json()) == "clear" ? 0u : 1u);
    }
  }
}

TEST(Dispatcher, TrustIsAskedAfreshEveryTime) {
  Harness h;
  EXPECT_EQ(h.request({{"action", "status"}}), kStatus);
  h.desktop().patch({{"trusted", false}});
  EXPECT_EQ(h.request({{"action", "status"}}), (json{{"ok", true}, {"trusted", false}}));
  h.desktop().patch({{"trusted", true}});
  EXPECT_EQ(h.request({{"action", "status"}}), kStatus);
  EXPECT_EQ(h.entries("isProcessTrusted").size(), 3u);
}

// A permission that the check affirms while every accessibility request answers
// kAXErrorAPIDisabled (after the host is re-signed or updated) is answered as no permission, and
// drops the capture, unless something may already have reached the field.
TEST(Dispatcher, AccessibilityApiDisabledIsAPermissionToGrantAgain) {
  const json disabled = {{"error", -25211}};
  // A merge patch: the null drops the element the focus named.
  const json focusLost = {{"element", nullptr}, {"error", -25211}};
  const json focusDisabled = {{"apps",
                               {{"501", {{"attributes", {{"AXFocusedUIElement", focusLost}}}}},
                                {"601", {{"attributes", {{"AXFocusedUIElement", focusLost}}}}}}}};
  struct Row {
    const char* name;
    json desktop;
    json beforeCapture;  // patches applied before the second capture
    json beforeInsert;   // and after it, before the insert
    json capture;        // the answer to the second capture (the first always succeeds)
    json insert;         // the answer to the insert, when the capture succeeded
  };
  const json typedAfterOne = {{"schedule", {{{"afterPosts", 2}, {"patch", focusDisabled}}}}};
  const Row rows[] = {
      {"capture", testing::baseDesktop(), focusDisabled, json::object(),
       refusedWith("permission-required"), nullptr},
      {"capture of a terminal", testing::terminalDesktop(), focusDisabled, json::object(),
       refusedWith("permission-required"), nullptr},
      {"a settable test alone",
       testing::baseDesktop(),
       {{"elements", {{"body", {{"settable", {{"AXSelectedText", disabled}}}}}}}},
       json::object(),
       refusedWith("permission-required"),
       nullptr},
      {"insert, at its validation", testing::baseDesktop(), json::object(), focusDisabled, nullptr,
       refusedWith("permission-required")},
      {"insert whose write answers it",
       testing::baseDesktop(),
       json::object(),
       {{"elements", {{"body", {{"onWrite", disabled}}}}}},
       nullptr,
       refusedWith("write-unconfirmed")},
      {"typing, after a key was posted", testing::terminalDesktop(), json::object(), typedAfterOne,
       nullptr, refusedWith("write-unconfirmed")},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Harness h(row.desktop);
    const std::string earlier = h.captureToken();
    ASSERT_FALSE(earlier.empty());
    h.desktop().patch(row.beforeCapture);
    const json captured = h.request({{"action", "capture"}});
    if (!row.capture.is_null()) {
      EXPECT_EQ(captured, row.capture);
      EXPECT_FALSE(h.target().holding());
      EXPECT_EQ(h.insert(earlier, "x"), refusedWith("no-target")) << "the earlier capture dropped";
    } else {
      ASSERT_TRUE(captured.contains("token"));
      h.desktop().patch(row.beforeInsert);
      EXPECT_EQ(h.insert(captured["token"], "ls"), row.insert);
      EXPECT_FALSE(h.target().holding());
    }
    // The permission check itself still answers yes.
    EXPECT_EQ(h.request({{"action", "status"}}), kStatus);
    EXPECT_EQ(h.desktop().liveElementReferences(), 0u);
  }
}

TEST(Responses, DomainResultsBecomeTheirResponseObjects) {
  // The reason-code table, complete and exact.
  const std::pair<Reason, const char*> codes[] = {
      {Reason::kInvalidCommand, "invalid-command"},
      {Reason::kPermissionRequired, "permission-required"},
      {Reason::kUnsupportedField, "unsupported-field"},
      {Reason::kNoTarget, "no-target"},
      {Reason::kExpired, "expired"},
      {Reason::kInvalidText, "invalid-text"},
      {Reason::kTargetChanged, "target-changed"},
      {Reason::kModifierHeld, "modifier-held"},
      {Reason::kWriteUnconfirmed, "write-unconfirmed"},
  };
  for (const auto& [reason, code] : codes) {
    SCOPED_TRACE(code);
    EXPECT_EQ(reasonCode(reason), code);
    EXPECT_EQ(response(CaptureResult(reason)), refusedWith(code));
    EXPECT_EQ(response(InsertResult(reason)), refusedWith(code));
  }
  EXPECT_EQ(response(CaptureResult(Captured{"0F8C5E52-1B5A-4C1F-9E1A-7A2B3C4D5E6F"})),
            (json{{"ok", true}, {"token", "0F8C5E52-1B5A-4C1F-9E1A-7A2B3C4D5E6F"}}));
  EXPECT_EQ(response(InsertResult(Delivery::kConfirmed)), ok());
  EXPECT_EQ(response(InsertResult(Delivery::kSentUnverified)),
            (json{{"ok", true}, {"delivery", "sent-unverified"}}));
}

// What each kind of request does to a capture held in the slot.
TEST(TargetSlotLifecycle, WhatKeepsAndWhatDropsACapture) {
  struct Row {
    const char* name;
    bool untrustedDuring;
    std::vector<std::string> between;  // raw lines sent after the capture
    bool kept;
  };
  const Row rows[] = {
      {.name = "status, many times",
       .untrustedDuring = false,
       .between = {R"({"action":"status"})", R"({"action":"status"})"},
       .kept = true},
      {.name = "unknown action under trust",
       .untrustedDuring = false,
       .between = {R"({"action":"Capture"})"},
       .kept = true},
      {.name = "no action under trust",
       .untrustedDuring = false,
       .between = {R"({"requestId":3})"},
       .kept = true},
      {.name = "not a request object",
       .untrustedDuring = false,
       .between = {"[]", "", "{bad"},
       .kept = true},
      {.name = "clear",
       .untrustedDuring = false,
       .between = {R"({"action":"clear"})"},
       .kept = false},
      {.name = "clear twice",
       .untrustedDuring = false,
       .between = {R"({"action":"clear"})", R"({"action":"clear"})"},
       .kept = false},
      {.name = "clear without trust",
       .untrustedDuring = true,
       .between = {R"({"action":"clear"})"},
       .kept = false},
      {.name = "status without trust",
       .untrustedDuring = true,
       .between = {R"({"action":"status"})"},
       .kept = true},
      {.name = "unknown action without trust",
       .untrustedDuring = true,
       .between = {R"({"action":"Capture"})"},
       .kept = false},
      {.name = "capture without trust",
       .untrustedDuring = true,
       .between = {R"({"action":"capture"})"},
       .kept = false},
      {.name = "a failed capture",
       .untrustedDuring = false,
       .between = {R"({"action":"capture"})"},
       .kept = false},  // see below
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Harness h;
    const std::string token = h.captureToken();
    ASSERT_FALSE(token.empty());
    if (row.untrustedDuring) h.desktop().patch({{"trusted", false}});
    if (std::string_view(row.name) == "a failed capture")
      h.desktop().patch({{"frontmost", nullptr}});
    for (const std::string& line : row.between) h.run(line + "\n");
    h.desktop().patch({{"trusted", true}, {"frontmost", 501}});
    EXPECT_EQ(h.target().holding(), row.kept);
    EXPECT_EQ(h.insert(token, "!"), row.kept ? ok() : refusedWith("no-target"));
    EXPECT_FALSE(h.target().holding());
  }
}

TEST(TargetSlotLifecycle, SlotOperations) {
  Harness h;
  TargetSlot& slot = h.target();
  slot.clear();
  EXPECT_FALSE(slot.holding());
  EXPECT_FALSE(slot.take().has_value());
  EXPECT_FALSE(slot.holding());

  ASSERT_FALSE(h.captureToken().empty());
  EXPECT_EQ(h.desktop().liveElementReferences(), 1u);
  ASSERT_FALSE(h.captureToken().empty());  // replaces: the old record's reference is dropped
  EXPECT_EQ(h.desktop().liveElementReferences(), 1u);
  std::optional<Target> taken = slot.take();
  ASSERT_TRUE(taken.has_value());
  EXPECT_FALSE(slot.take().has_value());
  EXPECT_EQ(h.desktop().liveElementReferences(), 1u);  // held by `taken`
  taken.reset();
  EXPECT_EQ(h.desktop().liveElementReferences(), 0u);
}

}  // namespace
}  // namespace caretsafe
