// Loads teeth members from a bundle whose sidecar (and, after a NUL byte in
// the input, manifest) are the fuzz input. Every refusal must be a clean
// exception; a bundle that loads must reorder without touching memory
// outside its band buffers.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "core/tessera/members.h"
#include "fuzz/fuzz_files.h"

namespace {

const std::string& bundleDir() {
  static const std::string dir = [] {
    const std::string& d = le::fuzz::scratchDir("tessera_members_fuzz");
    le::fuzz::writeFile(d + "/tessera_bank.v1.mp4", "track", 5);
    le::fuzz::writeFile(d + "/tessera_head.v1.pt", "PK\3\4", 4);
    le::fuzz::writeFile(d + "/tessera_head.v1.json", "{}", 2);
    return d;
  }();
  return dir;
}

constexpr const char* kManifest = "{\"tessera\":{\"bank_pix_fmt\":\"rgb24\"}}";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& dir = bundleDir();
  const char* text = reinterpret_cast<const char*>(data);
  const void* nul = std::memchr(text, 0, size);
  size_t sidecarLen = nul ? static_cast<size_t>(static_cast<const char*>(nul) - text) : size;
  le::fuzz::writeFile(dir + "/tessera_bank.v1.json", text, sidecarLen);
  if (nul)
    le::fuzz::writeFile(dir + "/manifest.json", text + sidecarLen + 1, size - sidecarLen - 1);
  else
    le::fuzz::writeFile(dir + "/manifest.json", kManifest, std::strlen(kManifest));
  try {
    le::TesseraAttachInputs in = le::loadTesseraMembers(dir);
    const int64_t bytes = in.bandBytes();
    if (bytes > 0 && bytes <= (int64_t{1} << 22)) {
      std::vector<uint8_t> src(static_cast<size_t>(bytes), 7), dst(static_cast<size_t>(bytes));
      le::reorderTrackToDonor(in, src.data(), dst.data());
    }
  } catch (const std::exception&) {
  }
  return 0;
}
