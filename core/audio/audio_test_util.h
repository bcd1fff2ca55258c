// Helpers shared by the audio tests and benchmarks: generated speech models
// and clips, WAV reading, bundle variants and whole-stream pulls.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "le/le_a2x.h"
#include "tests/test_support.h"

namespace le::audio_test {

inline std::string speechDir() { return test::dataDir() + "/speech"; }
inline std::string fullEncoder() { return speechDir() + "/audio_encoder_fp32.onnx"; }
inline std::string fullOnlyEncoder() { return speechDir() + "/full_only/audio_encoder_fp32.onnx"; }

inline std::string quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Samples of a 16-bit PCM mono WAV file as floats in [-1, 1).
inline std::vector<float> readWav(const std::string& path) {
  const std::vector<unsigned char> b = test::readFile(path);
  if (b.size() < 12 || std::memcmp(b.data(), "RIFF", 4) != 0 || std::memcmp(b.data() + 8, "WAVE", 4) != 0)
    throw std::runtime_error(path + ": not a WAV file");
  size_t pos = 12;
  auto u32 = [&](size_t at) { return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24; };
  while (pos + 8 <= b.size()) {
    const uint32_t size = u32(pos + 4);
    if (std::memcmp(b.data() + pos, "data", 4) == 0) {
      const size_t n = std::min<size_t>(size, b.size() - pos - 8) / 2;
      std::vector<float> out(n);
      for (size_t i = 0; i < n; ++i) {
        const int16_t v = static_cast<int16_t>(b[pos + 8 + 2 * i] | b[pos + 9 + 2 * i] << 8);
        out[i] = v / 32768.0f;
      }
      return out;
    }
    pos += 8 + size + (size & 1);
  }
  throw std::runtime_error(path + ": no data chunk");
}

inline std::vector<float> clip(const std::string& name) { return readWav(speechDir() + "/" + name); }

// A copy of the tiny bundle whose a2x files are rewritten by
// tools/a2x_model.py with `options` (none: the bundle's own).
inline std::string bundleVariant(const test::TempDir& tmp, const std::vector<std::string>& options = {}) {
  const std::string dir = tmp.file("bundle");
  if (test::runCommand("cp -r " + quote(test::bundlePath("tiny")) + " " + quote(dir)) != 0)
    throw std::runtime_error("cannot copy the tiny bundle");
  if (!options.empty()) {
    std::string cmd = quote(test::python()) + " " + quote(test::sourceDir() + "/tools/a2x_model.py") +
                      " --bundle " + quote(dir);
    for (const auto& o : options) cmd += " " + quote(o);
    if (test::runCommand(cmd + " >/dev/null") != 0) throw std::runtime_error("a2x_model.py failed");
  }
  return dir;
}

// Every frame of a stream, in pull order.
struct Frames {
  std::vector<int32_t> idx;
  std::vector<float> base, expr, wn;
  size_t size() const { return idx.size(); }
  float delta(size_t frame, int coeff) const { return expr[frame * 63 + coeff] - base[frame * 63 + coeff]; }
};

// Pulls everything available now into f; returns the frames pulled.
inline int pullAvailable(le_a2x* a, Frames& f, bool withWn = false) {
  int got = 0;
  for (;;) {
    const int n = le_a2x_avail(a);
    if (n <= 0) return got;
    const size_t at = f.size();
    f.idx.resize(at + n);
    f.base.resize((at + n) * 63);
    f.expr.resize((at + n) * 63);
    f.wn.resize(at + n);
    const int r = withWn ? le_a2x_pull_wn(a, &f.idx[at], &f.base[at * 63], &f.expr[at * 63], &f.wn[at], n)
                         : le_a2x_pull(a, &f.idx[at], &f.base[at * 63], &f.expr[at * 63], n);
    f.idx.resize(at + r);
    f.base.resize((at + r) * 63);
    f.expr.resize((at + r) * 63);
    f.wn.resize(at + r);
    got += r;
    if (r == 0) return got;
  }
}

// Streams `samples` in pushes of the given sizes (cycled), pulling after
// each push, then finishes and pulls the rest.
inline Frames streamAll(le_a2x* a, const std::vector<float>& samples, const std::vector<int>& sizes,
                        bool withWn = false) {
  Frames f;
  size_t at = 0, k = 0;
  while (at < samples.size()) {
    const int n = static_cast<int>(std::min<size_t>(sizes[k++ % sizes.size()], samples.size() - at));
    le_a2x_push(a, samples.data() + at, n);
    at += n;
    pullAvailable(a, f, withWn);
  }
  le_a2x_finish(a);
  pullAvailable(a, f, withWn);
  return f;
}

// Root mean square of each 640-sample frame (the last one zero-padded).
inline std::vector<double> frameRms(const std::vector<float>& s) {
  std::vector<double> out((s.size() + 639) / 640);
  for (size_t i = 0; i < out.size(); ++i) {
    double acc = 0;
    for (size_t j = i * 640; j < std::min(s.size(), i * 640 + 640); ++j) acc += double(s[j]) * s[j];
    out[i] = std::sqrt(acc / 640.0);
  }
  return out;
}

inline double pearson(const std::vector<double>& x, const std::vector<double>& y) {
  const size_t n = std::min(x.size(), y.size());
  double mx = 0, my = 0;
  for (size_t i = 0; i < n; ++i) mx += x[i], my += y[i];
  mx /= n;
  my /= n;
  double sxy = 0, sxx = 0, syy = 0;
  for (size_t i = 0; i < n; ++i) {
    sxy += (x[i] - mx) * (y[i] - my);
    sxx += (x[i] - mx) * (x[i] - mx);
    syy += (y[i] - my) * (y[i] - my);
  }
  return sxy / std::sqrt(sxx * syy);
}

// Lower-lip opening of frame i: the offset of keypoint row 17's y.
inline double lipOpening(const Frames& f, size_t i) { return f.delta(i, 17 * 3 + 1); }

}  // namespace le::audio_test
