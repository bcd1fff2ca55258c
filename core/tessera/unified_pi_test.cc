#include "core/tessera/unified_pi.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace le::tessera {
namespace {

constexpr int kS = 128;
const std::vector<int> kLip = {6, 7, 8, 9};

std::string manifest(const std::string& pi, int canvas = kS) {
  return "{\"format\":\"le-bundle-v0\",\"unified\":{\"crop\":{\"canvas\":" + std::to_string(canvas) +
         "},\"pi\":" + pi + "}}";
}

std::string piBlock(const std::string& corner = "false", const std::string& geom = "[0.05, 0.08, 0.015]",
                    const std::string& lip = "[6,7,8,9]", const std::string& mode = "\"prop\"") {
  return "{\"mode\":" + mode + ",\"corner_recovery\":" + corner + ",\"lip_idx\":" + lip +
         ",\"lip_geom_params\":" + geom + "}";
}

std::string refusal(const std::string& json, int canvas = kS) {
  try {
    UnifiedPi::fromManifestJson(json, canvas);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

// A mouth centred at (cx, cy): corners at +-halfW, lips at +-halfH.
std::vector<float> mouth(float cx, float cy, float halfW, float halfH) {
  std::vector<float> kp(63, 0.0f);
  const float pts[4][2] = {{cx - halfW, cy}, {cx + halfW, cy}, {cx, cy - halfH}, {cx, cy + halfH}};
  for (int k = 0; k < 4; ++k) {
    kp[3 * kLip[k]] = pts[k][0];
    kp[3 * kLip[k] + 1] = pts[k][1];
  }
  return kp;
}

TEST(UnifiedPi, ManifestRefusalsCarryTheirMessages) {
  EXPECT_EQ(refusal("{\"format\":\"le-bundle-v0\"}"),
            "teeth-pi: manifest has no `unified` block — this bundle predates the unified compose and cannot state "
            "the pi geometry it was baked with; refusing to guess one");
  EXPECT_EQ(refusal("{\"unified\":{}}"), "teeth: member JSON lacks key 'pi'");
  EXPECT_EQ(refusal(manifest(piBlock("false", "[0,0,0]", "[6]", "3"))), "teeth-pi: unified.pi.mode is not a string");
  EXPECT_EQ(refusal(manifest(piBlock("false", "[0,0,0]", "[6]", "\"ellipse\""))),
            "teeth-pi: unified.pi.mode 'ellipse' is a compose-mask geometry this port cannot name — fail loud, never "
            "adapt (the stamped-geometry rule)");
  EXPECT_EQ(refusal(manifest(piBlock("\"lip_landmark\""))),
            "teeth-pi: unknown unified.pi.corner_recovery — a compose-mask geometry a consumer cannot name must "
            "never be guessed");
  EXPECT_EQ(refusal(manifest(piBlock("false", "[0,0,0]", "[]"))),
            "teeth-pi: unified.pi.lip_idx is not a non-empty array");
  EXPECT_EQ(refusal(manifest(piBlock("false", "[0,0,0]", "[6, 21]"))),
            "teeth-pi: unified.pi.lip_idx names a row outside 0..20");
  EXPECT_EQ(refusal(manifest(piBlock("false", "[0,0]"))),
            "teeth-pi: unified.pi.lip_geom_params must be [pad_x, pad_y, down]");
  EXPECT_EQ(refusal(manifest(piBlock(), 256)), "teeth-pi: engine renders at canvas 128 but unified.crop.canvas is 256");
  EXPECT_EQ(refusal(manifest(piBlock())), "");
  EXPECT_TRUE(UnifiedPi::fromManifestJson(manifest(piBlock("\"lip_landmark_half\"")), kS).cornerRecovery());
  EXPECT_TRUE(UnifiedPi::fromManifestJson(manifest(piBlock("true")), kS).cornerRecovery());
}

TEST(UnifiedPi, ClosedMouthHasNoTeethGateSoPiIsTheLipEllipse) {
  UnifiedPi pi = UnifiedPi::fromManifestJson(manifest(piBlock()), kS);
  std::vector<float> kp = mouth(0.0f, 0.25f, 0.2f, 0.015f);  // vertical spread below 0.02
  std::vector<float> gate(kS * kS), lip(kS * kS);
  pi.propTeethGate(kp.data(), gate.data());
  for (float v : gate) ASSERT_EQ(v, 0.0f);
  pi.lipMask(kp.data(), lip.data());
  std::vector<uint8_t> u8(kS * kS);
  pi.piU8(kp.data(), u8.data());
  for (int p = 0; p < kS * kS; ++p) ASSERT_EQ(u8[p], maskByte(lip[p])) << p;

  std::vector<float> open = mouth(0.0f, 0.2f, 0.2f, 0.05f);
  pi.propTeethGate(open.data(), gate.data());
  float peak = 0;
  for (float v : gate) peak = std::max(peak, v);
  EXPECT_EQ(peak, 1.0f);  // fully on from a spread of 0.03
}

TEST(UnifiedPi, CollapsedKeypointsFallBackToTheRadiusFloors) {
  UnifiedPi pi = UnifiedPi::fromManifestJson(manifest(piBlock("false", "[0,0,0]")), kS);
  std::vector<float> kp = mouth(0.1f, 0.2f, 0.0f, 0.0f);
  Ellipse lip = pi.lipParams(kp.data());
  EXPECT_DOUBLE_EQ(lip.rx, 0.1);
  EXPECT_DOUBLE_EQ(lip.ry, 0.1);
  double g = 1;
  Ellipse gate = pi.gateParams(kp.data(), g);
  EXPECT_DOUBLE_EQ(gate.rx, 0.004);
  EXPECT_EQ(g, 0.0);
  std::vector<uint8_t> u8(kS * kS);
  double cx, cy;
  ASSERT_TRUE(pi.piU8Centroid(kp.data(), u8.data(), cx, cy));
  EXPECT_NEAR(cx, (0.1 + 1) * kS / 2, 0.5);
  EXPECT_NEAR(cy, (0.2 + 1) * kS / 2, 0.5);
}

TEST(UnifiedPi, CornerRecoveryGrowsTheEllipseOverEveryLipKeypoint) {
  // A wide, nearly closed mouth with the ellipse moved well down: its corners
  // fall outside the plain ellipse.
  const std::string geom = "[0.1, 0.08, 0.074]";
  UnifiedPi plain = UnifiedPi::fromManifestJson(manifest(piBlock("false", geom)), kS);
  UnifiedPi recovered = UnifiedPi::fromManifestJson(manifest(piBlock("\"lip_landmark_half\"", geom)), kS);
  std::vector<float> kp = mouth(0.0f, 0.0f, 38.0f / 128.0f, 0.01f);
  std::vector<float> a(kS * kS), b(kS * kS);
  plain.lipMask(kp.data(), a.data());
  recovered.lipMask(kp.data(), b.data());
  const int corner = 64 * kS + 83;  // pixel of the right corner keypoint
  EXPECT_EQ(a[corner], 0.0f);
  EXPECT_GT(b[corner], 0.0f);
  for (int p = 0; p < kS * kS; ++p) ASSERT_GE(b[p], a[p] - 1e-6f);
}

TEST(UnifiedPi, ByteMasksRoundHalfToEven) {
  EXPECT_EQ(maskByte(-0.5f), 0);
  EXPECT_EQ(maskByte(std::nanf("")), 0);
  EXPECT_EQ(maskByte(2.0f), 255);
  EXPECT_EQ(maskByte(0.5f), 128);  // 127.5 -> 128
  // Find floats whose product with 255 is exactly 126.5 and 125.5.
  for (float half : {126.5f, 125.5f}) {
    float v = half / 255.0f;
    for (int k = 0; k < 64 && v * 255.0f != half; ++k) v = std::nextafter(v, v * 255.0f < half ? 1.0f : 0.0f);
    ASSERT_EQ(v * 255.0f, half);
    EXPECT_EQ(maskByte(v), 126);  // 126.5 down, 125.5 up: both to the even 126
  }
}

TEST(UnifiedPi, ShiftIsTheRoundedCentroidOffset) {
  UnifiedPi pi = UnifiedPi::fromManifestJson(manifest(piBlock("true")), kS);
  std::vector<float> kp = mouth(0.0f, 0.1f, 0.15f, 0.04f);
  std::vector<uint8_t> u8(kS * kS);
  double c[2];
  ASSERT_TRUE(pi.piU8Centroid(kp.data(), u8.data(), c[0], c[1]));
  std::vector<float> moved = kp;
  for (int r : kLip) {
    moved[3 * r] += 8.0f / kS;        // 4 px right
    moved[3 * r + 1] -= 6.0f / kS;    // 3 px up
  }
  int dy = 0, dx = 0;
  ASSERT_TRUE(pi.piU8AndShift(moved.data(), c, u8.data(), dy, dx));
  EXPECT_EQ(dx, 4);
  EXPECT_EQ(dy, -3);
  std::vector<float> nan(63, std::nanf(""));
  EXPECT_FALSE(pi.piU8AndShift(nan.data(), c, u8.data(), dy, dx));
  for (uint8_t v : u8) ASSERT_EQ(v, 0);
}

TEST(UnifiedPi, CorpusGeometryIsPickedByCentroidOrRefused) {
  constexpr int S = 256;
  const std::string json = manifest(piBlock("true", "[0.10, 0.08, 0.074]"), S);
  UnifiedPi base = UnifiedPi::fromManifestJson(json, S);
  std::vector<float> xs;
  for (int t = 0; t < 3; ++t) {
    std::vector<float> kp = mouth(0.01f * t, 0.1f, 0.15f, 0.01f + 0.02f * t);
    xs.insert(xs.end(), kp.begin(), kp.end());
  }
  double v1[2];
  base.withLipGeom(0.05, 0.08, 0.015).canonicalCentroid(xs.data(), 3, v1);
  std::string name;
  UnifiedPi picked = UnifiedPi::corpusFromManifestJson(json, S, xs.data(), 3, v1, &name);
  EXPECT_EQ(name, "v1");
  EXPECT_DOUBLE_EQ(picked.down(), 0.015);

  // v2 and v3 differ only in pad_x: a symmetric mouth cannot tell them apart.
  double v2[2];
  base.withLipGeom(0.10, 0.08, 0.074).canonicalCentroid(xs.data(), 3, v2);
  try {
    UnifiedPi::corpusFromManifestJson(json, S, xs.data(), 3, v2, nullptr);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("teeth-pi: corpus pi geometry is AMBIGUOUS (best two within 3.00px) — v2=0.00px", 0), 0u)
        << e.what();
  }
  const double far[2] = {10.0, 20.0};
  try {
    UnifiedPi::corpusFromManifestJson(json, S, xs.data(), 3, far, nullptr);
    FAIL();
  } catch (const std::runtime_error& e) {
    std::string m = e.what();
    EXPECT_EQ(m.rfind("teeth-pi: no corpus pi geometry matches this bank's c_canon (10.00, 20.00) within 8.00px — v", 0), 0u) << m;
    EXPECT_NE(m.find("px — the bank's pi frame is unknown and donors will NOT be placed against a frame nobody can name"),
              std::string::npos);
  }
  EXPECT_THROW(UnifiedPi::corpusFromManifestJson(json, S, nullptr, 3, v1, nullptr), std::runtime_error);
  std::vector<float> nan(63, std::nanf(""));
  try {
    base.canonicalCentroid(nan.data(), 1, v2);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "teeth-pi: pi is empty on every source frame — cannot derive the canonical centroid this "
                           "bundle's frame is identified by");
  }
}

}  // namespace
}  // namespace le::tessera
