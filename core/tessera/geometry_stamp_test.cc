#include "core/tessera/geometry_stamp.h"

#include <gtest/gtest.h>

#include "core/tessera/serve_config.h"
#include "tests/test_support.h"

namespace {

using le::tessera::GeometryStamp;
using le::tessera::ServeConfig;
using le::test::thrownBy;

GeometryStamp good() {
  const int32_t v[12] = {128, 128, 32, 72, 64, 40, 4, 8, 32, 8, 56, 2};
  return GeometryStamp::fromArray(v);
}

std::string broken(GeometryStamp s) {
  return thrownBy([&] { s.validate(); });
}

TEST(GeometryStamp, EachRuleAloneAndSeveralAtOnce) {
  EXPECT_EQ(broken(good()), "(nothing thrown)");
  EXPECT_EQ(good().storedH(), 28);
  EXPECT_EQ(good().storedW(), 52);
  EXPECT_EQ(good().text(),
            "{canvas_w=128, canvas_h=128, window_x0=32, window_y0=72, window_w=64, window_h=40, pad=4, band_r0=8, "
            "band_r1=32, band_c0=8, band_c1=56, shift_margin=2}");
  const std::string head = "teeth: GeometryStamp incoherent:";
  struct Case {
    void (*edit)(GeometryStamp&);
    const char* text;
  };
  const Case cases[] = {
      {[](GeometryStamp& s) { s.window_h = 0; s.band_r0 = 0; s.band_r1 = 0; }, nullptr},  // several, below
      {[](GeometryStamp& s) { s.window_x0 = 65; }, " window x-range escapes canvas;"},
      {[](GeometryStamp& s) { s.window_x0 = -1; }, " window x-range escapes canvas;"},
      {[](GeometryStamp& s) { s.window_y0 = 89; }, " window y-range escapes canvas;"},
      {[](GeometryStamp& s) { s.band_r1 = 41; }, " band rows escape window;"},
      {[](GeometryStamp& s) { s.band_r1 = 40; s.shift_margin = 5; }, " stored band rows escape patch;"},
      {[](GeometryStamp& s) { s.band_r1 = 8; }, " band rows escape window;"},
      {[](GeometryStamp& s) { s.band_c0 = -1; }, " band cols escape window;"},
      {[](GeometryStamp& s) { s.band_c1 = 65; }, " band cols escape window;"},
      {[](GeometryStamp& s) { s.pad = 0; }, " pad/shift_margin must be positive;"},
      {[](GeometryStamp& s) { s.shift_margin = -1; }, " pad/shift_margin must be positive;"},
      {[](GeometryStamp& s) { s.band_r0 = 0; s.shift_margin = 5; }, " stored band rows escape patch;"},
      {[](GeometryStamp& s) { s.band_c1 = 64; s.shift_margin = 5; }, " stored band cols escape patch;"},
  };
  for (const Case& c : cases) {
    if (!c.text) continue;
    GeometryStamp s = good();
    c.edit(s);
    EXPECT_EQ(broken(s), head + c.text);
  }
  GeometryStamp s = good();
  s.window_w = 0;
  s.canvas_h = 100;
  s.pad = 0;
  EXPECT_EQ(broken(s), head +
                           " window dims must be positive; window y-range escapes canvas; band cols escape window;"
                           " pad/shift_margin must be positive; stored band cols escape patch;");
  // Extreme values do not overflow into a pass.
  s = good();
  s.window_x0 = INT32_MAX;
  EXPECT_EQ(broken(s), head + " window x-range escapes canvas;");
  // A pad that meets every other rule but whose doubling overflows an int.
  s = good();
  s.pad = 1500000000;
  EXPECT_EQ(broken(s), head + " pad exceeds the canvas;");
  s.pad = 128;
  EXPECT_NO_THROW(s.validate());
}

TEST(ServeConfig, ReadsTheV1BlocksAndRefusesTheRest) {
  const ServeConfig c = ServeConfig::fromHeadMemberJson(
      "{\"retrieval\":{\"kshort\":100.9,\"aperture_tol\":0.25,\"cut\":40,\"K\":16},"
      "\"temporal\":{\"hysteresis\":3,\"lookahead\":2},\"decode\":{\"envelope_clamp_255\":12.0000001}}");
  EXPECT_EQ(c.kshort, 100);
  EXPECT_EQ(c.aperture_tol, 0.25);
  EXPECT_EQ(c.cut, 40);
  EXPECT_EQ(c.K, 16);
  EXPECT_EQ(c.hysteresis, 3);
  EXPECT_EQ(c.lookahead, 2);
  EXPECT_EQ(c.teeth_luma_min, 100.0);
  EXPECT_EQ(c.min_teeth_pixels, 32);
  EXPECT_TRUE(c.lookahead_enabled);

  auto refusal = [](const std::string& j) { return thrownBy([&] { ServeConfig::fromHeadMemberJson(j); }); };
  const std::string temporal = "\"temporal\":{\"hysteresis\":8,\"lookahead\":8}";
  const std::string retrieval = "\"retrieval\":{\"kshort\":512,\"aperture_tol\":0.3,\"cut\":96,\"K\":64}";
  EXPECT_EQ(refusal("{" + temporal + "}"),
            "teeth: tessera_head.v1 config lacks the retrieval/temporal blocks of the v1 schema — refusing to serve "
            "defaults");
  EXPECT_EQ(refusal("{" + retrieval + ",\"temporal\":[]}"),
            "teeth: tessera_head.v1 config lacks the retrieval/temporal blocks of the v1 schema — refusing to serve "
            "defaults");
  EXPECT_EQ(refusal("{\"retrieval\":{\"kshort\":512,\"aperture_tol\":0.3,\"K\":64}," + temporal + "}"),
            "teeth: member JSON lacks key 'cut'");
  EXPECT_EQ(refusal("{" + retrieval + "," + temporal + ",\"decode\":{\"envelope_clamp_255\":12.01}}"),
            "teeth: member envelope_clamp_255 != the envelope of record (12/255) — the envelope is a gated quantity");
  EXPECT_EQ(refusal("{" + retrieval + "," + temporal + ",\"decode\":{}}"),
            "teeth: member JSON lacks key 'envelope_clamp_255'");
  // Sizes the pass allocates by are bounded.
  EXPECT_EQ(refusal("{\"retrieval\":{\"kshort\":512,\"aperture_tol\":0.3,\"cut\":96,\"K\":0}," + temporal + "}"),
            "teeth: retrieval.K=0 is outside 1..4096 — refusing to serve it");
  EXPECT_EQ(refusal("{\"retrieval\":{\"kshort\":1e300,\"aperture_tol\":0.3,\"cut\":96,\"K\":64}," + temporal + "}"),
            "teeth: retrieval.kshort=1e+300 is outside 1..4096 — refusing to serve it");
}

}  // namespace
