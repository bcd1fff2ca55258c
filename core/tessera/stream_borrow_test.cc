#include "core/tessera/stream_borrow.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "core/tessera/bank_track.h"
#include "core/tessera/carriage.h"
#include "core/tessera/member_fixture.h"
#include "core/tessera/members.h"
#include "tests/test_support.h"

namespace {

using namespace le::tessera;
using le::test::thrownBy;

TEST(StreamBorrowQuantize, HalfwayValuesGoToTheEvenByte) {
  int halfway = 0;
  for (int k = 0; k < 255; ++k) {
    const float v = (static_cast<float>(k) + 0.5f) / 255.0f;
    if (v * 255.0f != static_cast<float>(k) + 0.5f) continue;  // not exactly halfway in float
    ++halfway;
    EXPECT_EQ(StreamBorrow::quantize(v), k % 2 == 0 ? k : k + 1) << k;
  }
  EXPECT_GT(halfway, 100);
  EXPECT_EQ(StreamBorrow::quantize(0.5f / 255.0f), 0);
  EXPECT_EQ(StreamBorrow::quantize(-0.25f), 0);
  EXPECT_EQ(StreamBorrow::quantize(NAN), 0);
  EXPECT_EQ(StreamBorrow::quantize(1.5f), 255);
}

GeometryStamp smallStamp() {
  const int32_t v[12] = {16, 16, 4, 6, 8, 4, 2, 1, 3, 1, 7, 1};
  return GeometryStamp::fromArray(v);
}

TEST(StreamBorrowWriteBack, DeltaKeepsSubByteDetailAndSkipsChangeNothing) {
  const GeometryStamp s = smallStamp();
  const int side = 16;
  std::vector<float> canvas(3 * side * side, 0.7f);
  canvas[5] = 0.123456f;  // outside the window
  FrameResult r;
  r.window.assign(8 * 4 * 3, static_cast<uint8_t>(std::nearbyint(0.7f * 255.0f)));
  StreamBorrow::writeWindowDelta(canvas.data(), side, r, s);
  for (size_t i = 0; i < canvas.size(); ++i) ASSERT_EQ(canvas[i], i == 5 ? 0.123456f : 0.7f) << i;

  // One window byte raised by 10 levels moves that value by exactly 10/255.
  r.window[0] += 10;
  StreamBorrow::writeWindowDelta(canvas.data(), side, r, s);
  EXPECT_FLOAT_EQ(canvas[6 * side + 4], 0.7f + 10.0f / 255.0f);
  EXPECT_EQ(canvas[side * side + 6 * side + 4], 0.7f);

  std::vector<float> before = canvas;
  FrameResult skipped;
  skipped.skipped = true;
  skipped.reason = "empty-pi";
  StreamBorrow::writeWindowDelta(canvas.data(), side, skipped, s);
  EXPECT_EQ(std::memcmp(before.data(), canvas.data(), canvas.size() * sizeof(float)), 0);
  std::vector<uint8_t> rgba(4 * side * side, 9), rgbaBefore = rgba;
  StreamBorrow::writeWindowDeltaRgba(rgba.data(), side, skipped, s);
  EXPECT_EQ(rgba, rgbaBefore);

  StreamBorrow::writeWindowDeltaRgba(rgba.data(), side, r, s);
  EXPECT_EQ(rgba[3], 255);
  EXPECT_EQ(rgba[(6 * side + 4) * 4], r.window[0]);
  EXPECT_EQ(rgba[0], 9);

  r.window.pop_back();
  EXPECT_EQ(thrownBy([&] { StreamBorrow::writeWindowDelta(canvas.data(), side, r, s); }),
            "teeth stream: window 95 bytes does not match the stamp window 4x8 — refusing to write back");
  r.window.push_back(0);
  EXPECT_NE(thrownBy([&] { StreamBorrow::writeWindowDelta(canvas.data(), 10, r, s); }).find("escapes the 10x10 canvas"),
            std::string::npos);
}

// The generator's "ok" bundle: 6 donors on a 128 canvas, lip template with a
// lip_map, manifest pi block.
struct OkBundle {
  le::TesseraAttachInputs in;
  BankData bank;
  HeadWeights head;
  ServeConfig config;
  std::string lipTemplate;

  OkBundle() {
    const std::string dir = le::test::tesseraVariant("ok");
    in = le::loadTesseraMembers(dir);
    const std::string track = readWholeFile(in.bank_track_path);
    bank.stamp = GeometryStamp::fromArray(in.stamp.data());
    bank.n = in.n_donors;
    bank.stored = decodeBankTrack(reinterpret_cast<const uint8_t*>(track.data()), track.size(), in.n_donors,
                                  in.band_h, in.band_w, std::vector<int>(in.track_order.begin(), in.track_order.end()));
    bank.cent = in.cent;
    bank.aperture = in.aperture;
    bank.c_canon = in.c_canon;
    head = loadHeadPt(in.head_pt.data(), in.head_pt.size());
    config = ServeConfig::fromHeadMemberJson(in.head_json);
    lipTemplate = readWholeFile(dir + "/lip_template.v1.json");
  }
};

// Lip keypoints (rows 6..13) on an ellipse around (0, cy), opening with `open`.
std::vector<float> mouth(float open, float cy = 0.36f) {
  std::vector<float> kp(63, 0.0f);
  for (int k = 0; k < 8; ++k) {
    const double a = 2 * M_PI * k / 8;
    kp[3 * (6 + k)] = static_cast<float>(0.22 * std::cos(a));
    kp[3 * (6 + k) + 1] = static_cast<float>(cy + open * std::sin(a));
  }
  return kp;
}

TEST(StreamBorrow, BothMaskGeneratorsComposeTheHeldFrame) {
  OkBundle b;
  const UnifiedPi pi = UnifiedPi::fromManifestJson(b.in.manifest_json, 128);
  std::vector<uint8_t> scratch(128 * 128);
  double cx = 0, cy = 0;
  ASSERT_TRUE(pi.piU8Centroid(mouth(0.05f).data(), scratch.data(), cx, cy));
  b.bank.c_canon = {cx, cy};  // the bank's frame is this mouth

  std::vector<float> planar(3 * 128 * 128);
  for (size_t i = 0; i < planar.size(); ++i) planar[i] = static_cast<float>((i * 37) % 251) / 255.0f;
  std::vector<int> changed;
  for (const std::string& lip : {std::string(), b.lipTemplate}) {
    StreamBorrow sb(b.bank, b.head, b.config, pi, lip);
    EXPECT_EQ(sb.usesLipContour(), !lip.empty());
    EXPECT_STREQ(sb.backend(), "cpu");
    EXPECT_EQ(sb.hostSplit(nullptr), 0);
    FrameResult r;
    EXPECT_FALSE(sb.push(planar.data(), mouth(0.05f).data(), &r));
    ASSERT_TRUE(sb.push(planar.data(), mouth(0.06f).data(), &r));
    ASSERT_FALSE(r.skipped) << r.reason;
    EXPECT_EQ(r.frame_index, 0);
    std::vector<float> out = planar;
    StreamBorrow::writeWindowDelta(out.data(), 128, r, sb.stamp());
    int n = 0;
    for (size_t i = 0; i < out.size(); ++i) n += out[i] != planar[i];
    changed.push_back(n);
    EXPECT_GT(n, 0);
    // A closed mouth far off the bank's frame is skipped and changes nothing.
    std::vector<uint8_t> rgba(4 * 128 * 128, 200);
    ASSERT_TRUE(sb.pushRgba(rgba.data(), mouth(0.05f, 0.9f).data(), &r));
    ASSERT_TRUE(sb.flush(&r));
    EXPECT_TRUE(r.skipped);
    EXPECT_EQ(r.reason, "shift-out-of-range");
    std::vector<float> same = planar;
    StreamBorrow::writeWindowDelta(same.data(), 128, r, sb.stamp());
    EXPECT_EQ(same, planar);
    EXPECT_FALSE(sb.flush(&r));
  }
  // The contour only ever shrinks the pi mask.
  EXPECT_LE(changed[1], changed[0]);
}

TEST(StreamBorrow, RefusesACanvasTheStampDoesNotName) {
  OkBundle b;
  const std::string manifest = b.in.manifest_json;
  std::string other = manifest;
  other.replace(other.find("\"canvas\": 128"), 13, "\"canvas\": 96");
  const UnifiedPi pi96 = UnifiedPi::fromManifestJson(other, 96);
  EXPECT_EQ(thrownBy([&] { StreamBorrow(b.bank, b.head, b.config, pi96, ""); }),
            "teeth stream: manifest pi canvas 96 != bank compose canvas 128 — refusing to compose a mouth on a canvas "
            "the stamp does not name");
}

TEST(StreamBorrow, FactoryBuildsFromRawMemberContents) {
  OkBundle b;
  const std::vector<float> kp = mouth(0.05f);
  const std::string headJson = b.in.head_json, manifest = b.in.manifest_json;
  EXPECT_EQ(thrownBy([&] {
              makeStreamBorrow(b.bank.stored.data(), b.bank.n, b.bank.cent.data(), b.bank.c_canon.data(),
                               b.bank.aperture.data(), b.in.stamp.data(), b.in.head_pt.data(), b.in.head_pt.size(),
                               headJson, manifest, kp.data(), 0, "");
            }),
            "teeth-pi: the corpus frame is identified from the bundle's own xs_target and none was supplied — "
            "refusing to fall back to the stamped geometry, which is the GRAPH's compose field");
  std::array<int32_t, 12> stamp = b.in.stamp;
  stamp[6] = 0;
  EXPECT_EQ(thrownBy([&] {
              makeStreamBorrow(b.bank.stored.data(), b.bank.n, b.bank.cent.data(), b.bank.c_canon.data(),
                               b.bank.aperture.data(), stamp.data(), b.in.head_pt.data(), b.in.head_pt.size(),
                               headJson, manifest, kp.data(), 1, "");
            }),
            "teeth: GeometryStamp incoherent: pad/shift_margin must be positive;");

  // The bank's canonical centroid as corpus geometry v1 sees this mouth: v2
  // and v3 lie about 4 px away on this canvas, far enough to tell apart.
  const UnifiedPi v1 = UnifiedPi::fromManifestJson(manifest, 128).withLipGeom(0.05, 0.08, 0.015);
  double canon[2];
  v1.canonicalCentroid(kp.data(), 1, canon);
  StreamBorrowBuild built =
      makeStreamBorrow(b.bank.stored.data(), b.bank.n, b.bank.cent.data(), canon, b.bank.aperture.data(),
                       b.in.stamp.data(), b.in.head_pt.data(), b.in.head_pt.size(), headJson, manifest, kp.data(), 1,
                       b.lipTemplate);
  EXPECT_EQ(built.geometry, "v1");
  ASSERT_TRUE(built.borrow);
  EXPECT_TRUE(built.borrow->usesLipContour());
  EXPECT_EQ(built.borrow->side(), 128);
  FrameResult r;
  std::vector<uint8_t> rgba(4 * 128 * 128, 128);
  EXPECT_FALSE(built.borrow->pushRgba(rgba.data(), kp.data(), &r));
  ASSERT_TRUE(built.borrow->flush(&r));
  EXPECT_FALSE(r.skipped) << r.reason;
}

}  // namespace
