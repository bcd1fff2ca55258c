#include "core/audio/a2x_tables.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace le::a2x {
namespace {

TEST(A2xMetaScanner, ReadsTheFirstOccurrenceAfterItsColon) {
  int v = -7;
  EXPECT_TRUE(metaInt("{\"h\": 128, \"h\": 3}", "h", v));
  EXPECT_EQ(v, 128);
  EXPECT_TRUE(metaInt("{\"left\"  :\n -4}", "left", v));
  EXPECT_EQ(v, -4);
  EXPECT_TRUE(metaInt("{\"width\": true}", "width", v));
  EXPECT_EQ(v, 1);
  EXPECT_TRUE(metaInt("{\"width\":false}", "width", v));
  EXPECT_EQ(v, 0);
  EXPECT_TRUE(metaInt("{\"h\": 99999999999999}", "h", v));
  EXPECT_EQ(v, INT_MAX);
  v = 5;
  EXPECT_FALSE(metaInt("{\"h\" 12}", "h", v));      // no colon
  EXPECT_FALSE(metaInt("{\"h\": \"12\"}", "h", v));  // not a number
  EXPECT_FALSE(metaInt("{\"hh\": 12}", "h", v));
  EXPECT_FALSE(metaInt("{\"h\":", "h", v));
  EXPECT_EQ(v, 5);
}

TEST(A2xMetaScanner, MetaDefaultsAndRefusals) {
  const Meta m = parseMeta("{\"window\": 2, \"left\": 0}");
  EXPECT_EQ(m.h, 256);
  EXPECT_EQ(m.layers, 6);
  EXPECT_EQ(m.width, 0);
  EXPECT_EQ(m.silencePrime, 0);
  EXPECT_EQ(m.window, 2);
  EXPECT_EQ(parseMeta("{\"window\": 2, \"left\": 0, \"width\": 5}").width, 1);
  const std::string lacks = "meta lacks causal window/left (not a streaming a2x)";
  EXPECT_EQ(test::thrownBy([] { parseMeta("{\"window\": 2}"); }), lacks);
  EXPECT_EQ(test::thrownBy([] { parseMeta("{\"window\": 2, \"left\": -1}"); }), lacks);
  EXPECT_EQ(test::thrownBy([] { parseMeta("{\"window\": 1, \"left\": 1, \"h\": 0}"); }),
            "a2x_meta.json h 0 is outside 1..65536");
  EXPECT_EQ(test::thrownBy([] { parseMeta("{\"window\": 99999, \"left\": 1, \"layers\": 1000}"); }),
            "a2x_meta.json window/left times layers exceeds 65536 frames");
  EXPECT_EQ(test::thrownBy([] { parseMeta("{\"window\": 1, \"left\": 1, \"layers\": -2}"); }),
            "a2x_meta.json layers -2 is outside 0..1024");
}

TEST(A2xRawTables, WholeFloatsOrNothing) {
  test::TempDir tmp;
  const std::vector<float> v = {1.5f, -2.0f, 3.25f};
  test::writeFile(tmp.file("t.f32"), v.data(), v.size() * sizeof(float));
  EXPECT_EQ(readFloats(tmp.file("t.f32")), v);
  test::writeFile(tmp.file("odd.f32"), v.data(), v.size() * sizeof(float) - 1);
  EXPECT_EQ(readFloats(tmp.file("odd.f32")), std::vector<float>(v.begin(), v.end() - 1));
  test::writeFile(tmp.file("empty.f32"), "");
  EXPECT_TRUE(readFloats(tmp.file("empty.f32")).empty());
  EXPECT_TRUE(readFloats(tmp.file("missing.f32")).empty());
  EXPECT_TRUE(readFloats(tmp.path()).empty());
}

}  // namespace
}  // namespace le::a2x
