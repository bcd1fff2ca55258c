#include "core/tessera/bank_track.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "core/tessera/member_fixture.h"
#include "tests/test_support.h"

namespace {

using le::tessera::decodeBankTrack;
using le::test::thrownBy;
using Bytes = std::vector<uint8_t>;

// The generator's reference tracks: kN donors of kH x kW, donor d's pixel
// (y, x) = (10 + 40 d, 8 x, 8 y), written in kOrder.
constexpr int kN = 5, kH = 12, kW = 16;
const std::vector<int> kOrder = {3, 0, 4, 1, 2};

Bytes track(const std::string& name) {
  auto v = le::test::readFile(le::test::tesseraVariant("tracks") + "/" + name);
  return Bytes(v.begin(), v.end());
}

std::string refusal(const Bytes& b, int n, int h, int w, const std::vector<int>& order) {
  return thrownBy([&] { decodeBankTrack(b.data(), b.size(), n, h, w, order); });
}

TEST(BankTrack, DecodesEveryDonorIntoItsSlotExactly) {
  for (const char* name : {"ok.mp4", "ok.mkv"}) {
    SCOPED_TRACE(name);
    const Bytes t = track(name);
    const Bytes out = decodeBankTrack(t.data(), t.size(), kN, kH, kW, kOrder);
    ASSERT_EQ(out.size(), size_t{kN} * kH * kW * 3);
    int wrong = 0;
    for (int d = 0; d < kN; ++d)
      for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
          const uint8_t* p = out.data() + ((size_t(d) * kH + y) * kW + x) * 3;
          wrong += p[0] != 10 + 40 * d || p[1] != 8 * x || p[2] != 8 * y;
        }
    EXPECT_EQ(wrong, 0);
  }
  EXPECT_FALSE(std::string(le::tessera::bankDecoderBuild()).empty());
}

TEST(BankTrack, RefusesBadArgumentsBeforeOpeningTheTrack) {
  const Bytes t = track("ok.mp4");
  EXPECT_EQ(refusal(Bytes(), kN, kH, kW, kOrder), "reference bank track is empty — refusing to serve");
  EXPECT_EQ(refusal(t, kN, 0, kW, kOrder), "reference bank geometry is not positive — refusing to serve");
  EXPECT_EQ(refusal(t, kN, kH, -1, kOrder), "reference bank geometry is not positive — refusing to serve");
  EXPECT_EQ(refusal(t, kN, kH, kW, {0, 1, 2}),
            "reference bank sidecar track_order has 3 entries, expected 5 — sidecar/track mismatch, refusing to serve");
  EXPECT_EQ(refusal(t, kN, kH, kW, {0, 1, 2, 3, 5}), "reference bank track_order is out of range — refusing to serve");
  EXPECT_EQ(refusal(t, kN, kH, kW, {0, 1, 2, 3, -1}), "reference bank track_order is out of range — refusing to serve");
  EXPECT_EQ(refusal(t, kN, kH, kW, {0, 1, 2, 1, 4}), "reference bank track_order is not a permutation — refusing to serve");
}

TEST(BankTrack, RefusesTracksThatDisagreeWithTheSidecar) {
  EXPECT_EQ(refusal(Bytes(4096, 0x5a), kN, kH, kW, kOrder),
            "reference bank track is not a readable container — refusing to serve");
  const Bytes ok = track("ok.mp4");
  EXPECT_EQ(refusal(ok, kN, kH, kW + 2, kOrder),
            "reference bank track is 16x12, the geometry stamp says 18x12 — geometry mismatch, refusing to serve");
  EXPECT_EQ(refusal(ok, 6, kH, kW, {0, 1, 2, 3, 4, 5}),
            "bank track decoded to 5 frames, expected 6 — geometry/N mismatch, refusing to serve");
  EXPECT_EQ(refusal(ok, 4, kH, kW, {0, 1, 2, 3}),
            "bank track carries more frames than the sidecar's n_donors — sidecar/track mismatch, refusing to serve");
  // Six frames, the sixth wider: with five donors the extra frame is refused
  // before it is decoded (its size is never looked at); with six the size
  // change is what stops it.
  const Bytes extra = track("extra_resized.mkv");
  EXPECT_EQ(refusal(extra, kN, kH, kW, kOrder),
            "bank track carries more frames than the sidecar's n_donors — sidecar/track mismatch, refusing to serve");
  EXPECT_EQ(refusal(extra, 6, kH, kW, {0, 1, 2, 3, 4, 5}),
            "reference bank frame changed size mid-track — refusing to serve");
  // A sidecar asking for 1024 donors of 16384 x 16384 (824 GB) meets the
  // track's real size before anything that large is allocated.
  std::vector<int> many(1024);
  for (int i = 0; i < 1024; ++i) many[size_t(i)] = i;
  EXPECT_EQ(refusal(ok, 1024, 16384, 16384, many),
            "reference bank track is 16x12, the geometry stamp says 16384x16384 — geometry mismatch, refusing to serve");
}

TEST(BankTrack, APlaylistInPlaceOfTheTrackIsNotFollowed) {
  // FFmpeg's concat format would decode the file the playlist names, here a
  // good track beside the working directory.
  char* was = ::getcwd(nullptr, 0);
  ASSERT_EQ(::chdir(le::test::tesseraVariant("tracks").c_str()), 0);
  const std::string list = "ffconcat version 1.0\nfile 'ok.mp4'\n";
  const std::string got = refusal(Bytes(list.begin(), list.end()), kN, kH, kW, kOrder);
  EXPECT_EQ(::chdir(was), 0);
  std::free(was);
  EXPECT_EQ(got, "reference bank track is not a readable container — refusing to serve");
}

}  // namespace
