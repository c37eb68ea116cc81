// Browsers and Electron applications on a Mac as their own source shows them, as desktops of the
// simulated desktop: the tree built only some time after its switch is set (and that time
// started again by every new setting), a Chromium web field whose selected text is not settable
// and whose write changes nothing, keys whose effect shows only some reads later, and a Gecko
// field whose write lands after the call has returned.
//
// Every desktop has the browser (pid 801) frontmost with a field "web" in a web area, holding
// "ab" with the caret after "a"; `kBrowserText` inserted there gives `kBrowserResult`.
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "support/harness.h"

namespace caretsafe::testing {

inline const std::string kBrowserText = "Z\xC3\xA9\xF0\x9F\x98\x80";  // "Zé😀"
inline const std::string kBrowserResult =
    "aZ\xC3\xA9\xF0\x9F\x98\x80"
    "b";

// How a case's text must reach its field: by keys only, or by one write only.
enum class Way { kTyped, kWritten };

struct BrowserCase {
  const char* name;
  nlohmann::json desktop;
  Way way;
};

// A web field of app 801 under a web area; `chromium`: its selected text is not settable and a
// write of it changes nothing, while keys land after two reads of its value or selection (the
// renderer's update comes a little after the key); otherwise (Gecko) its write lands after
// three such reads and keys change nothing.
inline nlohmann::json webFieldDesktop(const char* bundleId, bool chromium) {
  nlohmann::json d = baseDesktop();
  d["frontmost"] = 801;
  d["apps"]["801"] = {{"bundleId", bundleId}, {"attributes", nlohmann::json::object()}};
  d["elements"]["page"] = {{"app", 801}, {"attributes", {{"AXRole", "AXWebArea"}}}};
  d["elements"]["web"] = {{"app", 801},
                          {"attributes",
                           {{"AXRole", "AXTextField"},
                            {"AXEnabled", true},
                            {"AXParent", {{"element", "page"}}},
                            {"AXValue", "ab"},
                            {"AXSelectedTextRange", {{"range", {1, 0}}}}}}};
  if (chromium) {
    d["elements"]["web"]["settable"] = {{"AXSelectedText", false}, {"AXSelectedTextRange", true}};
    d["elements"]["web"]["onWrite"] = "ignore";
    d["elements"]["web"]["onKeys"] = {{"afterReads", 2}};
  } else {
    d["elements"]["web"]["settable"] = {{"AXSelectedText", true}, {"AXSelectedTextRange", true}};
    d["elements"]["web"]["onWrite"] = {{"afterReads", 3}};
  }
  return d;
}

// The application answers no focused element until `pauses` pauses after the latest setting of
// `attribute` to true; then its focus is the web field.
inline nlohmann::json treeAfterSwitch(nlohmann::json d, const char* attribute, int pauses) {
  d["apps"]["801"]["attributes"]["AXFocusedUIElement"] = {{"error", -25212}};
  nlohmann::json patch = nlohmann::json::parse(
      R"({"apps": {"801": {"attributes": {"AXFocusedUIElement": {"error": null, "element": "web"}}}}})");
  d["schedule"] = nlohmann::json::array(
      {{{"afterSetting", {{"attribute", attribute}, {"pauses", pauses}, {"restart", true}}},
        {"patch", patch}}});
  return d;
}

inline std::vector<BrowserCase> macBrowserCases() {
  // Chrome answers no read of its switch; its tree comes 3.0 s after the switch.
  nlohmann::json chrome =
      treeAfterSwitch(webFieldDesktop("com.google.Chrome", true), "AXEnhancedUserInterface", 30);
  // Electron answers its manual switch false until the tree is complete.
  nlohmann::json electron = webFieldDesktop("com.example.Chat", true);
  electron["apps"]["801"]["electron"] = true;
  electron["apps"]["801"]["attributes"]["AXManualAccessibility"] = false;
  electron = treeAfterSwitch(electron, "AXManualAccessibility", 30);
  // An input with a list of suggestions: a combo box that takes text (its caret may be set);
  // the tree already built.
  nlohmann::json combo = webFieldDesktop("com.google.Chrome", true);
  combo["apps"]["801"]["attributes"]["AXFocusedUIElement"] = {{"element", "web"}};
  combo["elements"]["web"]["attributes"]["AXRole"] = "AXComboBox";
  // Firefox takes the write and applies it after the call has returned.
  nlohmann::json firefox =
      treeAfterSwitch(webFieldDesktop("org.mozilla.firefox", false), "AXEnhancedUserInterface", 5);
  // A Chromium-based browser on no list, known by the framework its bundle holds.
  nlohmann::json unlisted = webFieldDesktop("com.example.Browser", true);
  unlisted["apps"]["801"]["engine"] = "chromium";
  unlisted = treeAfterSwitch(unlisted, "AXEnhancedUserInterface", 10);
  return {
      {"Chrome, its tree 3.0 s after the switch", chrome, Way::kTyped},
      {"Electron application, its tree 3.0 s after manual accessibility", electron, Way::kTyped},
      {"combo box in a Chrome web area", combo, Way::kTyped},
      {"Firefox, its write landing after the call", firefox, Way::kWritten},
      {"Chromium-based browser found by its bundle", unlisted, Way::kTyped},
  };
}

// Whether a journal shows the text delivered exactly once and by one way only: typed as key-down
// events carrying exactly the text and nothing written, or written once and no key posted.
inline ::testing::AssertionResult deliveredOnce(const std::vector<nlohmann::json>& journal,
                                                Way way) {
  std::string typed;
  int posts = 0;
  std::vector<std::string> writes;
  for (const nlohmann::json& entry : journal) {
    if (entry.at("op") == "postToPid") {
      ++posts;
      if (entry.at("keyDown") == true) typed += entry.at("text").get<std::string>();
    }
    if (entry.at("op") == "setAttributeValue") writes.push_back(entry.at("value"));
  }
  if (way == Way::kTyped && writes.empty() && typed == kBrowserText) {
    return ::testing::AssertionSuccess();
  }
  if (way == Way::kWritten && posts == 0 && writes == std::vector<std::string>{kBrowserText}) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "typed \"" << typed << "\" in " << posts
                                       << " posts, written " << writes.size() << " time(s)";
}

}  // namespace caretsafe::testing
