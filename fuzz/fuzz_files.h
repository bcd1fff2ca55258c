// Files for fuzz targets whose code under test reads from disk: one scratch
// directory per process, in memory when /dev/shm exists, removed at exit.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace le::fuzz {

inline std::string gScratchDir;  // removed at exit

// The process's scratch directory, made on the first call and named after
// `name` (later calls return the same one whatever they pass).
inline const std::string& scratchDir(const char* name) {
  static const std::string& dir = [name]() -> const std::string& {
    struct stat st;
    const bool shm = ::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode);
    std::string tmpl = std::string(shm ? "/dev/shm/" : "/tmp/") + name + "_XXXXXX";
    if (!::mkdtemp(&tmpl[0])) std::abort();
    gScratchDir = tmpl;
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(gScratchDir, ec);
    });
    return gScratchDir;
  }();
  return dir;
}

// Writes `size` bytes to `path`; a fuzz run that cannot write is broken, so
// it aborts.
inline void writeFile(const std::string& path, const void* data, std::size_t size) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::abort();
  if (size && std::fwrite(data, 1, size, f) != size) std::abort();
  if (std::fclose(f) != 0) std::abort();
}

}  // namespace le::fuzz
