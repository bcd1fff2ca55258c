#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/test_support.h"

#include <sys/resource.h>
#include <sys/stat.h>

#include <functional>
#include <stdexcept>

#include "core/driver/image_rgb.h"
#include "core/driver/source.h"
#include "core/driver/test_videos.h"

namespace le::driver {
namespace {

using le::test::kVidH;
using le::test::kVidNT;
using le::test::kVidW;
using le::test::videoPath;

using le::test::thrownBy;

std::vector<uint8_t> fileFrame(const std::string& dir, int i) {
  char name[32];
  std::snprintf(name, sizeof name, "/frame_%06d.jpg", i);
  return le::loadImageRGB(dir + name).pixels;
}

TEST(JpgDirSource, YieldsEachNumberedFrameThenEndsAndSeeks) {
  const std::string dir = videoPath("jpg");
  auto src = openJpgDir(dir, kVidNT, kVidW, kVidH);
  EXPECT_EQ(src->name(), "jpg/stb");
  EXPECT_EQ(src->residentBytes(), 0u);
  std::vector<uint8_t> frame(src->frameBytes());
  for (int i = 0; i < kVidNT; ++i) {
    ASSERT_TRUE(src->next(frame.data()));
    ASSERT_EQ(frame, fileFrame(dir, i)) << i;
  }
  EXPECT_FALSE(src->next(frame.data()));
  src->seek(7);
  ASSERT_TRUE(src->next(frame.data()));
  EXPECT_EQ(frame, fileFrame(dir, 7));
  src->rewind();
  ASSERT_TRUE(src->next(frame.data()));
  EXPECT_EQ(frame, fileFrame(dir, 0));
  EXPECT_EQ(thrownBy([&] { src->seek(kVidNT); }), "le_driver: seek outside the member");
}

TEST(JpgDirSource, AMissingOrWronglySizedFrameFailsAtThatFrame) {
  const std::string gap = videoPath("jpg_gap");
  auto src = openJpgDir(gap, kVidNT, kVidW, kVidH);
  std::vector<uint8_t> frame(src->frameBytes());
  src->seek(16);
  ASSERT_TRUE(src->next(frame.data()));
  EXPECT_EQ(thrownBy([&] { src->next(frame.data()); }), "decode failed: " + gap + "/frame_000017.jpg");

  // A pipe under a frame's name is refused, not waited on.
  le::test::TempDir tmp;
  ASSERT_EQ(::mkfifo(tmp.file("frame_000000.jpg").c_str(), 0600), 0);
  EXPECT_EQ(thrownBy([&] { openJpgDir(tmp.path(), kVidNT, kVidW, kVidH)->next(frame.data()); }),
            "decode failed: " + tmp.path() + "/frame_000000.jpg");

  const std::string big = videoPath("jpg_big");
  auto bigSrc = openJpgDir(big, kVidNT, kVidW, kVidH);
  EXPECT_EQ(thrownBy([&] { bigSrc->next(frame.data()); }),
            "le_driver: " + big + "/frame_000000.jpg is 128x96, the manifest says 64x48 — refusing");
}

// A few bytes can claim a picture of gigabytes: the header's size is refused
// before anything is decoded.
TEST(JpgDirSource, AHeaderClaimingAHugePictureIsRefusedBeforeItIsDecoded) {
  auto jpeg = le::test::readFile(videoPath("jpg/frame_000000.jpg"));
  size_t sof = 2;
  while (sof + 9 < jpeg.size() && !(jpeg[sof] == 0xFF && jpeg[sof + 1] == 0xC0)) ++sof;
  ASSERT_LT(sof + 9, jpeg.size());
  jpeg[sof + 5] = 8000 >> 8, jpeg[sof + 6] = 8000 & 255;  // height
  jpeg[sof + 7] = 8000 >> 8, jpeg[sof + 8] = 8000 & 255;  // width
  le::test::TempDir tmp;
  le::test::writeFile(tmp.file("frame_000000.jpg"), jpeg.data(), jpeg.size());
  struct rusage before, after;
  ::getrusage(RUSAGE_SELF, &before);
  std::vector<uint8_t> frame(size_t(kVidW) * kVidH * 3);
  EXPECT_EQ(thrownBy([&] { openJpgDir(tmp.path(), kVidNT, kVidW, kVidH)->next(frame.data()); }),
            "le_driver: " + tmp.path() + "/frame_000000.jpg is 8000x8000, the manifest says 64x48 — refusing");
  ::getrusage(RUSAGE_SELF, &after);
  // Decoding it would hold 8000 x 8000 x 3 bytes (192 MB) at once.
  EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64 * 1024) << "kB";
}

}  // namespace
}  // namespace le::driver
