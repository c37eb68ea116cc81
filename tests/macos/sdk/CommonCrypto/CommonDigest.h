// Stand-in for CommonCrypto's digest header, so that insertion/sha256_commoncrypto.cpp compiles on
// Linux (the syntax check, and a unit test over a fake in tests/macos/fake/). Written from the
// documented SHA-256 interface: the length argument is a 32-bit CC_LONG, and every call answers 1.
// The context's layout is private to the library; this one only has to be big enough for the fake.
#pragma once

#include <stdint.h>

extern "C" {

typedef uint32_t CC_LONG;

#define CC_SHA256_DIGEST_LENGTH 32

typedef struct StandInSha256Context {
  uint64_t opaque[16];
} CC_SHA256_CTX;

int CC_SHA256_Init(CC_SHA256_CTX* c);
int CC_SHA256_Update(CC_SHA256_CTX* c, const void* data, CC_LONG len);
int CC_SHA256_Final(unsigned char* md, CC_SHA256_CTX* c);

}  // extern "C"
