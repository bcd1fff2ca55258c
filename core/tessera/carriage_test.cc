#include "core/tessera/carriage.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "core/tessera/member_fixture.h"
#include "tests/test_support.h"

namespace le {
namespace {

std::string variant(const std::string& name) { return le::test::tesseraVariant(name); }

TEST(TesseraCarriage, CompleteBundleIsDeclaredWithPlanesAndPaths) {
  TesseraCarriage c = tesseraCarriage(variant("ok"));
  EXPECT_TRUE(c.complete);
  EXPECT_TRUE(c.missing.empty());
  EXPECT_TRUE(c.declared);
  EXPECT_EQ(c.planes, (std::vector<std::string>{"utterance", "stream"}));
  EXPECT_EQ(c.path("head_weights"), variant("ok") + "/tessera_head.v1.pt");
  EXPECT_TRUE(requireTesseraMembers(c));
  try {
    c.path("head");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "teeth: no such member slot 'head'");
  }
}

TEST(TesseraCarriage, ThreeOfFourIsRefusedWithTheMissingSlotNamed) {
  TesseraCarriage c = tesseraCarriage(variant("missing_head_weights"));
  EXPECT_FALSE(c.complete);
  ASSERT_EQ(c.missing, std::vector<std::string>{"head_weights"});
  try {
    requireTesseraMembers(c);
    FAIL();
  } catch (const MissingTesseraMember& e) {
    EXPECT_EQ(e.missing(), std::vector<std::string>{"head_weights"});
    EXPECT_EQ(std::string(e.what()),
              "missing teeth member(s): head_weights (tessera_head.v1.pt) — carries 3 of 4 and declares a "
              "manifest.tessera block the members do not keep. ONE predicate: all four members present = ARMED on "
              "every plane; any missing = REFUSED on every plane. The borrow is a SWITCH, not a gradient — there is "
              "no rendering mode that proceeds without them (corvane-2 IS borrowed teeth). Re-stage the bundle with "
              "the bank builder.");
  }
}

TEST(TesseraCarriage, ManifestRenamesAMemberAndThatFileIsRequired) {
  TesseraCarriage c = tesseraCarriage(variant("renamed_head_weights"));
  EXPECT_TRUE(c.complete);
  EXPECT_EQ(c.names[2], "teeth_head.pt");
  EXPECT_EQ(c.path("head_weights"), variant("renamed_head_weights") + "/teeth_head.pt");

  test::TempDir dir;
  test::writeFile(dir.file("manifest.json"), std::string("{\"tessera\":{\"members\":{\"head_weights\":\"teeth_head.pt\","
                                                         "\"bank_track\":\"\"}}}"));
  for (const char* f : {"tessera_bank.v1.mp4", "tessera_bank.v1.json", "tessera_head.v1.pt", "tessera_head.v1.json"})
    test::writeFile(dir.file(f), std::string("x"));
  c = tesseraCarriage(dir.path());
  EXPECT_EQ(c.missing, std::vector<std::string>{"head_weights"});  // the default name no longer counts
  EXPECT_EQ(c.names[0], "tessera_bank.v1.mp4");                     // an empty rename is ignored
}

TEST(TesseraCarriage, UnreadableManifestLeavesDefaultsAndUndeclared) {
  TesseraCarriage c = tesseraCarriage(variant("bad_manifest_json"));
  EXPECT_FALSE(c.declared);
  EXPECT_TRUE(c.complete);
  EXPECT_EQ(c.names[1], "tessera_bank.v1.json");

  test::TempDir empty;
  c = tesseraCarriage(empty.path());
  EXPECT_EQ(c.missing.size(), 4u);
  try {
    requireTesseraMembers(c);
    FAIL();
  } catch (const MissingTesseraMember& e) {
    std::string m = e.what();
    EXPECT_NE(m.find("bank_track (tessera_bank.v1.mp4), bank_sidecar (tessera_bank.v1.json), head_weights "
                     "(tessera_head.v1.pt), head_config (tessera_head.v1.json) — carries 0 of 4. ONE"),
              std::string::npos)
        << m;
  }
}

TEST(TesseraCarriage, MetaJsonStandsInForTheManifestAndDirectoriesAndPipesAreNotMembers) {
  test::TempDir dir;
  test::writeFile(dir.file("meta.json"), std::string("{\"tessera\":{\"planes\":[\"a\",3,\"b\"]}}"));
  std::filesystem::create_directory(dir.file("tessera_head.v1.pt"));
  // A pipe with no writer would block an ordinary open for ever.
  ASSERT_EQ(::mkfifo(dir.file("tessera_head.v1.json").c_str(), 0600), 0);
  TesseraCarriage c = tesseraCarriage(dir.path());
  EXPECT_TRUE(c.declared);
  EXPECT_EQ(c.planes, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(c.missing.size(), 4u);
  EXPECT_EQ(test::thrownBy([&] { tessera::readWholeFile(dir.file("tessera_head.v1.json")); }),
            "teeth: cannot open " + dir.file("tessera_head.v1.json"));
}

}  // namespace
}  // namespace le
