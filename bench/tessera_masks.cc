// Per-frame cost of the mouth masks on a 512 canvas: both run once for every
// rendered frame, so they must stay far below a millisecond.
#include <benchmark/benchmark.h>

#include <cmath>
#include <string>
#include <vector>

#include "core/tessera/lip_contour.h"
#include "core/tessera/unified_pi.h"

namespace {

constexpr int kS = 512;
const int kLip[8] = {6, 7, 8, 9, 10, 11, 12, 13};

std::string lipTemplate() {
  std::string u;
  for (int j = 0; j < 24; ++j) {
    double a = 2 * M_PI * j / 24;
    if (j) u += ",";
    u += "[" + std::to_string(std::cos(a)) + "," + std::to_string(0.6 * std::sin(a)) + "]";
  }
  return "{\"format\":\"lip-template-v1\",\"canvas\":512,\"feather_px\":8,\"u_canon\":[" + u +
         "],\"lip_idx\":[6,7,8,9,10,11,12,13]}";
}

const char* kManifest =
    "{\"unified\":{\"crop\":{\"canvas\":512},\"pi\":{\"mode\":\"prop\",\"corner_recovery\":\"lip_landmark_half\","
    "\"lip_idx\":[6,7,8,9,10,11,12,13],\"lip_geom_params\":[0.10,0.08,0.074]}}}";

// Sixteen frames of a mouth opening and closing.
std::vector<std::vector<float>> frames() {
  std::vector<std::vector<float>> out;
  for (int f = 0; f < 16; ++f) {
    std::vector<float> kp(63, 0.0f);
    const float open = 0.01f + 0.03f * static_cast<float>(std::sin(f * 0.4) * std::sin(f * 0.4));
    for (int k = 0; k < 8; ++k) {
      const double a = 2 * M_PI * k / 8;
      kp[3 * kLip[k]] = static_cast<float>(0.01 * f / 16 + 0.18 * std::cos(a));
      kp[3 * kLip[k] + 1] = static_cast<float>(0.35 + open * std::sin(a));
    }
    out.push_back(kp);
  }
  return out;
}

void BM_LipContourF32Canvas(benchmark::State& state) {
  auto lc = le::tessera::LipContour::fromTemplateJson(lipTemplate(), kS);
  auto kps = frames();
  std::vector<float> out(kS * kS);
  size_t f = 0;
  for (auto _ : state) {
    lc.contourF32Canvas(kps[f++ % kps.size()].data(), out.data());
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_LipContourF32Canvas)->Unit(benchmark::kMicrosecond);

void BM_UnifiedPiU8AndShift(benchmark::State& state) {
  auto pi = le::tessera::UnifiedPi::fromManifestJson(kManifest, kS);
  auto kps = frames();
  std::vector<uint8_t> out(kS * kS);
  const double canon[2] = {256.0, 345.0};
  size_t f = 0;
  int dy = 0, dx = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(pi.piU8AndShift(kps[f++ % kps.size()].data(), canon, out.data(), dy, dx));
  }
}
BENCHMARK(BM_UnifiedPiU8AndShift)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
