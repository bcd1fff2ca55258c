// Compositing a 512 x 512 face crop into a 1080p frame with a typical face
// footprint (scale 0.6, turned by 5 degrees): the whole composite, its
// sharpening and resampling halves, the fast samplers, and what users would
// otherwise write with OpenCV. The thread count is the process's core thread
// count: run once with FACECORE_THREADS=1 and once with 2; OpenCV is given the
// same count.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "core/foundation/pool.h"
#include "core/paste/paste.h"
#include "core/paste/paste_testing.h"

#ifdef LE_HAVE_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

constexpr int kSide = 512, kW = 1920, kH = 1080;

struct Scene {
  std::vector<float> crop = le::paste::testing::makeCrop(kSide, 1);
  std::vector<uint8_t> mask = le::paste::testing::makeMask(kSide, 40);
  std::vector<uint8_t> frame = le::paste::testing::makeFrame(kW, kH, 2);
  float m[6];
  Scene() {
    const double scale = 0.6, angle = 5.0 * 3.14159265358979323846 / 180.0, half = (kSide - 1) / 2.0;
    m[0] = float(scale * std::cos(angle));
    m[1] = float(-scale * std::sin(angle));
    m[3] = float(scale * std::sin(angle));
    m[4] = float(scale * std::cos(angle));
    m[2] = float(960.0 - (m[0] * half + m[1] * half));
    m[5] = float(420.0 - (m[3] * half + m[4] * half));
  }
};

const le::Unsharp kUnsharp{1.3f, 2.0f, 13};

void setMode(int mode) { setenv("LE_PASTE_FAST", std::to_string(mode).c_str(), 1); }

void labelThreads(benchmark::State& state) {
  state.counters["threads"] = le::pool::threads();
}

void BM_PasteComposite(benchmark::State& state) {
  Scene scene;
  setMode(int(state.range(0)));
  le::Paste paste(scene.mask, kSide, kUnsharp);
  unsetenv("LE_PASTE_FAST");
  for (auto _ : state) {
    paste.composite(scene.crop.data(), 255.0f, scene.m, scene.frame.data(), kW, kH);
    benchmark::ClobberMemory();
  }
  labelThreads(state);
  state.SetLabel(state.range(0) == 0 ? "lanczos" : state.range(0) == 1 ? "bicubic" : "bilinear");
}
BENCHMARK(BM_PasteComposite)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

// Scaling and sharpening of the three planes.
void BM_PasteUnsharp(benchmark::State& state) {
  Scene scene;
  le::Paste paste(scene.mask, kSide, kUnsharp);
  for (auto _ : state) {
    paste.fillPlanes(scene.crop.data(), 255.0f);
    for (int c = 0; c < 3; ++c) paste.unsharpPlane(paste.plane(c));
    benchmark::ClobberMemory();
  }
  labelThreads(state);
}
BENCHMARK(BM_PasteUnsharp)->Unit(benchmark::kMillisecond)->UseRealTime();

// Interleave, resample and blend over the footprint.
void BM_PasteResample(benchmark::State& state) {
  Scene scene;
  le::Paste paste(scene.mask, kSide, kUnsharp);
  // One composite sets up the column increments for this map.
  paste.composite(scene.crop.data(), 255.0f, scene.m, scene.frame.data(), kW, kH);
  const float* m = scene.m;
  float minX = 1e30f, maxX = -1e30f, minY = 1e30f, maxY = -1e30f;
  for (float u : {-4.0f, kSide + 3.0f})
    for (float v : {-4.0f, kSide + 3.0f}) {
      const float X = (v * m[1] + u * m[0]) + m[2], Y = (v * m[4] + u * m[3]) + m[5];
      minX = std::min(minX, X), maxX = std::max(maxX, X), minY = std::min(minY, Y), maxY = std::max(maxY, Y);
    }
  const int x0 = std::max(0, int(std::floor(minX))), x1 = std::min(kW - 1, int(std::ceil(maxX)));
  const int y0 = std::max(0, int(std::floor(minY))), y1 = std::min(kH - 1, int(std::ceil(maxY)));
  const double inv = 1.0 / (double(m[0]) * m[4] - double(m[1]) * m[3]);
  const double cu = m[4] * inv, cv = -m[3] * inv, ru = -m[1] * inv, rv = m[0] * inv;
  const double ou = -(m[2] * cu + m[5] * ru), ov = -(m[2] * cv + m[5] * rv);
  for (auto _ : state) {
    paste.compositeTail(scene.frame.data(), kW, x0, x1, y0, y1, ru, rv, ou, ov);
    benchmark::ClobberMemory();
  }
  labelThreads(state);
  state.counters["footprint_px"] = double(x1 - x0 + 1) * (y1 - y0 + 1);
}
BENCHMARK(BM_PasteResample)->Unit(benchmark::kMillisecond)->UseRealTime();

#ifdef LE_HAVE_OPENCV
// The crop as a user would hand it to OpenCV: interleaved 8-bit RGB.
struct CvScene : Scene {
  cv::Mat crop8, mask8, frameMat, planar[3];
  cv::Rect roi;
  cv::Mat shifted;
  CvScene() {
    for (int c = 0; c < 3; ++c)
      planar[c] = cv::Mat(kSide, kSide, CV_32F, crop.data() + size_t(c) * kSide * kSide);
    cv::Mat merged;
    cv::merge(planar, 3, merged);
    merged.convertTo(crop8, CV_8UC3, 255.0);
    mask8 = cv::Mat(kSide, kSide, CV_8U, mask.data());
    frameMat = cv::Mat(kH, kW, CV_8UC3, frame.data());
    // Warp only into the footprint's box, as a careful user would.
    std::vector<cv::Point2f> corners;
    for (float u : {0.0f, float(kSide)})
      for (float v : {0.0f, float(kSide)})
        corners.emplace_back(m[0] * u + m[1] * v + m[2], m[3] * u + m[4] * v + m[5]);
    roi = cv::boundingRect(corners) & cv::Rect(0, 0, kW, kH);
    shifted = (cv::Mat_<double>(2, 3) << m[0], m[1], m[2] - roi.x, m[3], m[4], m[5] - roi.y);
  }
  // Warp crop and mask into the box, then blend with the mask as alpha.
  void warpBlend(const cv::Mat& src8, cv::Mat& warped, cv::Mat& alpha, cv::Mat& beta, cv::Mat& mw) {
    cv::warpAffine(src8, warped, shifted, roi.size(), cv::INTER_LANCZOS4, cv::BORDER_CONSTANT);
    cv::warpAffine(mask8, mw, shifted, roi.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT);
    mw.convertTo(alpha, CV_32F, 1.0 / 255.0);
    cv::subtract(cv::Scalar::all(1.0), alpha, beta);
    cv::Mat dst = frameMat(roi);
    cv::blendLinear(warped, dst, alpha, beta, dst);
  }
};

void BM_OpenCvWarpBlend(benchmark::State& state) {
  CvScene scene;
  cv::setNumThreads(le::pool::threads());
  cv::Mat warped, alpha, beta, mw;
  for (auto _ : state) {
    scene.warpBlend(scene.crop8, warped, alpha, beta, mw);
    benchmark::ClobberMemory();
  }
  labelThreads(state);
}
BENCHMARK(BM_OpenCvWarpBlend)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same with the sharpening done in OpenCV too, starting from the float
// planes: merge, Gaussian unsharp mask, convert, warp, blend.
void BM_OpenCvUnsharpWarpBlend(benchmark::State& state) {
  CvScene scene;
  cv::setNumThreads(le::pool::threads());
  cv::Mat merged, blurred, sharp, sharp8, warped, alpha, beta, mw;
  for (auto _ : state) {
    cv::merge(scene.planar, 3, merged);
    merged.convertTo(merged, CV_32FC3, 255.0);
    cv::GaussianBlur(merged, blurred, cv::Size(13, 13), 2.0, 2.0, cv::BORDER_REFLECT_101);
    cv::addWeighted(merged, 1.0 + kUnsharp.amount, blurred, -kUnsharp.amount, 0.0, sharp);
    sharp.convertTo(sharp8, CV_8UC3);
    scene.warpBlend(sharp8, warped, alpha, beta, mw);
    benchmark::ClobberMemory();
  }
  labelThreads(state);
}
BENCHMARK(BM_OpenCvUnsharpWarpBlend)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

}  // namespace

BENCHMARK_MAIN();
