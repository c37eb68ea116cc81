// libFuzzer target: arbitrary bytes as request lines through the real request loop over a
// simulated desktop, with the host's promises checked after every line (checked_session.h).
//
// Input: the first byte picks the desktop ('A' the first variant below, 'B' the next, and so
// on, modulo their number); the rest is the host's byte stream, split into lines as the loop
// splits it. In each line "$T" stands for the token of the latest successful capture, so the
// fuzzer reaches insert's later checks and both ways of delivering text.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "fuzz/checked_session.h"
#include "platform/sim/sim_desktop.h"
#include "support/harness.h"

namespace caretsafe::fuzz {
namespace {

using nlohmann::json;

json patched(json desktop, std::string_view mergePatch) {
  desktop.merge_patch(json::parse(mergePatch));
  return desktop;
}

// The notes field holding "a😀𝄞 é!" (the é decomposed), its caret after the two astral
// characters, writes doing what `onWrite` says.
json astralField(std::string_view onWrite) {
  json desktop = patched(testing::baseDesktop(), R"({"elements": {"body": {"attributes": {
      "AXValue": "a\ud83d\ude00\ud834\udd1e e\u0301!",
      "AXSelectedTextRange": {"range": [5, 0]}}}}})");
  desktop["elements"]["body"]["onWrite"] = json::parse(onWrite);
  return desktop;
}

struct Variant {
  json desktop;
  std::string secureElement{};  // an element whose value must never be read
};

std::vector<Variant> makeVariants() {
  const json base = testing::baseDesktop();
  const json terminal = testing::terminalDesktop();
  // A lone high surrogate goes into the model in its three-byte generalised form, which a
  // JSON text cannot carry.
  json loneSurrogate = patched(
      base,
      R"({"elements": {"body": {"attributes": {"AXSelectedTextRange": {"range": [3, 0]}}}}})");
  loneSurrogate["elements"]["body"]["attributes"]["AXValue"] = std::string("ab\xED\xA0\x80") + "cd";
  return {
      // A: the ordinary notes field, frontmost.
      {.desktop = base},
      // B: the terminal, frontmost.
      {.desktop = terminal},
      // C: non-ASCII text with the caret after astral characters.
      {.desktop = astralField(R"("insert")")},
      // D: iTerm2 frontmost, its text astral too.
      {.desktop = patched(terminal, R"({"apps": {"601": {"bundleId": "com.googlecode.iterm2"}},
                             "elements": {"shell": {"attributes": {
                               "AXValue": "a\ud83d\ude00\ud834\udd1e e\u0301!",
                               "AXSelectedTextRange": {"range": [5, 0]}}}}})")},
      // E-J: what a write may do besides inserting.
      {.desktop = astralField(R"("decompose")")},
      {.desktop = astralField(R"("alter")")},
      {.desktop = astralField(R"({"limit": 9})")},
      {.desktop = astralField(R"("deferred")")},
      {.desktop = astralField(R"("ignore")")},
      {.desktop = astralField(R"({"error": -25200})")},
      // K: a field whose value holds an unpaired surrogate.
      {.desktop = loneSurrogate},
      // L: the frontmost application hangs (the wait is skipped, not slept).
      {.desktop = patched(base, R"({"apps": {"501": {"hang": true}}})")},
      // M: Shift held over the terminal.
      {.desktop = patched(terminal, R"({"modifiers": 131072})")},
      // N: the terminal after its seventh keyboard event cannot make another.
      {.desktop = patched(terminal, R"({"eventCreations": 7})")},
      // O: the terminal loses focus after the sixth posted event.
      {.desktop = patched(terminal, R"({"schedule": [{"afterPosts": 6, "patch": {"apps": {"601": {
                              "attributes": {"AXFocusedUIElement": {"element": "body"}}}}}}]})")},
      // P: the clock jumps 600 s on during the fifteenth operation (after a capture and a
      // status).
      {.desktop =
           patched(base, R"({"schedule": [{"afterOps": 15, "patch": {"clock": 800000600.0}}]})")},
      // Q: no accessibility permission.
      {.desktop = patched(base, R"({"trusted": false})")},
      // R: the focused field is a secure one.
      {.desktop = patched(
           base, R"({"elements": {"body": {"attributes": {"AXSubrole": "AXSecureTextField"}}}})"),
       .secureElement = "body"},
      // S: the caret moves by itself during the ninth operation.
      {.desktop = patched(base, R"({"schedule": [{"afterOps": 9, "patch": {"elements": {"body": {
                          "attributes": {"AXSelectedTextRange": {"range": [2, 0]}}}}}}]})")},
      // T: a field that takes keys only (a capture must allow typing), its write ignored.
      {.desktop = patched(base, R"({"elements": {"body": {"typedOnly": true, "onKeys": "insert",
                          "onWrite": "ignore"}}})")},
      // U: the same, its keys altered, and the focus moving away after the ninth key event.
      {.desktop = patched(base, R"({"elements": {"body": {"typedOnly": true, "onKeys": "alter"}},
                          "schedule": [{"afterPosts": 9, "patch": {"apps": {"501": {
                            "attributes": {"AXFocusedUIElement": {"element": "shell"}}}}}}]})")},
      // V: a Chromium-family browser whose tree comes two pauses after it is asked for; its
      // field lies in a web area.
      {.desktop = patched(base, R"({"apps": {"501": {"bundleId": "com.google.Chrome",
                            "attributes": {"AXEnhancedUserInterface": false,
                                           "AXFocusedUIElement": {"error": -25212}}}},
                          "elements": {"page": {"app": 501, "attributes": {"AXRole": "AXWebArea"}},
                            "body": {"onKeys": "insert", "onWrite": "ignore",
                                     "attributes": {"AXParent": {"element": "page"}}}},
                          "schedule": [{"afterSetting": {"attribute": "AXEnhancedUserInterface",
                                                         "pauses": 2},
                                        "patch": {"apps": {"501": {"attributes": {
                                          "AXFocusedUIElement": {"error": null,
                                                                 "element": "body"}}}}}}]})")},
  };
}

const std::vector<Variant>& variants() {
  static const std::vector<Variant> all = makeVariants();
  return all;
}

}  // namespace
}  // namespace caretsafe::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace caretsafe;
  if (size == 0) return 0;
  const auto& all = fuzz::variants();
  const fuzz::Variant& variant = all[static_cast<std::uint8_t>(data[0] - 'A') % all.size()];
  sim::SimDesktop desktop(variant.desktop);
  desktop.setWait([](double) {});
  fuzz::CheckedSession session(desktop, variant.secureElement);
  session.answerAll(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
  session.finish();
  return 0;
}
