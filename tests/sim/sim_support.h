// Shared pieces of the simulated desktop's own tests: a small desktop, a way to describe a
// read in one comparable string, and a scratch folder for desktop and journal files.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/sim/sim_desktop.h"

namespace caretsafe::sim::testing {

// App 501 frontmost with the focused field "body" ("Hello", caret at the end); app 601 runs
// in the background with one element "shell".
inline nlohmann::json smallDesktop() {
  return nlohmann::json::parse(R"({
    "trusted": true,
    "ownPid": 7,
    "frontmost": 501,
    "clock": 800000000.5,
    "apps": {
      "501": {"bundleId": "com.example.Notes",
              "attributes": {"AXFocusedUIElement": {"element": "body"}}},
      "601": {"bundleId": null, "attributes": {}}
    },
    "elements": {
      "body": {"app": 501,
               "attributes": {"AXRole": "AXTextArea", "AXValue": "Hello",
                              "AXSelectedTextRange": {"range": [5, 0]}},
               "settable": {"AXSelectedText": true}},
      "shell": {"app": 601, "attributes": {"AXValue": "$ "}}
    }
  })");
}

// A read in one line: "text:Hello", "bool:true", "number:2.5", "none", "axvalue:4:1,2",
// "axvalue:1", "element", "other", or "error:CODE" for a failed read.
inline std::string describe(const AttributeRead& read) {
  if (read.error != kAxSuccess) return "error:" + std::to_string(read.error);
  std::ostringstream out;
  if (const auto* text = std::get_if<std::u16string>(&read.value)) {
    out << "text:";
    for (const char16_t unit : *text) {
      if (unit < 0x80) {
        out << static_cast<char>(unit);
      } else {
        out << "<" << std::hex << static_cast<unsigned>(unit) << std::dec << ">";
      }
    }
  } else if (const auto* flag = std::get_if<bool>(&read.value)) {
    out << "bool:" << (*flag ? "true" : "false");
  } else if (const auto* number = std::get_if<NumberValue>(&read.value)) {
    out << "number:" << number->value;
  } else if (std::holds_alternative<NoValue>(read.value)) {
    out << "none";
  } else if (const auto* ax = std::get_if<AxValue>(&read.value)) {
    out << "axvalue:" << ax->kind;
    if (ax->range) out << ":" << ax->range->location << "," << ax->range->length;
  } else if (std::holds_alternative<Element>(read.value)) {
    out << "element";
  } else {
    out << "other";
  }
  return out.str();
}

// The journal lines of an in-memory desktop as objects.
inline std::vector<nlohmann::json> journalOf(const SimDesktop& desktop) {
  std::vector<nlohmann::json> out;
  for (const std::string& line : desktop.journal()) out.push_back(nlohmann::json::parse(line));
  return out;
}

// A fresh folder for a desktop file and a journal, removed afterwards.
class FileFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/caretsafe-sim-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string desktopPath() const { return (dir_ / "desktop.json").string(); }
  std::string journalPath() const { return (dir_ / "journal.jsonl").string(); }

  // Replaces the desktop file as a harness must: a temporary file renamed over it.
  void replaceDesktop(const std::string& text) {
    const std::filesystem::path temporary = dir_ / "desktop.json.tmp";
    std::ofstream(temporary, std::ios::binary) << text;
    std::filesystem::rename(temporary, desktopPath());
  }

  std::vector<std::string> journalLines() const {
    std::vector<std::string> lines;
    std::ifstream in(journalPath(), std::ios::binary);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  std::filesystem::path dir_;
};

}  // namespace caretsafe::sim::testing
