#include "insertion/terminal_text.h"

#include "text/utf.h"

namespace caretsafe {
namespace {

bool replacedBySpace(char32_t c) {
  return c == 0x2028 || c == 0x2029 || c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

// The platform's whitespace-and-newline set: General Category Z*, U+000A-U+000D, U+0085.
// Every member is a single UTF-16 unit.
bool trimmed(char16_t c) {
  return c == 0x20 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
         c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000 || (c >= 0x0A && c <= 0x0D) ||
         c == 0x85;
}

}  // namespace

std::u16string terminalText(std::u16string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    const text::ScalarAt s = text::scalarAt(text, pos);
    text::appendUtf16(out, replacedBySpace(s.scalar) ? U' ' : s.scalar);
    pos += s.units;
  }
  // `out` holds no unpaired surrogate, and a trimmed character is one unit long, so cutting
  // unit by unit is cutting scalar by scalar.
  std::size_t begin = 0;
  std::size_t end = out.size();
  while (begin < end && trimmed(out[begin])) ++begin;
  while (end > begin && trimmed(out[end - 1])) --end;
  return out.substr(begin, end - begin);
}

}  // namespace caretsafe
