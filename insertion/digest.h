// The fingerprint of a field's value.
#pragma once

#include <string>
#include <string_view>

namespace caretsafe {

// SHA-256 of the text's UTF-8 bytes as 64 lowercase hexadecimal digits. No normalisation:
// the fingerprint sees code points, not characters. An unpaired surrogate is hashed as
// U+FFFD. Total and pure.
std::string digest(std::u16string_view text);

}  // namespace caretsafe
