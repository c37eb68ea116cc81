#include <CommonCrypto/CommonDigest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>

#include "insertion/sha256.h"

namespace caretsafe {

static_assert(CC_SHA256_DIGEST_LENGTH == std::tuple_size_v<Sha256Bytes>);

Sha256Bytes sha256(std::string_view bytes) {
  // The library's length argument (CC_LONG) is 32 bits wide: a longer input is fed in pieces
  // that each fit, so that no byte is silently left out of the digest. Every input caretsafe
  // hashes fits in one piece; an empty input needs none.
  constexpr std::size_t kMaxPiece = std::numeric_limits<CC_LONG>::max();

  // The calls are documented to always answer 1; anything else means the library is broken,
  // and a fingerprint must never silently be wrong, so that is fatal rather than a made-up value.
  CC_SHA256_CTX context;
  if (CC_SHA256_Init(&context) != 1) std::abort();
  const char* next = bytes.data();
  std::size_t remaining = bytes.size();
  while (remaining > 0) {
    const std::size_t piece = std::min(remaining, kMaxPiece);
    if (CC_SHA256_Update(&context, next, static_cast<CC_LONG>(piece)) != 1) std::abort();
    next += piece;
    remaining -= piece;
  }
  Sha256Bytes out{};
  if (CC_SHA256_Final(out.data(), &context) != 1) std::abort();
  return out;
}

}  // namespace caretsafe
