#include "text/utf.h"

#include <cstdint>

namespace caretsafe::text {
namespace {

// Decodes the well-formed sequence at `pos`, or reports the length of the maximal subpart of
// the ill-formed one (at least 1) with scalar U+FFFD.
struct Decoded {
  char32_t scalar;
  std::size_t length;
  bool valid;
};

Decoded decodeAt(std::string_view s, std::size_t pos) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(s[i]); };
  const std::uint8_t lead = byte(pos);
  if (lead < 0x80) return {lead, 1, true};

  std::size_t need = 0;
  std::uint8_t lo = 0x80;
  std::uint8_t hi = 0xBF;
  char32_t scalar = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
    scalar = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    scalar = lead & 0x0Fu;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    scalar = lead & 0x07u;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return {kReplacement, 1, false};
  }

  std::size_t i = pos + 1;
  for (std::size_t k = 0; k < need; ++k, ++i) {
    if (i >= s.size()) return {kReplacement, i - pos, false};
    const std::uint8_t b = byte(i);
    // Only the second byte has a narrowed range; the others are plain continuation bytes.
    const std::uint8_t min = k == 0 ? lo : 0x80;
    const std::uint8_t max = k == 0 ? hi : 0xBF;
    if (b < min || b > max) return {kReplacement, i - pos, false};
    scalar = (scalar << 6) | (b & 0x3Fu);
  }
  return {scalar, need + 1, true};
}

}  // namespace

void appendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

void appendUtf16(std::u16string& out, char32_t c) {
  if (c < 0x10000) {
    out.push_back(static_cast<char16_t>(c));
  } else {
    const char32_t v = c - 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (v >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (v & 0x3FF)));
  }
}

std::string sanitizeUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    // Copy runs of ASCII straight through.
    std::size_t run = pos;
    while (run < bytes.size() && static_cast<std::uint8_t>(bytes[run]) < 0x80) ++run;
    out.append(bytes.data() + pos, run - pos);
    pos = run;
    if (pos >= bytes.size()) break;
    const Decoded d = decodeAt(bytes, pos);
    if (d.valid) {
      out.append(bytes.data() + pos, d.length);
    } else {
      appendUtf8(out, kReplacement);
    }
    pos += d.length;
  }
  return out;
}

bool isValidUtf8(std::string_view bytes) {
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    const Decoded d = decodeAt(bytes, pos);
    if (!d.valid) return false;
    pos += d.length;
  }
  return true;
}

std::u16string utf16FromUtf8(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  std::size_t pos = 0;
  while (pos < utf8.size()) {
    const Decoded d = decodeAt(utf8, pos);
    appendUtf16(out, d.scalar);
    pos += d.length;
  }
  return out;
}

ScalarAt scalarAt(std::u16string_view text, std::size_t pos) {
  const char32_t unit = text[pos];
  if (isHighSurrogate(unit) && pos + 1 < text.size() && isLowSurrogate(text[pos + 1])) {
    const char32_t low = text[pos + 1];
    return {0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00), 2};
  }
  if (isSurrogate(unit)) return {kReplacement, 1};
  return {unit, 1};
}

std::string utf8FromUtf16(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size() * 3);
  for (std::size_t pos = 0; pos < utf16.size();) {
    const char16_t unit = utf16[pos];
    if (unit < 0x80) {
      out.push_back(static_cast<char>(unit));
      ++pos;
      continue;
    }
    const ScalarAt s = scalarAt(utf16, pos);
    appendUtf8(out, s.scalar);
    pos += s.units;
  }
  return out;
}

bool hasUnpairedSurrogate(std::u16string_view text) {
  for (std::size_t pos = 0; pos < text.size();) {
    const char16_t unit = text[pos];
    if (!isSurrogate(unit)) {
      ++pos;
      continue;
    }
    if (isHighSurrogate(unit) && pos + 1 < text.size() && isLowSurrogate(text[pos + 1])) {
      pos += 2;
      continue;
    }
    return true;
  }
  return false;
}

}  // namespace caretsafe::text
