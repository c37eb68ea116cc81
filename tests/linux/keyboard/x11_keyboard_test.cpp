// The X11 keyboard module against real terminals on a private Xvfb desktop: what the program
// behind the terminal receives, byte for byte.

#include "platform/linux/display/x11/x11_keyboard.h"

// GoogleTest first: Xlib's macros (None, Bool) would break its headers.
#include <gtest/gtest.h>

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <signal.h>
#include <algorithm>
#include <chrono>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "test_desktop.h"

namespace caretsafe::x11 {
namespace {

using namespace std::chrono_literals;
using testing::x11::Clock;
using testing::x11::Terminal;
using testing::x11::TestDesktop;
using testing::x11::utf8;
using testing::x11::waitFor;

TEST(KeysymForScalar, LatinOneByCodePointOthersOffsetControlsNever) {
  struct Case {
    char32_t scalar;
    std::optional<unsigned long> keysym;
  };
  const Case cases[] = {
      {U' ', 0x20},
      {U'a', 0x61},
      {U'~', 0x7e},
      {0xa0, 0xa0},
      {U'é', 0xe9},
      {U'ÿ', 0xff},
      {0x100, 0x1000100},
      {U'ש', 0x10005e9},
      {U'日', 0x10065e5},
      {0xfeff, 0x100feff},
      {U'😀', 0x101f600},
      {0x10ffff, 0x110ffff},
      {0x00, std::nullopt},
      {U'\t', std::nullopt},
      {U'\n', std::nullopt},
      {0x1b, std::nullopt},
      {0x1f, std::nullopt},
      {0x7f, std::nullopt},
      {0x85, std::nullopt},
      {0x9f, std::nullopt},
      {0x2028, std::nullopt},
      {0x2029, std::nullopt},
      {0xd800, std::nullopt},
      {0xdfff, std::nullopt},
      {0x110000, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(keysymForScalar(c.scalar), c.keysym)
        << std::hex << "U+" << static_cast<std::uint32_t>(c.scalar);
  }
}

class KeyboardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    desktop_ = TestDesktop::start(why);
    ASSERT_NE(desktop_, nullptr) << why;
    testing::x11::xErrors = 0;
    keyboard_ = X11Keyboard::open(desktop_->display());
    ASSERT_NE(keyboard_, nullptr);
  }
  void TearDown() override {
    keyboard_.reset();
    EXPECT_EQ(testing::x11::xErrors, 0) << "X protocol errors";
  }

  static FocusCheck focusOn(Window window) {
    return [window](Display* display) {
      Window focus = 0;
      int revert = 0;
      XGetInputFocus(display, &focus, &revert);
      return focus == window;
    };
  }

  Terminal xterm(const std::string& name, bool immediate = false) {
    std::optional<Terminal> t = desktop_->openXterm(name, immediate);
    EXPECT_TRUE(t) << "xterm did not come up";
    return t ? std::move(*t) : Terminal{};
  }

  // Types every scalar, stopping at the first one that is not typed; the outcomes.
  std::vector<KeyOutcome> type(std::u32string_view text, const Terminal& target) {
    std::vector<KeyOutcome> outcomes;
    const FocusCheck check = focusOn(target.window);
    for (const char32_t c : text) {
      outcomes.push_back(keyboard_->typeScalar(c, check, target.process.pid()));
      if (outcomes.back() != KeyOutcome::kTyped) break;
    }
    return outcomes;
  }

  // Types a text and Return into a focused terminal (in line mode) and answers the line its
  // program received, with its line feed.
  std::string typeLine(Terminal& terminal, std::u32string_view text) {
    const std::size_t before = terminal.received().size();
    const std::vector<KeyOutcome> outcomes = type(text, terminal);
    EXPECT_EQ(outcomes, std::vector<KeyOutcome>(text.size(), KeyOutcome::kTyped));
    desktop_->tap(XK_Return);
    std::string line;
    waitFor([&] {
      line = terminal.received().substr(before);
      return !line.empty() && line.back() == '\n';
    });
    return line;
  }

  std::unique_ptr<TestDesktop> desktop_;
  std::unique_ptr<X11Keyboard> keyboard_;
};

// Accents, emoji, right-to-left and CJK text, combining marks and no-break spaces arrive
// exactly as typed, whatever mix of first-level keys and spare keycodes carries them.
TEST_F(KeyboardTest, TextArrivesExactlyInXterm) {
  Terminal t = xterm("xterm");
  ASSERT_TRUE(desktop_->focus(t.window));
  const std::u32string texts[] = {
      U"echo héllo 😀 wörld שלום!",
      U"àáâãäåæçèéêëìíîïðñòóôõöøùúûüýþÿ ÀÉÎÕÜ ß ¡¿«»°±²³µ¶·¹º¼½¾×÷",
      U"日本語のテキスト、中文字符。한국어 Ελληνικά Кириллица",
      U"😀👍🏽🚀 e\u0301 a\u00a0b \u200b|\U0001F469\u200D\U0001F4BB",
      U"ABC xyz 0123456789 !\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~",
  };
  for (const std::u32string& text : texts) {
    EXPECT_EQ(typeLine(t, text), utf8(text) + "\n");
  }
  EXPECT_GT(keyboard_->stats().levelOneKeys, 0u);
  EXPECT_GT(keyboard_->stats().spareKeys, 0u);
}

// Sixty different CJK characters need three times as many keysyms as there are spare
// keycodes: spares are recycled, after their idle time, without a character going astray.
TEST_F(KeyboardTest, MoreDistinctCharactersThanSpareKeycodes) {
  ASSERT_LT(keyboard_->spareCount(), 60u);
  Terminal t = xterm("xterm");
  ASSERT_TRUE(desktop_->focus(t.window));
  std::u32string text;
  for (char32_t c = 0x4e00; c < 0x4e00 + 60; ++c) text += c;
  // Once Xlib has looked a key up on a connection, it follows the keymap's changes there.
  XKeysymToKeycode(desktop_->display(), XK_Return);
  EXPECT_EQ(typeLine(t, text), utf8(text) + "\n");
  EXPECT_EQ(keyboard_->stats().remaps, 60u);
  EXPECT_GT(keyboard_->stats().waits, 0u);
  // The mapping changes it caused do not pile up in the connection's event queue.
  EXPECT_EQ(XQLength(desktop_->display()), 0);
}

// A terminal that has not read its keys yet (here: stopped) would translate them with
// whatever its spares hold when it does: no spare is remapped, or emptied, under its unread
// keys. The key that would need one is refused, and everything typed before arrives exactly
// once the terminal runs again.
TEST_F(KeyboardTest, SparesKeptWhileTargetLagsBehind) {
  Terminal t = xterm("xterm");
  ASSERT_TRUE(desktop_->focus(t.window));
  const pid_t pid = t.process.pid();
  std::u32string text;
  for (char32_t c = 0x4e00; text.size() < keyboard_->spareCount(); ++c) text += c;
  kill(pid, SIGSTOP);
  EXPECT_EQ(type(text, t), std::vector<KeyOutcome>(text.size(), KeyOutcome::kTyped));
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(keyboard_->typeScalar(U'😀', focusOn(t.window), pid), KeyOutcome::kTargetBusy);
  EXPECT_GE(Clock::now() - start, kIdleLimit);

  keyboard_.reset();  // keeps the keysyms its stopped target has not read
  std::size_t stillMapped = 0;
  for (int code = 9; code < 256; ++code) {
    const KeySym first = desktop_->keysymsOf(static_cast<KeyCode>(code)).front();
    if (first >= 0x1004e00 && first < 0x1004e00 + text.size()) ++stillMapped;
  }
  EXPECT_EQ(stillMapped, text.size());
  kill(pid, SIGCONT);
  desktop_->tap(XK_Return);
  EXPECT_TRUE(waitFor([&] { return t.received() == utf8(text) + "\n"; })) << t.received();
}

// Settled remaps, as fields typed into get them: a key whose spare was just remapped waits
// until the target has been seen idle, but no longer than kRemapSettle (a busy target still
// gets its key; the field's caret and read-back tell whether it took it).
TEST_F(KeyboardTest, SettledRemapWaitsForTheTarget) {
  Terminal t = xterm("xterm", /*immediate=*/true);
  ASSERT_TRUE(desktop_->focus(t.window));
  const pid_t pid = t.process.pid();
  EXPECT_EQ(keyboard_->typeScalar(U'é', focusOn(t.window), pid, /*settleRemaps=*/true),
            KeyOutcome::kTyped);
  EXPECT_TRUE(waitFor([&] { return t.received() == "é"; })) << t.received();
  const std::uint64_t checks = keyboard_->stats().idleChecks;
  kill(pid, SIGSTOP);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(keyboard_->typeScalar(U'Ω', focusOn(t.window), pid, /*settleRemaps=*/true),
            KeyOutcome::kTyped);
  EXPECT_GE(Clock::now() - start, kRemapSettle);
  EXPECT_GT(keyboard_->stats().idleChecks, checks);
  // Mapped already, a key needs no settling.
  const std::uint64_t checksBefore = keyboard_->stats().idleChecks;
  EXPECT_EQ(keyboard_->typeScalar(U'é', focusOn(t.window), pid, /*settleRemaps=*/true),
            KeyOutcome::kTyped);
  EXPECT_EQ(keyboard_->stats().idleChecks, checksBefore);
  kill(pid, SIGCONT);
  EXPECT_TRUE(waitFor([&] { return t.received() == "éΩé"; })) << t.received();
}

// Keysyms stay on their spares from one text to the next: typing the same text again maps
// nothing, and a different text after it still arrives exactly.
TEST_F(KeyboardTest, MappingsKeptBetweenTexts) {
  Terminal t = xterm("xterm");
  ASSERT_TRUE(desktop_->focus(t.window));
  const std::u32string first = U"Grüße, שלום, 你好 😀";
  const std::u32string second = U"Ça va? ½ Ω ñandú 🚀 再见";
  EXPECT_EQ(typeLine(t, first), utf8(first) + "\n");
  const std::size_t remaps = keyboard_->stats().remaps;
  EXPECT_EQ(typeLine(t, first), utf8(first) + "\n");
  EXPECT_EQ(keyboard_->stats().remaps, remaps);
  EXPECT_EQ(typeLine(t, second), utf8(second) + "\n");
  EXPECT_EQ(t.received(), utf8(first) + "\n" + utf8(first) + "\n" + utf8(second) + "\n");
}

// Shift, Control, Alt and Super held are reported and stop every key, first-level or spare;
// a Control locked (sticky keys) is not held but would still make a command of a letter.
TEST_F(KeyboardTest, HeldModifiersReportedAndNothingTyped) {
  Terminal t = xterm("xterm");
  ASSERT_TRUE(desktop_->focus(t.window));
  const FocusCheck check = focusOn(t.window);
  EXPECT_EQ(keyboard_->modifierFlags(), 0u);
  const struct {
    KeySym key;
    std::uint64_t flag;
  } held[] = {{XK_Shift_L, kShiftFlag},
              {XK_Control_L, kControlFlag},
              {XK_Alt_L, kAltFlag},
              {XK_Super_L, kSuperFlag}};
  for (const auto& h : held) {
    desktop_->key(h.key, true);
    EXPECT_EQ(keyboard_->modifierFlags(), h.flag) << XKeysymToString(h.key);
    EXPECT_EQ(keyboard_->typeScalar(U'm', check, t.process.pid()), KeyOutcome::kModifierHeld);
    EXPECT_EQ(keyboard_->typeScalar(U'é', check, t.process.pid()), KeyOutcome::kModifierHeld);
    desktop_->key(h.key, false);
    EXPECT_EQ(keyboard_->modifierFlags(), 0u);
  }
  XkbLockModifiers(desktop_->display(), XkbUseCoreKbd, ControlMask, ControlMask);
  XSync(desktop_->display(), False);
  EXPECT_EQ(keyboard_->modifierFlags(), 0u);
  EXPECT_EQ(keyboard_->typeScalar(U'j', check, t.process.pid()), KeyOutcome::kModifierHeld);
  XkbLockModifiers(desktop_->display(), XkbUseCoreKbd, ControlMask, 0);
  XSync(desktop_->display(), False);

  EXPECT_EQ(typeLine(t, U"ok"), "ok\n");
  EXPECT_EQ(t.received(), "ok\n");
}

// An engaged Caps Lock is no held modifier, changes no letter's case, and is still engaged
// afterwards.
TEST_F(KeyboardTest, CapsLockLockedChangesNothing) {
  Terminal t = xterm("xterm");
  ASSERT_TRUE(desktop_->focus(t.window));
  desktop_->tap(XK_Caps_Lock);
  ASSERT_NE(desktop_->lockedMods() & LockMask, 0u);
  EXPECT_EQ(keyboard_->modifierFlags(), 0u);
  const std::u32string text = U"abc Déf xyz ñ ÀB ωΩ";
  EXPECT_EQ(typeLine(t, text), utf8(text) + "\n");
  EXPECT_NE(desktop_->lockedMods() & LockMask, 0u);
  desktop_->tap(XK_Caps_Lock);
  EXPECT_EQ(desktop_->lockedMods() & LockMask, 0u);
}

// Control characters, separators and lone surrogates are never typed; neither is anything
// without a focus check, or with one that says no.
TEST_F(KeyboardTest, RefusedKeysTypeNothing) {
  Terminal t = xterm("xterm");
  ASSERT_TRUE(desktop_->focus(t.window));
  const FocusCheck check = focusOn(t.window);
  for (const char32_t c : {U'\n', U'\r', U'\t', char32_t{0x1b}, char32_t{0x7f}, char32_t{0x85},
                           char32_t{0x2028}, char32_t{0xd83d}}) {
    EXPECT_EQ(keyboard_->typeScalar(c, check, t.process.pid()), KeyOutcome::kUntypeable);
  }
  EXPECT_EQ(keyboard_->typeScalar(U'a', FocusCheck{}, t.process.pid()), KeyOutcome::kFocusLost);
  EXPECT_EQ(keyboard_->typeScalar(
                U'a', [](Display*) { return false; }, t.process.pid()),
            KeyOutcome::kFocusLost);
  EXPECT_EQ(keyboard_->typeScalar(
                U'é', [](Display*) { return false; }, t.process.pid()),
            KeyOutcome::kFocusLost);
  EXPECT_EQ(typeLine(t, U"x"), "x\n");
  EXPECT_EQ(t.received(), "x\n");
}

// The focus moves to another terminal while a long text is being typed: what was typed
// before stays, and no key after the move reaches either terminal.
TEST_F(KeyboardTest, FocusMovedMidwayTypesNothingAfterwards) {
  Terminal first = xterm("first", /*immediate=*/true);
  Terminal second = xterm("second", /*immediate=*/true);
  ASSERT_TRUE(desktop_->focus(first.window));
  std::u32string text;
  const std::u32string pattern = U"abcdefghij éñü 日本 😀 ";
  while (text.size() < 4000) text += pattern;

  std::vector<KeyOutcome> outcomes;
  std::thread typist([&] { outcomes = type(text, first); });
  const bool started = waitFor([&] { return first.received().size() >= 40; });
  const bool moved = desktop_->focus(second.window);
  typist.join();
  ASSERT_TRUE(started);
  ASSERT_TRUE(moved);

  ASSERT_FALSE(outcomes.empty());
  EXPECT_EQ(outcomes.back(), KeyOutcome::kFocusLost);
  const std::size_t typed = outcomes.size() - 1;
  EXPECT_LT(typed, text.size());
  const std::string expected = utf8(text.substr(0, typed));
  // Whatever is still on its way has arrived once the first terminal's file stops at the
  // typed prefix; a key after the move would show as more.
  EXPECT_TRUE(waitFor([&] { return first.received().size() >= expected.size(); }));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(first.received(), expected);
  EXPECT_EQ(second.received(), "");
}

// Another client asks for the focus while the check runs: the server holds that request
// back until the key has gone to the checked window.
TEST_F(KeyboardTest, CheckAndKeyAreOneStep) {
  Terminal first = xterm("first", /*immediate=*/true);
  Terminal second = xterm("second", /*immediate=*/true);
  ASSERT_TRUE(desktop_->focus(first.window));
  Display* other = XOpenDisplay(desktop_->displayName().c_str());
  ASSERT_NE(other, nullptr);
  const FocusCheck checkWhileFocusMoves = [&](Display* display) {
    // One round trip first: the grab has reached the server when it returns.
    if (!focusOn(first.window)(display)) return false;
    XSetInputFocus(other, second.window, RevertToParent, CurrentTime);
    XFlush(other);
    // Time enough for the server to act on the other client's request, were it free to.
    std::this_thread::sleep_for(100ms);
    return focusOn(first.window)(display);
  };
  EXPECT_EQ(keyboard_->typeScalar(U'é', checkWhileFocusMoves, first.process.pid()),
            KeyOutcome::kTyped);
  XSync(other, False);
  EXPECT_EQ(desktop_->focusWindow(), second.window);
  EXPECT_EQ(keyboard_->typeScalar(U'x', focusOn(first.window), first.process.pid()),
            KeyOutcome::kFocusLost);
  XCloseDisplay(other);
  EXPECT_TRUE(waitFor([&] { return first.received() == "é"; })) << first.received();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(first.received(), "é");
  EXPECT_EQ(second.received(), "");
}

// The spares are emptied when the keyboard goes away, but only once the last key has had
// its settle time: the terminal still gets the character.
TEST_F(KeyboardTest, SparesRestoredAfterLastSettle) {
  Terminal t = xterm("xterm");
  ASSERT_TRUE(desktop_->focus(t.window));
  ASSERT_EQ(type(U"Ωé😀", t), std::vector<KeyOutcome>(3, KeyOutcome::kTyped));
  const Clock::time_point lastKey = Clock::now();
  std::vector<unsigned char> spares;
  for (int code = 9; code < 256; ++code) {
    const std::vector<KeySym> syms = desktop_->keysymsOf(static_cast<KeyCode>(code));
    if (syms.front() == 0x10003a9 || syms.front() == 0xe9 || syms.front() == 0x101f600) {
      spares.push_back(static_cast<unsigned char>(code));
    }
  }
  EXPECT_EQ(spares.size(), 3u);
  keyboard_.reset();
  EXPECT_GE(Clock::now() - lastKey, kRemapIdle);
  for (const unsigned char code : spares) {
    for (const KeySym s : desktop_->keysymsOf(code)) EXPECT_EQ(s, NoSymbol) << int{code};
  }
  desktop_->tap(XK_Return);
  EXPECT_TRUE(waitFor([&] { return t.received() == "Ωé😀\n"; })) << t.received();
}

// A spare keycode that another client has written is left to it: the next key takes another
// spare, and the other client's keysym survives the restore.
TEST_F(KeyboardTest, SpareTakenByAnotherClientIsLeftAlone) {
  Terminal t = xterm("xterm", /*immediate=*/true);
  ASSERT_TRUE(desktop_->focus(t.window));
  ASSERT_EQ(type(U"é", t), std::vector<KeyOutcome>{KeyOutcome::kTyped});
  KeyCode taken = 0;
  for (int code = 9; code < 256 && taken == 0; ++code) {
    if (desktop_->keysymsOf(static_cast<KeyCode>(code)).front() == 0xe9) {
      taken = static_cast<KeyCode>(code);
    }
  }
  ASSERT_NE(taken, 0);
  // The other client is careful too: it remaps only once the terminal has read the key.
  ASSERT_TRUE(waitFor([&] { return t.received() == "é"; }));
  KeySym other[7];
  std::fill(std::begin(other), std::end(other), XK_x);
  XChangeKeyboardMapping(desktop_->display(), taken, 1, other, 1);
  XSync(desktop_->display(), False);

  EXPECT_EQ(type(U"é", t), std::vector<KeyOutcome>{KeyOutcome::kTyped});
  EXPECT_TRUE(waitFor([&] { return t.received() == "éé"; })) << t.received();
  EXPECT_EQ(desktop_->keysymsOf(taken).front(), XK_x);
  keyboard_.reset();
  EXPECT_EQ(desktop_->keysymsOf(taken).front(), XK_x);
  KeySym none = NoSymbol;
  XChangeKeyboardMapping(desktop_->display(), taken, 1, &none, 1);
  XSync(desktop_->display(), False);
}

// A VTE terminal translates keys with its own copy of the layout; it too gets every
// character exactly.
TEST_F(KeyboardTest, TextArrivesExactlyInVteTerminal) {
  ASSERT_TRUE(testing::x11::onPath("sakura"))
      << "sakura is missing: scripts/install-deps.sh installs it";
  std::optional<Terminal> t = desktop_->openSakura("sakura");
  ASSERT_TRUE(t) << "sakura did not come up";
  ASSERT_TRUE(desktop_->focus(t->window));
  std::u32string cjk;
  for (char32_t c = 0x4e00; c < 0x4e00 + 60; ++c) cjk += c;
  const std::u32string texts[] = {
      U"echo héllo 😀 wörld שלום!",
      U"àáâãäåæçèéêëìíîïðñòóôõöøùúûüýþÿ ÀÉÎÕÜ ß ¡¿«»",
      cjk,
  };
  for (const std::u32string& text : texts) {
    EXPECT_EQ(typeLine(*t, text), utf8(text) + "\n");
  }
}

}  // namespace
}  // namespace caretsafe::x11
