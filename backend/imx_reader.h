// Reader for IMX version 2 containers, the single-file packing of an avatar
// bundle: test, list, read one member, unpack. Layout (little-endian):
// "IMX\0", u16 version 2, u16 member count, then per member u16 name length,
// the name, u64 payload offset, u64 payload size. Payloads may lie anywhere.
//
// Every function reports through its result only and never throws for bad
// input: kImxOk (0), kImxBadPath (1: the path cannot be used) or
// kImxBadContainer (2: bad or unreadable container). Nothing is cached
// between calls and nothing is shared between threads.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace mirelund::engine::container {

constexpr int kImxOk = 0;
constexpr int kImxBadPath = 1;
constexpr int kImxBadContainer = 2;

struct ImxEntry {
  std::string name;  // raw bytes as stored; may be hostile
  uint64_t offset = 0;
  uint64_t size = 0;
};

// Owns an open file and closes it when it goes.
class FileGuard {
 public:
  FileGuard() = default;
  ~FileGuard() { reset(nullptr); }
  FileGuard(const FileGuard&) = delete;
  FileGuard& operator=(const FileGuard&) = delete;
  std::FILE* get() const { return file_; }
  void reset(std::FILE* f);

 private:
  std::FILE* file_ = nullptr;
};

// True when the file opens and its first 8 bytes are the magic and version 2.
bool imx_is_container(const char* path);

// Opens path into `file`, reads the header and table of contents and checks
// every entry against the file size (offset <= size, size <= size - offset).
// On success the file stays open in `file` for the caller; on failure
// `entries` is left empty.
int read_toc(const char* path, FileGuard& file, uint64_t& file_size, std::vector<ImxEntry>& entries);

// The table of contents of a container.
int imx_list_entries(const char* path, std::vector<ImxEntry>& entries);

// Reads member `name` of a container (the last entry of that name wins) or of
// a bundle directory into `out`. A missing member gives kImxOk with `out` empty.
int imx_read_entry(const char* path, const char* name, std::vector<uint8_t>& out);

// imx_read_entry of "manifest.json".
int imx_read_manifest(const char* path, std::vector<uint8_t>& out);

// True for a member name that may not be written under a destination: empty,
// absolute ("/" or "\"), with "..", a drive prefix (":" second) or a zero byte.
bool imx_unsafe_name(const std::string& name);

// Unpacks every member into `dest` (created with its parents), in table
// order; a later member of the same name overwrites an earlier one. A
// container with any unsafe name is refused whole before anything is written.
// Files written before a failure stay; the caller removes `dest`.
//
// Payloads may overlap, and a sparse file stores little of what it spans, so
// a small container can describe far more data than it holds. An unpack is
// refused before it writes when its members add up to more than `maxBytes`
// (0: the bytes the container occupies on disk plus kUnpackMargin) or to
// more than the destination's free space; `why`, when given, then says so.
constexpr uint64_t kUnpackMargin = 64ull << 20;
int imx_extract_all(const char* container, const char* dest, uint64_t maxBytes = 0, std::string* why = nullptr);

// Creates every directory along path (separators "/" and "\"); true when all
// exist afterwards or already existed. An empty path succeeds.
bool mkdir_p(const std::string& path);

}  // namespace mirelund::engine::container
