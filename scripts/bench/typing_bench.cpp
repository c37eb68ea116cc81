// Typing 400 characters into xterm on a private Xvfb desktop: the X11 keyboard module (one
// focus check and one key pair per character) beside `xdotool type` with its default delay
// and with --delay 0, in the same run. Prints the time per character and whether the text
// arrived exactly. Run through scripts/bench/typing_bench.sh.
//
//   typing_bench [runs]

#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/display/x11/x11_keyboard.h"
#include "test_desktop.h"

namespace {

using caretsafe::testing::x11::Clock;
using caretsafe::testing::x11::Terminal;
using caretsafe::testing::x11::TestDesktop;
using caretsafe::testing::x11::utf8;
using caretsafe::testing::x11::waitFor;
using caretsafe::x11::KeyOutcome;
using caretsafe::x11::X11Keyboard;

struct Run {
  double msPerChar = 0;
  bool exact = false;
  caretsafe::x11::KeyboardStats stats;
};

// The first `count` scalars of `pattern` repeated.
std::u32string repeatTo(std::u32string_view pattern, std::size_t count) {
  std::u32string text;
  while (text.size() < count) text += pattern.substr(0, count - text.size());
  return text;
}

// Presses Return and waits for the terminal's line; whether it is exactly the text. The
// terminal is in line mode: the whole line, whatever it holds, arrives with the Return.
// `who`, if given, is named with the first difference when the line is not exact.
bool arrivedExactly(TestDesktop& desktop, const Terminal& terminal, std::u32string_view text,
                    const char* who = nullptr) {
  desktop.tap(XK_Return);
  std::string line;
  waitFor(
      [&] {
        line = terminal.received();
        return !line.empty() && line.back() == '\n';
      },
      std::chrono::seconds(30));
  const std::string expected = utf8(text) + "\n";
  if (line == expected) return true;
  if (who != nullptr) {
    const auto diff = std::mismatch(line.begin(), line.end(), expected.begin(), expected.end());
    const std::size_t at = static_cast<std::size_t>(diff.first - line.begin());
    std::printf("(%s: not exact from byte %zu: got \"%s\", wanted \"%s\")\n", who, at,
                line.substr(at, 24).c_str(), expected.substr(at, 24).c_str());
  }
  return false;
}

std::optional<Run> typeWithModule(TestDesktop& desktop, std::u32string_view text) {
  std::optional<Terminal> t = desktop.openXterm("module");
  if (!t || !desktop.focus(t->window)) return std::nullopt;
  std::unique_ptr<X11Keyboard> keyboard = X11Keyboard::open(desktop.display());
  if (!keyboard) return std::nullopt;
  const Window window = t->window;
  const caretsafe::x11::FocusCheck check = [window](Display* display) {
    Window focus = 0;
    int revert = 0;
    XGetInputFocus(display, &focus, &revert);
    return focus == window;
  };
  Run run;
  const Clock::time_point start = Clock::now();
  std::size_t typed = 0;
  for (const char32_t c : text) {
    const KeyOutcome outcome = keyboard->typeScalar(c, check, t->process.pid());
    if (outcome != KeyOutcome::kTyped) {
      std::printf("(module stopped after %zu of %zu characters: outcome %d)\n", typed, text.size(),
                  static_cast<int>(outcome));
      break;
    }
    ++typed;
  }
  const std::chrono::duration<double, std::milli> took = Clock::now() - start;
  run.msPerChar = took.count() / static_cast<double>(text.size());
  run.stats = keyboard->stats();
  run.exact = arrivedExactly(desktop, *t, text, "module");
  return run;
}

std::optional<Run> typeWithXdotool(TestDesktop& desktop, std::u32string_view text, bool noDelay) {
  std::optional<Terminal> t = desktop.openXterm(noDelay ? "xdotool0" : "xdotool");
  if (!t || !desktop.focus(t->window)) return std::nullopt;
  std::vector<std::string> argv = {"xdotool", "type"};
  if (noDelay) argv.insert(argv.end(), {"--delay", "0"});
  argv.push_back(utf8(text));
  Run run;
  const Clock::time_point start = Clock::now();
  if (!desktop.run(argv)) return std::nullopt;
  const std::chrono::duration<double, std::milli> took = Clock::now() - start;
  run.msPerChar = took.count() / static_cast<double>(text.size());
  run.exact = arrivedExactly(desktop, *t, text);
  return run;
}

void report(const char* textName, const char* method, const std::vector<Run>& runs) {
  std::vector<double> times;
  int exact = 0;
  for (const Run& r : runs) {
    times.push_back(r.msPerChar);
    exact += r.exact ? 1 : 0;
  }
  std::sort(times.begin(), times.end());
  std::printf("%-7s %-26s %8.3f %8.3f %8.3f   %d/%zu\n", textName, method, times.front(),
              times[times.size() / 2], times.back(), exact, runs.size());
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  std::string why;
  std::unique_ptr<TestDesktop> desktop = TestDesktop::start(why);
  if (!desktop) {
    std::printf("cannot start the test desktop: %s\n", why.c_str());
    return 1;
  }
  // Printable ASCII only; the shell command of the test; and accents, emoji, Hebrew and CJK
  // with 32 distinct characters off the keyboard's first level (more than the 18 spare
  // keycodes of Xvfb, so spares are recycled).
  const std::u32string ascii =
      repeatTo(U"The quick brown fox jumps over the lazy dog, 0123456789 times! ", 400);
  const std::u32string command = repeatTo(U"echo héllo 😀 wörld שלום! ", 400);
  const std::u32string mixed = repeatTo(
      U"Ça va? Grüße aus Zürich, ñandú, façade, Ærø — 😀🚀👍 שלום עולם "
      U"日本語のテキスト 你好世界 ",
      400);
  struct Text {
    const char* name;
    const std::u32string* text;
  } texts[] = {{"ascii", &ascii}, {"command", &command}, {"mixed", &mixed}};

  std::printf("400 characters typed into xterm (-u8) under Xvfb; ms per character over %d runs\n",
              runs);
  std::printf("%-7s %-26s %8s %8s %8s   %s\n", "text", "method", "min", "median", "max", "exact");
  for (const Text& text : texts) {
    std::vector<Run> module;
    std::vector<Run> xdotool;
    std::vector<Run> xdotoolNoDelay;
    caretsafe::x11::KeyboardStats last;
    for (int i = 0; i < runs; ++i) {
      if (auto r = typeWithModule(*desktop, *text.text)) {
        module.push_back(*r);
        last = r->stats;
      }
      if (auto r = typeWithXdotool(*desktop, *text.text, false)) xdotool.push_back(*r);
      if (auto r = typeWithXdotool(*desktop, *text.text, true)) xdotoolNoDelay.push_back(*r);
    }
    if (module.empty() || xdotool.empty() || xdotoolNoDelay.empty()) {
      std::printf("%-7s a run could not start\n", text.name);
      continue;
    }
    report(text.name, "x11 keyboard module", module);
    report(text.name, "xdotool type", xdotool);
    report(text.name, "xdotool type --delay 0", xdotoolNoDelay);
    std::printf(
        "%-7s (module, last run: %zu first-level keys, %zu spare keys, %zu remaps, "
        "%zu waits for an idle spare, %zu idle checks)\n",
        text.name, last.levelOneKeys, last.spareKeys, last.remaps, last.waits, last.idleChecks);
  }
  return 0;
}
