// Feeds arbitrary bytes to the keypoint-motion meta scanner and, written to
// a file, to the raw table loader, checking what each promises.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "core/audio/motion_tables.h"
#include "fuzz/fuzz_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& dir = le::fuzz::scratchDir("motion_tables_fuzz");
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
  le::fuzz::writeFile(path, data, size);
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
