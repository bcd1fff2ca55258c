// Feeds arbitrary bytes to the audio-to-expression meta scanner, the meta
// reader and the raw float table loader, checking their promises.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/audio/a2x_tables.h"
#include "core/bundle/paths.h"

namespace {

const char* const kKeys[] = {"h", "window", "left", "layers", "width", "silence_prime", "", "\"", ":"};

std::string gScratch;

void removeScratch() { le::rmTree(gScratch); }

std::string makeScratch() {
  struct stat st;
  std::string base = ::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp";
  std::string tmpl = base + "/a2x_meta_fuzz_XXXXXX";
  if (!::mkdtemp(&tmpl[0])) std::abort();
  gScratch = tmpl;
  std::atexit(removeScratch);
  return tmpl;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string dir = makeScratch();
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
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::abort();
  if (size && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);
  const std::vector<float> t = le::a2x::readFloats(path);
  if (t.size() != size / sizeof(float)) std::abort();
  return 0;
}
