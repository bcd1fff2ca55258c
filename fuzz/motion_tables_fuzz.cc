// Feeds arbitrary bytes to the keypoint-motion meta scanner and, written to
// a file, to the raw table loader, checking what each promises.
#include <sys/stat.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "core/audio/motion_tables.h"
#include "core/bundle/paths.h"

namespace {

std::string gScratch;

void removeScratch() { le::rmTree(gScratch); }

std::string makeScratch() {
  struct stat st;
  std::string base = ::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp";
  std::string tmpl = base + "/motion_tables_fuzz_XXXXXX";
  if (!::mkdtemp(&tmpl[0])) std::abort();
  gScratch = tmpl;
  std::atexit(removeScratch);
  return tmpl;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string dir = makeScratch();
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    const le::motion::Meta m = le::motion::scanMeta(text);
    for (int n : {m.nt, m.nSrc, m.nEmo})
      if (n < 1 || n > le::motion::kMaxRows) std::abort();
    if (!std::isfinite(m.sBridge) || !std::isfinite(m.deltaPitch)) std::abort();
  } catch (const std::runtime_error& e) {
    if (std::strncmp(e.what(), "meta.json: ", 11) != 0) std::abort();
  }

  // The same bytes as a table; the count asked for comes from the size so
  // that exact, short and long files all occur.
  const std::string path = dir + "/table.bin";
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::abort();
  if (size && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);
  const size_t count = size / 4 + (size ? data[0] % 3 : 0) - (size >= 8 ? 1 : 0);
  try {
    const std::vector<float> v = le::motion::readTable(path, count);
    if (v.size() != count || size != count * 4) std::abort();
    if (count && std::memcmp(v.data(), data, size) != 0) std::abort();
  } catch (const std::runtime_error& e) {
    if (size == count * 4) std::abort();
  }
  return 0;
}
