#include <openssl/evp.h>

#include <cstdlib>

#include "insertion/sha256.h"

namespace caretsafe {

Sha256Bytes sha256(std::string_view bytes) {
  Sha256Bytes out{};
  unsigned int length = 0;
  // EVP_Digest runs init, one update and final. It fails only when the library itself is
  // broken (no SHA-256 provider, no memory); a fingerprint must never silently be wrong,
  // so that is fatal rather than a made-up value.
  if (EVP_Digest(bytes.data(), bytes.size(), out.data(), &length, EVP_sha256(), nullptr) != 1 ||
      length != out.size()) {
    std::abort();
  }
  return out;
}

}  // namespace caretsafe
