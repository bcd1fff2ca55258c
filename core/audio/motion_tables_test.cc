#include "core/audio/motion_tables.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/test_support.h"

namespace le::motion {
namespace {

const char* kGood = R"({"nt": 12, "n_src": 12, "n_emo": 4, "s_bridge": 0.75, "delta_pitch": -2.5})";

TEST(MotionMeta, ReadsEveryKeyWithTheOptionalDefault) {
  const Meta m = scanMeta(kGood);
  EXPECT_EQ(m.nt, 12);
  EXPECT_EQ(m.nSrc, 12);
  EXPECT_EQ(m.nEmo, 4);
  EXPECT_FLOAT_EQ(m.sBridge, 0.75f);
  EXPECT_FLOAT_EQ(m.deltaPitch, -2.5f);
  const Meta d = scanMeta("{\"nt\" :3,\n\"n_src\":\t3, \"n_emo\":1, \"s_bridge\": 1e0}");
  EXPECT_EQ(d.nt, 3);
  EXPECT_FLOAT_EQ(d.deltaPitch, 0.f);
  EXPECT_FLOAT_EQ(d.sBridge, 1.f);
}

TEST(MotionMeta, RefusesMissingAndBadKeys) {
  auto err = [](const std::string& text) { return test::thrownBy([&] { scanMeta(text); }); };
  EXPECT_EQ(err(R"({"n_src": 12, "n_emo": 4, "s_bridge": 1})"), "meta.json: missing nt");
  EXPECT_EQ(err(R"({"nt": 12, "n_src": 12, "n_emo": 4})"), "meta.json: missing s_bridge");
  EXPECT_EQ(err(R"({"nt" 12, "n_src": 12, "n_emo": 4, "s_bridge": 1})"), "meta.json: bad nt");
  EXPECT_EQ(err(R"({"nt": 12, "n_src": 12, "n_emo": 4, "s_bridge": 1, "delta_pitch"})"), "meta.json: bad delta_pitch");
  EXPECT_EQ(err(R"({"nt": "x", "n_src": 12, "n_emo": 4, "s_bridge": 1})"), "meta.json: bad nt");
  EXPECT_EQ(err(R"({"nt": 12, "n_src": 12, "n_emo": 4, "s_bridge": nan})"), "meta.json: bad s_bridge");
  // Counts must be whole and positive: they size tables and take a modulus.
  EXPECT_EQ(err(R"({"nt": 0, "n_src": 12, "n_emo": 4, "s_bridge": 1})"),
            "meta.json: bad nt: expected a whole number from 1 to 1048576");
  EXPECT_EQ(err(R"({"nt": 2.5, "n_src": 12, "n_emo": 4, "s_bridge": 1})"),
            "meta.json: bad nt: expected a whole number from 1 to 1048576");
  EXPECT_EQ(err(R"({"nt": 12, "n_src": 12, "n_emo": -1, "s_bridge": 1})"),
            "meta.json: bad n_emo: expected a whole number from 1 to 1048576");
  EXPECT_EQ(err(R"({"nt": 12, "n_src": 12, "n_emo": 4, "s_bridge":)"), "meta.json: bad s_bridge");
  // Finite as a double but not as the float it is kept in (found by fuzzing).
  EXPECT_EQ(err(R"({"nt": 12, "n_src": 12, "n_emo": 4, "s_bridge": 1, "delta_pitch": 1e39})").rfind(
                "meta.json: bad delta_pitch: ", 0),
            0u);
}

TEST(MotionTables, ExactCountOrAClearRefusal) {
  test::TempDir dir;
  const std::vector<float> v = {1.f, 2.f, 3.f};
  test::writeFile(dir.file("t.bin"), v.data(), v.size() * sizeof(float));
  EXPECT_EQ(readTable(dir.file("t.bin"), 3), v);
  EXPECT_EQ(test::thrownBy([&] { readTable(dir.file("t.bin"), 4); }), "short read " + dir.file("t.bin") + ": 3 of 4 values");
  EXPECT_EQ(test::thrownBy([&] { readTable(dir.file("t.bin"), 2); }), dir.file("t.bin") + " holds 3 values where 2 are expected");
  test::writeFile(dir.file("odd.bin"), v.data(), 5);
  EXPECT_EQ(test::thrownBy([&] { readTable(dir.file("odd.bin"), 2); }),
            dir.file("odd.bin") + " holds 5 bytes, not a whole number of floats; 2 values are expected");
  EXPECT_EQ(test::thrownBy([&] { readTable(dir.file("none.bin"), 2); }), "cannot open " + dir.file("none.bin"));
  EXPECT_EQ(test::thrownBy([&] { readTable(dir.path(), 2); }), "cannot open " + dir.path());
}

}  // namespace
}  // namespace le::motion
