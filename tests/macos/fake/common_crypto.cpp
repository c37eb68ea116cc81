// The fake CommonCrypto SHA-256 (see common_crypto.h).

#include "tests/macos/fake/common_crypto.h"

#include <openssl/evp.h>

#include <cstring>

namespace caretsafe::fake {

DigestCalls& digestCalls() {
  static DigestCalls calls;
  return calls;
}

namespace {

// The OpenSSL context lives behind the caller's CC_SHA256_CTX, stored in its first bytes.
EVP_MD_CTX* contextOf(const CC_SHA256_CTX* c) {
  EVP_MD_CTX* context = nullptr;
  std::memcpy(&context, c, sizeof context);
  return context;
}

}  // namespace
}  // namespace caretsafe::fake

using caretsafe::fake::contextOf;
using caretsafe::fake::digestCalls;

static_assert(sizeof(CC_SHA256_CTX) >= sizeof(EVP_MD_CTX*));

int CC_SHA256_Init(CC_SHA256_CTX* c) {
  ++digestCalls().inits;
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  if (context == nullptr || EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1) return 0;
  std::memcpy(c, &context, sizeof context);
  return 1;
}

int CC_SHA256_Update(CC_SHA256_CTX* c, const void* data, CC_LONG len) {
  digestCalls().updates.push_back({data, len});
  if (!digestCalls().hash) return 1;
  return EVP_DigestUpdate(contextOf(c), data, len) == 1 ? 1 : 0;
}

int CC_SHA256_Final(unsigned char* md, CC_SHA256_CTX* c) {
  ++digestCalls().finals;
  EVP_MD_CTX* context = contextOf(c);
  unsigned int length = 0;
  const int ok = EVP_DigestFinal_ex(context, md, &length);
  EVP_MD_CTX_free(context);
  return ok == 1 && length == CC_SHA256_DIGEST_LENGTH ? 1 : 0;
}
