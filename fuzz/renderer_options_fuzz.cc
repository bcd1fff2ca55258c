// Feeds arbitrary options text to the renderer open's key scanner.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "backend/options_scan.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);  // stops at the first zero byte below
  const mirelund::engine::RendererOptions o = mirelund::engine::scanRendererOptions(text.c_str());
  if (o.modelKey.size() > size || o.modelKey.find('"') != std::string::npos) std::abort();
  return 0;
}
