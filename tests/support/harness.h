// A request loop over an in-memory simulated desktop, for tests.
#pragma once

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/request_loop.h"
#include "insertion/target.h"
#include "platform/sim/sim_desktop.h"

namespace caretsafe::testing {

// An ordinary notes field ("body", caret after "Hello") in app 501, frontmost, and a terminal
// ("shell", app 601) whose text view does not report its selected text as settable.
inline nlohmann::json baseDesktop() {
  return nlohmann::json::parse(R"({
    "trusted": true,
    "ownPid": 1,
    "frontmost": 501,
    "clock": 800000000.0,
    "apps": {
      "501": {"bundleId": "com.example.Notes",
              "attributes": {"AXFocusedUIElement": {"element": "body"}}},
      "601": {"bundleId": "com.apple.Terminal",
              "attributes": {"AXFocusedUIElement": {"element": "shell"}}}
    },
    "elements": {
      "body": {"app": 501,
               "attributes": {"AXRole": "AXTextArea", "AXSubrole": null, "AXEnabled": true,
                              "AXValue": "Hello", "AXSelectedTextRange": {"range": [5, 0]}},
               "settable": {"AXSelectedText": true}},
      "shell": {"app": 601,
                "attributes": {"AXRole": "AXTextArea", "AXEnabled": true,
                               "AXValue": "$ ", "AXSelectedTextRange": {"range": [2, 0]}},
                "settable": {"AXSelectedText": false}}
    }
  })");
}

// The base desktop with the terminal frontmost.
inline nlohmann::json terminalDesktop() {
  nlohmann::json d = baseDesktop();
  d["frontmost"] = 601;
  return d;
}

class Harness {
 public:
  explicit Harness(const nlohmann::json& desktop = baseDesktop())
      : desktop_(std::make_unique<sim::SimDesktop>(desktop)) {}

  sim::SimDesktop& desktop() { return *desktop_; }
  TargetSlot& target() { return target_; }

  // One request object through the request loop's line handling; the parsed response.
  nlohmann::json request(const nlohmann::json& request) {
    const auto line = answerLine(request.dump(), *desktop_, target_);
    return line ? nlohmann::json::parse(*line) : nlohmann::json();
  }

  // Raw input through the whole loop over in-memory streams; the output lines.
  std::vector<std::string> run(const std::string& input) {
    std::istringstream in(input);
    std::ostringstream out;
    runRequestLoop(*desktop_, target_, in, out);
    std::vector<std::string> lines;
    std::istringstream split(out.str());
    for (std::string line; std::getline(split, line);) lines.push_back(line);
    return lines;
  }

  // Capture, and the token it answered (empty when refused).
  std::string captureToken() {
    const nlohmann::json response = request({{"action", "capture"}});
    return response.value("token", std::string());
  }

  nlohmann::json insert(const std::string& token, const nlohmann::json& text) {
    return request({{"action", "insert"}, {"token", token}, {"text", text}});
  }

  // The journal as objects.
  std::vector<nlohmann::json> journal() const {
    std::vector<nlohmann::json> out;
    for (const std::string& line : desktop_->journal()) out.push_back(nlohmann::json::parse(line));
    return out;
  }

  // The journal as short lines: the op, then its element and attribute where it has them.
  std::vector<std::string> requests() const {
    std::vector<std::string> out;
    for (const nlohmann::json& entry : journal()) {
      std::string s = entry.at("op").get<std::string>();
      if (entry.contains("element")) s += " " + entry["element"].get<std::string>();
      if (entry.contains("attribute")) s += " " + entry["attribute"].get<std::string>();
      out.push_back(s);
    }
    return out;
  }

  // The journal entries of one op.
  std::vector<nlohmann::json> entries(const std::string& op) const {
    std::vector<nlohmann::json> out;
    for (const nlohmann::json& entry : journal()) {
      if (entry.at("op") == op) out.push_back(entry);
    }
    return out;
  }

 private:
  std::unique_ptr<sim::SimDesktop> desktop_;
  TargetSlot target_;  // declared after the desktop: dropped first
};

inline nlohmann::json refusedWith(const char* reason) {
  return {{"ok", false}, {"reason", reason}};
}
inline nlohmann::json ok() {
  return {{"ok", true}};
}

}  // namespace caretsafe::testing
