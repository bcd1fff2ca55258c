// Runs the audio-to-expression stream encoder on the same frames at two
// window lengths, n and n + extra, the way the stream builds its inputs
// (banded attention mask, position rows), and compares every output's
// leading rows bit for bit. Rows whose band of attention lies inside the
// shorter window are mathematically the same in both runs; any difference
// is rounding that depends on the tensor shape.
//
// With SHIFT > 0 the longer window also starts SHIFT frames earlier, as when
// the stream's chunk grid moves; rows then compare from the first one whose
// left band lies inside both windows.
//
// Usage: a2x_shape_probe MODEL.onnx N EXTRA [threads] [all|basic|none] [SHIFT]
// Prints, per output, the shapes, the rows compared, the number of differing
// values and the largest absolute difference.
#include <onnxruntime_cxx_api.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace {

constexpr int kH = 64, kLeft = 4, kWindow = 1, kLayers = 2, kFeat = 12 * 768;

// Deterministic features: a small linear congruential generator.
float noise(uint32_t& s) {
  s = s * 1664525u + 1013904223u;
  return static_cast<float>(s >> 8) / static_cast<float>(1u << 24) * 2.0f - 1.0f;
}

struct Run {
  std::vector<std::string> names;
  std::vector<std::vector<int64_t>> shapes;
  std::vector<std::vector<float>> data;
};

// Frames first .. first + n - 1; a frame's values depend on its number only.
Run run(Ort::Session& s, int64_t first, int64_t n) {
  std::vector<float> feat(static_cast<size_t>(n) * kFeat), pos(static_cast<size_t>(n) * kH);
  for (int64_t j = 0; j < n; ++j) {
    uint32_t seed = 12345u + 7919u * static_cast<uint32_t>(first + j);
    for (int c = 0; c < kFeat; ++c) feat[j * kFeat + c] = noise(seed);
    for (int c = 0; c < kH; ++c) pos[j * kH + c] = 0.1f * noise(seed);
  }
  std::vector<float> attn(static_cast<size_t>(n * n), -std::numeric_limits<float>::infinity());
  for (int64_t q = 0; q < n; ++q)
    for (int64_t k = std::max<int64_t>(0, q - kLeft); k <= std::min(n - 1, q + kWindow); ++k) attn[q * n + k] = 0.0f;
  Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  const int64_t fs[4] = {1, n, 12, 768}, ps[3] = {1, n, kH}, as[2] = {n, n};
  Ort::Value in[3] = {Ort::Value::CreateTensor<float>(mem, feat.data(), feat.size(), fs, 4),
                      Ort::Value::CreateTensor<float>(mem, pos.data(), pos.size(), ps, 3),
                      Ort::Value::CreateTensor<float>(mem, attn.data(), attn.size(), as, 2)};
  const char* inNames[3] = {"feat", "pos_window", "attn"};
  Ort::AllocatorWithDefaultOptions alloc;
  Run r;
  std::vector<const char*> outNames;
  for (size_t i = 0; i < s.GetOutputCount(); ++i) r.names.push_back(s.GetOutputNameAllocated(i, alloc).get());
  for (const std::string& nm : r.names) outNames.push_back(nm.c_str());
  std::vector<Ort::Value> out = s.Run(Ort::RunOptions{nullptr}, inNames, in, 3, outNames.data(), outNames.size());
  for (Ort::Value& v : out) {
    auto info = v.GetTensorTypeAndShapeInfo();
    r.shapes.push_back(info.GetShape());
    if (info.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT) {
      r.data.emplace_back();
      continue;
    }
    const float* p = v.GetTensorData<float>();
    r.data.emplace_back(p, p + info.GetElementCount());
  }
  return r;
}

std::string shapeText(const std::vector<int64_t>& s) {
  std::string t = "[";
  for (size_t i = 0; i < s.size(); ++i) t += (i ? "," : "") + std::to_string(s[i]);
  return t + "]";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s MODEL.onnx N EXTRA [threads] [all|basic|none]\n", argv[0]);
    return 2;
  }
  const int64_t n = std::atoll(argv[2]), extra = std::atoll(argv[3]);
  const int threads = argc > 4 ? std::atoi(argv[4]) : 1;
  const std::string opt = argc > 5 ? argv[5] : "all";
  const int64_t shift = argc > 6 ? std::atoll(argv[6]) : 0;
  Ort::Env env(ORT_LOGGING_LEVEL_WARNING, "probe");
  Ort::SessionOptions o;
  o.SetIntraOpNumThreads(threads);
  o.SetInterOpNumThreads(1);
  o.AddConfigEntry("session.intra_op.allow_spinning", "0");
  o.SetGraphOptimizationLevel(opt == "none" ? ORT_DISABLE_ALL : opt == "basic" ? ORT_ENABLE_BASIC : ORT_ENABLE_ALL);
  Ort::Session s(env, argv[1], o);
  const Run a = run(s, shift, n), b = run(s, 0, shift + n + extra);
  // Rows 0 .. n - 1 - reach see only frames below n in both runs.
  const int64_t rows = n - kWindow * kLayers;
  const int64_t from = shift ? kLeft * kLayers : 0;  // rows of a with their whole left band in a
  int differing = 0;
  for (size_t i = 0; i < a.names.size(); ++i) {
    const auto& sa = a.shapes[i];
    const auto& sb = b.shapes[i];
    if (a.data[i].empty() || sa.empty()) continue;
    // The leading axis that carries n: compare the first `rows` slices along it.
    int axis = -1;
    for (size_t d = 0; d < sa.size(); ++d)
      if (sa[d] == n && sb[d] == shift + n + extra) {
        axis = static_cast<int>(d);
        break;
      }
    if (axis < 0) continue;
    // Flatten to [outer, n, inner]; for [n, n] tensors the trailing axis
    // (keys) is compared over the keys the compared rows attend to, whose
    // own values do not reach frame n either.
    int64_t outer = 1, innerA = 1, innerB = 1;
    for (int d = 0; d < axis; ++d) outer *= sa[d];
    for (size_t d = axis + 1; d < sa.size(); ++d) {
      innerA *= sa[d];
      innerB *= sb[d];
    }
    const bool square = innerA == n && innerB == shift + n + extra;
    const int64_t cols = square ? rows + kWindow : innerA;
    size_t count = 0, total = 0;
    double maxAbs = 0.0, maxRel = 0.0;
    for (int64_t o1 = 0; o1 < outer; ++o1)
      for (int64_t r = from; r < rows; ++r)
        for (int64_t c = square ? r - kLeft : 0; c < (square ? r + kWindow + 1 : cols); ++c) {
          if (c < 0) continue;
          const float x = a.data[i][(o1 * sa[axis] + r) * innerA + c];
          const float y = b.data[i][(o1 * sb[axis] + r + shift) * innerB + c + (square ? shift : 0)];
          ++total;
          if (std::memcmp(&x, &y, sizeof x) != 0) {
            ++count;
            const double d = std::fabs(static_cast<double>(x) - y);
            if (d > maxAbs) maxAbs = d;
            const double m = std::fabs(static_cast<double>(x));
            if (m > 0 && d / m > maxRel) maxRel = d / m;
          }
        }
    if (count) ++differing;
    std::printf("%-16s %s vs %s  rows %lld  differ %zu/%zu  max|d| %.3g  max rel %.3g\n", a.names[i].c_str(),
                shapeText(sa).c_str(), shapeText(sb).c_str(), static_cast<long long>(rows), count, total, maxAbs,
                maxRel);
  }
  std::printf("n=%lld extra=%lld shift=%lld threads=%d opt=%s: %d output(s) differ\n", static_cast<long long>(n),
              static_cast<long long>(extra), static_cast<long long>(shift), threads, opt.c_str(), differing);
  return 0;
}
