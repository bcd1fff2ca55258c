#include "core/bundle/manifest_key.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace le::manifest_key {
namespace {

using ::testing::HasSubstr;

std::string errorOf(const std::string& text, const char* key) {
  try {
    scalarValuePos(text, key);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

TEST(ManifestKeyTest, RootScalarShadowsNestedOnes) {
  std::string text = R"({"tessera": {"W": 64, "inner": {"W": 32}}, "W": 1920})";
  uint64_t pos = scalarValuePos(text, "W");
  EXPECT_EQ(pos, text.find("1920"));
  EXPECT_EQ(numField(text, "W"), 1920.0);
}

TEST(ManifestKeyTest, TwoRootScalarsAreAmbiguousWithTheirOffsets) {
  std::string text = R"({"H": 720, "x": {"H": 1}, "H":   480})";
  size_t a = text.find("720"), b = text.find("480");
  std::string msg = errorOf(text, "H");
  EXPECT_EQ(msg,
            "manifest: key \"H\" is AMBIGUOUS \xE2\x80\x94 2 scalar occurrences (byte " +
                std::to_string(a) + ", byte " + std::to_string(b) +
                "). A loader that picks one silently installs a number nobody checks. Rename the "
                "colliding key (a nested block must not reuse a name the bundle loader reads: "
                "NT/frame_count, H, W, crop/crop_size, amount, sigma, ksize, frames, "
                "M_src_w/paste_source_width, M_src_h/paste_source_height), or produce the bundle "
                "with the legacy manifest layout.");
}

TEST(ManifestKeyTest, NestedOnlyKeyIsUsedOnceAndAmbiguousTwice) {
  std::string once = R"({"a": {"ksize": 7}, "b": [1, 2]})";
  EXPECT_EQ(scalarValuePos(once, "ksize"), once.find('7'));
  std::string twice = R"({"a": {"ksize": 7}, "b": [{"c": {"ksize": 9}}]})";
  std::string msg = errorOf(twice, "ksize");
  EXPECT_THAT(msg, HasSubstr("2 scalar occurrences (byte " + std::to_string(twice.find('7')) + ", byte " +
                             std::to_string(twice.find('9')) + ")"));
}

TEST(ManifestKeyTest, ObjectAndArrayValuesDoNotCount) {
  std::string text = R"({"frames": [1, 2, 3], "nested": {"frames": {"n": 4}}})";
  auto hits = keyHits(text, "frames");
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_FALSE(hits[0].scalar);
  EXPECT_EQ(hits[0].depth, 1);
  EXPECT_FALSE(hits[1].scalar);
  EXPECT_EQ(hits[1].depth, 2);
  EXPECT_EQ(scalarValuePos(text, "frames"), kNone);
  EXPECT_THROW(findKey(text, "frames"), std::runtime_error);
  // An array value beside one scalar leaves the scalar as the only choice.
  std::string mixed = R"({"frames": [1], "frames": 12})";
  EXPECT_EQ(scalarValuePos(mixed, "frames"), mixed.find("12"));
}

TEST(ManifestKeyTest, StringContentsNeverCreateHitsOrDepth) {
  // Brackets, colons, a key-like text and an escaped quote all sit inside
  // string values; the real key afterwards must be at depth 1.
  std::string text = R"({"note": "{[ \"W\": 5 ]}", "W": 640, "s": "}}}"})";
  auto hits = keyHits(text, "W");
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].depth, 1);
  EXPECT_EQ(hits[0].pos, text.find("640"));
}

TEST(ManifestKeyTest, KeysCompareRawBytesExactly) {
  std::string text = R"({"w": 1, "WW": 2, "W ": 3, "W\u0041": 4})";
  EXPECT_TRUE(keyHits(text, "W").empty());
  EXPECT_EQ(keyHits(text, "W\\u0041").size(), 1u);
}

TEST(ManifestKeyTest, TruncatedTextEndsTheScanInsideTheBuffer) {
  // Each of these ends somewhere a careless scanner would read past.
  EXPECT_TRUE(keyHits(R"({"W": 1, "unterminated)", "W").size() == 1);
  EXPECT_TRUE(keyHits(R"({"W)", "W").empty());
  EXPECT_TRUE(keyHits(R"({"W")", "W").empty());
  EXPECT_TRUE(keyHits(R"({"W"   )", "W").empty());
  EXPECT_TRUE(keyHits(R"("W\)", "W").empty());
  std::string endsAtColon = R"({"W":   )";
  auto hits = keyHits(endsAtColon, "W");
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].pos, endsAtColon.size());
  EXPECT_FALSE(hits[0].scalar);
  EXPECT_EQ(scalarValuePos(endsAtColon, "W"), kNone);
}

TEST(ManifestKeyTest, NulBytesAreOrdinaryBytes) {
  std::string text("{\"a\": \"x\0y\", \"W\"\0: 3, \"W\": 4\0}", 30);
  auto hits = keyHits(text, "W");
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(numField(text, "W"), 4.0);
  // A key with a NUL inside never equals a C-string key.
  std::string nulKey("{\"W\0\": 1}", 9);
  EXPECT_TRUE(keyHits(nulKey, "W").empty());
}

TEST(ManifestKeyTest, DepthFollowsBothBracketKindsAndMayGoNegative) {
  std::string deep(100000, '[');
  deep += R"({"W": 5})";
  auto hits = keyHits(deep, "W");
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].depth, 100001);
  EXPECT_EQ(numField(deep, "W"), 5.0);
  // Unbalanced closers: the key is not at the root, but it is the only one.
  std::string neg = R"(}]}"W": 2)";
  hits = keyHits(neg, "W");
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].depth, -3);
  EXPECT_EQ(numField(neg, "W"), 2.0);
}

TEST(ManifestKeyTest, NumbersFallBackToTheSecondKey) {
  std::string both = R"({"NT": 30, "frame_count": 99})";
  EXPECT_EQ(numFieldEither(both, "NT", "frame_count"), 30.0);
  std::string alt = R"({"frame_count": 99})";
  EXPECT_EQ(numFieldEither(alt, "NT", "frame_count"), 99.0);
  // The internal "absent" mark also falls through to the second key.
  std::string mark = R"({"NT": -1e300, "frame_count": 12})";
  EXPECT_EQ(numFieldEither(mark, "NT", "frame_count"), 12.0);
  try {
    numFieldEither("{}", "NT", "frame_count");
    FAIL() << "no throw";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "manifest: missing key NT/frame_count");
  }
  // A string is not a number: strtod reads nothing and gives 0.
  EXPECT_EQ(numField(R"({"NT": "25"})", "NT"), 0.0);
}

TEST(ManifestKeyTest, StringAccessors) {
  std::string text = R"({"format": "le-bundle-v0", "empty": "", "n": 5, "bad": "open)";
  EXPECT_EQ(strField(text, "format"), "le-bundle-v0");
  std::string out = "keep";
  EXPECT_FALSE(optStr(text, "missing", out));
  EXPECT_FALSE(optStr(text, "n", out));
  EXPECT_FALSE(optStr(text, "empty", out));
  EXPECT_EQ(out, "");
  EXPECT_FALSE(optStr(text, "bad", out));
  EXPECT_TRUE(optStr(text, "format", out));
  EXPECT_EQ(out, "le-bundle-v0");
  // A non-string value: strField reads the next quoted text after it.
  EXPECT_EQ(strField(R"({"format": 0, "agent": "ava"})", "format"), "agent");
  try {
    strField(R"({"format": 12})", "format");
    FAIL() << "no throw";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "manifest: bad string format");
  }
  try {
    findKey("{}", "agent");
    FAIL() << "no throw";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "manifest: missing key agent");
  }
}

}  // namespace
}  // namespace le::manifest_key
