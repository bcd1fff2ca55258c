// The output file of le_speak and le_render: complete at its place, or not there.
#include "tools/temp_output.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "tests/test_support.h"

namespace {

using le::tools::TempOutput;

std::string contents(const std::string& path) {
  const std::vector<unsigned char> b = le::test::readFile(path);
  return std::string(b.begin(), b.end());
}

bool exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

TEST(TempOutput, TheOutputAppearsOnlyWhenCommittedAndAFailureKeepsWhatWasThere) {
  le::test::TempDir tmp;
  const std::string out = tmp.file("out.mp4");
  le::test::writeFile(out, std::string("earlier video"));
  std::string part;
  {
    TempOutput failed(out);
    part = failed.path();
    EXPECT_EQ(part.rfind(tmp.file(".out.mp4."), 0), 0u) << part;
    le::test::writeFile(part, std::string("half a video"));
  }
  EXPECT_FALSE(exists(part));
  EXPECT_EQ(contents(out), "earlier video");
  {
    TempOutput done(out);
    part = done.path();
    le::test::writeFile(part, std::string("new video"));
    done.commit();
  }
  EXPECT_FALSE(exists(part));
  EXPECT_EQ(contents(out), "new video");
  EXPECT_EQ(le::test::thrownBy([&] { TempOutput t(tmp.path()); }), "cannot write " + tmp.path() + ": it is a directory");
  EXPECT_EQ(le::test::thrownBy([&] { TempOutput t(tmp.file("no/such/dir.mp4")); }).rfind(
                "cannot write " + tmp.file("no/such/dir.mp4") + ": No such file or directory", 0),
            0u);
}

}  // namespace
