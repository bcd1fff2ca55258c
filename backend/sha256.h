// SHA-256 (FIPS 180-4) over the exported context record, and the hex digest
// of a file, used to verify dependency files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "backend/lightbackend.h"

namespace mirelund::engine::container {

// Starts, extends and ends a digest; the exported mirelund_sha256_* wrap these.
void sha256Init(mirelund_sha256_ctx& ctx);
void sha256Update(mirelund_sha256_ctx& ctx, const void* data, size_t len);
void sha256Final(mirelund_sha256_ctx& ctx, uint8_t out[32]);

// 64 lowercase hexadecimal digits of 32 digest bytes.
std::string hexDigest(const uint8_t digest[32]);

// The file's digest as 64 lowercase hex digits, read in 64 KiB pieces;
// empty when the file cannot be opened or read.
std::string sha256_file_hex(const std::string& path);

}  // namespace mirelund::engine::container
