// The generated bundles as the engine sees them: its own loaders, frame
// sources and compositor read a tiny bundle, and the generator's damage
// options are refused where they should be.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <vector>

#include "core/bundle/drive.h"
#include "core/bundle/identity.h"
#include "core/bundle/manifest.h"
#include "core/driver/driver_cursor.h"
#include "core/foundation/half.h"
#include "core/paste/paste.h"
#include "tests/test_support.h"

namespace le {
namespace {

using ::testing::HasSubstr;

using le::test::thrownBy;

class GeneratedBundle : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("LE_DRIVER_HWDEC", "0", 1);
    unsetenv("LE_DRIVER_PREFER_MP4");
  }
  void TearDown() override {
    unsetenv("LE_DRIVER_HWDEC");
    unsetenv("LE_DRIVER_PREFER_MP4");
  }
  // One bundle per test program, generated here rather than taken from the
  // shared fixture directory, which the fixture may be rewriting meanwhile.
  static void SetUpTestSuite() {
    tmp_ = new test::TempDir();
    test::runGenerator({"--preset", "tiny", "--out", tmp_->file("tiny"), "--quiet", "--imx", tmp_->file("tiny.imx")});
  }
  static void TearDownTestSuite() {
    delete tmp_;
    tmp_ = nullptr;
  }
  std::vector<uint8_t> allFrames(DriverCursor& cursor) {
    std::vector<uint8_t> out(cursor.frameBytes() * cursor.NT());
    for (int i = 0; i < cursor.NT(); ++i) cursor.pullAt(i, out.data() + cursor.frameBytes() * i);
    return out;
  }
  static test::TempDir* tmp_;
  const std::string dir = tmp_->file("tiny");
};

test::TempDir* GeneratedBundle::tmp_ = nullptr;

TEST_F(GeneratedBundle, LoadsWithEveryMemberTheSizeTheManifestImplies) {
  const Manifest m = loadManifest(dir);
  EXPECT_EQ(m.W, 160);
  EXPECT_EQ(m.H, 120);
  EXPECT_EQ(m.crop, 64);
  EXPECT_EQ(m.NT, 12);
  EXPECT_EQ(m.frames, 12);
  EXPECT_EQ(m.M_src_w, 160);
  EXPECT_EQ(m.M_src_h, 120);
  EXPECT_FLOAT_EQ(m.unsharp.amount, 0.8f);
  EXPECT_EQ(m.unsharp.ksize, 9);
  EXPECT_THAT(m.lipTemplateJson, HasSubstr("\"lip-template-v1\""));
  Identity id(m);
  EXPECT_EQ(id.priorBackend(), "mmap P.f16");
  EXPECT_TRUE(id.hasFsRed());
  const Drive drive = loadDrive(m);
  ASSERT_EQ(drive.frames, 12);
  for (int i = 0; i < drive.frames; ++i) EXPECT_EQ(drive.si[i], i);
}

TEST_F(GeneratedBundle, JpegDirectoryAndMp4CarryTheSameFrames) {
  const Manifest m = loadManifest(dir);
  const auto jpg = allFrames(*DriverCursor::open(m, 2, 11));
  setenv("LE_DRIVER_PREFER_MP4", "1", 1);
  const auto mp4 = allFrames(*DriverCursor::open(m, 2, 11));
  ASSERT_EQ(jpg.size(), mp4.size());
  double err = 0;
  for (size_t i = 0; i < jpg.size(); ++i) err += std::abs(int(jpg[i]) - int(mp4[i]));
  EXPECT_LT(err / jpg.size(), 3.0);
}

TEST_F(GeneratedBundle, PriorVideoDecodesToTheRawPrior) {
  const Manifest m = loadManifest(dir);
  Identity id(m);
  auto prior = DriverCursor::openPrior(m, 2, 11);
  const size_t n = size_t(m.crop) * m.crop * 3;
  std::vector<float> raw(n), video(n);
  for (int si = 0; si < m.NT; ++si) {
    int got = -1;
    const auto* bytes = prior->pullAt(si, &got);
    halfToFloat(reinterpret_cast<const uint16_t*>(bytes), video.data(), n);
    halfToFloat(id.P(si), raw.data(), n);
    double err = 0;
    for (size_t i = 0; i < n; ++i) err += std::abs(raw[i] - video[i]);
    EXPECT_LT(err / n, 2.0 / 255) << "frame " << si;
  }
}

// The bundle's own crop, pasted through its M without sharpening, lands back
// on the face it was cut from.
TEST_F(GeneratedBundle, PastingThePriorThroughMReproducesTheDrivingFrame) {
  const Manifest m = loadManifest(dir);
  Identity id(m);
  auto cursor = DriverCursor::open(m, 2, 11);
  const auto maskBytes = test::readFile(dir + "/mask_512.u8");
  const std::vector<uint8_t> mask(maskBytes.begin(), maskBytes.end());
  Unsharp none;
  none.amount = 0;
  none.ksize = 1;
  Paste paste(mask, m.crop, none);
  const size_t n = size_t(m.crop) * m.crop * 3;
  std::vector<float> planes(n);
  std::vector<uint8_t> frame(cursor->frameBytes()), pasted;
  for (int si : {0, 5, 11}) {
    cursor->pullAt(si, frame.data());
    halfToFloat(id.P(si), planes.data(), n);
    for (int wrong : {0, 1}) {
      pasted = frame;
      paste.composite(planes.data(), 255.0f, id.M(wrong ? (si + 6) % m.NT : si), pasted.data(), m.W, m.H);
      double err = 0;
      size_t changed = 0;
      for (size_t i = 0; i < frame.size(); ++i) {
        err += std::abs(int(frame[i]) - int(pasted[i]));
        changed += frame[i] != pasted[i];
      }
      ASSERT_GT(changed, size_t(m.crop) * m.crop);  // the paste did happen
      if (wrong)
        EXPECT_GT(err / changed, 8.0) << "frame " << si << ": another frame's M must miss";
      else
        EXPECT_LT(err / changed, 4.0) << "frame " << si;
    }
  }
}

TEST_F(GeneratedBundle, PackedContainerUnwrapsToTheSameBundle) {
  unsetenv("LE_IMX_UNWRAP_ROOT");
  const Manifest m = loadManifest(tmp_->file("tiny.imx"));
  EXPECT_EQ(m.dir, tmp_->file("tiny.lebundle"));
  EXPECT_EQ(m.NT, 12);
  Identity packed(m);
  Identity plain(loadManifest(dir));
  for (int si = 0; si < m.NT; ++si)
    for (int k = 0; k < 6; ++k) EXPECT_EQ(packed.M(si)[k], plain.M(si)[k]);
  EXPECT_EQ(test::readFile(m.dir + "/target_frames.mp4"), test::readFile(dir + "/target_frames.mp4"));
  EXPECT_EQ(allFrames(*DriverCursor::open(m, 2, 11)), allFrames(*DriverCursor::open(loadManifest(dir), 2, 11)));
}

TEST_F(GeneratedBundle, DamageOptionsAreRefusedByTheLoaders) {
  test::TempDir tmp;
  const std::string bad = tmp.file("bad");
  test::runGenerator({"--preset", "tiny", "--out", bad, "--quiet", "--damage", "P.f16=short", "--damage",
                      "drive/si.i32=range", "--omit", "target_frames", "--damage", "target_frames.mp4=fewer",
                      "--damage", "P_hevc.mov=yuv420p"});
  const Manifest m = loadManifest(bad);
  EXPECT_THAT(thrownBy([&] { Identity id(m); }), HasSubstr("size mismatch"));
  EXPECT_THAT(thrownBy([&] { loadDrive(m); }), HasSubstr("si out of range"));
  EXPECT_THAT(thrownBy([&] { DriverCursor::open(m, 2, 11); }), HasSubstr("carries 11 frames"));
  EXPECT_THAT(thrownBy([&] {
                auto prior = DriverCursor::openPrior(m, 2, 11);
                std::vector<uint8_t> row(prior->frameBytes());
                prior->pullAt(0, row.data());
              }),
              HasSubstr("not the yuv444p a warp prior is authored in"));
}

}  // namespace
}  // namespace le
