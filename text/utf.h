// UTF-8 and UTF-16 helpers. Texts cross the platform seam as UTF-16 (the platform's own
// strings) and the line protocol as UTF-8; these conversions are the only place where one
// becomes the other.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace caretsafe::text {

inline constexpr char32_t kReplacement = 0xFFFD;

// The bytes read as UTF-8, with every ill-formed sequence replaced by U+FFFD: one U+FFFD per
// maximal subpart of an ill-formed sequence (the Unicode Standard's recommended practice, as
// WHATWG decoders do). Well-formed input comes back unchanged.
std::string sanitizeUtf8(std::string_view bytes);

// Whether the bytes are well-formed UTF-8.
bool isValidUtf8(std::string_view bytes);

// UTF-8 to UTF-16. Ill-formed sequences become U+FFFD as in `sanitizeUtf8`.
std::u16string utf16FromUtf8(std::string_view utf8);

// UTF-16 to UTF-8. An unpaired surrogate becomes U+FFFD (EF BF BD).
std::string utf8FromUtf16(std::u16string_view utf16);

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

// The scalar that starts at `pos` and the number of code units it takes (1 or 2). An
// unpaired surrogate reads as U+FFFD and takes one unit. `pos` must be inside the text.
struct ScalarAt {
  char32_t scalar;
  std::size_t units;
};
ScalarAt scalarAt(std::u16string_view text, std::size_t pos);

// Whether the text holds a surrogate that is not part of a pair.
bool hasUnpairedSurrogate(std::u16string_view text);

}  // namespace caretsafe::text
