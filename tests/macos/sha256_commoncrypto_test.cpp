// insertion/sha256_commoncrypto.cpp over a fake CommonCrypto (tests/macos/fake/common_crypto.h):
// the digests of known inputs, and that an input longer than the library's 32-bit length
// argument is fed whole, in pieces that each fit.

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "insertion/sha256.h"
#include "tests/macos/fake/common_crypto.h"

namespace caretsafe {
namespace {

std::string hex(const Sha256Bytes& digest) {
  std::string out;
  for (std::uint8_t byte : digest) {
    char buffer[3];
    std::snprintf(buffer, sizeof buffer, "%02x", byte);
    out += buffer;
  }
  return out;
}

TEST(Sha256CommonCryptoTest, KnownDigests) {
  struct Row {
    const char* name;
    std::string input;
    std::size_t updates;
    const char* digest;
  };
  const Row rows[] = {
      {"empty", "", 0, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "abc", 1, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"two blocks", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 1,
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"a million a", std::string(1000000, 'a'), 1,
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    fake::digestCalls() = {};
    EXPECT_EQ(hex(sha256(row.input)), row.digest);
    EXPECT_EQ(fake::digestCalls().inits, 1);
    EXPECT_EQ(fake::digestCalls().updates.size(), row.updates);
    EXPECT_EQ(fake::digestCalls().finals, 1);
  }
}

TEST(Sha256CommonCryptoTest, InputLongerThanOneUpdateIsFedWholeInPiecesThatFit) {
  // Six GiB of address space, reserved but never readable: the fake only records the pieces.
  const std::size_t size = (std::size_t{6} << 30) + 5;
  void* reserved =
      mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (reserved == MAP_FAILED) GTEST_SKIP() << "cannot reserve 6 GiB of address space";
  const std::string_view input(static_cast<const char*>(reserved), size);

  fake::digestCalls() = {};
  fake::digestCalls().hash = false;
  static_cast<void>(sha256(input));
  fake::digestCalls().hash = true;
  munmap(reserved, size);

  const auto& updates = fake::digestCalls().updates;
  ASSERT_EQ(updates.size(), 2u);
  const char* expected = input.data();
  std::size_t total = 0;
  for (const auto& update : updates) {
    EXPECT_EQ(update.data, expected) << "pieces follow one another without gap or overlap";
    expected += update.length;
    total += update.length;
  }
  EXPECT_EQ(total, size);
  EXPECT_EQ(updates[0].length, UINT32_MAX);
}

}  // namespace
}  // namespace caretsafe
