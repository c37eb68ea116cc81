// The virtual keyboard's keymap, compiled with libxkbcommon as the compositor and every
// Wayland client compile it: which keys it uses, what each key types, and how keys are handed
// to new scalars once all are taken.
#include <gtest/gtest.h>
#include <xkbcommon/xkbcommon.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/linux/display/wayland/virtual_keyboard.h"

namespace caretsafe::wayland {
namespace {

struct ContextDeleter {
  void operator()(xkb_context* c) const { xkb_context_unref(c); }
};
struct KeymapDeleter {
  void operator()(xkb_keymap* k) const { xkb_keymap_unref(k); }
};
struct StateDeleter {
  void operator()(xkb_state* s) const { xkb_state_unref(s); }
};
using Keymap = std::unique_ptr<xkb_keymap, KeymapDeleter>;

// The keymap compiled from its text, with no include path: it must stand on its own.
Keymap compile(const std::string& text) {
  static const std::unique_ptr<xkb_context, ContextDeleter> context(
      xkb_context_new(static_cast<xkb_context_flags>(XKB_CONTEXT_NO_DEFAULT_INCLUDES |
                                                      XKB_CONTEXT_NO_ENVIRONMENT_NAMES)));
  return Keymap(xkb_keymap_new_from_string(context.get(), text.c_str(), XKB_KEYMAP_FORMAT_TEXT_V1,
                                           XKB_KEYMAP_COMPILE_NO_FLAGS));
}

// Keycodes (xkb numbering) that carry at least one keysym.
std::vector<xkb_keycode_t> keysWithSymbols(xkb_keymap* keymap) {
  std::vector<xkb_keycode_t> codes;
  for (xkb_keycode_t code = xkb_keymap_min_keycode(keymap);
       code <= xkb_keymap_max_keycode(keymap); ++code) {
    const xkb_keysym_t* syms = nullptr;
    if (xkb_keymap_key_get_syms_by_level(keymap, code, 0, 0, &syms) > 0) codes.push_back(code);
  }
  return codes;
}

// What a client gets from the key: the keysyms, and the text xkbcommon makes of them.
struct Typed {
  std::vector<xkb_keysym_t> syms;
  char32_t text = 0;
};
Typed typedBy(xkb_keymap* keymap, std::uint32_t evdev, xkb_mod_mask_t depressed = 0) {
  std::unique_ptr<xkb_state, StateDeleter> state(xkb_state_new(keymap));
  xkb_state_update_mask(state.get(), depressed, 0, 0, 0, 0, 0);
  const xkb_keycode_t code = evdev + kXkbKeycodeOffset;
  const xkb_keysym_t* syms = nullptr;
  const int n = xkb_state_key_get_syms(state.get(), code, &syms);
  Typed typed;
  typed.syms.assign(syms, syms + std::max(n, 0));
  typed.text = xkb_state_key_get_utf32(state.get(), code);
  return typed;
}

TEST(WaylandKeymap, EachScalarArrivesAsItselfOnItsOwnKey) {
  // ASCII, Latin-1 (its own keysyms, not Unicode ones), the rest of the BMP in several
  // scripts, astral scalars up to the last one, and characters a layout would put on a level
  // reached only with a modifier.
  const std::u32string scalars = {U'a', U'Z', U' ', U'!', U'~', U'0', U'9', U'\u00a0', U'é',
                                  U'ÿ', U'ß', U'\u0100', U'ש', U'漢', U'ー', U'\u200d', U'😀',
                                  U'\U0001d11e', U'\U0010fffd', U'\ufffd'};
  KeySlots slots;
  std::vector<std::uint32_t> keys;
  for (const char32_t s : scalars) {
    const auto placed = slots.place(s);
    ASSERT_TRUE(placed.has_value()) << std::hex << static_cast<unsigned long>(s);
    EXPECT_TRUE(placed->keymapChanged);
    keys.push_back(placed->evdev);
  }
  EXPECT_EQ(std::set<std::uint32_t>(keys.begin(), keys.end()).size(), scalars.size());

  const Keymap keymap = compile(slots.keymap());
  ASSERT_NE(keymap, nullptr) << slots.keymap();
  for (std::size_t i = 0; i < scalars.size(); ++i) {
    const Typed typed = typedBy(keymap.get(), keys[i]);
    const unsigned long expected = scalars[i] <= 0xff ? scalars[i] : 0x01000000UL + scalars[i];
    ASSERT_EQ(typed.syms.size(), 1U) << "scalar " << std::hex << static_cast<unsigned long>(scalars[i]);
    EXPECT_EQ(typed.syms[0], expected);
    EXPECT_EQ(typed.text, scalars[i]);
  }
  // One level: the modifiers that pick another level on a real layout (Shift, AltGr on Mod5,
  // NumLock on Mod2) change nothing. Lock and Control are left out: clients turn any letter
  // into a capital or a control character themselves under those; we never report them held.
  for (const std::uint32_t key : keys) {
    EXPECT_EQ(xkb_keymap_num_levels_for_key(keymap.get(), key + kXkbKeycodeOffset, 0), 1U);
    EXPECT_EQ(typedBy(keymap.get(), key, 0x1 | 0x10 | 0x80).syms, typedBy(keymap.get(), key).syms);
  }
}

TEST(WaylandKeymap, UsesOnlyLetterAndDigitKeys) {
  // Keys a client acts on as keys, whatever keysym they carry (evdev codes): Escape,
  // Backspace, Tab, Return, the modifiers, Caps Lock, the function keys, the navigation block.
  std::set<std::uint32_t> forbidden = {1, 14, 15, 28, 29, 42, 54, 56, 58, 97, 100, 125, 126};
  for (std::uint32_t f = 59; f <= 88; ++f) forbidden.insert(f);
  for (std::uint32_t nav = 102; nav <= 111; ++nav) forbidden.insert(nav);
  const std::set<std::uint32_t> allowed(kSlotKeys.begin(), kSlotKeys.end());
  ASSERT_EQ(allowed.size(), kSlotKeys.size()) << "a key listed twice";
  for (const std::uint32_t key : allowed) {
    EXPECT_EQ(forbidden.count(key), 0U) << key;
    EXPECT_TRUE((key >= 2 && key <= 11) || (key >= 16 && key <= 25) ||
                (key >= 30 && key <= 38) || (key >= 44 && key <= 50))
        << key;
    EXPECT_LE(key + kXkbKeycodeOffset, 255U) << "beyond what X clients can receive";
  }

  // Far more distinct scalars than keys: every keymap along the way uses allowed keys only.
  KeySlots slots;
  for (char32_t s = 0x4e00; s < 0x4e00 + 100; ++s) {
    ASSERT_TRUE(slots.place(s).has_value());
    const Keymap keymap = compile(slots.keymap());
    ASSERT_NE(keymap, nullptr);
    for (const xkb_keycode_t code : keysWithSymbols(keymap.get())) {
      EXPECT_EQ(allowed.count(code - kXkbKeycodeOffset), 1U) << code;
    }
  }
}

TEST(WaylandKeymap, ReassignsTheLeastRecentlyUsedKeyWhenAllAreTaken) {
  KeySlots slots(3);
  const auto a = slots.place(U'a');
  const auto b = slots.place(U'b');
  const auto c = slots.place(U'c');
  ASSERT_TRUE(a && b && c);
  EXPECT_TRUE(a->keymapChanged && b->keymapChanged && c->keymapChanged);

  // A scalar already on a key reuses it, without a new keymap, and counts as used.
  const auto a2 = slots.place(U'a');
  ASSERT_TRUE(a2);
  EXPECT_EQ(a2->evdev, a->evdev);
  EXPECT_FALSE(a2->keymapChanged);

  // Full: "d" takes b's key (the least recently used now), then "b" takes c's.
  const auto d = slots.place(U'd');
  ASSERT_TRUE(d);
  EXPECT_EQ(d->evdev, b->evdev);
  EXPECT_TRUE(d->keymapChanged);
  const auto b2 = slots.place(U'b');
  ASSERT_TRUE(b2);
  EXPECT_EQ(b2->evdev, c->evdev);

  const Keymap keymap = compile(slots.keymap());
  ASSERT_NE(keymap, nullptr);
  EXPECT_EQ(typedBy(keymap.get(), a->evdev).text, U'a');
  EXPECT_EQ(typedBy(keymap.get(), d->evdev).text, U'd');
  EXPECT_EQ(typedBy(keymap.get(), b2->evdev).text, U'b');
  EXPECT_EQ(keysWithSymbols(keymap.get()).size(), 3U) << "c is gone";
}

TEST(WaylandKeymap, ATextWithMoreDistinctScalarsThanKeysNeverReusesARecentKey) {
  // 60 distinct CJK characters typed twice over: a key is only reassigned once every other key
  // has been used since, so the keys of the latest kSlotKeys.size() - 1 scalars stay put.
  KeySlots slots;
  std::vector<std::uint32_t> recent;
  std::size_t changes = 0;
  for (int round = 0; round < 2; ++round) {
    for (char32_t s = 0x6f22; s < 0x6f22 + 60; ++s) {
      const auto placed = slots.place(s);
      ASSERT_TRUE(placed);
      changes += placed->keymapChanged ? 1U : 0U;
      const std::size_t window = std::min(recent.size(), kSlotKeys.size() - 1);
      EXPECT_EQ(std::find(recent.end() - static_cast<std::ptrdiff_t>(window), recent.end(),
                          placed->evdev) == recent.end(),
                placed->keymapChanged);
      recent.push_back(placed->evdev);
      // Each keymap along the way types what was placed.
      const Keymap keymap = compile(slots.keymap());
      ASSERT_NE(keymap, nullptr);
      EXPECT_EQ(typedBy(keymap.get(), placed->evdev).text, s);
    }
  }
  EXPECT_EQ(changes, 120U) << "60 scalars cycling through 36 keys never find theirs kept";
}

TEST(WaylandKeymap, UntypeableScalarsTakeNoKey) {
  KeySlots slots(2);
  ASSERT_TRUE(slots.place(U'x'));
  const std::string before = slots.keymap();
  for (const char32_t s : {U'\0', U'\t', U'\n', U'\r', U'\x1b', U'\x7f', U'\x85', U'\x9f',
                           U'\u2028', U'\u2029', char32_t{0xd800}, char32_t{0xdfff},
                           char32_t{0x110000}, char32_t{0xffffffff}}) {
    EXPECT_FALSE(slots.place(s).has_value()) << std::hex << static_cast<unsigned long>(s);
  }
  EXPECT_EQ(slots.keymap(), before);
}

// XWayland runs X's keymap compiler on the keymap the compositor forwards (xkbcommon's own
// rendering of ours) and falls back to a default US keymap unless the result holds key types,
// a compatibility map, symbols, indicators, key names and virtual modifiers: X clients then read
// our keys by their letters. The sections present are in the compiled file's header.
TEST(WaylandKeymap, XsKeymapCompilerKeepsEverySectionXWaylandNeeds) {
  KeySlots slots;
  for (const char32_t s : {U'h', U'é', U'😀'}) ASSERT_TRUE(slots.place(s));
  const Keymap keymap = compile(slots.keymap());
  ASSERT_NE(keymap, nullptr);
  char* forwarded = xkb_keymap_get_as_string(keymap.get(), XKB_KEYMAP_FORMAT_TEXT_V1);
  ASSERT_NE(forwarded, nullptr);
  char dir[] = "/tmp/caretsafe-xkm-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string source = std::string(dir) + "/keymap.xkb";
  const std::string compiled = std::string(dir) + "/keymap.xkm";
  std::ofstream(source) << forwarded;
  std::free(forwarded);
  const std::string command =
      "xkbcomp -w 0 -xkm '" + source + "' '" + compiled + "' >/dev/null 2>&1";
  const int status = std::system(command.c_str());
  std::ifstream in(compiled, std::ios::binary);
  const std::string xkm((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::remove(source.c_str());
  std::remove(compiled.c_str());
  rmdir(dir);
  ASSERT_EQ(status, 0) << "xkbcomp failed (it comes with the x11-xkb-utils package)";
  ASSERT_GE(xkm.size(), 10U);
  // Header: version and "mkx", file type, keycode range, table count, sections present.
  const unsigned present = static_cast<unsigned char>(xkm[8]) |
                           static_cast<unsigned>(static_cast<unsigned char>(xkm[9])) << 8;
  constexpr unsigned kTypes = 1U << 0, kCompat = 1U << 1, kSymbols = 1U << 2,
                     kIndicators = 1U << 3, kKeyNames = 1U << 4, kVirtualMods = 1U << 6;
  const unsigned needed = kTypes | kCompat | kSymbols | kIndicators | kKeyNames | kVirtualMods;
  EXPECT_EQ(present & needed, needed) << std::hex << present;
}

TEST(WaylandKeymap, TheFirstKeymapHasNoKeysAndCompiles) {
  const KeySlots slots;
  const Keymap keymap = compile(slots.keymap());
  ASSERT_NE(keymap, nullptr) << slots.keymap();
  EXPECT_TRUE(keysWithSymbols(keymap.get()).empty());
}

}  // namespace
}  // namespace caretsafe::wayland
