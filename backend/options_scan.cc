#include "backend/options_scan.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace mirelund::engine {
namespace {

// Start of the value of `key` in text, or null when the key is absent.
const char* valueOf(const char* text, const char* key) {
  const std::string quoted = std::string("\"") + key + "\"";
  const char* at = std::strstr(text, quoted.c_str());
  if (!at) return nullptr;
  at += quoted.size();
  while (*at == ' ' || *at == '\t' || *at == ':') ++at;
  return at;
}

}  // namespace

RendererOptions scanRendererOptions(const char* json) {
  RendererOptions o;
  if (!json || !*json) return o;
  if (const char* v = valueOf(json, "prefer_gpu")) o.preferGpu = std::strncmp(v, "true", 4) == 0;
  if (const char* v = valueOf(json, "model_key"); v && *v == '"') {
    const char* end = std::strchr(v + 1, '"');
    // An unterminated value is no value.
    if (end) o.modelKey.assign(v + 1, end);
  }
  if (const char* v = valueOf(json, "threads")) {
    errno = 0;
    const long n = std::strtol(v, nullptr, 10);
    // Out-of-range counts are clamped rather than wrapped into a different count.
    o.threads = static_cast<int>(n > INT_MAX ? INT_MAX : n < INT_MIN ? INT_MIN : n);
  }
  return o;
}

}  // namespace mirelund::engine
