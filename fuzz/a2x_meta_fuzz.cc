// Feeds arbitrary bytes to the audio-to-expression meta scanner, the meta
// reader and the raw float table loader, checking their promises.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/audio/a2x_tables.h"
#include "fuzz/fuzz_files.h"

namespace {

const char* const kKeys[] = {"h", "window", "left", "layers", "width", "silence_prime", "", "\"", ":"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& dir = le::fuzz::scratchDir("a2x_meta_fuzz");
  const std::string text(reinterpret_cast<const char*>(data), size);
  for (const char* key : kKeys) {
    int v = 12345;
    if (!le::a2x::metaInt(text, key, v) && v != 12345) std::abort();  // untouched when absent
  }
  try {
    const le::a2x::Meta m = le::a2x::parseMeta(text);
    if (m.window < 0 || m.left < 0 || m.h < 1 || m.layers < 0 || (m.width != 0 && m.width != 1)) std::abort();
    if (int64_t(m.window) * m.layers > (1 << 16) || int64_t(m.left) * m.layers > (1 << 16)) std::abort();
  } catch (const std::runtime_error&) {
  }
  const std::string path = dir + "/table.f32";
  le::fuzz::writeFile(path, data, size);
  const std::vector<float> t = le::a2x::readFloats(path);
  if (t.size() != size / sizeof(float)) std::abort();
  return 0;
}
