// The host's choice of animation source over a bundle's files: which
// directory the pipeline is handed, what it holds, and the refusals.
#include "tools/animation_choice.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace le::tools {
namespace {

std::vector<std::string> names(const std::string& dir) {
  std::vector<std::string> out;
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* e = readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") out.push_back(e->d_name);
    closedir(d);
  }
  std::sort(out.begin(), out.end());
  return out;
}

// A bundle directory holding `files`, each containing its own name.
std::string bundleWith(const le::test::TempDir& tmp, const std::string& name, const std::vector<std::string>& files) {
  const std::string dir = tmp.file(name);
  ::mkdir(dir.c_str(), 0755);
  for (const auto& f : files) le::test::writeFile(dir + "/" + f, f);
  return dir;
}

// Keeps the views under the test's own directory.
struct TempRoot {
  explicit TempRoot(const std::string& dir) {
    const char* t = std::getenv("TMPDIR");
    if (t) old = t, had = true;
    ::mkdir(dir.c_str(), 0755);
    setenv("TMPDIR", dir.c_str(), 1);
  }
  ~TempRoot() {
    if (had) setenv("TMPDIR", old.c_str(), 1);
    else unsetenv("TMPDIR");
  }
  std::string old;
  bool had = false;
};

TEST(AnimationChoice, MotionOnABundleWithBothSeesEverythingButTheA2xEncoder) {
  le::test::TempDir tmp;
  const TempRoot root(tmp.file("views"));
  const std::string dir = bundleWith(tmp, "both", {"a2x_enc_stream.onnx", "a2x_dec.onnx", "lmdm.onnx", "meta.json",
                                                   "xs_target.bin"});
  {
    const AnimationChoice a2x(dir, AnimationKind::kA2x);
    EXPECT_EQ(a2x.motionDir(), dir);
    EXPECT_EQ(a2x.eager(), 0);
    EXPECT_TRUE(names(tmp.file("views")).empty());
  }
  std::string view;
  {
    const AnimationChoice motion(dir, AnimationKind::kMotion);
    view = motion.motionDir();
    EXPECT_NE(view, dir);
    EXPECT_EQ(motion.eager(), -2);
    EXPECT_EQ(names(view), (std::vector<std::string>{"a2x_dec.onnx", "lmdm.onnx", "meta.json", "xs_target.bin"}));
    // The members are the bundle's own files, not copies.
    EXPECT_EQ(le::test::readFile(view + "/meta.json").size(), std::string("meta.json").size());
    le::test::writeFile(dir + "/meta.json", std::string("changed"));
    EXPECT_EQ(le::test::readFile(view + "/meta.json").size(), std::string("changed").size());
    // The bundle itself is untouched.
    EXPECT_EQ(names(dir).size(), 5u);
  }
  // The view goes with its owner, and only the view.
  EXPECT_TRUE(names(tmp.file("views")).empty());
  EXPECT_EQ(names(dir).size(), 5u);
}

TEST(AnimationChoice, ABundleNamedByARelativePathGivesLinksThatResolve) {
  le::test::TempDir tmp;
  const TempRoot root(tmp.file("views"));
  bundleWith(tmp, "both", {"a2x_enc_stream.onnx", "lmdm.onnx", "xs_target.bin"});
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(::chdir(tmp.path().c_str()), 0);
  std::string view;
  std::unique_ptr<AnimationChoice> motion;
  try {
    motion = std::make_unique<AnimationChoice>("both", AnimationKind::kMotion);
  } catch (...) {
    ASSERT_EQ(::chdir(cwd), 0);
    throw;
  }
  ASSERT_EQ(::chdir(cwd), 0);
  // The members read through the view from anywhere, not just from where
  // the bundle's relative name meant something.
  EXPECT_EQ(le::test::readFile(motion->motionDir() + "/xs_target.bin").size(), std::string("xs_target.bin").size());
  EXPECT_EQ(le::test::readFile(motion->motionDir() + "/lmdm.onnx").size(), std::string("lmdm.onnx").size());
}

// A process that has ended: its pid names no process until it is reused.
pid_t goneProcess() {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(0);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return pid;
}

TEST(AnimationChoice, ViewsOfKilledProcessesAreRemovedAtTheNextStart) {
  le::test::TempDir tmp;
  const std::string root = tmp.file("views");
  const TempRoot tempRoot(root);
  const std::string dir = bundleWith(tmp, "both", {"a2x_enc_stream.onnx", "lmdm.onnx", "meta.json"});

  // A process that made its view and was killed before it could remove it.
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t killed = ::fork();
  ASSERT_GE(killed, 0);
  if (killed == 0) {
    AnimationChoice motion(dir, AnimationKind::kMotion);
    const char c = 1;
    if (::write(ready[1], &c, 1) != 1) ::_exit(1);
    ::pause();
    ::_exit(0);
  }
  char c = 0;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  ::close(ready[0]);
  ::close(ready[1]);
  ::kill(killed, SIGKILL);
  int status = 0;
  ::waitpid(killed, &status, 0);
  const std::vector<std::string> left = names(root);
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].rfind("le-motion-" + std::to_string(killed) + "-", 0), 0u) << left[0];

  // Beside it: a view of a process still running (this one), a directory of
  // a gone process holding a file that is no link, and names of no owner.
  const std::string mine = root + "/le-motion-" + std::to_string(::getpid()) + "-keep";
  const std::string foreign = root + "/le-motion-" + std::to_string(goneProcess()) + "-file";
  for (const auto& d : {mine, foreign, root + "/le-motion-abc", root + "/le-motion-XyZ123"}) ::mkdir(d.c_str(), 0755);
  ASSERT_EQ(::symlink(dir.c_str(), (mine + "/link").c_str()), 0);
  le::test::writeFile(foreign + "/data", "not a link");

  {
    const AnimationChoice motion(dir, AnimationKind::kMotion);
    EXPECT_EQ(motion.motionDir().rfind(root + "/le-motion-" + std::to_string(::getpid()) + "-", 0), 0u)
        << motion.motionDir();
    std::vector<std::string> now = names(root);
    EXPECT_EQ(std::count(now.begin(), now.end(), left[0]), 0) << "the killed process's view is gone";
    EXPECT_EQ(now.size(), 5u);
  }
  std::vector<std::string> kept = {mine.substr(root.size() + 1), foreign.substr(root.size() + 1), "le-motion-XyZ123",
                                   "le-motion-abc"};
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(names(root), kept);
  EXPECT_EQ(names(mine), (std::vector<std::string>{"link"}));
  EXPECT_EQ(names(foreign), (std::vector<std::string>{"data"}));
}

TEST(AnimationChoice, ABundleWithOneSourceIsHandedOverAsItIs) {
  le::test::TempDir tmp;
  const TempRoot root(tmp.file("views"));
  const std::string motionOnly = bundleWith(tmp, "motion", {"lmdm.onnx", "meta.json"});
  EXPECT_EQ(AnimationChoice(motionOnly, AnimationKind::kMotion).motionDir(), motionOnly);
  // The encoder under its canonical name counts as well.
  const std::string a2xOnly = bundleWith(tmp, "a2x", {"audio_motion_encoder.onnx", "a2x_dec.onnx"});
  EXPECT_EQ(AnimationChoice(a2xOnly, AnimationKind::kA2x).motionDir(), a2xOnly);
  EXPECT_TRUE(names(tmp.file("views")).empty());
}

TEST(AnimationChoice, RefusesASourceTheBundleLacksAndUnknownNames) {
  le::test::TempDir tmp;
  const std::string motionOnly = bundleWith(tmp, "motion", {"lmdm.onnx"});
  const std::string a2xOnly = bundleWith(tmp, "a2x", {"a2x_enc_stream.onnx"});
  EXPECT_EQ(le::test::thrownBy([&] { AnimationChoice c(motionOnly, AnimationKind::kA2x); }),
            "Bundle " + motionOnly + " has no a2x_enc_stream.onnx, so it cannot run the a2x source.");
  EXPECT_EQ(le::test::thrownBy([&] { AnimationChoice c(a2xOnly, AnimationKind::kMotion); }),
            "Bundle " + a2xOnly + " has no lmdm.onnx, so it cannot run the motion source.");
  EXPECT_EQ(parseAnimationKind("a2x"), AnimationKind::kA2x);
  EXPECT_EQ(parseAnimationKind("motion"), AnimationKind::kMotion);
  EXPECT_STREQ(animationKindName(AnimationKind::kMotion), "motion");
  EXPECT_EQ(le::test::thrownBy([] { parseAnimationKind("Motion"); }),
            "The animation source must be a2x or motion, not 'Motion'.");
}

TEST(AnimationChoice, AViewThatCannotBeMadeIsReportedAndLeavesNothing) {
  le::test::TempDir tmp;
  const TempRoot root(tmp.file("no/such/root"));
  const std::string dir = bundleWith(tmp, "both", {"a2x_enc_stream.onnx", "lmdm.onnx"});
  const std::string msg = le::test::thrownBy([&] { AnimationChoice c(dir, AnimationKind::kMotion); });
  EXPECT_EQ(msg.rfind("Cannot make a motion view of bundle " + dir + " in " + tmp.file("no/such/root") + ": ", 0), 0u)
      << msg;
}

}  // namespace
}  // namespace le::tools
