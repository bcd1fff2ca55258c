// Feeds arbitrary manifest text to the "dependencies" scanner: it must stay
// inside the given bytes (the input is not terminated) and only keep
// elements with an id.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "backend/dependency_resolver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace c = mirelund::engine::container;
  // A copy of exactly `size` bytes lets the address sanitizer see any read past the end.
  std::vector<char> text(data, data + size);
  const std::vector<c::Dependency> deps = c::parse_dependencies(text.data(), text.size());
  for (const c::Dependency& d : deps)
    if (d.id.empty() || d.id.size() > size || d.sha256.size() > size) std::abort();
  c::Dependency pick;
  const bool any = c::find_audio_encoder(deps, "audio-encoder-fp16", pick);
  if (any && !c::is_audio_encoder_id(pick.id)) std::abort();
  return 0;
}
