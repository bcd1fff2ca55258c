#include "core/bundle/drive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

#include "core/bundle/member_names.h"

namespace le {

template <class T>
std::vector<T> readRaw(const std::string& path, size_t count) {
  // Non-blocking, so that a FIFO under a member name cannot stall the load.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open " + path);
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(::fdopen(fd, "rb"), &std::fclose);
  if (!f) {
    ::close(fd);
    throw std::runtime_error("cannot open " + path);
  }
  // Only a regular file of the right size is read, and its size is checked
  // before the array is allocated: a manifest that claims billions of
  // frames is refused instead of exhausting memory.
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || uint64_t(st.st_size) != uint64_t(count) * sizeof(T))
    throw std::runtime_error("size mismatch " + path);
  std::vector<T> out(count);
  const size_t got = count ? std::fread(out.data(), sizeof(T), count, f.get()) : 0;
  if (got != count || std::fgetc(f.get()) != EOF) throw std::runtime_error("size mismatch " + path);
  return out;
}

template std::vector<float> readRaw<float>(const std::string&, size_t);
template std::vector<int32_t> readRaw<int32_t>(const std::string&, size_t);

Drive loadDrive(const Manifest& manifest) {
  if (manifest.frames < 0) {
    throw std::runtime_error("drive: the manifest's frame count " + std::to_string(manifest.frames) +
                             " is negative — REFUSING");
  }
  Drive d;
  d.frames = manifest.frames;
  const size_t n = size_t(d.frames);
  d.xs = readRaw<float>(resolveMember(manifest.dir, "drive/xs.f32"), n * 63);
  d.xd = readRaw<float>(resolveMember(manifest.dir, "drive/xd.f32"), n * 63);
  d.si = readRaw<int32_t>(resolveMember(manifest.dir, "drive/si.i32"), n);
  for (int32_t s : d.si) {
    if (s < 0 || s >= manifest.NT) throw std::runtime_error("drive: si out of range");
  }
  return d;
}

}  // namespace le
