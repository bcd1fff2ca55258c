// A 1920x1080 yuv420p frame to RGB24: our row kernel (per target and scalar
// reference) against libswscale's BT.601 limited-range conversion, one thread.
#include <cstdint>
#include <stdexcept>
#include <vector>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include "bench/foundation_targets.h"
#include "core/foundation/simd.h"
#include "core/foundation/simd_reference.h"

namespace le::bench {
namespace {

constexpr int kW = 1920;
constexpr int kH = 1080;

struct Frame {
  std::vector<std::uint8_t> y, u, v, rgb;
  Frame() : y(kW * kH), u(kW * kH / 4), v(kW * kH / 4), rgb(3 * kW * kH) {
    for (int i = 0; i < kW * kH; ++i) y[i] = static_cast<std::uint8_t>(16 + (i * 7 + i / kW) % 220);
    for (int i = 0; i < kW * kH / 4; ++i) {
      u[i] = static_cast<std::uint8_t>(i * 3);
      v[i] = static_cast<std::uint8_t>(255 - i * 5);
    }
  }
};

void convertFrame(Frame& f, bool reference) {
  for (int row = 0; row < kH; ++row) {
    const int c = (row / 2) * (kW / 2);
    if (reference) {
      simd::reference::yuv420RowToRgb24(f.y.data() + row * kW, f.u.data() + c, f.v.data() + c, kW, 1,
                                        f.rgb.data() + 3 * row * kW);
    } else {
      simd::yuv420RowToRgb24(f.y.data() + row * kW, f.u.data() + c, f.v.data() + c, kW, 1,
                             f.rgb.data() + 3 * row * kW);
    }
  }
}

void swscaleFrame(benchmark::State& st) {
  Frame f;
  SwsContext* ctx = sws_getContext(kW, kH, AV_PIX_FMT_YUV420P, kW, kH, AV_PIX_FMT_RGB24, SWS_POINT, nullptr, nullptr,
                                   nullptr);
  if (!ctx) throw std::runtime_error("libswscale refused the yuv420p to rgb24 conversion.");
  // BT.601 coefficients, limited-range input, full-range output.
  sws_setColorspaceDetails(ctx, sws_getCoefficients(SWS_CS_ITU601), 0, sws_getCoefficients(SWS_CS_ITU601), 1, 0,
                           1 << 16, 1 << 16);
  const std::uint8_t* srcSlices[3] = {f.y.data(), f.u.data(), f.v.data()};
  const int srcStride[3] = {kW, kW / 2, kW / 2};
  std::uint8_t* dst[1] = {f.rgb.data()};
  const int dstStride[1] = {3 * kW};
  for (auto _ : st) {
    sws_scale(ctx, srcSlices, srcStride, 0, kH, dst, dstStride);
    benchmark::DoNotOptimize(f.rgb.data());
  }
  sws_freeContext(ctx);
  st.SetItemsProcessed(st.iterations() * kW * kH);
}

bool registerAll() {
  registerPerTarget("yuv420ToRgb24_1080p", [](benchmark::State& st, bool reference) {
    Frame f;
    for (auto _ : st) {
      convertFrame(f, reference);
      benchmark::DoNotOptimize(f.rgb.data());
    }
    st.SetItemsProcessed(st.iterations() * kW * kH);
  });
  benchmark::RegisterBenchmark("yuv420ToRgb24_1080p/libswscale", swscaleFrame);
  return true;
}

const bool kRegistered = registerAll();

}  // namespace
}  // namespace le::bench
