#include "core/bundle/paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>

#include "core/bundle/bundle_test_util.h"
#include "tests/test_support.h"

namespace le {
namespace {

using bundle_test::exists;
using bundle_test::writeText;

TEST(PathsTest, NameHelpers) {
  EXPECT_EQ(rstripSlash("/a/b///"), "/a/b");
  EXPECT_EQ(rstripSlash("///"), "/");
  EXPECT_EQ(rstripSlash(""), "");
  EXPECT_EQ(baseName("/a/b.imx/"), "b.imx");
  EXPECT_EQ(baseName("b"), "b");
  EXPECT_EQ(baseName("/"), "");
  EXPECT_EQ(dirName("/a/b/"), "/a");
  EXPECT_EQ(dirName("/a"), "/");
  EXPECT_EQ(dirName("a"), ".");
  EXPECT_EQ(dirName("a/b"), "a");
}

TEST(PathsTest, MkdirsCreatesParentsAndAcceptsExisting) {
  test::TempDir t;
  EXPECT_FALSE(mkdirs(""));
  EXPECT_TRUE(mkdirs("/"));
  EXPECT_TRUE(mkdirs("."));
  EXPECT_TRUE(mkdirs(t.file("a/b/c/")));
  EXPECT_TRUE(mkdirs(t.file("a/b/c")));
  writeText(t.file("file"), "x");
  EXPECT_FALSE(mkdirs(t.file("file/sub")));
}

TEST(PathsTest, RmTreeRemovesLinksNotTheirTargets) {
  test::TempDir t;
  writeText(t.file("outside/keep"), "k");
  writeText(t.file("tree/a/b/file"), "f");
  ASSERT_EQ(::symlink(t.file("outside").c_str(), t.file("tree/a/link").c_str()), 0);
  ASSERT_EQ(::symlink(t.file("outside").c_str(), t.file("dirlink").c_str()), 0);
  EXPECT_EQ(rmTree(t.file("tree")), 0);
  EXPECT_FALSE(exists(t.file("tree")));
  EXPECT_EQ(rmTree(t.file("dirlink")), 0);
  EXPECT_FALSE(exists(t.file("dirlink")));
  EXPECT_TRUE(exists(t.file("outside/keep")));
  EXPECT_EQ(rmTree(t.file("missing")), ENOENT);
}

}  // namespace
}  // namespace le
