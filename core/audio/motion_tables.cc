#include "core/audio/motion_tables.h"

#include <sys/stat.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <memory>
#include <stdexcept>

namespace le::motion {

namespace {

// Position of the value of `key` (first byte after its colon and any
// spaces), or npos when the key is absent. A key without a colon is "bad".
size_t valuePos(const std::string& text, const char* key) {
  const std::string quoted = std::string("\"") + key + "\"";
  size_t p = text.find(quoted);
  if (p == std::string::npos) return std::string::npos;
  p += quoted.size();
  while (p < text.size() && (text[p] == ' ' || text[p] == '\t' || text[p] == '\n' || text[p] == '\r')) ++p;
  if (p >= text.size() || text[p] != ':') throw std::runtime_error(std::string("meta.json: bad ") + key);
  ++p;
  while (p < text.size() && (text[p] == ' ' || text[p] == '\t' || text[p] == '\n' || text[p] == '\r')) ++p;
  return p;
}

bool number(const std::string& text, const char* key, double* out) {
  const size_t p = valuePos(text, key);
  if (p == std::string::npos) return false;
  const char* first = text.data() + p;
  const char* last = text.data() + text.size();
  double v = 0;
  auto r = std::from_chars(first, last, v);
  if (r.ec != std::errc() || !std::isfinite(v)) throw std::runtime_error(std::string("meta.json: bad ") + key);
  *out = v;
  return true;
}

double required(const std::string& text, const char* key) {
  double v = 0;
  if (!number(text, key, &v)) throw std::runtime_error(std::string("meta.json: missing ") + key);
  return v;
}

int count(const std::string& text, const char* key) {
  const double v = required(text, key);
  if (v < 1 || v > kMaxRows || v != std::floor(v))
    throw std::runtime_error(std::string("meta.json: bad ") + key + ": expected a whole number from 1 to " +
                             std::to_string(kMaxRows));
  return static_cast<int>(v);
}

// A value kept in single precision must stay finite there too.
float single(double v, const char* key) {
  const float f = static_cast<float>(v);
  if (!std::isfinite(f))
    throw std::runtime_error(std::string("meta.json: bad ") + key + ": " + std::to_string(v) +
                             " does not fit single precision");
  return f;
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

Meta scanMeta(const std::string& text) {
  Meta m;
  m.nt = count(text, "nt");
  m.nSrc = count(text, "n_src");
  m.nEmo = count(text, "n_emo");
  m.sBridge = single(required(text, "s_bridge"), "s_bridge");
  double dp = 0;
  if (number(text, "delta_pitch", &dp)) m.deltaPitch = single(dp, "delta_pitch");
  return m;
}

std::vector<float> readTable(const std::string& path, size_t count) {
  std::unique_ptr<std::FILE, FileCloser> f(std::fopen(path.c_str(), "rb"));
  struct stat st;
  if (!f || ::fstat(fileno(f.get()), &st) != 0 || !S_ISREG(st.st_mode)) throw std::runtime_error("cannot open " + path);
  const size_t bytes = static_cast<size_t>(st.st_size);
  if (bytes % sizeof(float) != 0)
    throw std::runtime_error(path + " holds " + std::to_string(bytes) + " bytes, not a whole number of floats; " +
                             std::to_string(count) + " values are expected");
  if (bytes > count * sizeof(float))
    throw std::runtime_error(path + " holds " + std::to_string(bytes / sizeof(float)) + " values where " +
                             std::to_string(count) + " are expected");
  std::vector<float> out(count);
  const size_t got = count ? std::fread(out.data(), sizeof(float), count, f.get()) : 0;
  if (got != count)
    throw std::runtime_error("short read " + path + ": " + std::to_string(got) + " of " + std::to_string(count) +
                             " values");
  return out;
}

}  // namespace le::motion
