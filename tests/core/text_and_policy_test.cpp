// The pure parts: UTF conversions, the insertion policy, the fingerprint, the terminal-safe
// transform, canonical equality and the self-test's checks.

#include <gtest/gtest.h>

#include <string>

#include "app/self_test.h"
#include "insertion/digest.h"
#include "insertion/terminal_text.h"
#include "probe/policy.h"
#include "text/canonical.h"
#include "text/utf.h"

namespace caretsafe {
namespace {

using namespace std::string_literals;

TEST(Utf8, IllFormedSequencesBecomeOneReplacementPerMaximalSubpart) {
  const std::string r = "\xEF\xBF\xBD";
  struct Row {
    const char* name;
    std::string in;
    std::string out;
  };
  const Row rows[] = {
      {"ascii and valid multibyte unchanged", "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
       "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"lone continuation", "\x80", r},
      {"overlong lead C0", "\xC0\x80", r + r},
      {"E0 with too-low second byte", "\xE0\x80\x80", r + r + r},
      {"encoded surrogate", "\xED\xA0\x80", r + r + r},
      {"truncated four-byte at end", "\xF0\x9F\x98", r},
      {"truncated four-byte before ascii",
       "\xF0\x9F\x98"
       "A",
       r + "A"},
      {"above U+10FFFF", "\xF4\x90\x80\x80", r + r + r + r},
      {"invalid lead FF", "\xFF\xFE", r + r},
      {"truncated three-byte then valid",
       "\xE2\x82"
       "\xC3\xA9",
       r + "\xC3\xA9"},
      {"NUL passes", "a\0b"s, "a\0b"s},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(text::sanitizeUtf8(row.in), row.out);
    EXPECT_EQ(text::isValidUtf8(row.in), row.in == row.out);
  }
}

TEST(Utf16, ConversionsRoundTripAndReplaceUnpairedSurrogates) {
  const std::u16string mixed = u"a\u00E9\u20AC\U0001F600";
  EXPECT_EQ(text::utf16FromUtf8(text::utf8FromUtf16(mixed)), mixed);
  EXPECT_EQ(text::utf8FromUtf16(u"x\xD800y"), "x\xEF\xBF\xBDy");
  EXPECT_EQ(text::utf8FromUtf16(u"\xDC00"), "\xEF\xBF\xBD");
  EXPECT_EQ(text::utf8FromUtf16(u"\xD83D"), "\xEF\xBF\xBD");  // high half at the very end
  EXPECT_TRUE(text::hasUnpairedSurrogate(u"ab\xDE00"));
  EXPECT_FALSE(text::hasUnpairedSurrogate(u"\U0001F600"));
}

TEST(Utf16, FastConversionMatchesTheScalarDefinition) {
  // Random texts mixing every length class, with pairs and lone halves anywhere, including
  // across the converter's 16-unit blocks.
  const char16_t pool[] = {u'a',   u'~',   0x7F,   0x80,   0xE9,   0x7FF,  0x800,
                           0x20AC, 0xFFFF, 0xD83D, 0xDE00, 0xDBFF, 0xDC00, u' '};
  std::uint32_t seed = 12345;
  const auto next = [&seed] { return seed = seed * 1664525u + 1013904223u; };
  for (int round = 0; round < 2000; ++round) {
    std::u16string in;
    const std::size_t length = next() % 70;
    for (std::size_t i = 0; i < length; ++i) {
      // Runs of ASCII now and then, so that whole blocks take the fast path.
      if (next() % 4 == 0) {
        in.append(next() % 40, u'x');
      } else {
        in.push_back(pool[next() % std::size(pool)]);
      }
    }
    std::string expected;
    for (std::size_t pos = 0; pos < in.size();) {
      const text::ScalarAt s = text::scalarAt(in, pos);
      text::appendUtf8(expected, s.scalar);
      pos += s.units;
    }
    ASSERT_EQ(text::utf8FromUtf16(in), expected) << "round " << round;
  }
}

TEST(Policy, FirstRefusalWins) {
  struct Row {
    FieldState field;
    std::optional<Refusal> expected;
  };
  const Row rows[] = {
      {{.role = "AXButton", .subrole = "", .enabled = true, .writable = true, .selectionLength = 0},
       Refusal::kUnsupportedField},
      {{.role = "AXButton",
        .subrole = "",
        .enabled = false,
        .writable = false,
        .selectionLength = 7},
       Refusal::kUnsupportedField},
      {{.role = "AXTextArea",
        .subrole = "",
        .enabled = false,
        .writable = true,
        .selectionLength = 0},
       Refusal::kReadOnly},
      {{.role = "AXTextArea",
        .subrole = "",
        .enabled = true,
        .writable = false,
        .selectionLength = 0},
       Refusal::kReadOnly},
      {{.role = "AXTextArea",
        .subrole = "",
        .enabled = true,
        .writable = true,
        .selectionLength = 3},
       Refusal::kSelectionNotEmpty},
      {{.role = "AXTextArea",
        .subrole = "",
        .enabled = true,
        .writable = true,
        .selectionLength = -1},
       Refusal::kSelectionNotEmpty},
      {{.role = "AXTextField",
        .subrole = "",
        .enabled = true,
        .writable = true,
        .selectionLength = 0},
       std::nullopt},
      {{.role = "AXTextArea",
        .subrole = "AXSomethingElse",
        .enabled = true,
        .writable = true,
        .selectionLength = 0},
       std::nullopt},
      {{.role = "AXTextField",
        .subrole = "AXSecureTextField",
        .enabled = true,
        .writable = true,
        .selectionLength = 0},
       Refusal::kSecureField},
      {{.role = "AXButton",
        .subrole = "AXSecureTextField",
        .enabled = false,
        .writable = false,
        .selectionLength = 9},
       Refusal::kSecureField},
      {{.role = "AXTextField",
        .subrole = "",
        .enabled = false,
        .writable = true,
        .selectionLength = 5},
       Refusal::kReadOnly},
      {{.role = "axtextfield",
        .subrole = "",
        .enabled = true,
        .writable = true,
        .selectionLength = 0},
       Refusal::kUnsupportedField},
      {{.role = "AXTextField ",
        .subrole = "",
        .enabled = true,
        .writable = true,
        .selectionLength = 0},
       Refusal::kUnsupportedField},
      {{.role = "", .subrole = "", .enabled = true, .writable = true, .selectionLength = 0},
       Refusal::kUnsupportedField},
      {{.role = "AXSecureTextField",
        .subrole = "",
        .enabled = true,
        .writable = true,
        .selectionLength = 0},
       Refusal::kUnsupportedField},
      {{.role = "AXTextField",
        .subrole = "axsecuretextfield",
        .enabled = true,
        .writable = true,
        .selectionLength = 0},
       std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.field.role) + "/" + std::string(row.field.subrole));
    EXPECT_EQ(refusal(row.field), row.expected);
  }
}

TEST(Policy, WritableUnlessTheSettableTestSaysNoOutsideATerminal) {
  struct Row {
    const char* name;
    SettableAnswer settable;
    bool terminal;
    bool writable;
  };
  const Row rows[] = {
      {.name = "settable",
       .settable = {.error = kAxSuccess, .settable = true},
       .terminal = false,
       .writable = true},
      {.name = "not settable",
       .settable = {.error = kAxSuccess, .settable = false},
       .terminal = false,
       .writable = false},
      {.name = "test failed",
       .settable = {.error = kAxErrorAttributeUnsupported, .settable = false},
       .terminal = false,
       .writable = false},
      {.name = "test failed, answer true all the same",
       .settable = {.error = kAxErrorCannotComplete, .settable = true},
       .terminal = false,
       .writable = false},
      {.name = "terminal, not settable",
       .settable = {.error = kAxSuccess, .settable = false},
       .terminal = true,
       .writable = true},
      {.name = "terminal, test failed",
       .settable = {.error = kAxErrorAttributeUnsupported, .settable = false},
       .terminal = true,
       .writable = true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(writable(row.settable, row.terminal), row.writable);
  }
}

TEST(Digest, KnownVectorsAndByteExactness) {
  EXPECT_EQ(digest(u""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(digest(u"abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // Canonically equal, byte-different texts fingerprint differently.
  EXPECT_NE(digest(u"\u00E9"), digest(u"e\u0301"));
  EXPECT_NE(digest(u"text"), digest(u"text!"));
  // An unpaired surrogate is hashed as U+FFFD, high or low, anywhere.
  EXPECT_EQ(digest(u"a\xD800z"), digest(u"a\uFFFDz"));
  EXPECT_EQ(digest(u"\xDFFF"), digest(u"\uFFFD"));
  EXPECT_EQ(digest(u"\U0001F600"),
            "f0443a342c5ef54783a111b51ba56c938e474c32324d90c3a60c9c8e3a37e2d9");
  for (const std::u16string& s : {std::u16string(), std::u16string(5000, u'\u05D0')}) {
    const std::string d = digest(s);
    EXPECT_EQ(d.size(), 64u);
    EXPECT_EQ(d.find_first_not_of("0123456789abcdef"), std::string::npos);
  }
}

TEST(TerminalText, ReplacesControlsAndTrimsBlanks) {
  struct Row {
    const char* name;
    std::u16string in;
    std::u16string out;
  };
  const Row rows[] = {
      {"self-test string", u"\u05E9\u05DC\u05D5\u05DD\nwhoami\r\x1B\t\u0085\u2028",
       u"\u05E9\u05DC\u05D5\u05DD whoami"},
      {"empty", u"", u""},
      {"only controls and blanks", u"\r\n\t\x1B\u2028\u2029 \u00A0\u3000\u2003\x7F\u0085", u""},
      {"CR LF becomes two spaces", u"a\r\nb", u"a  b"},
      {"escape sequence keeps its tail", u"\x1B[31mred", u"[31mred"},
      {"inner escape becomes a space", u"x\x1B[0m", u"x [0m"},
      {"NBSP inside stays, at ends trimmed", u"\u00A0a\u00A0b\u00A0", u"a\u00A0b"},
      {"other Zs trimmed", u"\u1680\u2000\u200A\u202F\u205Fok\u3000", u"ok"},
      {"edges of the replaced ranges", u"a\x1F~\x7F\u0080\u009F\u00A0!", u"a ~   \u00A0!"},
      {"tab then combining accent at start", u"\t\u0301x", u"\u0301x"},
      {"tab then combining accent inside", u"a\t\u0301", u"a \u0301"},
      {"formatting characters pass", u"\u00AD\u200B\uFEFF\u202Eab", u"\u00AD\u200B\uFEFF\u202Eab"},
      {"emoji and ZWJ sequence pass", u"\U0001F600\U0001F469\u200D\U0001F4BB",
       u"\U0001F600\U0001F469\u200D\U0001F4BB"},
      {"unpaired surrogate becomes U+FFFD", u"a\xD800", u"a\uFFFD"},
      {"NUL becomes space", std::u16string(u"a\0b", 3), u"a b"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::u16string out = terminalText(row.in);
    EXPECT_EQ(out, row.out);
    EXPECT_LE(out.size(), row.in.size());
  }
}

TEST(TerminalText, NothingBelowSpaceOrInTheC1RangeEverSurvives) {
  // Every scalar below U+0100 and the separators, alone and between letters.
  for (char32_t c = 0; c < 0x100; ++c) {
    std::u16string in = u"a";
    text::appendUtf16(in, c);
    in += u"b";
    const std::u16string out = terminalText(in);
    const bool control = c < 0x20 || (c >= 0x7F && c <= 0x9F);
    SCOPED_TRACE(static_cast<unsigned>(c));
    EXPECT_EQ(out[1], control ? u' ' : static_cast<char16_t>(c));
  }
  EXPECT_EQ(terminalText(u"a\u2028b\u2029c"), u"a b c");
}

TEST(CanonicalEquality, NormalisesOnlyWhenUnitsDiffer) {
  EXPECT_TRUE(text::canonicallyEqual(u"caf\u00E9", u"cafe\u0301"));
  EXPECT_TRUE(text::canonicallyEqual(u"\uAC00", u"\u1100\u1161"));  // Hangul syllable
  EXPECT_FALSE(text::canonicallyEqual(u"cafe", u"caf\u00E9"));
  EXPECT_FALSE(text::canonicallyEqual(u"Text", u"text"));
  EXPECT_FALSE(text::canonicallyEqual(u"\uFB01", u"fi"));  // compatibility, not canonical
  // A NUL inside must not cut the comparison short.
  EXPECT_FALSE(text::canonicallyEqual(std::u16string(u"a\0b", 3), std::u16string(u"a\0c", 3)));
  EXPECT_TRUE(
      text::canonicallyEqual(std::u16string(u"e\u0301\0", 3), std::u16string(u"\u00E9\0", 2)));
  // An unpaired surrogate equals only itself; the pieces around it still compare by NFC.
  EXPECT_TRUE(text::canonicallyEqual(u"a\xD800", u"a\xD800"));
  EXPECT_FALSE(text::canonicallyEqual(u"a\xD800", u"a\uFFFD"));
  EXPECT_FALSE(text::canonicallyEqual(u"a\xD800", u"a\xDC00"));
  EXPECT_TRUE(
      text::canonicallyEqual(u"\xD800"
                             u"caf\u00E9\xDC00"
                             u"x",
                             u"\xD800"
                             u"cafe\u0301\xDC00"
                             u"x"));
  EXPECT_FALSE(
      text::canonicallyEqual(u"\xD800"
                             u"cafe\xDC00",
                             u"\xD800"
                             u"caf\u00E9\xDC00"));
  EXPECT_FALSE(text::canonicallyEqual(u"ab\xD800",
                                      u"a\xD800"
                                      u"b"));
}

TEST(SelfTest, AllSevenChecksPass) {
  EXPECT_EQ(firstFailingSelfTestCheck(), std::nullopt);
}

TEST(SelfTest, KnowsEachRefusalByItsText) {
  EXPECT_EQ(refusalText(Refusal::kSecureField), "secure-field");
  EXPECT_EQ(refusalText(Refusal::kUnsupportedField), "unsupported-field");
  EXPECT_EQ(refusalText(Refusal::kReadOnly), "read-only");
  EXPECT_EQ(refusalText(Refusal::kSelectionNotEmpty), "selection-not-empty");
}

TEST(SelfTest, LineIsEightySixBytes) {
  EXPECT_EQ(kSelfTestLine.size(), 86u);
}

}  // namespace
}  // namespace caretsafe
