#include "core/bundle/imx_container.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace le {

namespace {

constexpr unsigned char kMagic[4] = {'I', 'M', 'X', 0};

uint16_t le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint64_t le64(const unsigned char* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

bool readExact(std::FILE* f, void* buf, size_t n) { return std::fread(buf, 1, n, f) == n; }

}  // namespace

bool isImxV2File(const std::string& path) {
  if (path.empty()) return false;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  unsigned char h[8];
  size_t got = 0;
  while (got < sizeof h) {
    ssize_t r = ::read(fd, h + got, sizeof h - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  ::close(fd);
  return got == sizeof h && std::memcmp(h, kMagic, 4) == 0 && le16(h + 4) == 2;
}

std::vector<ImxMember> readImxToc(std::FILE* f, const std::string& path) {
  unsigned char h[8];
  if (!readExact(f, h, sizeof h) || std::memcmp(h, kMagic, 4) != 0)
    throw std::runtime_error(path + ": not an IMX\\0 container");
  uint16_t version = le16(h + 4);
  if (version != 2)
    throw std::runtime_error(path + ": unsupported IMX container version " + std::to_string(version));
  const unsigned count = le16(h + 6);
  std::vector<ImxMember> toc;
  toc.reserve(count);
  for (unsigned i = 0; i < count; ++i) {
    unsigned char lenBytes[2];
    if (!readExact(f, lenBytes, 2))
      throw std::runtime_error(path + ": truncated TOC at member " + std::to_string(i));
    ImxMember m;
    m.name.resize(le16(lenBytes));
    if (!m.name.empty() && !readExact(f, &m.name[0], m.name.size()))
      throw std::runtime_error(path + ": truncated member name at " + std::to_string(i));
    unsigned char nums[16];
    if (!readExact(f, nums, sizeof nums))
      throw std::runtime_error(path + ": truncated TOC offsets at member " + m.name);
    m.offset = le64(nums);
    m.size = le64(nums + 8);
    toc.push_back(std::move(m));
  }
  return toc;
}

}  // namespace le
