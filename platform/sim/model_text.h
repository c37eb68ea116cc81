// Text as the simulated desktop holds it.
//
// A harness must be able to give a field a value with a lone surrogate (it writes "\uD800" in
// the desktop file), which UTF-8 cannot carry. The desktop therefore keeps its strings in
// generalised UTF-8: plain UTF-8, except that a surrogate code unit that is not part of a pair
// is the three-byte sequence ED A0..BF 80..BF. Every conversion between that form and the
// UTF-16 the platform seam speaks happens here.
#pragma once

#include <string>
#include <string_view>

namespace caretsafe::sim {

// Appends one code point in generalised UTF-8 (a surrogate code point as three bytes).
void appendModelCodePoint(std::string& out, char32_t codePoint);

// The UTF-16 code units of model text. A lone surrogate comes back as that one unit; a byte
// that starts no well-formed sequence becomes U+FFFD. Linear in the length.
std::u16string unitsFromModelText(std::string_view text);

// The model text of UTF-16 code units: pairs as four-byte UTF-8, lone surrogates as above.
std::string modelTextFromUnits(std::u16string_view units);

// Well-formed UTF-8 for a caller that cannot hold a lone surrogate: each one becomes U+FFFD.
std::string utf8FromModelText(std::string_view text);

}  // namespace caretsafe::sim
