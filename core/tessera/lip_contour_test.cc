#include "core/tessera/lip_contour.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/tessera/carriage.h"
#include "core/tessera/member_fixture.h"

namespace le::tessera {
namespace {

constexpr int kS = 128;

std::string square(const std::string& extra = "", const std::string& feather = "6") {
  return "{\"format\":\"lip-template-v1\",\"canvas\":128,\"feather_px\":" + feather +
         ",\"u_canon\":[[-1,-1],[1,-1],[1,1],[-1,1]],\"lip_idx\":[0,1],\"edge\":\"outward\"" + extra + "}";
}

std::string refusal(const std::string& json, int canvas = kS) {
  try {
    LipContour::fromTemplateJson(json, canvas);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

// Keypoint rows 0 and 1 at canvas pixels (40, 50) and (60, 70): the square
// template deforms to the pixel rectangle [40, 60] x [50, 70].
std::vector<float> squareKp() {
  std::vector<float> kp(63, 0.0f);
  auto norm = [](double px) { return static_cast<float>(2.0 * px / kS - 1.0); };
  kp[0] = norm(40), kp[1] = norm(50), kp[3] = norm(60), kp[4] = norm(70);
  return kp;
}

TEST(LipContour, TemplateRefusalsNameTheTemplate) {
  EXPECT_EQ(refusal("{"), "lip_template.v1.json is not parseable JSON (teeth: malformed JSON object)");
  EXPECT_EQ(refusal("{\"format\":\"lip-template-v2\"}"),
            "lip_template.v1.json declares format 'lip-template-v2', not 'lip-template-v1' — this runtime cannot "
            "read it");
  EXPECT_EQ(refusal(square(), 256),
            "lip_template.v1.json was baked on a 128 canvas but this bundle composes on 256 — refusing to deform a "
            "polygon onto a canvas it does not name");
  EXPECT_NE(refusal(square("", "0")).find("feather_px"), std::string::npos);
  EXPECT_NE(refusal("{\"format\":\"lip-template-v1\",\"canvas\":128,\"feather_px\":2,\"u_canon\":[[1,2],[3]],"
                    "\"lip_idx\":[0]}")
                .find("u_canon row 1 is not a 2-vector — this is not an nv x 2 template"),
            std::string::npos);
  EXPECT_NE(refusal("{\"format\":\"lip-template-v1\",\"canvas\":128,\"feather_px\":2,\"u_canon\":[[1,2]],"
                    "\"lip_idx\":[0,21]}")
                .find("and a kd row is 0..20"),
            std::string::npos);
  EXPECT_EQ(refusal(square().replace(square().find("outward"), 7, "inward")),
            "lip_template.v1.json declares edge 'inward', and the contour feather is OUTWARD — refusing to serve a "
            "mask this runtime does not compute");
}

TEST(LipContour, LipMapChecks) {
  auto map = [](const std::string& body) { return square(",\"lip_map\":{" + body + "}"); };
  const std::string good = "\"schema\":\"lip-map-v1\",\"kind\":\"anchor-linear\",\"lip_idx\":[0,1],\"canvas\":128,";
  const std::string wRow = "[0,0,0,0]";
  std::string W = "[" + wRow + "," + wRow + "," + wRow + "," + wRow + "," + wRow + "," + wRow + "," + wRow + "," +
                  wRow + "]";
  std::string b = "[0,0,0,0,0,0,0,0]";
  EXPECT_EQ(refusal(map(good + "\"W\":" + W + ",\"b\":" + b)), "");
  EXPECT_NE(refusal(map("\"schema\":\"lip-map-v0\"")).find("lip_map declares schema 'lip-map-v0'"), std::string::npos);
  EXPECT_NE(refusal(map("\"schema\":\"lip-map-v1\",\"kind\":\"affine\"")).find("anchor-linear"), std::string::npos);
  EXPECT_NE(refusal(map(good + "\"W\":[]")).find("lip_map carries no W/b arrays"), std::string::npos);
  EXPECT_NE(refusal(map(good + "\"W\":" + W + ",\"b\":[0,0,0,0,0,0,0,1e999]")).find("non-finite coefficient"),
            std::string::npos);
  std::string nine = good;
  nine.replace(nine.find("[0,1]"), 5, "[0,1,2,3,4,5,6,7,8]");
  EXPECT_NE(refusal(map(nine + "\"W\":" + W + ",\"b\":" + b)).find("lip_map lip_idx is not 1..8 kd rows"),
            std::string::npos);
  EXPECT_NE(refusal(map(good + "\"W\":[" + wRow + "],\"b\":" + b)).find("lip_map W/b have 1 rows, not 2*nv=8"),
            std::string::npos);
  std::string narrow = W;
  narrow.replace(narrow.rfind(wRow), wRow.size(), "[0,0]");
  EXPECT_NE(refusal(map(good + "\"W\":" + narrow + ",\"b\":" + b)).find("lip_map W row 7 is not 4 wide"),
            std::string::npos);
  std::string other = good;
  other.replace(other.find("128"), 3, "256");
  EXPECT_NE(refusal(map(other + "\"W\":" + W + ",\"b\":" + b)).find("fitted on another canvas"), std::string::npos);
}

TEST(LipContour, EdgePixelsAreFullAndOneFeatherOutIsZero) {
  LipContour lc = LipContour::fromTemplateJson(square(), kS);
  std::vector<float> kp = squareKp();
  std::vector<float> out(kS * kS, -1.0f);
  lc.contourF32Canvas(kp.data(), out.data());
  auto at = [&](int x, int y) { return out[static_cast<size_t>(y) * kS + static_cast<size_t>(x)]; };
  // Every outline pixel, the bottom and right edges included.
  for (int i = 40; i <= 60; ++i) {
    EXPECT_EQ(at(i, 50), 1.0f) << i;
    EXPECT_EQ(at(i, 70), 1.0f) << i;
    EXPECT_EQ(at(40, 50 + i - 40), 1.0f);
    EXPECT_EQ(at(60, 50 + i - 40), 1.0f);
  }
  EXPECT_EQ(at(50, 60), 1.0f);
  // One pixel out: chamfer distance 0.955 of a 6 px feather.
  const float u = 1.0f - 0.955f / 6.0f;
  EXPECT_NEAR(at(61, 60), (3 - 2 * u) * u * u, 1e-6);
  EXPECT_NEAR(at(61, 71), [] { float d = 1.0f - 1.3693f / 6.0f; return (3 - 2 * d) * d * d; }(), 1e-6);
  // Seven axial steps (6.685 px) are past the feather radius.
  EXPECT_EQ(at(67, 60), 0.0f);
  EXPECT_EQ(at(33, 60), 0.0f);
  EXPECT_EQ(at(50, 77), 0.0f);
  EXPECT_GT(at(66, 60), 0.0f);  // 5.73 px: still inside the feather
  EXPECT_EQ(at(0, 0), 0.0f);
  EXPECT_EQ(at(kS - 1, kS - 1), 0.0f);
}

TEST(LipContour, CollapsedKeypointsCollapseThePolygonToItsCentroid) {
  LipContour lc = LipContour::fromTemplateJson(square(), kS);
  std::vector<float> kp(63, 0.0f);  // rows 0 and 1 both at the canvas centre
  std::vector<double> verts;
  lc.polygon(kp.data(), verts);
  ASSERT_EQ(verts.size(), 8u);
  for (double v : verts) EXPECT_NEAR(v, 64.0, 1.1e-6);
  std::vector<float> out(kS * kS);
  lc.contourF32Canvas(kp.data(), out.data());
  EXPECT_EQ(out[64 * kS + 64], 1.0f);
  EXPECT_LT(out[64 * kS + 66], 1.0f);
}

TEST(LipContour, AnchorLinearMapPlacesVerticesFromTheKeypoints) {
  // x of every vertex follows row 1's offset from the centroid; y is b only.
  const std::string W = "[[0,0,1,0],[0,0,0,0],[0,0,1,0],[0,0,0,0],[0,0,1,0],[0,0,0,0],[0,0,1,0],[0,0,0,0]]";
  LipContour lc = LipContour::fromTemplateJson(
      square(",\"lip_map\":{\"schema\":\"lip-map-v1\",\"kind\":\"anchor-linear\",\"lip_idx\":[0,1],\"canvas\":128,"
             "\"W\":" + W + ",\"b\":[-5,-3,5,-3,5,3,-5,3]}"),
      kS);
  ASSERT_TRUE(lc.hasMap());
  std::vector<double> verts;
  std::vector<float> kp = squareKp();  // centroid (50, 60); row 1 is 10 px right of it
  lc.polygon(kp.data(), verts);
  const std::vector<double> want = {55, 57, 65, 57, 65, 63, 55, 63};
  for (size_t i = 0; i < want.size(); ++i) EXPECT_NEAR(verts[i], want[i], 1e-9) << i;
}

TEST(LipContour, DeliveredMaskNeverExceedsThePi) {
  const std::string manifest =
      "{\"unified\":{\"crop\":{\"canvas\":128},\"pi\":{\"mode\":\"prop\",\"corner_recovery\":true,"
      "\"lip_idx\":[0,1],\"lip_geom_params\":[0.05,0.08,0.015]}}}";
  UnifiedPi pi = UnifiedPi::fromManifestJson(manifest, kS);
  LipContour lc = LipContour::fromTemplateJson(square(), kS);
  std::vector<float> kp = squareKp();
  std::vector<uint8_t> piMask(kS * kS), delivered(kS * kS), shifted(kS * kS);
  pi.piU8(kp.data(), piMask.data());
  ASSERT_TRUE(lc.deliveredU8(kp.data(), pi, delivered.data()));
  int covered = 0;
  for (int p = 0; p < kS * kS; ++p) {
    ASSERT_LE(delivered[p], piMask[p] + 1) << p;  // min taken before rounding
    covered += delivered[p] > 0;
  }
  EXPECT_GT(covered, 100);
  double c[2];
  ASSERT_TRUE(pi.piU8Centroid(kp.data(), piMask.data(), c[0], c[1]));
  int dy = 9, dx = 9;
  ASSERT_TRUE(lc.deliveredU8AndShift(kp.data(), pi, c, shifted.data(), dy, dx));
  EXPECT_EQ(dy, 0);
  EXPECT_EQ(dx, 0);
  for (int p = 0; p < kS * kS; ++p) ASSERT_LE(std::abs(shifted[p] - delivered[p]), 1) << p;
}

TEST(LipContour, GeneratedTemplatesLoadWithAndWithoutMap) {
  std::string withMap = readWholeFile(test::tesseraVariant("ok") + "/lip_template.v1.json");
  std::string plain = readWholeFile(test::tesseraVariant("no_lip_map") + "/lip_template.v1.json");
  EXPECT_TRUE(LipContour::fromTemplateJson(withMap, kS).hasMap());
  EXPECT_FALSE(LipContour::fromTemplateJson(plain, kS).hasMap());
  EXPECT_THROW(LipContour::fromTemplateJson(plain, 256), std::runtime_error);
}

}  // namespace
}  // namespace le::tessera
