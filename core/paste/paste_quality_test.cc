// Round trip through a real photograph: cut a rotated, enlarged crop out of
// the frame with a known affine map, paste it back through that map, and
// measure how closely the pasted region matches the original.
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#include <stb_image.h>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <vector>

#include "core/paste/paste.h"

namespace le {
namespace {

constexpr const char* kAstronaut = "/usr/lib/python3/dist-packages/skimage/data/astronaut.png";

double lanczos4(double x) {
  if (x == 0.0) return 1.0;
  if (std::fabs(x) >= 4.0) return 0.0;
  const double pi = 3.14159265358979323846;
  return 4.0 * std::sin(pi * x) * std::sin(pi * x / 4.0) / (pi * pi * x * x);
}

// Lanczos-4 sample of channel c at (x, y), edges replicated, in double.
double sample(const unsigned char* img, int w, int h, int c, double x, double y) {
  const int ix = int(std::floor(x)), iy = int(std::floor(y));
  double sum = 0.0, wsum = 0.0;
  for (int j = iy - 3; j <= iy + 4; ++j) {
    const double wy = lanczos4(y - j);
    const int yy = std::min(std::max(j, 0), h - 1);
    for (int i = ix - 3; i <= ix + 4; ++i) {
      const double wgt = wy * lanczos4(x - i);
      const int xx = std::min(std::max(i, 0), w - 1);
      sum += wgt * img[(size_t(yy) * w + xx) * 3 + c];
      wsum += wgt;
    }
  }
  return sum / wsum;
}

TEST(PasteQuality, RoundTripOfAstronautFrame) {
  struct stat st;
  if (stat(kAstronaut, &st) != 0) GTEST_SKIP() << kAstronaut << " is missing (python3-skimage)";
  int w = 0, h = 0, n = 0;
  unsigned char* img = stbi_load(kAstronaut, &w, &h, &n, 3);
  ASSERT_NE(img, nullptr) << stbi_failure_reason();
  const std::vector<unsigned char> original(img, img + size_t(w) * h * 3);
  stbi_image_free(img);

  // Crop of 256 pixels around the face, each crop pixel 0.8 frame pixels,
  // turned by 7 degrees: crop (u, v) -> frame (a u + b v + c, d u + e v + f).
  const int s = 256;
  const double scale = 0.8, angle = 7.0 * 3.14159265358979323846 / 180.0;
  const double cx = 225.0, cy = 150.0, half = (s - 1) / 2.0;
  float m[6];
  m[0] = float(scale * std::cos(angle));
  m[1] = float(-scale * std::sin(angle));
  m[3] = float(scale * std::sin(angle));
  m[4] = float(scale * std::cos(angle));
  m[2] = float(cx - (m[0] * half + m[1] * half));
  m[5] = float(cy - (m[3] * half + m[4] * half));

  std::vector<float> crop(3 * size_t(s) * s);
  for (int c = 0; c < 3; ++c)
    for (int v = 0; v < s; ++v)
      for (int u = 0; u < s; ++u) {
        const double X = double(m[0]) * u + double(m[1]) * v + m[2];
        const double Y = double(m[3]) * u + double(m[4]) * v + m[5];
        crop[(size_t(c) * s + v) * s + u] = float(sample(original.data(), w, h, c, X, Y) / 255.0);
      }

  // No sharpening, opaque mask, onto a flat grey frame.
  Paste p(std::vector<uint8_t>(size_t(s) * s, 255), s, Unsharp{0.0f, 2.0f, 13});
  std::vector<uint8_t> frame(original.size(), 128);
  p.composite(crop.data(), 255.0f, m, frame.data(), w, h);

  // Compare the pixels that map well inside the crop, away from the border
  // where the resampler runs out of taps.
  const double det = double(m[0]) * m[4] - double(m[1]) * m[3];
  double se = 0.0;
  long count = 0;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const double dx = x - m[2], dy = y - m[5];
      const double u = (m[4] * dx - m[1] * dy) / det, v = (-m[3] * dx + m[0] * dy) / det;
      if (u < 8 || v < 8 || u > s - 9 || v > s - 9) continue;
      for (int c = 0; c < 3; ++c) {
        const double d = double(frame[(size_t(y) * w + x) * 3 + c]) - original[(size_t(y) * w + x) * 3 + c];
        se += d * d;
        ++count;
      }
    }
  ASSERT_GT(count, 3 * 150 * 150);
  const double psnr = 10.0 * std::log10(255.0 * 255.0 / (se / count));
  std::printf("astronaut round trip: PSNR %.2f dB over %ld samples\n", psnr, count);
  RecordProperty("psnr_db", std::to_string(psnr));
  EXPECT_GT(psnr, 40.0);
}

}  // namespace
}  // namespace le
