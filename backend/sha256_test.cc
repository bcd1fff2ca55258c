#include "backend/sha256.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/test_support.h"

namespace {

using mirelund::engine::container::hexDigest;
using mirelund::engine::container::sha256_file_hex;

std::string oneShot(const std::string& msg) {
  uint8_t d[32];
  mirelund_sha256(msg.data(), msg.size(), d);
  return hexDigest(d);
}

TEST(Sha256, FipsExampleVectors) {
  EXPECT_EQ(oneShot(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(oneShot("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(oneShot("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(oneShot(std::string(1000000, 'a')), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256, EverySplitAcrossUpdatesGivesTheSameDigest) {
  // 130 bytes cross two block boundaries and the 56-byte padding edge.
  std::string msg;
  for (int i = 0; i < 130; ++i) msg += static_cast<char>('A' + i % 53);
  const std::string whole = oneShot(msg);
  for (size_t a = 0; a <= msg.size(); ++a) {
    for (size_t b = a; b <= msg.size(); b += 7) {
      mirelund_sha256_ctx ctx;
      mirelund_sha256_init(&ctx);
      mirelund_sha256_update(&ctx, msg.data(), a);
      mirelund_sha256_update(&ctx, msg.data() + a, b - a);
      mirelund_sha256_update(&ctx, msg.data() + b, msg.size() - b);
      uint8_t d[32];
      mirelund_sha256_final(&ctx, d);
      ASSERT_EQ(hexDigest(d), whole) << "split at " << a << " and " << b;
    }
  }
  // Byte by byte, too.
  mirelund_sha256_ctx ctx;
  mirelund_sha256_init(&ctx);
  for (char c : msg) mirelund_sha256_update(&ctx, &c, 1);
  uint8_t d[32];
  mirelund_sha256_final(&ctx, d);
  EXPECT_EQ(hexDigest(d), whole);
}

TEST(Sha256, FileDigestMatchesTheBytesAndIsEmptyForAMissingFile) {
  le::test::TempDir dir;
  std::string big(200000, '\0');  // several 64 KiB reads
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 131 % 251);
  le::test::writeFile(dir.file("f"), big);
  EXPECT_EQ(sha256_file_hex(dir.file("f")), oneShot(big));
  EXPECT_EQ(sha256_file_hex(dir.file("missing")), "");
  // A directory opens but does not read: no digest rather than the empty message's.
  EXPECT_EQ(sha256_file_hex(dir.path()), "");
}

TEST(Sha256, NullArgumentsAreIgnored) {
  mirelund_sha256_init(nullptr);
  mirelund_sha256_update(nullptr, "x", 1);
  mirelund_sha256_final(nullptr, nullptr);
  uint8_t d[32] = {};
  mirelund_sha256(nullptr, 0, d);
  EXPECT_EQ(hexDigest(d), oneShot(""));
}

}  // namespace
