#include "core/bundle/drive.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/test_support.h"

#include <filesystem>
#include <functional>
#include <stdexcept>

#include "core/driver/test_videos.h"

namespace le {
namespace {

using le::test::thrownBy;

TEST(Drive, ReadsTheThreeArraysAndRefusesIndicesOutsideTheLoop) {
  le::test::TempDir tmp;
  const int nt = 5, frames = 4;
  le::test::writeManifest(tmp.path(), nt, 64, 48, 32, frames);
  std::filesystem::create_directories(tmp.file("drive"));
  std::vector<float> xs(frames * 63), xd(frames * 63);
  for (size_t i = 0; i < xs.size(); ++i) {
    xs[i] = float(i) * 0.5f;
    xd[i] = -float(i);
  }
  std::vector<int32_t> si = {0, 4, 2, 4};
  le::test::writeFile(tmp.file("drive/xs.f32"), xs.data(), xs.size() * 4);
  le::test::writeFile(tmp.file("drive/xd.f32"), xd.data(), xd.size() * 4);
  le::test::writeFile(tmp.file("drive/si.i32"), si.data(), si.size() * 4);
  const Manifest m = loadManifest(tmp.path());
  const Drive d = loadDrive(m);
  EXPECT_EQ(d.frames, frames);
  EXPECT_EQ(d.xs, xs);
  EXPECT_EQ(d.xd, xd);
  EXPECT_EQ(d.si, si);

  si[2] = nt;
  le::test::writeFile(tmp.file("drive/si.i32"), si.data(), si.size() * 4);
  EXPECT_EQ(thrownBy([&] { loadDrive(m); }), "drive: si out of range");
  si[2] = -1;
  le::test::writeFile(tmp.file("drive/si.i32"), si.data(), si.size() * 4);
  EXPECT_EQ(thrownBy([&] { loadDrive(m); }), "drive: si out of range");
  le::test::writeFile(tmp.file("drive/si.i32"), si.data(), 3 * 4);
  EXPECT_EQ(thrownBy([&] { loadDrive(m); }), "size mismatch " + tmp.file("drive/si.i32"));
  le::test::writeFile(tmp.file("drive/xd.f32"), xd.data(), xd.size() * 4 - 1);
  EXPECT_EQ(thrownBy([&] { loadDrive(m); }), "size mismatch " + tmp.file("drive/xd.f32"));
}

TEST(Drive, AFrameCountFarBeyondTheFilesIsRefusedWithoutAllocatingIt) {
  le::test::TempDir tmp;
  // 2^28 frames would be 67 GB of floats per array.
  le::test::writeManifest(tmp.path(), 5, 64, 48, 32, 1 << 28);
  std::filesystem::create_directories(tmp.file("drive"));
  std::vector<float> xs(63);
  le::test::writeFile(tmp.file("drive/xs.f32"), xs.data(), xs.size() * 4);
  EXPECT_EQ(thrownBy([&] { loadDrive(loadManifest(tmp.path())); }), "size mismatch " + tmp.file("drive/xs.f32"));
}

TEST(Drive, AFifoUnderAMemberNameIsRefusedInsteadOfWaitedOn) {
  le::test::TempDir tmp;
  le::test::writeManifest(tmp.path(), 5, 64, 48, 32, 1);
  std::filesystem::create_directories(tmp.file("drive"));
  ASSERT_EQ(::mkfifo(tmp.file("drive/xs.f32").c_str(), 0600), 0);
  EXPECT_EQ(thrownBy([&] { loadDrive(loadManifest(tmp.path())); }), "size mismatch " + tmp.file("drive/xs.f32"));
}

}  // namespace
}  // namespace le
