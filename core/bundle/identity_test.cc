#include "core/bundle/identity.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/test_support.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <stdexcept>

#include "core/bundle/manifest.h"
#include "core/driver/driver_cursor.h"
#include "core/driver/test_videos.h"

namespace le {
namespace {

namespace fs = std::filesystem;
using namespace le::test;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// An identity-only bundle: NT frames of W x H with the given crop; members
// are filled with a per-byte pattern so that offsets show.
class IdentityBundle : public ::testing::Test {
 protected:
  static constexpr int kNT = 3, kW = 64, kH = 48, kCrop = 8;

  void writeMember(const std::string& name, size_t bytes, uint8_t salt) {
    std::vector<uint8_t> v(bytes);
    for (size_t i = 0; i < bytes; ++i) v[i] = uint8_t(i * 7 + salt + i / 4096);
    fs::create_directories(fs::path(tmp.file(name)).parent_path());
    writeFile(tmp.file(name), v.data(), v.size());
  }
  void writeM() {
    std::vector<float> m(kNT * 6);
    for (size_t i = 0; i < m.size(); ++i) m[i] = 0.1f * float(i) + 1.0f / 3.0f;
    writeFile(tmp.file("M.f32"), m.data(), m.size() * 4);
  }
  void common(const std::string& extra = "", int msrcW = 0) {
    writeManifest(tmp.path(), kNT, kW, kH, kCrop, 1, extra, msrcW);
    writeMember("pooled64.f16", kNT * 131072, 1);
    writeM();
  }
  TempDir tmp;
};

TEST_F(IdentityBundle, MappedMembersAreServedPerFrameAndMIsRescaled) {
  common("", kW / 2);
  writeMember("P.f16", size_t(kNT) * kCrop * kCrop * 6, 2);
  writeMember("fs_red.f16", kNT * 524288, 3);
  Identity id(loadManifest(tmp.path()));
  EXPECT_EQ(id.NT(), kNT);
  EXPECT_EQ(id.crop(), kCrop);
  const auto pooled = readFile(tmp.file("pooled64.f16"));
  const auto p = readFile(tmp.file("P.f16"));
  const auto fsr = readFile(tmp.file("fs_red.f16"));
  EXPECT_EQ(0, std::memcmp(id.pooled64(2), pooled.data() + 2 * 131072, 131072));
  EXPECT_EQ(0, std::memcmp(id.P(1), p.data() + kCrop * kCrop * 6, kCrop * kCrop * 6));
  EXPECT_EQ(0, std::memcmp(id.fsRed(2), fsr.data() + 2 * 524288, 524288));
  id.walkP(1);
  EXPECT_EQ(id.priorBackend(), "mmap P.f16");
  EXPECT_EQ(id.priorResidentBytes(), 0u);
  EXPECT_EQ(id.priorSeeks(), 0u);
  // Authored on a canvas half as wide: the first row doubles, the second stays.
  for (int f = 0; f < kNT; ++f) {
    for (int k = 0; k < 6; ++k) {
      const float raw = 0.1f * float(f * 6 + k) + 1.0f / 3.0f;
      EXPECT_EQ(id.M(f)[k], k < 3 ? float(double(raw) * 2.0) : raw) << f << "," << k;
    }
  }
  EXPECT_THAT(thrownBy([&] { id.pooled64(kNT); }), HasSubstr("outside [0,3)"));

  Manifest unstamped = loadManifest(tmp.path());
  unstamped.M_src_w = 0;
  EXPECT_EQ(thrownBy([&] { Identity bad(unstamped); }),
            "le::Identity: manifest carries no paste-space stamp (M_src_w/M_src_h) — refusing to paste M without "
            "knowing the space it was authored in");
}

TEST_F(IdentityBundle, ArraysOfAnyOtherSizeAreRefused) {
  common();
  writeMember("P.f16", size_t(kNT) * kCrop * kCrop * 6 + 1, 2);
  const Manifest m = loadManifest(tmp.path());
  EXPECT_EQ(thrownBy([&] { Identity id(m); }), "size mismatch " + tmp.file("P.f16"));
  writeMember("P.f16", size_t(kNT) * kCrop * kCrop * 6, 2);
  writeMember("pooled64.f16", kNT * 131072 - 2, 1);
  EXPECT_EQ(thrownBy([&] { Identity id(m); }), "size mismatch " + tmp.file("pooled64.f16"));
  writeMember("pooled64.f16", kNT * 131072, 1);
  writeFile(tmp.file("M.f32"), std::string(kNT * 24 - 4, '\0'));
  EXPECT_EQ(thrownBy([&] { Identity id(m); }), "size mismatch " + tmp.file("M.f32"));
  fs::remove(tmp.file("M.f32"));
  EXPECT_EQ(thrownBy([&] { Identity id(m); }), "cannot open " + tmp.file("M.f32"));
}

TEST_F(IdentityBundle, BundlesWithoutAUsableWarpPriorAreRefused) {
  common(", \"P_rgb\": \"rgb_prior.f16\"");
  writeMember("rgb_prior.f16", size_t(kNT) * kCrop * kCrop * 6, 2);
  Manifest m = loadManifest(tmp.path());
  EXPECT_EQ(thrownBy([&] { ensureIdentityMembers(m); }),
            "this bundle's manifest names its raw warp prior 'rgb_prior.f16' (P_rgb) but le::Identity maps the "
            "welded name P.f16 and would find nothing — it maps NOTHING silently and Identity::P(si) is then an "
            "offset from a null pointer. REFUSING rather than rendering off a prior nothing will read.");
  fs::remove(tmp.file("rgb_prior.f16"));
  EXPECT_EQ(thrownBy([&] { ensureIdentityMembers(m); }),
            "this bundle carries neither rgb_prior.f16 nor fs_red.f16, and its manifest names no P_hevc member to "
            "play one from — the renderer has no warp prior and le::Identity would hand it a null pointer. "
            "REFUSING to create a session.");
  common(", \"P_hevc\": \"prior.mkv\"");
  m = loadManifest(tmp.path());
  EXPECT_EQ(thrownBy([&] { Identity id(m); }),
            "this bundle's manifest names P_hevc 'prior.mkv' and the file is not there (" + tmp.file("prior.mkv") +
                ") — the renderer has no warp prior. REFUSING to create a session.");

  // Synthesis features alone are enough; there is then no prior to play.
  writeMember("fs_red.f16", kNT * 524288, 3);
  Identity id(m);
  EXPECT_EQ(id.priorBackend(), "none");
  EXPECT_TRUE(id.priorPath().empty());
  id.walkP(0);
  EXPECT_EQ(id.priorResidentBytes(), 0u);
}

TEST(IdentityPriorVideo, ThePriorIsDecodedFromTheCanonicalVideoMember) {
  setenv("LE_DRIVER_HWDEC", "0", 1);
  TempDir tmp;
  writeManifest(tmp.path(), kVidNT, kVidW, kVidH, kVidCrop, 1, ", \"P_hevc\": \"source_frames.hevc\"");
  writeFile(tmp.file("pooled64.f16"), std::string(size_t(kVidNT) * 131072, '\0'));
  writeFile(tmp.file("M.f32"), std::string(size_t(kVidNT) * 24, '\0'));
  fs::copy_file(videoPath("prior444.mkv"), tmp.file("source_frames.hevc"));
  Identity id(loadManifest(tmp.path()));
  EXPECT_EQ(id.priorPath(), tmp.file("source_frames.hevc"));
  EXPECT_EQ(id.priorBackend(), "none");  // not opened yet

  auto ref = driver::openPriorHevc(videoPath("prior444.mkv"), kVidNT, kVidCrop);
  std::vector<std::vector<uint8_t>> frames(6, std::vector<uint8_t>(ref->frameBytes()));
  for (auto& f : frames) ASSERT_TRUE(ref->next(f.data()));
  for (int si : {0, 1, 2, 3, 1, 2, 3, 4}) {
    id.walkP(si);
    EXPECT_EQ(0, std::memcmp(id.P(si), frames[si].data(), frames[si].size())) << si;
  }
  EXPECT_THAT(id.priorBackend(), StartsWith("hevc444/"));
  EXPECT_EQ(id.priorSeeks(), 0u);  // in order, or back within the history
  EXPECT_EQ(id.priorResidentBytes(), id.prior().residentBytes());
  EXPECT_GE(id.priorResidentBytes(), 14u * ref->frameBytes());
  unsetenv("LE_DRIVER_HWDEC");
}

}  // namespace
}  // namespace le
