// Reader for IMX version 2 containers: a single file that packs a bundle
// directory. Layout (little-endian): "IMX\0", u16 version (2), u16 member
// count, then per member u16 name length, the name ("/"-separated path
// relative to the bundle root), u64 payload offset and u64 payload size.
// Payloads may lie anywhere in the file, in any order.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace le {

struct ImxMember {
  std::string name;     // raw bytes as stored; may be hostile
  uint64_t offset = 0;  // absolute payload offset in the container
  uint64_t size = 0;    // payload length in bytes
};

// True for a regular file (links followed) whose first 8 bytes are an IMX
// version 2 header.
bool isImxV2File(const std::string& path);

// Reads the header and table of contents from the start of `f`. `path`
// names the container in error messages. Throws std::runtime_error on a
// wrong magic, an unsupported version or a truncated table.
std::vector<ImxMember> readImxToc(std::FILE* f, const std::string& path);

}  // namespace le
