#include "backend/sha256.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "backend/backend_export.h"

namespace mirelund::engine::container {
namespace {

constexpr uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr uint32_t kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                  0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

constexpr size_t kFileChunk = 65536;

inline uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void compress(uint32_t state[8], const uint8_t* block) {
  uint32_t w[64];
  for (int i = 0; i < 16; ++i)
    w[i] = (uint32_t(block[4 * i]) << 24) | (uint32_t(block[4 * i + 1]) << 16) | (uint32_t(block[4 * i + 2]) << 8) |
           uint32_t(block[4 * i + 3]);
  for (int i = 16; i < 64; ++i) {
    const uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
    const uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
  for (int i = 0; i < 64; ++i) {
    const uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRound[i] + w[i];
    const uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
  state[5] += f;
  state[6] += g;
  state[7] += h;
}

}  // namespace

void sha256Init(mirelund_sha256_ctx& ctx) {
  std::memcpy(ctx.state, kInitial, sizeof kInitial);
  ctx.total_len = 0;
  std::memset(ctx.block, 0, sizeof ctx.block);
  ctx.block_len = 0;
}

void sha256Update(mirelund_sha256_ctx& ctx, const void* data, size_t len) {
  if (len == 0) return;
  const auto* p = static_cast<const uint8_t*>(data);
  ctx.total_len += len;
  // A corrupted block_len must not index past the block.
  if (ctx.block_len >= sizeof ctx.block) ctx.block_len = 0;
  if (ctx.block_len > 0) {
    const size_t take = std::min<size_t>(len, sizeof ctx.block - ctx.block_len);
    std::memcpy(ctx.block + ctx.block_len, p, take);
    ctx.block_len += static_cast<uint32_t>(take);
    p += take;
    len -= take;
    if (ctx.block_len < sizeof ctx.block) return;
    compress(ctx.state, ctx.block);
    ctx.block_len = 0;
  }
  for (; len >= 64; p += 64, len -= 64) compress(ctx.state, p);
  if (len > 0) {
    std::memcpy(ctx.block, p, len);
    ctx.block_len = static_cast<uint32_t>(len);
  }
}

void sha256Final(mirelund_sha256_ctx& ctx, uint8_t out[32]) {
  const uint64_t bits = ctx.total_len * 8;
  uint8_t pad[72] = {0x80};
  const size_t used = ctx.block_len % 64;
  const size_t padLen = (used < 56 ? 56 - used : 120 - used);
  for (int i = 0; i < 8; ++i) pad[padLen + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
  sha256Update(ctx, pad, padLen + 8);
  for (int i = 0; i < 8; ++i) {
    out[4 * i] = static_cast<uint8_t>(ctx.state[i] >> 24);
    out[4 * i + 1] = static_cast<uint8_t>(ctx.state[i] >> 16);
    out[4 * i + 2] = static_cast<uint8_t>(ctx.state[i] >> 8);
    out[4 * i + 3] = static_cast<uint8_t>(ctx.state[i]);
  }
}

std::string hexDigest(const uint8_t digest[32]) {
  static const char kHex[] = "0123456789abcdef";
  std::string s(64, '0');
  for (int i = 0; i < 32; ++i) {
    s[2 * i] = kHex[digest[i] >> 4];
    s[2 * i + 1] = kHex[digest[i] & 15];
  }
  return s;
}

std::string sha256_file_hex(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return {};
  mirelund_sha256_ctx ctx;
  sha256Init(ctx);
  std::vector<uint8_t> buf(kFileChunk);
  size_t got;
  while ((got = std::fread(buf.data(), 1, buf.size(), f)) > 0) sha256Update(ctx, buf.data(), got);
  // A read error is not the end of the file: a partial digest would name a different file.
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) return {};
  uint8_t digest[32];
  sha256Final(ctx, digest);
  return hexDigest(digest);
}

}  // namespace mirelund::engine::container

namespace container = mirelund::engine::container;

LB_EXPORT void mirelund_sha256_init(mirelund_sha256_ctx* ctx) {
  if (ctx) container::sha256Init(*ctx);
}

LB_EXPORT void mirelund_sha256_update(mirelund_sha256_ctx* ctx, const void* data, size_t len) {
  if (!ctx || (!data && len > 0)) return;
  container::sha256Update(*ctx, data, len);
}

LB_EXPORT void mirelund_sha256_final(mirelund_sha256_ctx* ctx, uint8_t* out32) {
  if (!ctx || !out32) return;
  container::sha256Final(*ctx, out32);
}

LB_EXPORT void mirelund_sha256(const void* data, size_t len, uint8_t* out32) {
  if (!out32 || (!data && len > 0)) return;
  mirelund_sha256_ctx ctx;
  container::sha256Init(ctx);
  container::sha256Update(ctx, data, len);
  container::sha256Final(ctx, out32);
}
