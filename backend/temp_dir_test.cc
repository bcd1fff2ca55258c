#include "backend/temp_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/bundle/bundle_test_util.h"
#include "tests/test_support.h"

namespace {

namespace e = mirelund::engine;
using le::bundle_test::exists;
using le::bundle_test::listTree;
using le::bundle_test::ScopedEnv;
using le::bundle_test::writeText;

TEST(TempDir, CreatedPrivatelyUnderTmpdir) {
  le::test::TempDir root;
  ScopedEnv tmp("TMPDIR", (root.path() + "//").c_str());
  const std::string dir = e::makePrivateTempDir();
  ASSERT_EQ(dir.rfind(root.path() + "/libengine-c2l-", 0), 0u) << dir;
  EXPECT_EQ(dir.size(), root.path().size() + 21);
  struct stat st;
  ASSERT_EQ(::stat(dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_TRUE(e::removeTree(dir));
  ScopedEnv missing("TMPDIR", root.file("no/such").c_str());
  EXPECT_EQ(e::makePrivateTempDir(), "");
}

TEST(TempDir, RemovalNeverFollowsALinkOutOfTheTree) {
  le::test::TempDir root;
  writeText(root.file("outside/keep.txt"), "precious");
  writeText(root.file("tree/a/b/c.bin"), "x");
  writeText(root.file("tree/top.txt"), "y");
  ASSERT_EQ(::symlink(root.file("outside").c_str(), root.file("tree/a/dirlink").c_str()), 0);
  ASSERT_EQ(::symlink(root.file("outside/keep.txt").c_str(), root.file("tree/filelink").c_str()), 0);
  ASSERT_EQ(::symlink("/nonexistent", root.file("tree/dangling").c_str()), 0);
  EXPECT_TRUE(e::removeTree(root.file("tree")));
  EXPECT_FALSE(exists(root.file("tree")));
  EXPECT_EQ(listTree(root.file("outside")), (std::set<std::string>{"keep.txt"}));
  // The top itself as a link: the link goes, its target stays.
  ASSERT_EQ(::symlink(root.file("outside").c_str(), root.file("toplink").c_str()), 0);
  EXPECT_TRUE(e::removeTree(root.file("toplink")));
  EXPECT_TRUE(exists(root.file("outside/keep.txt")));
  EXPECT_TRUE(e::removeTree(root.file("gone")));
}

TEST(TempDir, DeepTreesAreRemovedWhole) {
  le::test::TempDir root;
  std::string deep = root.file("d");
  for (int i = 0; i < 1500; ++i) deep += "/a";  // deeper than 1024 descriptors, one per level, would allow
  ASSERT_EQ(le::test::runCommand("mkdir -p '" + deep + "'"), 0);
  writeText(deep + "/f", "x");
  EXPECT_TRUE(e::removeTree(root.file("d")));
  EXPECT_FALSE(exists(root.file("d")));
}

}  // namespace
