// A fake CommonCrypto SHA-256 over OpenSSL, recording every update, for the tests of
// insertion/sha256_commoncrypto.cpp on Linux.
#pragma once

#include <CommonCrypto/CommonDigest.h>

#include <vector>

namespace caretsafe::fake {

struct DigestCalls {
  // When false the updates are only recorded, never read: inputs larger than memory can be
  // handed over as a reserved but inaccessible address range.
  bool hash = true;
  int inits = 0;
  int finals = 0;
  struct Update {
    const void* data;
    CC_LONG length;
  };
  std::vector<Update> updates;
};

DigestCalls& digestCalls();

}  // namespace caretsafe::fake
