#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/test_support.h"

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <stdexcept>

#include "core/bundle/manifest.h"
#include "core/driver/driver_cursor.h"
#include "core/driver/test_videos.h"
#include "le/le.h"

namespace le {
namespace {

namespace fs = std::filesystem;
using namespace le::test;
using ::testing::HasSubstr;
using ::testing::StartsWith;

class DriverOpen : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("LE_DRIVER_HWDEC", "0", 1);
    unsetenv("LE_DRIVER_PREFER_MP4");
  }
  void TearDown() override {
    unsetenv("LE_DRIVER_HWDEC");
    unsetenv("LE_DRIVER_PREFER_MP4");
  }
  TempDir tmp;
};

TEST_F(DriverOpen, TheJpegDirectoryWinsUnlessTheVideoIsPreferred) {
  writeManifest(tmp.path(), kVidNT, kVidW, kVidH, kVidCrop, 1);
  const Manifest m = loadManifest(tmp.path());
  EXPECT_THAT(thrownBy([&] { DriverCursor::open(m, 2, 11); }),
              "this bundle carries neither a populated target_frames/ nor target_frames.mp4 (" + tmp.path() +
                  "/target_frames.mp4) — there is no driver video to play. REFUSING to create a session.");

  fs::copy(videoPath("jpg"), tmp.file("target_frames"));
  fs::copy_file(videoPath("drive.mp4"), tmp.file("target_frames.mp4"));
  testing::internal::CaptureStderr();
  auto jpg = DriverCursor::open(m, 2, 11);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[le-driver] target_frames/ (raw jpg, 40 frames) — read one frame per pull\n");
  EXPECT_EQ(jpg->backend(), "jpg/stb");

  setenv("LE_DRIVER_PREFER_MP4", "1", 1);
  testing::internal::CaptureStderr();
  auto mp4 = DriverCursor::open(m, 0, -3);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_THAT(err, HasSubstr("[le-driver] LE_DRIVER_PREFER_MP4=1 — target_frames/ is populated and NOT used; "
                             "target_frames.mp4 is the member this consumer reads\n"));
  EXPECT_THAT(err, HasSubstr("[le-driver] target_frames.mp4 decoded IN PLACE (" + mp4->backend() +
                             ", 40 frames 64x48, look-ahead 1, history 0) — no frame of the driver is expanded "
                             "ahead of the paste\n"));
  EXPECT_THAT(mp4->backend(), StartsWith("mp4/libavcodec "));

  // Both play the same loop, within JPEG's loss.
  std::vector<uint8_t> a(jpg->frameBytes()), b(mp4->frameBytes());
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(jpg->pull(a.data()), i);
    ASSERT_EQ(mp4->pull(b.data()), i);
    double diff = 0;
    for (size_t k = 0; k < a.size(); ++k) diff += std::abs(int(a[k]) - int(b[k]));
    EXPECT_LT(diff / a.size(), 8.0);
  }

  // An incomplete directory does not count as populated.
  unsetenv("LE_DRIVER_PREFER_MP4");
  fs::remove(tmp.file("target_frames/frame_000039.jpg"));
  EXPECT_THAT(DriverCursor::open(m, 2, 11)->backend(), StartsWith("mp4/"));
}

TEST_F(DriverOpen, ManifestKeysRenameTheMembersAndTheVideoIsChecked) {
  writeManifest(tmp.path(), kVidNT, kVidW, kVidH, kVidCrop, 1,
                ", \"target_frames\": \"frames_hi\", \"target_frames_mp4\": \"loop.mkv\"");
  fs::copy_file(videoPath("drive_big.mp4"), tmp.file("loop.mkv"));
  const Manifest m = loadManifest(tmp.path());
  EXPECT_THAT(thrownBy([&] { DriverCursor::open(m, 2, 11); }), HasSubstr("refusing to rescale the driver"));
  fs::copy(videoPath("jpg"), tmp.file("frames_hi"));
  EXPECT_EQ(DriverCursor::open(m, 2, 11)->backend(), "jpg/stb");
}

TEST_F(DriverOpen, PriorFunctionsServeFramesAndReportEveryMisuse) {
  writeManifest(tmp.path(), kVidNT, kVidW, kVidH, kVidCrop, 1);
  le_prior* none = le_prior_open(tmp.path().c_str(), 2, 11);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(std::string(le_last_error()),
            "le_prior_open: this bundle carries neither a raw P.f16 nor P_hevc.mov (" + tmp.path() +
                "/P_hevc.mov) — there is no warp prior to play. REFUSING to create a session.");
  EXPECT_EQ(le_prior_open(nullptr, 2, 11), nullptr);
  EXPECT_STREQ(le_last_error(), "le_prior_open: NULL bundle_dir");

  fs::copy_file(videoPath("prior444.mkv"), tmp.file("P_hevc.mov"));
  testing::internal::CaptureStderr();
  le_prior* p = le_prior_open(tmp.path().c_str(), 0, -1);
  const std::string err = testing::internal::GetCapturedStderr();
  ASSERT_NE(p, nullptr) << le_last_error();
  EXPECT_THAT(err, HasSubstr("Mirelund: identity source ready — 40 frames 32x32, played straight from P_hevc.mov (" +
                             std::string(le_prior_backend(p)) + "); nothing is unpacked to disk\n"));
  EXPECT_THAT(le_prior_backend(p), StartsWith("hevc444/libavcodec "));
  const uint64_t bytes = le_prior_row_bytes(p);
  ASSERT_EQ(bytes, uint64_t(kVidCrop) * kVidCrop * 6);

  auto ref = driver::openPriorHevc(videoPath("prior444.mkv"), kVidNT, kVidCrop);
  std::vector<uint8_t> want(bytes), got(bytes);
  ref->seek(9);
  ASSERT_TRUE(ref->next(want.data()));
  EXPECT_EQ(le_prior_row(p, 9, got.data(), bytes), 1) << le_last_error();
  EXPECT_EQ(got, want);
  EXPECT_STREQ(le_last_error(), "");

  EXPECT_EQ(le_prior_row(p, 9, got.data(), bytes - 1), 0);
  EXPECT_EQ(std::string(le_last_error()),
            "le_prior_row: cap " + std::to_string(bytes - 1) + " < row bytes " + std::to_string(bytes));
  EXPECT_EQ(le_prior_row(p, kVidNT, got.data(), bytes), 0);
  EXPECT_STREQ(le_last_error(), "le_prior_row: le_driver: seek(40) outside [0,40)");
  EXPECT_EQ(le_prior_row(nullptr, 0, got.data(), bytes), 0);
  EXPECT_STREQ(le_last_error(), "le_prior_row: NULL prior/out");
  EXPECT_EQ(le_prior_row(p, 0, nullptr, bytes), 0);
  EXPECT_STREQ(le_last_error(), "le_prior_row: NULL prior/out");
  EXPECT_EQ(le_prior_row_bytes(nullptr), 0u);
  EXPECT_STREQ(le_prior_backend(nullptr), "");
  le_prior_close(p);
  le_prior_close(nullptr);
}

}  // namespace
}  // namespace le
