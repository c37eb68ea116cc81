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

// The text in normalisation form C or D (UTF8PROC_COMPOSE or UTF8PROC_DECOMPOSE), as UTF-8.
std::optional<std::string> normalized(std::u16string_view text, utf8proc_option_t form) {
  const std::string utf8 = utf8FromUtf16(text);
  utf8proc_uint8_t* out = nullptr;
  // utf8proc_map with an explicit length: the NUL-terminated shorthand would stop at a U+0000
  // inside the text.
  const utf8proc_ssize_t length =
      utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(utf8.data()),
                   static_cast<utf8proc_ssize_t>(utf8.size()), &out,
                   static_cast<utf8proc_option_t>(UTF8PROC_STABLE | form));
  const std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> owned(out, &std::free);
  if (length < 0 || out == nullptr) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(out), static_cast<std::size_t>(length));
}

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
  const std::optional<std::string> na = normalized(a, UTF8PROC_COMPOSE);
  const std::optional<std::string> nb = normalized(b, UTF8PROC_COMPOSE);
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

std::optional<std::u16string> decomposed(std::u16string_view text) {
  const Pieces pieces = split(text);
  std::u16string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < pieces.segments.size(); ++i) {
    if (!pieces.segments[i].empty()) {
      const std::optional<std::string> nfd = normalized(pieces.segments[i], UTF8PROC_DECOMPOSE);
      if (!nfd) return std::nullopt;
      out += utf16FromUtf8(*nfd);
    }
    if (i < pieces.loneSurrogates.size()) out.push_back(pieces.loneSurrogates[i]);
  }
  return out;
}

}  // namespace caretsafe::text
