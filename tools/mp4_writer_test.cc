#include "tools/mp4_writer.h"

#include <cmath>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace {

std::vector<uint8_t> gradientFrame(int w, int h, int t) {
  std::vector<uint8_t> rgb(size_t(w) * h * 3);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = &rgb[(size_t(y) * w + x) * 3];
      p[0] = uint8_t((x * 255) / (w - 1));
      p[1] = uint8_t((y * 255) / (h - 1));
      p[2] = uint8_t((t * 20 + x / 4) & 255);
    }
  return rgb;
}

TEST(Mp4Writer, FramesDecodeBackWithTheirCountSizeAndContent) {
  le::test::TempDir tmp;
  const std::string path = tmp.file("out.mp4");
  const int w = 96, h = 64, n = 12;
  {
    le::tools::Mp4Writer writer(path, w, h, 25);
    for (int t = 0; t < n; ++t) writer.write(gradientFrame(w, h, t).data());
    writer.close();
    EXPECT_EQ(writer.framesWritten(), n);
  }
  const auto video = le::test::decodeVideoRgb24(path);
  ASSERT_EQ(video.frames.size(), size_t(n));
  EXPECT_EQ(video.width, w);
  EXPECT_EQ(video.height, h);
  for (int t = 0; t < n; ++t) {
    const auto want = gradientFrame(w, h, t);
    EXPECT_GT(le::test::psnr(want.data(), video.frames[t].data(), want.size()), 30.0) << "frame " << t;
  }
}

TEST(Mp4Writer, RefusesOddSizesAndUnwritablePaths) {
  EXPECT_THROW(le::tools::Mp4Writer("/tmp/x.mp4", 95, 64, 25), std::runtime_error);
  EXPECT_THROW(le::tools::Mp4Writer("/nonexistent-dir/x.mp4", 96, 64, 25), std::runtime_error);
}

}  // namespace
