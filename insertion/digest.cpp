#include "insertion/digest.h"

#include "insertion/sha256.h"
#include "text/utf.h"

namespace caretsafe {

std::string digest(std::u16string_view text) {
  // The UTF-8 form is built whole and hashed in one pass.
  const Sha256Bytes bytes = sha256(text::utf8FromUtf16(text));
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex(bytes.size() * 2, '0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    hex[2 * i] = kHex[bytes[i] >> 4];
    hex[2 * i + 1] = kHex[bytes[i] & 0x0F];
  }
  return hex;
}

}  // namespace caretsafe
