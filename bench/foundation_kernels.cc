// Each vector kernel against its scalar reference, per SIMD target.
#include <cstdint>
#include <random>
#include <vector>

#include "bench/foundation_targets.h"
#include "core/foundation/half.h"
#include "core/foundation/simd.h"
#include "core/foundation/simd_reference.h"

namespace le::bench {
namespace {

namespace ref = le::simd::reference;

std::vector<float> randomFloats(std::size_t n, float lo, float hi, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(lo, hi);
  std::vector<float> v(n);
  for (float& x : v) x = d(rng);
  return v;
}

std::vector<std::uint16_t> randomHalves(std::size_t n, unsigned seed) {
  std::vector<float> f = randomFloats(n, 0.0f, 1.0f, seed);
  std::vector<std::uint16_t> h(n);
  for (std::size_t i = 0; i < n; ++i) h[i] = le::f32ToF16(f[i]);
  return h;
}

constexpr std::size_t kN = 4096;

bool registerAll() {
  registerPerTarget("f32ToF16", [](benchmark::State& st, bool reference) {
    const auto src = randomFloats(kN, -70000.0f, 70000.0f, 1);
    std::vector<std::uint16_t> dst(kN);
    for (auto _ : st) {
      (reference ? ref::f32ToF16 : simd::f32ToF16)(src.data(), dst.data(), kN);
      benchmark::DoNotOptimize(dst.data());
    }
    st.SetItemsProcessed(st.iterations() * kN);
  });
  registerPerTarget("f16ToF32", [](benchmark::State& st, bool reference) {
    const auto src = randomHalves(kN, 2);
    std::vector<float> dst(kN);
    for (auto _ : st) {
      (reference ? ref::f16ToF32 : simd::f16ToF32)(src.data(), dst.data(), kN);
      benchmark::DoNotOptimize(dst.data());
    }
    st.SetItemsProcessed(st.iterations() * kN);
  });
  registerPerTarget("roundF16Mul", [](benchmark::State& st, bool reference) {
    const auto a = randomFloats(kN, -4.0f, 4.0f, 3), b = randomFloats(kN, -4.0f, 4.0f, 4);
    std::vector<float> out(kN);
    for (auto _ : st) {
      (reference ? ref::roundF16Mul : simd::roundF16Mul)(a.data(), b.data(), out.data(), kN);
      benchmark::DoNotOptimize(out.data());
    }
    st.SetItemsProcessed(st.iterations() * kN);
  });
  registerPerTarget("retrieveTermPooled", [](benchmark::State& st, bool reference) {
    const auto a = randomHalves(3 * kN, 5), b = randomHalves(3 * kN, 6), w = randomHalves(kN, 7);
    for (auto _ : st) {
      benchmark::DoNotOptimize((reference ? ref::retrieveTermPooled : simd::retrieveTermPooled)(a.data(), b.data(),
                                                                                                 w.data(), kN));
    }
    st.SetItemsProcessed(st.iterations() * kN);
  });
  registerPerTarget("retrieveTermExact", [](benchmark::State& st, bool reference) {
    const auto a = randomHalves(3 * kN, 5), b = randomHalves(3 * kN, 6);
    const auto w = randomFloats(kN, 0.0f, 2.0f, 8);
    for (auto _ : st) {
      benchmark::DoNotOptimize(reference ? ref::retrieveTermExactRange(a.data(), b.data(), w.data(), kN, 0, kN)
                                         : simd::retrieveTermExact(a.data(), b.data(), w.data(), kN));
    }
    st.SetItemsProcessed(st.iterations() * kN);
  });
  registerPerTarget("rgb8ToPlanarF16", [](benchmark::State& st, bool reference) {
    std::vector<std::uint8_t> rgb(3 * kN);
    for (std::size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<std::uint8_t>(i * 31);
    std::vector<std::uint16_t> dst(3 * kN);
    for (auto _ : st) {
      (reference ? ref::rgb8ToPlanarF16 : simd::rgb8ToPlanarF16)(rgb.data(), dst.data(), kN, kN);
      benchmark::DoNotOptimize(dst.data());
    }
    st.SetItemsProcessed(st.iterations() * kN);
  });
  registerPerTarget("conv3x3Range_16x32x32_to16", [](benchmark::State& st, bool reference) {
    const int cin = 16, h = 32, w = 32, cout = 16;
    const auto in = randomFloats(static_cast<std::size_t>(cin) * h * w, -1.0f, 1.0f, 9);
    const auto weight = randomFloats(static_cast<std::size_t>(cout) * cin * 9, -1.0f, 1.0f, 10);
    const auto bias = randomFloats(cout, -1.0f, 1.0f, 11);
    std::vector<float> out(static_cast<std::size_t>(cout) * h * w);
    for (auto _ : st) {
      (reference ? ref::conv3x3Range : simd::conv3x3Range)(in.data(), 1, cin, h, w, weight.data(), bias.data(), cout,
                                                         out.data(), 0, cout);
      benchmark::DoNotOptimize(out.data());
    }
    st.SetItemsProcessed(st.iterations() * static_cast<int64_t>(cout) * h * w);
  });
  registerPerTarget("pasteLanczos8Row_512px", [](benchmark::State& st, bool reference) {
    const int s = 256, count = 512;
    const auto src = randomFloats(4 * s * s, 0.0f, 255.0f, 12);
    std::vector<std::uint8_t> mask(s * s, 255);
    std::vector<float> lanczos(256, 0.125f), bilinear(64, 0.5f);
    std::vector<int> xs(count), ys(count, 0);
    for (int k = 0; k < count; ++k) xs[k] = k * 400;  // about half a source pixel a step
    std::vector<std::uint8_t> row(3 * count, 50);
    for (auto _ : st) {
      (reference ? ref::pasteLanczos8Row : simd::pasteLanczos8Row)(src.data(), s, mask.data(), lanczos.data(),
                                                                 bilinear.data(), xs.data(), ys.data(), 8 * 1024,
                                                                 100 * 1024, 0, count - 1, row.data());
      benchmark::DoNotOptimize(row.data());
    }
    st.SetItemsProcessed(st.iterations() * count);
  });
  return true;
}

const bool kRegistered = registerAll();

}  // namespace
}  // namespace le::bench
