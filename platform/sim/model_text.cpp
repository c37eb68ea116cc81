#include "platform/sim/model_text.h"

#include <cstddef>
#include <cstdint>

#include "text/utf.h"

namespace caretsafe::sim {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

struct Decoded {
  char32_t codePoint;
  std::size_t length;
};

// Decodes the sequence at `pos`; surrogate code points are accepted, as the model holds them.
// An ill-formed sequence gives U+FFFD over its maximal subpart (at least one byte).
Decoded decodeAt(std::string_view s, std::size_t pos) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(s[i]); };
  const std::uint8_t lead = byte(pos);
  if (lead < 0x80) return {lead, 1};

  std::size_t need = 0;
  std::uint8_t lo = 0x80;
  std::uint8_t hi = 0xBF;
  char32_t codePoint = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
    codePoint = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    codePoint = lead & 0x0Fu;
    if (lead == 0xE0) lo = 0xA0;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    codePoint = lead & 0x07u;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    return {kReplacement, 1};
  }
  std::size_t i = pos + 1;
  for (std::size_t k = 0; k < need; ++k, ++i) {
    if (i >= s.size()) return {kReplacement, i - pos};
    const std::uint8_t b = byte(i);
    const std::uint8_t min = k == 0 ? lo : 0x80;
    const std::uint8_t max = k == 0 ? hi : 0xBF;
    if (b < min || b > max) return {kReplacement, i - pos};
    codePoint = (codePoint << 6) | (b & 0x3Fu);
  }
  return {codePoint, need + 1};
}

}  // namespace

void appendModelCodePoint(std::string& out, char32_t c) {
  // Generalised UTF-8 is plain UTF-8 applied to every code point, surrogates included.
  text::appendUtf8(out, c);
}

std::u16string unitsFromModelText(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    const auto c = static_cast<std::uint8_t>(text[pos]);
    if (c < 0x80) {
      out.push_back(c);
      ++pos;
      continue;
    }
    const Decoded d = decodeAt(text, pos);
    text::appendUtf16(out, d.codePoint);
    pos += d.length;
  }
  return out;
}

std::string modelTextFromUnits(std::u16string_view units) {
  std::string out;
  out.reserve(units.size());
  for (std::size_t i = 0; i < units.size(); ++i) {
    const char16_t u = units[i];
    if (text::isHighSurrogate(u) && i + 1 < units.size() && text::isLowSurrogate(units[i + 1])) {
      appendModelCodePoint(out, 0x10000 + ((char32_t{u} - 0xD800) << 10) + (units[i + 1] - 0xDC00));
      ++i;
    } else {
      appendModelCodePoint(out, u);
    }
  }
  return out;
}

std::string utf8FromModelText(std::string_view text) {
  // Lone surrogates become U+FFFD on the way to real UTF-8.
  return text::utf8FromUtf16(unitsFromModelText(text));
}

}  // namespace caretsafe::sim
