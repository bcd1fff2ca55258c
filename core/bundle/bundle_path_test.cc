#include "core/bundle/bundle_path.h"

#include <gtest/gtest.h>

#include <string>

#include "core/bundle/bundle_test_util.h"
#include "core/bundle/imx_container.h"
#include "core/bundle/manifest.h"
#include "tests/test_support.h"

namespace le {
namespace {

using bundle_test::exists;
using bundle_test::pack;
using bundle_test::readText;
using bundle_test::ScopedEnv;
using bundle_test::writeText;

const char kManifest[] =
    "{\"format\": \"le-bundle-v0\", \"agent\": \"a\", \"NT\": 2, \"H\": 8, \"W\": 8, \"crop\": 4, "
    "\"amount\": 1, \"sigma\": 1, \"ksize\": 3, \"frames\": 2, \"M_src_w\": 8, \"M_src_h\": 8}";

class BundlePathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    src_ = tmp_.file("src");
    writeText(src_ + "/manifest.json", kManifest);
    writeText(src_ + "/tag", "v1");
  }
  test::TempDir tmp_;
  ScopedEnv root_{"LE_IMX_UNWRAP_ROOT", nullptr};
  std::string src_;
};

TEST_F(BundlePathTest, PlainPathsComeBackUnchanged) {
  EXPECT_EQ(resolveBundlePath(""), "");
  EXPECT_EQ(resolveBundlePath(src_), src_);
  EXPECT_EQ(resolveBundlePath(src_ + "/"), src_ + "/");
  EXPECT_EQ(resolveBundlePath(tmp_.file("missing")), tmp_.file("missing"));
  // A file named .imx that is no container is not unwrapped.
  writeText(tmp_.file("fake.imx"), "IMX");
  EXPECT_FALSE(isImxV2File(tmp_.file("fake.imx")));
  EXPECT_EQ(resolveBundlePath(tmp_.file("fake.imx")), tmp_.file("fake.imx"));
  EXPECT_FALSE(isImxV2File(src_));
  EXPECT_FALSE(isImxV2File(""));
}

TEST_F(BundlePathTest, ContainerWithAndWithoutSuffix) {
  pack(src_, tmp_.file("x.imx"));
  EXPECT_TRUE(isImxV2File(tmp_.file("x.imx")));
  EXPECT_EQ(resolveBundlePath(tmp_.file("x.imx")), tmp_.file("x.lebundle"));
  // A path x with x.imx beside it resolves to that container's unwrap.
  EXPECT_EQ(resolveBundlePath(tmp_.file("x")), tmp_.file("x.lebundle"));
  // A container without the suffix.
  pack(src_, tmp_.file("blob"));
  EXPECT_EQ(resolveBundlePath(tmp_.file("blob")), tmp_.file("blob.lebundle"));
  EXPECT_EQ(readText(tmp_.file("blob.lebundle/tag")), "v1");
}

TEST_F(BundlePathTest, UnwrapProductIsRecheckedOnlyWithItsMarker) {
  std::string c = tmp_.file("y.lebundle.imx"), d = tmp_.file("y.lebundle");
  pack(src_, c);
  EXPECT_EQ(resolveBundlePath(c), d);
  // The product, given by its own path, re-checks its container.
  writeText(src_ + "/tag", "v2-longer");
  pack(src_, c);
  EXPECT_EQ(resolveBundlePath(d), d);
  EXPECT_EQ(readText(d + "/tag"), "v2-longer");
  // Without a marker the same directory is just a directory.
  ASSERT_EQ(::unlink((d + ".imx_unwrapped").c_str()), 0);
  writeText(src_ + "/tag", "v3-longer-still");
  pack(src_, c);
  EXPECT_EQ(resolveBundlePath(d + "/"), d + "/");
  EXPECT_EQ(readText(d + "/tag"), "v2-longer");
}

TEST_F(BundlePathTest, ManifestLoadsThroughAContainer) {
  std::string root = tmp_.file("unwrapped");
  ScopedEnv env("LE_IMX_UNWRAP_ROOT", root.c_str());
  pack(src_, tmp_.file("z.imx"));
  Manifest m = loadManifest(tmp_.file("z.imx"));
  EXPECT_EQ(m.dir, root + "/z.lebundle");
  EXPECT_EQ(m.agent, "a");
  EXPECT_TRUE(exists(root + "/z.lebundle.imx_unwrapped"));
}

TEST_F(BundlePathTest, GeneratedTinyBundleRoundTrips) {
  std::string tiny = test::bundlePath("tiny");
  if (!exists(tiny + "/manifest.json")) GTEST_SKIP() << "the tiny bundle was not generated";
  Manifest direct = loadManifest(tiny);
  pack(tiny, tmp_.file("tiny.imx"), {"--scatter"});
  Manifest packed = loadManifest(tmp_.file("tiny.imx"));
  EXPECT_EQ(packed.dir, tmp_.file("tiny.lebundle"));
  EXPECT_EQ(packed.agent, direct.agent);
  EXPECT_EQ(packed.NT, direct.NT);
  EXPECT_EQ(packed.W, direct.W);
  EXPECT_EQ(packed.H, direct.H);
  EXPECT_EQ(packed.frames, direct.frames);
  EXPECT_EQ(packed.lipTemplateJson, direct.lipTemplateJson);
  EXPECT_EQ(test::runCommand("diff -r '" + tiny + "' '" + packed.dir + "' >/dev/null"), 0);
}

}  // namespace
}  // namespace le
