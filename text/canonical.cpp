#include "text/canonical.h"

#include <utf8proc.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "text/utf.h"

namespace caretsafe::text {
namespace {

std::optional<std::string> nfc(std::u16string_view text) {
  const std::string utf8 = utf8FromUtf16(text);
  utf8proc_uint8_t* out = nullptr;
  // utf8proc_map with an explicit length: the NUL-terminated shorthand would stop at a U+0000
  // inside the text.
  const utf8proc_ssize_t length =
      utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(utf8.data()),
                   static_cast<utf8proc_ssize_t>(utf8.size()), &out,
                   static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
  const std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> owned(out, &std::free);
  if (length < 0 || out == nullptr) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(out), static_cast<std::size_t>(length));
}

}  // namespace

namespace {

// Splits a text at its unpaired surrogates: the pieces between them, and the surrogates.
struct Pieces {
  std::vector<std::u16string_view> segments;
  std::u16string loneSurrogates;
};

Pieces split(std::u16string_view text) {
  Pieces out;
  std::size_t start = 0;
  for (std::size_t pos = 0; pos < text.size();) {
    const ScalarAt s = scalarAt(text, pos);
    if (s.units == 1 && isSurrogate(text[pos])) {
      out.segments.push_back(text.substr(start, pos - start));
      out.loneSurrogates.push_back(text[pos]);
      start = pos + 1;
    }
    pos += s.units;
  }
  out.segments.push_back(text.substr(start));
  return out;
}

bool segmentsEqual(std::u16string_view a, std::u16string_view b) {
  if (a == b) return true;
  const std::optional<std::string> na = nfc(a);
  const std::optional<std::string> nb = nfc(b);
  return na && nb && *na == *nb;
}

}  // namespace

bool canonicallyEqual(std::u16string_view a, std::u16string_view b) {
  if (a == b) return true;
  if (!hasUnpairedSurrogate(a) && !hasUnpairedSurrogate(b)) return segmentsEqual(a, b);
  // An unpaired surrogate has no decomposition and nothing composes across it, so two texts
  // are equivalent when they hold the same unpaired surrogates in the same order and the
  // pieces between them are equivalent.
  const Pieces pa = split(a);
  const Pieces pb = split(b);
  if (pa.loneSurrogates != pb.loneSurrogates) return false;
  for (std::size_t i = 0; i < pa.segments.size(); ++i) {
    if (!segmentsEqual(pa.segments[i], pb.segments[i])) return false;
  }
  return true;
}

}  // namespace caretsafe::text
