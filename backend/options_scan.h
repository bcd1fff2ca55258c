// The renderer open's options text, searched for three keys without a full
// JSON parser: "prefer_gpu", "model_key" and "threads".
#pragma once

#include <string>

namespace mirelund::engine {

struct RendererOptions {
  bool preferGpu = false;  // the value begins with "true"
  std::string modelKey;    // quoted value; empty when absent or empty
  int threads = 0;         // decimal integer; 0 when absent
};

// A key is found as its quoted name anywhere in the text, followed by any
// spaces, tabs and colons; the value starts at the next character. A null
// or empty text gives the defaults.
RendererOptions scanRendererOptions(const char* json);

}  // namespace mirelund::engine
