#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/test_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <stdexcept>

extern "C" {
#include <libavcodec/version.h>
}

#include "core/driver/source.h"
#include "core/driver/test_videos.h"

namespace le::driver {
namespace {

using le::test::kVidCrop;
using le::test::kVidH;
using le::test::kVidNT;
using le::test::kVidW;
using le::test::videoPath;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

using le::test::thrownBy;

// The binary16 nearest to i / 255 by exhaustive search, ties to even.
uint16_t nearestHalfBrute(int i) {
  const double v = i / 255.0;
  uint16_t best = 0;
  double bestErr = 1e9;
  for (uint32_t h = 0; h <= 0x3C00; ++h) {
    const int e = int(h >> 10), m = int(h & 1023);
    const double hv = e ? std::ldexp(1024 + m, e - 25) : std::ldexp(m, -24);
    const double err = std::fabs(hv - v);
    if (err < bestErr || (err == bestErr && (h & 1) == 0)) {
      best = uint16_t(h);
      bestErr = err;
    }
  }
  return best;
}

class FfSourceTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("LE_DRIVER_HWDEC", "0", 1); }
  void TearDown() override { unsetenv("LE_DRIVER_HWDEC"); }
};

TEST_F(FfSourceTest, DriverFramesMatchTheIntegerConversionOfEveryDecodedPicture) {
  const auto yuv = le::test::readFile(videoPath("drive.yuv"));
  auto src = openMp4(videoPath("drive.mp4"), kVidNT, kVidW, kVidH);
  ASSERT_EQ(src->frameBytes(), uint64_t(kVidW * kVidH * 3));
  std::vector<uint8_t> frame(src->frameBytes());
  for (int pass = 0; pass < 2; ++pass) {
    for (int i = 0; i < kVidNT; ++i) {
      ASSERT_TRUE(src->next(frame.data())) << "frame " << i;
      ASSERT_EQ(frame, le::test::referenceRgb(yuv, i, kVidW, kVidH)) << "frame " << i << " pass " << pass;
    }
    EXPECT_FALSE(src->next(frame.data()));
    src->rewind();
  }
  // Backwards restarts, forwards decodes on; both land on the asked frame.
  for (int i : {30, 5, 6, 39, 0}) {
    src->seek(i);
    ASSERT_TRUE(src->next(frame.data()));
    ASSERT_EQ(frame, le::test::referenceRgb(yuv, i, kVidW, kVidH)) << "after seek(" << i << ")";
  }
  EXPECT_EQ(thrownBy([&] { src->seek(kVidNT); }), "le_driver: seek outside the member");
  EXPECT_EQ(thrownBy([&] { src->seek(-1); }), "le_driver: seek outside the member");
  EXPECT_GT(src->residentBytes(), uint64_t(kVidW * kVidH * 3 / 2 * 5));
}

TEST_F(FfSourceTest, PriorFramesAreTheFixedPointConversionThroughTheNearestHalf) {
  uint16_t lut[256];
  for (int i = 0; i < 256; ++i) lut[i] = nearestHalfBrute(i);
  const auto yuv = le::test::readFile(videoPath("prior444.yuv"));
  auto src = openPriorHevc(videoPath("prior444.mkv"), kVidNT, kVidCrop);
  const size_t n = size_t(kVidCrop) * kVidCrop;
  ASSERT_EQ(src->frameBytes(), n * 6);
  EXPECT_THAT(src->name(), StartsWith("hevc444/libavcodec "));
  std::vector<uint16_t> got(n * 3), want(n * 3);
  auto cl = [](int v) { return v < 0 ? 0 : v > 255 ? 255 : v; };
  for (int f = 0; f < kVidNT; ++f) {
    const uint8_t* Y = yuv.data() + n * 3 * f;
    const uint8_t* U = Y + n;
    const uint8_t* V = U + n;
    for (size_t i = 0; i < n; ++i) {
      const int c = 76312 * Y[i] - 1220992, d = U[i] - 128, e = V[i] - 128;
      want[i] = lut[cl((c + 104600 * e + 32768) >> 16)];
      want[n + i] = lut[cl((c - 53280 * e - 25672 * d + 32768) >> 16)];
      want[2 * n + i] = lut[cl((c + 132200 * d + 32768) >> 16)];
    }
    ASSERT_TRUE(src->next(reinterpret_cast<uint8_t*>(got.data())));
    ASSERT_EQ(got, want) << "frame " << f;
  }
}

TEST_F(FfSourceTest, MembersThatDisagreeWithTheManifestAreRefused) {
  const std::string big = videoPath("drive_big.mp4");
  EXPECT_EQ(thrownBy([&] { openMp4(big, kVidNT, kVidW, kVidH); }),
            "le_driver: " + big + " is 128x96, the manifest says 64x48 — refusing to rescale the driver");
  const std::string shortMp4 = videoPath("drive_short.mp4");
  EXPECT_EQ(thrownBy([&] { openMp4(shortMp4, kVidNT, kVidW, kVidH); }),
            "le_driver: " + shortMp4 + " carries 39 frames, the manifest says NT=40 — member/manifest mismatch, refusing");
  // Matroska states no count: accepted, and the shortfall shows while seeking.
  auto src = openMp4(videoPath("drive_short.mkv"), kVidNT, kVidW, kVidH);
  std::vector<uint8_t> rgb(src->frameBytes());
  src->seek(39);
  EXPECT_FALSE(src->next(rgb.data()));
  auto src2 = openMp4(videoPath("drive_short.mkv"), kVidNT + 1, kVidW, kVidH);
  EXPECT_EQ(thrownBy([&] { src2->seek(40); }),
            "le_driver: " + videoPath("drive_short.mkv") + " ended at frame 39 while seeking to 40");

  const std::string p420 = videoPath("prior420.mkv");
  auto prior = openPriorHevc(p420, kVidNT, kVidCrop);
  std::vector<uint8_t> buf(prior->frameBytes());
  EXPECT_EQ(thrownBy([&] { prior->next(buf.data()); }),
            "le_driver: " + p420 +
                " decoded to yuv420p, not the yuv444p a warp prior is authored in — a subsampled prior is a "
                "different mouth, refusing");
  // A prior video is not a driving video.
  auto drv = openMp4(videoPath("prior444.mkv"), kVidNT, kVidCrop, kVidCrop);
  rgb.resize(drv->frameBytes());
  EXPECT_THAT(thrownBy([&] { drv->next(rgb.data()); }),
              HasSubstr("decoded to yuv444p, not the 4:2:0 layout the canvas conversion is written for"));

  const std::string notVideo = videoPath("jpg/frame_000000.jpg.missing");
  EXPECT_EQ(thrownBy([&] { openMp4(notVideo, kVidNT, kVidW, kVidH); }),
            "le_driver: " + notVideo + " is not a readable container");

  // A member whose bytes are a playlist naming another file is not opened:
  // FFmpeg's concat format would play whatever the playlist names.
  le::test::TempDir tmp;
  ASSERT_EQ(::symlink(videoPath("drive.mp4").c_str(), tmp.file("v.mp4").c_str()), 0);
  le::test::writeFile(tmp.file("drive.mp4"), "ffconcat version 1.0\nfile 'v.mp4'\n");
  EXPECT_EQ(thrownBy([&] { openMp4(tmp.file("drive.mp4"), kVidNT, kVidW, kVidH); }),
            "le_driver: " + tmp.file("drive.mp4") + " is not a readable container");
}

// Members that would decode but be pasted wrongly, or never open at all.
TEST_F(FfSourceTest, MembersPastedInAnotherPixelDomainOrOrientationOrThatBlockAreRefused) {
  const std::string full = videoPath("prior444_full.mkv");
  auto prior = openPriorHevc(full, kVidNT, kVidCrop);
  std::vector<uint8_t> buf(prior->frameBytes());
  EXPECT_THAT(thrownBy([&] { prior->next(buf.data()); }),
              StartsWith("le_driver: " + full + " is full-range (pc) video, not the limited range"));

  const std::string turned = videoPath("drive_rot.mp4");
  EXPECT_THAT(thrownBy([&] { openMp4(turned, kVidNT, kVidW, kVidH); }),
              StartsWith("le_driver: " + turned + " is to be displayed turned by "));

  le::test::TempDir tmp;
  ASSERT_EQ(::mkfifo(tmp.file("drive.mp4").c_str(), 0600), 0);
  EXPECT_EQ(thrownBy([&] { openMp4(tmp.file("drive.mp4"), kVidNT, kVidW, kVidH); }),
            "le_driver: " + tmp.file("drive.mp4") + " is not a regular file — refusing");
}

TEST_F(FfSourceTest, DecoderChoiceIsReportedAndNamesTheBuiltLibavcodec) {
  const std::string version = std::to_string(LIBAVCODEC_VERSION_MAJOR);
  EXPECT_THAT(le::movieDecoderBuild(), StartsWith("libavcodec " + version + "."));
  EXPECT_THAT(le::movieDecoderBuild(), HasSubstr(" / "));

  ::testing::internal::CaptureStderr();
  auto a = openMp4(videoPath("drive.mp4"), kVidNT, kVidW, kVidH);
  auto b = openPriorHevc(videoPath("prior444.mkv"), kVidNT, kVidCrop);
  const std::string err = ::testing::internal::GetCapturedStderr();
  const std::string notice =
      "[le-driver] LE_DRIVER_HWDEC=0 — h264_cuvid not attempted; the software decoder is the one decoder on this "
      "fleet (same samples)\n";
  EXPECT_EQ(err, notice + notice);
  EXPECT_THAT(a->name(), StartsWith("mp4/libavcodec " + version + "."));
  EXPECT_THAT(a->name(), ::testing::EndsWith(" h264"));
  EXPECT_THAT(b->name(), ::testing::EndsWith(" hevc"));

  // Without the switch the hardware decoder is tried; on a machine without
  // one the software decoder takes over and says so.
  unsetenv("LE_DRIVER_HWDEC");
  ::testing::internal::CaptureStderr();
  auto c = openMp4(videoPath("drive.mp4"), kVidNT, kVidW, kVidH);
  const std::string err2 = ::testing::internal::GetCapturedStderr();
  if (c->name().find("h264_cuvid") == std::string::npos) {
    EXPECT_THAT(c->name(), ::testing::EndsWith(" h264"));
    if (!err2.empty()) {
      EXPECT_THAT(err2, HasSubstr("[le-driver] h264_cuvid refused " + videoPath("drive.mp4") +
                                  " — falling back to the software h264 decoder (same samples, more CPU)\n"));
      EXPECT_THAT(err2, Not(HasSubstr("[h264_cuvid @"))) << "FFmpeg's own lines repeat the refusal";
    }
  }
  std::vector<uint8_t> frame(c->frameBytes());
  EXPECT_TRUE(c->next(frame.data()));
}

}  // namespace
}  // namespace le::driver
