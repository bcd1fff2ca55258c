// Feeds arbitrary bytes to the manifest key scanner, its accessors and the
// manifest loader, checking the scanner's promises about positions.
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "core/bundle/manifest.h"
#include "core/bundle/manifest_key.h"
#include "core/bundle/paths.h"
#include "fuzz/fuzz_files.h"

namespace mk = le::manifest_key;

namespace {

const char* const kKeys[] = {"format", "agent", "NT", "frame_count", "H", "W", "crop", "amount",
                             "frames", "M_src_w", "paste_source_height", "P_hevc", "a", ""};

const std::string& scratch() {
  ::unsetenv("LE_IMX_UNWRAP_ROOT");
  return le::fuzz::scratchDir("manifest_fuzz");
}

void checkKey(const std::string& text, const char* key) {
  uint64_t prev = 0;
  for (const mk::KeyHit& h : mk::keyHits(text, key)) {
    if (h.pos > text.size() || h.pos < prev) std::abort();
    if (h.scalar && (h.pos >= text.size() || text[h.pos] == '[' || text[h.pos] == '{')) std::abort();
    if (!h.scalar && h.pos < text.size() && text[h.pos] != '[' && text[h.pos] != '{') std::abort();
    prev = h.pos;
  }
  try {
    uint64_t pos = mk::scalarValuePos(text, key);
    if (pos != mk::kNone && pos >= text.size()) std::abort();
    std::string s;
    mk::optStr(text, key, s);
    mk::strField(text, key);
  } catch (const std::runtime_error&) {
  }
  try {
    mk::numFieldEither(text, key, "frame_count");
  } catch (const std::runtime_error&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& dir = scratch();
  const std::string text(reinterpret_cast<const char*>(data), size);
  for (const char* key : kKeys) checkKey(text, key);

  le::fuzz::writeFile(dir + "/manifest.json", data, size);
  // Both answers to a missing paste-space stamp.
  if (size % 2) ::setenv("CORVANE2_MSRC_MISSING_OK", "1", 1);
  else ::unsetenv("CORVANE2_MSRC_MISSING_OK");
  int saved = ::dup(2);
  int null = ::open("/dev/null", O_WRONLY);
  ::dup2(null, 2);
  ::close(null);
  try {
    le::Manifest m = le::loadManifest(dir);
    if (m.NT < 1 || m.H < 1 || m.W < 1 || m.crop < 1 || m.M_src_w < 1 || m.M_src_h < 1) std::abort();
  } catch (const std::runtime_error&) {
  }
  ::dup2(saved, 2);
  ::close(saved);
  return 0;
}
