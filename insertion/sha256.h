// SHA-256 (FIPS 180-4) of a byte string, from the platform's crypto library: OpenSSL's
// libcrypto on Linux, CommonCrypto on Apple. The build links exactly one definition.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace caretsafe {

using Sha256Bytes = std::array<std::uint8_t, 32>;

// One hasher, fed the whole input in a single update, then finalised.
Sha256Bytes sha256(std::string_view bytes);

}  // namespace caretsafe
