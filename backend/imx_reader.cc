#include "backend/imx_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace mirelund::engine::container {
namespace {

constexpr unsigned char kMagic[4] = {'I', 'M', 'X', 0};
constexpr uint64_t kCopyBuffer = 8388608;  // 8 MiB

uint16_t le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint64_t le64(const unsigned char* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

bool readExact(std::FILE* f, void* buf, size_t n) { return n == 0 || std::fread(buf, 1, n, f) == n; }

bool isDirectory(const char* path) {
  struct stat st;
  return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool seekTo(std::FILE* f, uint64_t offset) {
  if (offset > static_cast<uint64_t>(INT64_MAX)) return false;
  return ::fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0;
}

// Reads a whole member file of a bundle directory. A path that does not open
// as a regular file is a missing member.
int readDirectoryMember(const std::string& file, std::vector<uint8_t>& out) {
  FileGuard f;
  f.reset(std::fopen(file.c_str(), "rb"));
  if (!f.get()) return kImxOk;
  struct stat st;
  if (::fstat(::fileno(f.get()), &st) != 0) return kImxBadContainer;
  if (!S_ISREG(st.st_mode)) return kImxOk;
  if (::fseeko(f.get(), 0, SEEK_END) != 0) return kImxBadContainer;
  const off_t size = ::ftello(f.get());
  if (size < 0 || ::fseeko(f.get(), 0, SEEK_SET) != 0) return kImxBadContainer;
  out.resize(static_cast<size_t>(size));
  if (!readExact(f.get(), out.data(), out.size())) {
    out.clear();
    return kImxBadContainer;
  }
  return kImxOk;
}

// Creates `path` for writing, truncating it; never through a symbolic link.
std::FILE* createForWriting(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return nullptr;
  std::FILE* f = ::fdopen(fd, "wb");
  if (!f) ::close(fd);
  return f;
}

}  // namespace

void FileGuard::reset(std::FILE* f) {
  if (file_) std::fclose(file_);
  file_ = f;
}

bool imx_is_container(const char* path) {
  if (!path || !*path) return false;
  FileGuard f;
  f.reset(std::fopen(path, "rb"));
  if (!f.get()) return false;
  unsigned char h[8];
  return readExact(f.get(), h, sizeof h) && std::memcmp(h, kMagic, 4) == 0 && le16(h + 4) == 2;
}

int read_toc(const char* path, FileGuard& file, uint64_t& file_size, std::vector<ImxEntry>& entries) {
  entries.clear();
  file_size = 0;
  file.reset(nullptr);
  if (!path || !*path || isDirectory(path)) return kImxBadPath;
  file.reset(std::fopen(path, "rb"));
  std::FILE* f = file.get();
  if (!f) return kImxBadPath;
  if (::fseeko(f, 0, SEEK_END) != 0) return kImxBadContainer;
  const off_t end = ::ftello(f);
  if (end < 8 || ::fseeko(f, 0, SEEK_SET) != 0) return kImxBadContainer;
  file_size = static_cast<uint64_t>(end);
  unsigned char h[8];
  if (!readExact(f, h, sizeof h) || std::memcmp(h, kMagic, 4) != 0 || le16(h + 4) != 2) return kImxBadContainer;
  const unsigned count = le16(h + 6);
  std::vector<ImxEntry> toc;
  toc.reserve(count);
  for (unsigned i = 0; i < count; ++i) {
    unsigned char lenBytes[2];
    if (!readExact(f, lenBytes, 2)) return kImxBadContainer;
    ImxEntry e;
    e.name.resize(le16(lenBytes));
    if (!readExact(f, e.name.data(), e.name.size())) return kImxBadContainer;
    unsigned char nums[16];
    if (!readExact(f, nums, sizeof nums)) return kImxBadContainer;
    e.offset = le64(nums);
    e.size = le64(nums + 8);
    if (e.offset > file_size || e.size > file_size - e.offset) return kImxBadContainer;
    toc.push_back(std::move(e));
  }
  entries = std::move(toc);
  return kImxOk;
}

int imx_list_entries(const char* path, std::vector<ImxEntry>& entries) {
  FileGuard f;
  uint64_t size = 0;
  return read_toc(path, f, size, entries);
}

int imx_read_entry(const char* path, const char* name, std::vector<uint8_t>& out) {
  out.clear();
  if (!path || !*path || !name) return kImxBadPath;
  if (isDirectory(path)) return readDirectoryMember(std::string(path) + "/" + name, out);
  FileGuard f;
  uint64_t size = 0;
  std::vector<ImxEntry> entries;
  const int rc = read_toc(path, f, size, entries);
  if (rc != kImxOk) return rc;
  const ImxEntry* hit = nullptr;
  for (const ImxEntry& e : entries)
    if (e.name == name) hit = &e;  // the last entry of the name wins
  if (!hit) return kImxOk;
  if (!seekTo(f.get(), hit->offset)) return kImxBadContainer;
  out.resize(static_cast<size_t>(hit->size));
  if (!readExact(f.get(), out.data(), out.size())) {
    out.clear();
    return kImxBadContainer;
  }
  return kImxOk;
}

int imx_read_manifest(const char* path, std::vector<uint8_t>& out) { return imx_read_entry(path, "manifest.json", out); }

bool imx_unsafe_name(const std::string& name) {
  return name.empty() || name[0] == '/' || name[0] == '\\' || name.find("..") != std::string::npos ||
         (name.size() >= 2 && name[1] == ':') || name.find('\0') != std::string::npos;
}

bool mkdir_p(const std::string& path) {
  std::string prefix;
  auto make = [&prefix]() {
    if (prefix.empty() || prefix == "." || (prefix.size() == 2 && prefix[1] == ':')) return true;
    if (::mkdir(prefix.c_str(), 0755) == 0) return true;
    // Something that already exists must be a directory to build under.
    return errno == EEXIST && isDirectory(prefix.c_str());
  };
  for (char c : path) {
    if (c == '/' || c == '\\') {
      if (!make()) return false;
      prefix += '/';
    } else {
      prefix += c;
    }
  }
  return make();
}

int imx_extract_all(const char* container, const char* dest, uint64_t maxBytes, std::string* why) {
  if (!container || !*container || !dest || !*dest) return kImxBadPath;
  FileGuard f;
  uint64_t size = 0;
  std::vector<ImxEntry> entries;
  const int rc = read_toc(container, f, size, entries);
  if (rc != kImxOk) return rc;
  for (const ImxEntry& e : entries)
    if (imx_unsafe_name(e.name)) return kImxBadContainer;
  uint64_t total = 0;
  for (const ImxEntry& e : entries) total = e.size > UINT64_MAX - total ? UINT64_MAX : total + e.size;
  if (maxBytes == 0) {
    struct stat st;
    if (::fstat(::fileno(f.get()), &st) != 0) return kImxBadContainer;
    maxBytes = std::min(size, static_cast<uint64_t>(st.st_blocks) * 512) + kUnpackMargin;
  }
  if (total > maxBytes) {
    if (why)
      *why = "its members add up to " + std::to_string(total) + " bytes, more than the " + std::to_string(maxBytes) +
             " an unpack of it may write";
    return kImxBadContainer;
  }
  std::string root = dest;
  if (!mkdir_p(root)) return kImxBadContainer;
  if (!root.empty() && (root.back() == '/' || root.back() == '\\')) root.pop_back();
  struct statvfs fs;
  if (::statvfs(root.c_str(), &fs) != 0 || total > static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize) {
    if (why) *why = "its members add up to " + std::to_string(total) + " bytes, more than " + root + " has free";
    return kImxBadContainer;
  }

  uint64_t largest = 1;
  for (const ImxEntry& e : entries) largest = std::max(largest, e.size);
  std::vector<unsigned char> buf(static_cast<size_t>(std::min(largest, kCopyBuffer)));
  for (const ImxEntry& e : entries) {
    const std::string target = root + "/" + e.name;
    const size_t cut = target.find_last_of("/\\");
    if (!mkdir_p(target.substr(0, cut))) return kImxBadContainer;
    if (!seekTo(f.get(), e.offset)) return kImxBadContainer;
    FileGuard out;
    out.reset(createForWriting(target));
    if (!out.get()) return kImxBadContainer;
    uint64_t left = e.size;
    while (left > 0) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(left, buf.size()));
      if (std::fread(buf.data(), 1, n, f.get()) != n) return kImxBadContainer;
      if (std::fwrite(buf.data(), 1, n, out.get()) != n) return kImxBadContainer;
      left -= n;
    }
    // Buffered bytes that cannot be written are a short write too.
    if (std::fflush(out.get()) != 0) return kImxBadContainer;
  }
  return kImxOk;
}

}  // namespace mirelund::engine::container
