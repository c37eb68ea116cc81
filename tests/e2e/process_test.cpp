// The real binaries as a host application runs them: a child process speaking the line
// protocol on its standard input and output.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/child.h"
#include "support/harness.h"
#include "support/mac_browsers.h"

namespace caretsafe {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::Child;

const std::string kSelfTestLine =
    "Native insertion policy: 7 checks passed; no accessibility reads or writes performed.\n";

class ProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/caretsafe-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Replaces the desktop file atomically, as a harness must.
  void writeDesktop(const json& desktop) { writeAtomically(desktopPath(), desktop.dump()); }
  void writeAtomically(const fs::path& path, const std::string& text) {
    const fs::path temporary = path.string() + ".tmp";
    std::ofstream(temporary) << text;
    fs::rename(temporary, path);
  }
  fs::path desktopPath() const { return dir_ / "desktop.json"; }
  fs::path journalPath() const { return dir_ / "journal.jsonl"; }

  Child sim(std::vector<std::string> args = {"caretsafe-sim"}) {
    return Child(testing::simBinary(), std::move(args),
                 {"CARETSAFE_DESKTOP=" + desktopPath().string(),
                  "CARETSAFE_JOURNAL=" + journalPath().string()});
  }

  std::vector<json> journal() const {
    std::vector<json> out;
    std::ifstream in(journalPath());
    for (std::string line; std::getline(in, line);) out.push_back(json::parse(line));
    return out;
  }
  std::size_t count(const std::string& op) const {
    std::size_t n = 0;
    for (const json& e : journal()) n += e.at("op") == op;
    return n;
  }

  json ask(Child& child, const json& request) {
    child.write(request.dump() + "\n");
    const auto line = child.readLine();
    return line ? json::parse(*line) : json();
  }

  fs::path dir_;
};

int exitCode(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(ProcessTest, RealPlatformBinaryIsHonestlyUntrusted) {
#ifdef __APPLE__
  // There `caretsafe` is the real adapter: its answers depend on the machine's permission,
  // and a capture would read the developer's own focused field.
  GTEST_SKIP() << "only for a host without an accessibility service";
#endif
  Child c(testing::realBinary(), {"caretsafe"});
  c.write(
      "{\"action\":\"status\",\"requestId\":7}\n{\"action\":\"capture\"}\n{\"action\":\"clear\"}"
      "\n");
  c.closeStdin();
  EXPECT_EQ(c.readAll(),
            "{\"ok\":true,\"requestId\":7,\"trusted\":false}\n"
            "{\"ok\":false,\"reason\":\"permission-required\"}\n{\"ok\":true}\n");
  EXPECT_EQ(exitCode(c.wait()), 0);
}

TEST_F(ProcessTest, AnswersEachLineBeforeTheNextArrives) {
  writeDesktop(testing::baseDesktop());
  Child c = sim();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(ask(c, {{"action", "status"}, {"requestId", i}}),
              (json{{"ok", true}, {"trusted", true}, {"requestId", i}}));
  }
  c.closeStdin();
  EXPECT_EQ(c.readAll(), "");
  EXPECT_EQ(exitCode(c.wait()), 0);
}

TEST_F(ProcessTest, BatchWrittenAtOnceGetsOneLineEachInOrder) {
  writeDesktop(testing::baseDesktop());
  Child c = sim();
  std::string batch;
  for (int i = 0; i < 200; ++i)
    batch += "{\"action\":\"status\",\"requestId\":" + std::to_string(i) + "}\r\n";
  batch += "[]\n\n{\"action\":\"clear\"}";  // the last line without a terminator
  c.write(batch);
  c.closeStdin();
  std::istringstream out(c.readAll());
  std::vector<json> lines;
  for (std::string line; std::getline(out, line);) lines.push_back(json::parse(line));
  ASSERT_EQ(lines.size(), 203u);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(lines[static_cast<std::size_t>(i)].at("requestId"), i);
  EXPECT_EQ(lines[200].at("reason"), "invalid-command");
  EXPECT_EQ(lines[201].at("reason"), "invalid-command");
  EXPECT_EQ(lines[202], (json{{"ok", true}}));
  EXPECT_EQ(exitCode(c.wait()), 0);
}

TEST_F(ProcessTest, NoInputNoOutput) {
  Child c = sim();
  c.closeStdin();
  EXPECT_EQ(c.readAll(), "");
  EXPECT_EQ(exitCode(c.wait()), 0);
}

TEST_F(ProcessTest, SizeLimitAtOneMillionBytes) {
  writeDesktop(testing::baseDesktop());
  Child c = sim();
  const std::string head = "{\"action\":\"status\",\"requestId\":\"";
  const std::string tail = "\"}";
  const std::string exact = head + std::string(1'000'000 - head.size() - tail.size(), 'x') + tail;
  c.write(exact + "\n");
  const json accepted = json::parse(*c.readLine());
  EXPECT_EQ(accepted.at("trusted"), true);
  EXPECT_EQ(accepted.at("requestId").get<std::string>().size(),
            exact.size() - head.size() - tail.size());
  c.write(head + "x" + exact.substr(head.size()) + "\n");
  EXPECT_EQ(json::parse(*c.readLine()), (json{{"ok", false}, {"reason", "invalid-command"}}));
  c.closeStdin();
  EXPECT_EQ(exitCode(c.wait()), 0);
}

TEST_F(ProcessTest, PermissionFromTheDesktopFileAskedOncePerRequest) {
  json desktop = testing::baseDesktop();
  desktop["trusted"] = false;
  writeDesktop(desktop);
  Child c = sim();
  EXPECT_EQ(ask(c, {{"action", "status"}}), (json{{"ok", true}, {"trusted", false}}));
  EXPECT_EQ(ask(c, {{"action", "frobnicate"}}),
            (json{{"ok", false}, {"reason", "permission-required"}}));
  EXPECT_EQ(ask(c, {{"action", "clear"}}), (json{{"ok", true}}));
  desktop["trusted"] = true;
  writeDesktop(desktop);  // picked up by the next request
  EXPECT_EQ(ask(c, {{"action", "frobnicate"}}),
            (json{{"ok", false}, {"reason", "invalid-command"}}));
  c.closeStdin();
  c.wait();
  EXPECT_EQ(count("isProcessTrusted"), 3u);
}

TEST_F(ProcessTest, UnreadableOrInvalidDesktopIsAnEmptyUntrustedOne) {
  for (const std::string& text : {std::string("{not json"), std::string("[]"),
                                  std::string(R"({"elements":{"x":{"attributes":{}}}})")}) {
    SCOPED_TRACE(text);
    writeAtomically(desktopPath(), text);
    Child c = sim();
    EXPECT_EQ(ask(c, {{"action", "status"}}), (json{{"ok", true}, {"trusted", false}}));
    c.closeStdin();
    EXPECT_EQ(exitCode(c.wait()), 0);
  }
  fs::remove(desktopPath());
  Child c = sim();
  EXPECT_EQ(ask(c, {{"action", "status"}}), (json{{"ok", true}, {"trusted", false}}));
}

TEST_F(ProcessTest, CaptureThenInsertIntoAField) {
  writeDesktop(testing::baseDesktop());
  Child c = sim();
  const json captured = ask(c, {{"action", "capture"}, {"requestId", "c1"}});
  ASSERT_EQ(captured.at("ok"), true);
  const std::string token = captured.at("token");
  EXPECT_EQ(token.size(), 36u);
  EXPECT_EQ(
      ask(c, {{"action", "insert"}, {"token", token}, {"text", " world"}, {"requestId", "i1"}}),
      (json{{"ok", true}, {"requestId", "i1"}}));
  c.closeStdin();
  EXPECT_EQ(exitCode(c.wait()), 0);
  const auto entries = journal();
  ASSERT_GE(entries.size(), 2u);
  const json& write = entries[entries.size() - 2];
  EXPECT_EQ(write.at("op"), "setAttributeValue");
  EXPECT_EQ(write.at("value"), " world");
  EXPECT_EQ(write.at("fieldValue"), "Hello world");
  EXPECT_EQ(entries.back().at("op"), "copyAttributeValue");
  EXPECT_EQ(entries.back().at("attribute"), "AXValue");
}

TEST_F(ProcessTest, CaptureThenTypeIntoATerminal) {
  writeDesktop(testing::terminalDesktop());
  Child c = sim();
  const std::string token = ask(c, {{"action", "capture"}}).at("token");
  EXPECT_EQ(ask(c, {{"action", "insert"}, {"token", token}, {"text", "ls\n"}}),
            (json{{"ok", true}, {"delivery", "sent-unverified"}}));
  c.closeStdin();
  c.wait();
  std::vector<std::string> posts;
  std::size_t lookups = 0;
  for (const json& e : journal()) {
    if (e.at("op") == "copyAttributeValue" && e.at("attribute") == "AXFocusedUIElement") ++lookups;
    if (e.at("op") == "postToPid")
      posts.push_back(e.at("text").get<std::string>() + (e.at("keyDown") == true ? "v" : "^"));
  }
  EXPECT_EQ(posts, (std::vector<std::string>{"lv", "l^", "sv", "s^"}));
  EXPECT_EQ(lookups, 4u);  // capture, validation, and one before each of the two scalars
}

TEST_F(ProcessTest, SecureEventInputStopsTyping) {
  json desktop = testing::terminalDesktop();
  desktop["secureInput"] = true;
  writeDesktop(desktop);
  Child c = sim();
  EXPECT_EQ(ask(c, {{"action", "capture"}}),
            (json{{"ok", false}, {"reason", "unsupported-field"}}));
  // Turned on after the first character: nothing more is typed, and the host is not told that
  // the text was sent.
  desktop["secureInput"] = false;
  desktop["schedule"] = json::parse(R"([{"afterPosts": 2, "patch": {"secureInput": true}}])");
  writeDesktop(desktop);
  const std::string token = ask(c, {{"action", "capture"}}).at("token");
  EXPECT_EQ(ask(c, {{"action", "insert"}, {"token", token}, {"text", "ls"}}),
            (json{{"ok", false}, {"reason", "write-unconfirmed"}}));
  c.closeStdin();
  EXPECT_EQ(exitCode(c.wait()), 0);
  EXPECT_EQ(c.errors(), "");
  std::string typed;
  for (const json& e : journal()) {
    if (e.at("op") == "postToPid" && e.at("keyDown") == true)
      typed += e.at("text").get<std::string>();
  }
  EXPECT_EQ(typed, "l");
}

TEST_F(ProcessTest, DisabledAccessibilityApiAsksForThePermissionAgain) {
  json desktop = testing::baseDesktop();
  writeDesktop(desktop);
  Child c = sim();
  const std::string token = ask(c, {{"action", "capture"}}).at("token");
  desktop["apps"]["501"]["attributes"]["AXFocusedUIElement"] = {{"error", -25211}};
  writeDesktop(desktop);
  EXPECT_EQ(ask(c, {{"action", "status"}}), (json{{"ok", true}, {"trusted", true}}));
  EXPECT_EQ(ask(c, {{"action", "insert"}, {"token", token}, {"text", "x"}}),
            (json{{"ok", false}, {"reason", "permission-required"}}));
  EXPECT_EQ(ask(c, {{"action", "capture"}}),
            (json{{"ok", false}, {"reason", "permission-required"}}));
  c.closeStdin();
  EXPECT_EQ(exitCode(c.wait()), 0);
  EXPECT_EQ(c.errors(), "");
  EXPECT_EQ(count("setAttributeValue"), 0u);
}

TEST_F(ProcessTest, BrowsersAndElectronAppsOnAMacGetTheTextOnceByOneWay) {
  for (const testing::BrowserCase& browser : testing::macBrowserCases()) {
    SCOPED_TRACE(browser.name);
    fs::remove(journalPath());
    writeDesktop(browser.desktop);
    Child c = sim();
    const json captured = ask(c, {{"action", "capture"}, {"allowTyping", true}});
    ASSERT_EQ(captured.value("ok", false), true) << captured.dump();
    EXPECT_EQ(ask(c, {{"action", "insert"},
                      {"token", captured.at("token")},
                      {"text", testing::kBrowserText}}),
              json({{"ok", true}}));
    c.closeStdin();
    EXPECT_EQ(exitCode(c.wait()), 0);
    EXPECT_TRUE(testing::deliveredOnce(journal(), browser.way));
    // The switch is set once at most, so the browser's wait for its tree is never restarted.
    EXPECT_LE(count("setFlagAttribute"), 1u);
  }
}

TEST_F(ProcessTest, DesktopReplacedBetweenRequestsIsReloaded) {
  json desktop = testing::baseDesktop();
  writeDesktop(desktop);
  Child c = sim();
  const std::string token = ask(c, {{"action", "capture"}}).at("token");
  desktop["clock"] = 800000000.0 + 600.0;
  writeDesktop(desktop);
  EXPECT_EQ(ask(c, {{"action", "insert"}, {"token", token}, {"text", "x"}}),
            (json{{"ok", false}, {"reason", "expired"}}));
}

TEST_F(ProcessTest, SelfTestWhereverTheSwitchStands) {
  json untrusted = testing::baseDesktop();
  untrusted["trusted"] = false;
  writeDesktop(untrusted);
  const std::vector<std::vector<std::string>> selecting = {
      {"caretsafe-sim", "--self-test"},
      {"--self-test"},  // the program's own name
      {"caretsafe-sim", "a", "--self-test", "b"},
      {"caretsafe-sim", "--self-test", "--self-test"},
  };
  for (const auto& args : selecting) {
    SCOPED_TRACE(args.back());
    Child c = sim(args);
    // A request waits on standard input and is never read. The self-test may be over before it
    // is written, and then the write finds no reader at all, which proves the same.
    try {
      c.write("{\"action\":\"status\"}\n");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(c.readAll(), kSelfTestLine);
    EXPECT_EQ(exitCode(c.wait()), 0);
  }
  EXPECT_FALSE(fs::exists(journalPath()) && fs::file_size(journalPath()) > 0)
      << "the self-test touched the platform";

  Child real(testing::realBinary(), {"caretsafe", "--self-test"});
  EXPECT_EQ(real.readAll(), kSelfTestLine);
  EXPECT_EQ(exitCode(real.wait()), 0);

  for (const char* nearMiss :
       {"--Self-test", "-self-test", "--self-test=1", "--self-test ", "self-test"}) {
    SCOPED_TRACE(nearMiss);
    Child c = sim({"caretsafe-sim", nearMiss});
    c.write("{\"action\":\"status\"}\n");
    c.closeStdin();
    EXPECT_EQ(c.readAll(), "{\"ok\":true,\"trusted\":false}\n");
    EXPECT_EQ(exitCode(c.wait()), 0);
  }
}

}  // namespace
}  // namespace caretsafe
