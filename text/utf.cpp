#include "text/utf.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

namespace caretsafe::text {

Utf8Sequence decodeUtf8(std::string_view s, std::size_t pos, LoneSurrogates lone) {
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
    if (lead == 0xED && lone == LoneSurrogates::kReplace) hi = 0x9F;  // no surrogates
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
    const Utf8Sequence d = decodeUtf8(bytes, pos);
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
    const Utf8Sequence d = decodeUtf8(bytes, pos);
    if (!d.valid) return false;
    pos += d.length;
  }
  return true;
}

std::u16string utf16FromUtf8(std::string_view utf8, LoneSurrogates lone) {
  std::u16string out;
  out.reserve(utf8.size());
  std::size_t pos = 0;
  while (pos < utf8.size()) {
    const Utf8Sequence d = decodeUtf8(utf8, pos, lone);
    appendUtf16(out, d.scalar);
    pos += d.length;
  }
  return out;
}

ScalarAt scalarAt(std::u16string_view text, std::size_t pos, LoneSurrogates lone) {
  const char32_t unit = text[pos];
  if (isHighSurrogate(unit) && pos + 1 < text.size() && isLowSurrogate(text[pos + 1])) {
    return {combineSurrogates(unit, text[pos + 1]), 2};
  }
  if (isSurrogate(unit) && lone == LoneSurrogates::kReplace) return {kReplacement, 1};
  return {unit, 1};
}

std::optional<char16_t> hexUnit(std::string_view digits) {
  if (digits.size() != 4) return std::nullopt;
  char16_t unit = 0;
  for (const char c : digits) {
    int digit = 0;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    unit = static_cast<char16_t>(unit * 16 + digit);
  }
  return unit;
}

namespace {

// The UTF-8 length of a UTF-16 text counting every surrogate as 3 bytes, and the number of
// surrogates. Counted in runs of 4096 units with 16-bit sums, which the vectoriser takes.
std::size_t utf8LengthIgnoringPairs(std::u16string_view utf16, std::size_t& surrogates) {
  const char16_t* in = utf16.data();
  const std::size_t n = utf16.size();
  std::size_t length = n;
  std::size_t found = 0;
  for (std::size_t i = 0; i < n;) {
    const std::size_t end = std::min(i + 4096, n);
    std::uint16_t extra = 0;
    std::uint16_t halves = 0;
    for (; i < end; ++i) {
      const std::uint16_t unit = in[i];
      extra = static_cast<std::uint16_t>(extra + (unit > 0x7F) + (unit > 0x7FF));
      halves = static_cast<std::uint16_t>(halves + ((unit & 0xF800) == 0xD800));
    }
    length += extra;
    found += halves;
  }
  surrogates = found;
  return length;
}

// Four ASCII units (one 64-bit load) as four bytes.
std::uint32_t narrowAscii(std::uint64_t units) {
  return static_cast<std::uint32_t>((units & 0xFF) | ((units >> 8) & 0xFF00) |
                                    ((units >> 16) & 0xFF0000) | ((units >> 24) & 0xFF000000));
}

void store32(char* p, std::uint32_t word) {
  // Little-endian order: the first byte of the sequence in the lowest byte of the word.
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(p, &word, sizeof word);
  } else {
    for (int k = 0; k < 4; ++k) p[k] = static_cast<char>((word >> (8 * k)) & 0xFF);
  }
}

}  // namespace

std::string utf8FromUtf16(std::u16string_view utf16, LoneSurrogates lone) {
  // Sized exactly first, then filled through a pointer: fingerprinting a 1,000,000-unit field
  // should cost as little as possible beside hashing it.
  std::size_t surrogates = 0;
  std::size_t length = utf8LengthIgnoringPairs(utf16, surrogates);
  if (surrogates != 0) {
    // A pair is 4 bytes, not 3 + 3; an unpaired surrogate stays 3 bytes, as itself or as U+FFFD.
    for (std::size_t pos = 0; pos + 1 < utf16.size(); ++pos) {
      if (isHighSurrogate(utf16[pos]) && isLowSurrogate(utf16[pos + 1])) {
        length -= 2;
        ++pos;
      }
    }
  }
  // Three bytes of slack: a two- or three-byte sequence is stored as a whole 32-bit word.
  std::string out(length + 3, '\0');
  char* p = out.data();
  const char16_t* in = utf16.data();
  const std::size_t n = utf16.size();
  constexpr std::size_t kBlock = 16;
  std::size_t pos = 0;
  while (pos < n) {
    // Sixteen ASCII units at a time.
    if (pos + kBlock <= n) {
      std::uint64_t block[4];
      std::memcpy(block, in + pos, sizeof block);
      if (((block[0] | block[1] | block[2] | block[3]) & 0xFF80FF80FF80FF80ull) == 0) {
        for (std::size_t k = 0; k < 4; ++k) store32(p + 4 * k, narrowAscii(block[k]));
        p += kBlock;
        pos += kBlock;
        continue;
      }
    }
    // Otherwise the block unit by unit (a surrogate pair may end one unit past it).
    const std::size_t end = std::min(pos + kBlock, n);
    while (pos < end) {
      const std::uint32_t u = in[pos];
      if (u < 0x80) {
        *p++ = static_cast<char>(u);
        ++pos;
      } else if ((u & 0xF800) != 0xD800) {
        const bool three = u >= 0x800;
        const std::uint32_t word = three ? (0xE0 | (u >> 12)) | ((0x80 | ((u >> 6) & 0x3F)) << 8) |
                                               ((0x80 | (u & 0x3F)) << 16)
                                         : (0xC0 | (u >> 6)) | ((0x80 | (u & 0x3F)) << 8);
        store32(p, word);
        p += three ? 3 : 2;
        ++pos;
      } else {
        const ScalarAt s = scalarAt(utf16, pos, lone);
        std::string encoded;
        appendUtf8(encoded, s.scalar);
        std::memcpy(p, encoded.data(), encoded.size());
        p += encoded.size();
        pos += s.units;
      }
    }
  }
  out.resize(length);
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
