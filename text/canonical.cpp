#include "text/canonical.h"

#include <utf8proc.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

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

bool canonicallyEqual(std::u16string_view a, std::u16string_view b) {
  if (a == b) return true;
  if (hasUnpairedSurrogate(a) || hasUnpairedSurrogate(b)) return false;
  const std::optional<std::string> na = nfc(a);
  const std::optional<std::string> nb = nfc(b);
  return na && nb && *na == *nb;
}

}  // namespace caretsafe::text
