// UTF-8 and UTF-16 helpers. Texts cross the platform seam as UTF-16 (the platform's own
// strings) and the line protocol as UTF-8; these conversions are the only place where one
// becomes the other.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace caretsafe::text {

inline constexpr char32_t kReplacement = 0xFFFD;

// What a conversion does with a surrogate code unit that is not half of a pair. Text read
// from another application can hold one, and so can a field on the simulated desktop, whose
// harness writes "\uD800" to give it such a value. Well-formed UTF-8 cannot carry it, so
// `kReplace` makes it U+FFFD; `kKeep` carries it through UTF-8 as the three-byte sequence of
// its code point (ED A0..BF 80..BF, generalised UTF-8), where only the simulated desktop's
// model and journal need it.
enum class LoneSurrogates { kReplace, kKeep };

// One UTF-8 sequence: its code point and byte length when it is well-formed; otherwise U+FFFD
// and the length of the maximal subpart of the ill-formed sequence (at least 1), and `valid`
// false. With `kKeep`, the three-byte sequence of a surrogate code point is well-formed.
struct Utf8Sequence {
  char32_t scalar;
  std::size_t length;
  bool valid;
};
// The sequence that starts at `pos`, which must be inside the bytes.
Utf8Sequence decodeUtf8(std::string_view bytes, std::size_t pos,
                        LoneSurrogates lone = LoneSurrogates::kReplace);

// The bytes read as UTF-8, with every ill-formed sequence replaced by U+FFFD: one U+FFFD per
// maximal subpart of an ill-formed sequence (the Unicode Standard's recommended practice, as
// WHATWG decoders do). Well-formed input comes back unchanged.
std::string sanitizeUtf8(std::string_view bytes);

// Whether the bytes are well-formed UTF-8.
bool isValidUtf8(std::string_view bytes);

// UTF-8 to UTF-16. Ill-formed sequences become U+FFFD as in `sanitizeUtf8`; with `kKeep`, the
// sequence of a surrogate code point becomes that one code unit.
std::u16string utf16FromUtf8(std::string_view utf8, LoneSurrogates lone = LoneSurrogates::kReplace);

// UTF-16 to UTF-8. An unpaired surrogate becomes U+FFFD (EF BF BD), or with `kKeep` the
// three-byte sequence of its own code point.
std::string utf8FromUtf16(std::u16string_view utf16,
                          LoneSurrogates lone = LoneSurrogates::kReplace);

// Appends the UTF-8 form of one scalar value.
void appendUtf8(std::string& out, char32_t scalar);

// Appends the UTF-16 form of one scalar value (one unit, or a surrogate pair above U+FFFF).
void appendUtf16(std::u16string& out, char32_t scalar);

inline bool isHighSurrogate(char32_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
inline bool isLowSurrogate(char32_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}
inline bool isSurrogate(char32_t unit) {
  return unit >= 0xD800 && unit <= 0xDFFF;
}
// The code point of a surrogate pair (a high and a low surrogate).
inline char32_t combineSurrogates(char32_t high, char32_t low) {
  return 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00);
}

// The scalar that starts at `pos` and the number of code units it takes (1 or 2). An
// unpaired surrogate takes one unit and reads as U+FFFD, or with `kKeep` as its own code
// point. `pos` must be inside the text.
struct ScalarAt {
  char32_t scalar;
  std::size_t units;
};
ScalarAt scalarAt(std::u16string_view text, std::size_t pos,
                  LoneSurrogates lone = LoneSurrogates::kReplace);

// The code unit that exactly four hexadecimal digits (either case) write, as in a JSON `\u`
// escape; none for anything else.
std::optional<char16_t> hexUnit(std::string_view digits);

// Whether the text holds a surrogate that is not part of a pair.
bool hasUnpairedSurrogate(std::u16string_view text);

}  // namespace caretsafe::text
