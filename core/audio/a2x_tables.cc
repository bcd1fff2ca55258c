#include "core/audio/a2x_tables.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace le::a2x {
namespace {

// Upper bounds a stream can hold: the position table has 2h values at least
// and the context sums window * layers frames, all in int.
constexpr int kMaxHidden = 1 << 16;
constexpr int kMaxLayers = 1024;
constexpr int kMaxReach = 1 << 16;

}  // namespace

bool metaInt(const std::string& text, const char* key, int& out) {
  const std::string quoted = std::string("\"") + key + "\"";
  const size_t at = text.find(quoted);
  if (at == std::string::npos) return false;
  size_t i = at + quoted.size();
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  if (i >= text.size() || text[i] != ':') return false;
  ++i;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  if (text.compare(i, 4, "true") == 0) {
    out = 1;
    return true;
  }
  if (text.compare(i, 5, "false") == 0) {
    out = 0;
    return true;
  }
  // strtoll needs a terminated string; copy at most the digits' reach.
  const std::string tail = text.substr(i, 32);
  const char* start = tail.c_str();
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(start, &end, 10);
  if (end == start) return false;
  if (v > INT_MAX) v = INT_MAX;
  if (v < INT_MIN) v = INT_MIN;
  out = static_cast<int>(v);
  return true;
}

Meta parseMeta(const std::string& text) {
  Meta m;
  metaInt(text, "h", m.h);
  metaInt(text, "layers", m.layers);
  metaInt(text, "width", m.width);
  metaInt(text, "silence_prime", m.silencePrime);
  const bool hasWindow = metaInt(text, "window", m.window);
  const bool hasLeft = metaInt(text, "left", m.left);
  if (!hasWindow || !hasLeft || m.window < 0 || m.left < 0)
    throw std::runtime_error("meta lacks causal window/left (not a streaming a2x)");
  if (m.h < 1 || m.h > kMaxHidden)
    throw std::runtime_error("a2x_meta.json h " + std::to_string(m.h) + " is outside 1.." +
                             std::to_string(kMaxHidden));
  if (m.layers < 0 || m.layers > kMaxLayers)
    throw std::runtime_error("a2x_meta.json layers " + std::to_string(m.layers) + " is outside 0.." +
                             std::to_string(kMaxLayers));
  if (static_cast<int64_t>(m.window) * m.layers > kMaxReach || static_cast<int64_t>(m.left) * m.layers > kMaxReach)
    throw std::runtime_error("a2x_meta.json window/left times layers exceeds " + std::to_string(kMaxReach) +
                             " frames");
  m.width = m.width != 0 ? 1 : 0;
  return m;
}

std::vector<float> readFloats(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  std::ifstream f(path, std::ios::binary | std::ios::ate);
  if (!f) return {};
  const std::streamoff size = f.tellg();
  if (size <= 0) return {};
  std::vector<float> v(static_cast<size_t>(size) / sizeof(float));
  f.seekg(0);
  if (!v.empty() && !f.read(reinterpret_cast<char*>(v.data()), static_cast<std::streamsize>(v.size() * sizeof(float))))
    return {};
  return v;
}

bool readExactFloats(const std::string& path, size_t count, std::vector<float>* out) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in || in.tellg() != std::streamoff(count * sizeof(float))) return false;
  std::vector<float> v(count);
  in.seekg(0);
  if (!in.read(reinterpret_cast<char*>(v.data()), std::streamsize(count * sizeof(float)))) return false;
  *out = std::move(v);
  return true;
}

}  // namespace le::a2x
