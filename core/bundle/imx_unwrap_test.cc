#include "core/bundle/imx_unwrap.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/bundle/bundle_test_util.h"
#include "tests/test_support.h"

namespace le {
namespace {

using bundle_test::exists;
using bundle_test::listTree;
using bundle_test::pack;
using bundle_test::readText;
using bundle_test::ScopedEnv;
using bundle_test::writeText;
using ::testing::HasSubstr;
using ::testing::StartsWith;

struct stat statOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st;
}

// A small source bundle, its container box/x.imx and the expected paths.
class UnwrapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    src_ = tmp_.file("src");
    writeText(src_ + "/manifest.json", "{\"format\": \"le-bundle-v0\"}");
    writeText(src_ + "/drive/xs.f32", std::string("\x00\x01\x02\xff", 4));
    writeText(src_ + "/empty.bin", "");
    writeText(src_ + "/models/deep/m.onnx", std::string(1000, 'm'));
    bundle_test::makeDirs(tmp_.file("box"));
    container_ = tmp_.file("box/x.imx");
    pack(src_, container_, {"--scatter"});
    dest_ = tmp_.file("box/x.lebundle");
    marker_ = dest_ + ".imx_unwrapped";
  }

  std::string unwrapError(const std::string& c) {
    try {
      unwrapOnce(c);
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "";
  }

  // Replaces the container through a rename, so it gets a new inode.
  void replaceContainer(const std::vector<std::string>& options = {}) {
    pack(src_, container_ + ".new", options);
    ASSERT_EQ(::rename((container_ + ".new").c_str(), container_.c_str()), 0);
  }

  void expectMatchesSource(const std::string& dest) {
    std::set<std::string> want = listTree(src_);
    EXPECT_EQ(listTree(dest), want);
    for (const auto& rel : want) {
      if (rel.back() == '/') continue;
      EXPECT_EQ(readText(dest + "/" + rel), readText(src_ + "/" + rel)) << rel;
    }
  }

  test::TempDir tmp_;
  ScopedEnv root_{"LE_IMX_UNWRAP_ROOT", nullptr};
  std::string src_, container_, dest_, marker_;
};

TEST(UnwrapDestinationTest, NamesAndRoot) {
  ScopedEnv unset("LE_IMX_UNWRAP_ROOT", nullptr);
  EXPECT_EQ(unwrapDestination("/a/avatar.imx"), "/a/avatar.lebundle");
  EXPECT_EQ(unwrapDestination("/a/avatar.lebundle.imx"), "/a/avatar.lebundle");
  EXPECT_EQ(unwrapDestination("/a/avatar"), "/a/avatar.lebundle");
  EXPECT_EQ(unwrapDestination("/a/avatar.lebundle"), "/a/avatar.lebundle");
  EXPECT_EQ(unwrapDestination("avatar.imx"), "./avatar.lebundle");
  {
    ScopedEnv empty("LE_IMX_UNWRAP_ROOT", "");
    EXPECT_EQ(unwrapDestination("/a/avatar.imx"), "/a/avatar.lebundle");
  }
  ScopedEnv root("LE_IMX_UNWRAP_ROOT", "/cache//");
  EXPECT_EQ(unwrapDestination("/a/avatar.imx"), "/cache/avatar.lebundle");
}

TEST_F(UnwrapTest, RoundTripWritesMarkerLastAndReusesIt) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(unwrapOnce(container_), dest_);
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(log, "[le] unwrapped " + container_ + " -> " + dest_ + "\n");
  expectMatchesSource(dest_);
  struct stat cst = statOf(container_);
  EXPECT_EQ(readText(marker_), "imx-unwrapped.v2 x.imx " + std::to_string(cst.st_size) + " " +
                                   std::to_string(cst.st_mtim.tv_sec * 1000000000LL + cst.st_mtim.tv_nsec) +
                                   " " + std::to_string(cst.st_ino));
  // Nothing but the directory, the marker and the lock beside the container.
  EXPECT_EQ(listTree(tmp_.file("box")).count("x.lebundle.imx_partial/"), 0u);
  // A second resolution touches nothing.
  struct stat before = statOf(dest_ + "/drive/xs.f32");
  testing::internal::CaptureStderr();
  EXPECT_EQ(unwrapOnce(container_), dest_);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  struct stat after = statOf(dest_ + "/drive/xs.f32");
  EXPECT_EQ(before.st_ino, after.st_ino);
  EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
}

TEST_F(UnwrapTest, MembersLargerThanTheCopyBufferSurvive) {
  std::string big(8u * 1024 * 1024 + 3, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 131) >> 7);
  writeText(src_ + "/big.f16", big);
  replaceContainer({"--scatter"});
  unwrapOnce(container_);
  EXPECT_EQ(readText(dest_ + "/big.f16"), big);
}

TEST_F(UnwrapTest, StaleStampReextracts) {
  unwrapOnce(container_);
  // A stray file disappears only when the directory is rebuilt.
  auto stray = [&] { return exists(dest_ + "/stray"); };
  writeText(dest_ + "/stray", "s");
  unwrapOnce(container_);
  EXPECT_TRUE(stray());

  // Touch: a new modification time.
  struct timespec times[2] = {{0, UTIME_OMIT}, {12345, 678}};
  ASSERT_EQ(::utimensat(AT_FDCWD, container_.c_str(), times, 0), 0);
  unwrapOnce(container_);
  EXPECT_FALSE(stray());

  // Replace with the same bytes: a new inode.
  writeText(dest_ + "/stray", "s");
  replaceContainer();
  ASSERT_EQ(::utimensat(AT_FDCWD, container_.c_str(), times, 0), 0);
  unwrapOnce(container_);
  EXPECT_FALSE(stray());

  // Resize in place: same inode, same mtime, new size and content.
  writeText(dest_ + "/stray", "s");
  writeText(src_ + "/drive/xs.f32", "longer payload");
  pack(src_, container_);
  ASSERT_EQ(::utimensat(AT_FDCWD, container_.c_str(), times, 0), 0);
  unwrapOnce(container_);
  EXPECT_FALSE(stray());
  EXPECT_EQ(readText(dest_ + "/drive/xs.f32"), "longer payload");
}

TEST_F(UnwrapTest, MarkerMustMatchButMayCarryWhitespace) {
  unwrapOnce(container_);
  std::string stamp = readText(marker_);
  writeText(dest_ + "/stray", "s");
  writeText(marker_, " \t" + stamp + "\r\n");
  unwrapOnce(container_);
  EXPECT_TRUE(exists(dest_ + "/stray"));
  writeText(marker_, stamp + "0");
  unwrapOnce(container_);
  EXPECT_FALSE(exists(dest_ + "/stray"));
  EXPECT_EQ(readText(marker_), stamp);
  // A missing marker also rebuilds.
  writeText(dest_ + "/stray", "s");
  ASSERT_EQ(::unlink(marker_.c_str()), 0);
  unwrapOnce(container_);
  EXPECT_FALSE(exists(dest_ + "/stray"));
}

TEST_F(UnwrapTest, UnwrapRootFromTheEnvironment) {
  std::string root = tmp_.file("cache/nested");
  ScopedEnv env("LE_IMX_UNWRAP_ROOT", (root + "/").c_str());
  EXPECT_EQ(unwrapOnce(container_), root + "/x.lebundle");
  expectMatchesSource(root + "/x.lebundle");
  EXPECT_TRUE(exists(root + "/x.lebundle.imx_unwrapped"));
  EXPECT_FALSE(exists(dest_));
}

TEST_F(UnwrapTest, SyntheticManifestIsNeverWritten) {
  replaceContainer({"--exclude", "manifest.json", "--data",
                    "manifest.json={\"format\": \"le-bundle-v0\", \"_imx_synthetic_manifest\": true}"});
  unwrapOnce(container_);
  EXPECT_FALSE(exists(dest_ + "/manifest.json"));
  EXPECT_TRUE(exists(dest_ + "/drive/xs.f32"));
  // The tag only counts in the root manifest.
  replaceContainer({"--data", "sub/manifest.json=_imx_synthetic_manifest"});
  unwrapOnce(container_);
  EXPECT_EQ(readText(dest_ + "/sub/manifest.json"), "_imx_synthetic_manifest");
  EXPECT_TRUE(exists(dest_ + "/manifest.json"));
}

TEST_F(UnwrapTest, HostileNamesAreRefusedBeforeAnythingIsWritten) {
  const std::vector<std::string> names = {"../evil", "/etc/x", "\\\\x", "", "a/../../b", "a\\x00b",
                                          "dir/", "a/.", "ok/..hidden"};
  for (const auto& name : names) {
    SCOPED_TRACE(name);
    test::TempDir t;
    std::string c = t.file("in/h.imx");
    bundle_test::makeDirs(t.file("in"));
    pack(src_, c, {"--escape-names", "--data", name + "=pwned"});
    std::string msg = unwrapError(c);
    EXPECT_THAT(msg, StartsWith(c + ": refusing unsafe member name '"));
    // Nothing at all appears: no directory, no marker, no staging, nothing
    // above the container's directory.
    EXPECT_EQ(listTree(t.path()), (std::set<std::string>{"in/", "in/h.imx", "in/h.lebundle.imx_lock"}));
  }
}

TEST_F(UnwrapTest, BrokenContainersGiveTheirMessages) {
  std::string c = tmp_.file("box/bad.imx");
  pack(src_, c, {"--magic", "IMY\\x00"});
  EXPECT_EQ(unwrapError(c), c + ": not an IMX\\0 container");
  pack(src_, c, {"--version", "3"});
  EXPECT_EQ(unwrapError(c), c + ": unsupported IMX container version 3");
  pack(src_, c, {"--count", "9"});
  EXPECT_THAT(unwrapError(c), StartsWith(c + ": truncated"));
  const std::pair<int, std::string> cuts[] = {{7, ": not an IMX\\0 container"},
                                               {9, ": truncated TOC at member 0"},
                                               {12, ": truncated member name at 0"},
                                               {15, ": truncated TOC offsets at member abc"}};
  for (const auto& [cut, text] : cuts) {
    pack("-", c, {"--data", "abc=1", "--truncate", std::to_string(cut)});
    EXPECT_EQ(unwrapError(c), c + text);
  }
  pack(src_, c, {"--size-delta", "models/deep/m.onnx=5"});  // the last payload
  EXPECT_EQ(unwrapError(c), c + ": truncated payload for member models/deep/m.onnx");
  pack(src_, c, {"--offset-delta", "drive/xs.f32=0x7fffffffffff0000"});
  EXPECT_EQ(unwrapError(c), c + ": truncated payload for member drive/xs.f32");
  pack(src_, c, {"--offset-delta", "drive/xs.f32=0x8000000000000000"});
  EXPECT_EQ(unwrapError(c), c + ": cannot seek to member drive/xs.f32");
  EXPECT_EQ(unwrapError(tmp_.file("box/none.imx")), "cannot stat container " + tmp_.file("box/none.imx"));
  // Failed unwraps leave no marker and no staging tree behind.
  for (const auto& e : listTree(tmp_.file("box"))) {
    if (e.rfind("bad.", 0) == 0) {
      EXPECT_TRUE(e == "bad.imx" || e == "bad.lebundle.imx_lock") << e;
    }
  }
}

TEST_F(UnwrapTest, MemberThatIsBothFileAndDirectoryIsRefused) {
  replaceContainer({"--data", "zz=file", "--data", "zz/inner=x"});
  EXPECT_EQ(unwrapError(container_), "cannot create " + dest_ + ".imx_partial/zz");
  EXPECT_FALSE(exists(marker_));
}

TEST_F(UnwrapTest, TemporaryNamesNeverClobberOtherMembers) {
  replaceContainer({"--data", "a.part=first", "--data", "a=second", "--data", "a.part1=third"});
  unwrapOnce(container_);
  EXPECT_EQ(readText(dest_ + "/a.part"), "first");
  EXPECT_EQ(readText(dest_ + "/a"), "second");
  EXPECT_EQ(readText(dest_ + "/a.part1"), "third");
}

TEST_F(UnwrapTest, LinksPlacedBesideOrInsideNeverLeadOutside) {
  std::string outside = tmp_.file("outside");
  bundle_test::makeDirs(outside);
  writeText(outside + "/keep", "keep");
  // The destination, the staging tree and the marker are all links out.
  ASSERT_EQ(::symlink(outside.c_str(), dest_.c_str()), 0);
  ASSERT_EQ(::symlink(outside.c_str(), (dest_ + ".imx_partial").c_str()), 0);
  ASSERT_EQ(::symlink((outside + "/keep").c_str(), marker_.c_str()), 0);
  unwrapOnce(container_);
  EXPECT_EQ(listTree(outside), (std::set<std::string>{"keep"}));
  EXPECT_EQ(readText(outside + "/keep"), "keep");
  struct stat st;
  ASSERT_EQ(::lstat(dest_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  expectMatchesSource(dest_);
}

TEST_F(UnwrapTest, LeftoversOfAKilledUnwrapAreRepaired) {
  // What a kill part way leaves: a staging tree with a half-written member,
  // an old destination and no marker.
  writeText(dest_ + ".imx_partial/drive/xs.f32.part", "half");
  writeText(dest_ + ".imx_partial/junk", "j");
  writeText(dest_ + "/old", "o");
  writeText(marker_ + ".tmp", "imx-unwr");
  unwrapOnce(container_);
  expectMatchesSource(dest_);
  EXPECT_FALSE(exists(dest_ + ".imx_partial"));
  EXPECT_FALSE(exists(marker_ + ".tmp"));
}

TEST_F(UnwrapTest, ConcurrentResolutionsInOneProcessUnpackOnce) {
  testing::internal::CaptureStderr();
  std::vector<std::thread> threads;
  std::atomic<int> ok{0};
  for (int i = 0; i < 6; ++i)
    threads.emplace_back([&] { ok += unwrapOnce(container_) == dest_ ? 1 : 0; });
  for (auto& t : threads) t.join();
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(ok.load(), 6);
  EXPECT_EQ(log, "[le] unwrapped " + container_ + " -> " + dest_ + "\n");
  expectMatchesSource(dest_);
}

TEST_F(UnwrapTest, TwoProcessesUnwrappingAtOnceBothSucceed) {
  // Big enough that the two unwraps overlap in time.
  for (int i = 0; i < 6; ++i) writeText(src_ + "/chunk" + std::to_string(i), std::string(3u << 20, 'a' + i));
  replaceContainer();
  std::string log = tmp_.file("children.log");
  for (int round = 0; round < 3; ++round) {
    ASSERT_EQ(::unlink(marker_.c_str()) == 0 || errno == ENOENT, true);
    int go[2];
    ASSERT_EQ(::pipe(go), 0);
    std::vector<pid_t> kids;
    for (int k = 0; k < 2; ++k) {
      pid_t pid = ::fork();
      ASSERT_GE(pid, 0);
      if (pid == 0) {
        int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        ::dup2(fd, 2);
        ::close(go[1]);
        char c;
        if (::read(go[0], &c, 1) != 0) _exit(3);  // wait for the start signal
        int rc = 0;
        try {
          rc = unwrapOnce(container_) == dest_ ? 0 : 1;
        } catch (const std::exception& e) {
          std::fprintf(stderr, "child failed: %s\n", e.what());
          rc = 2;
        }
        std::fflush(stderr);
        _exit(rc);
      }
      kids.push_back(pid);
    }
    ::close(go[0]);
    ::close(go[1]);  // both children start now
    for (pid_t pid : kids) {
      int status = 0;
      ASSERT_EQ(::waitpid(pid, &status, 0), pid);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "round " << round << ": " << readText(log);
    }
    expectMatchesSource(dest_);
    EXPECT_FALSE(exists(dest_ + ".imx_partial"));
  }
  // Each round unpacked once: the second process found the first one's work.
  std::string text = readText(log);
  size_t lines = 0;
  for (size_t at = 0; (at = text.find("[le] unwrapped", at)) != std::string::npos; ++at) ++lines;
  EXPECT_EQ(lines, 3u) << text;
}

}  // namespace
}  // namespace le
