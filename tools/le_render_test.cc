// The le_render tool run as a user runs it: a bundle and a keypoint file in,
// an MP4 out, bad keypoint files refused with the line and the value.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "tests/test_support.h"

namespace {

using ::testing::HasSubstr;

struct ToolRun {
  int status;
  std::string err;
};

ToolRun leRender(const le::test::TempDir& tmp, const std::string& args) {
  const std::string log = tmp.file("err.txt");
  const int status = le::test::runCommand(le::test::programCommand(LE_RENDER_BIN) + " '" + le::test::bundlePath("tiny") +
                                          "' '" + tmp.file("out.mp4") + "' " + args + " 2> '" + log + "' > /dev/null");
  const std::vector<unsigned char> bytes = le::test::readFile(log);
  return {status, std::string(bytes.begin(), bytes.end())};
}

// A keypoint line: source frame `si` (as written) and 126 values, the
// first source value written as `first`.
std::string kpLine(const std::string& si, const std::string& first = "0.1") {
  std::ostringstream line;
  line << si << ' ' << first;
  for (int k = 1; k < 126; ++k) line << ' ' << (k % 3 == 2 ? 0.0 : 0.01 * (k % 17) - 0.08);
  return line.str() + "\n";
}

TEST(LeRender, RendersAKeypointFileAndTheDriveFrames) {
  le::test::TempDir tmp;
  le::test::writeFile(tmp.file("kp.txt"), "# two frames\n" + kpLine("3") + "\n" + kpLine("11"));
  ToolRun r = leRender(tmp, "--kp '" + tmp.file("kp.txt") + "'");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(le::test::decodeVideoRgb24(tmp.file("out.mp4")).frames.size(), 2u);

  r = leRender(tmp, "--frames 3 --gain 2 --loops 1000000");  // only the frames asked for are made
  ASSERT_EQ(r.status, 0) << r.err;
  const le::test::DecodedVideo v = le::test::decodeVideoRgb24(tmp.file("out.mp4"));
  EXPECT_EQ(v.frames.size(), 3u);
  EXPECT_EQ(v.width, 160);
  EXPECT_EQ(v.height, 120);
}

TEST(LeRender, RefusesNumbersItCannotUse) {
  le::test::TempDir tmp;
  const std::string kp = tmp.file("kp.txt");
  struct Case {
    std::string body, message;
  };
  const Case cases[] = {
      {kpLine("1e20"), "kp.txt:1: source frame 1e20 is not a loop frame (0 to 11)."},
      {kpLine("-1"), "kp.txt:1: source frame -1 is not a loop frame (0 to 11)."},
      {kpLine("2.5"), "kp.txt:1: source frame 2.5 is not a loop frame (0 to 11)."},
      {kpLine("0") + kpLine("nan"), "kp.txt:2: 'nan' is not a finite number that a float can hold."},
      {kpLine("0", "1e300"), "kp.txt:1: '1e300' is not a finite number that a float can hold."},
      {kpLine("0", "1e999"), "kp.txt:1: '1e999' is not a finite number that a float can hold."},
      {kpLine("0", "inf"), "kp.txt:1: 'inf' is not a finite number that a float can hold."},
      {kpLine("0", "0.5x"), "kp.txt:1: '0.5x' is not a finite number that a float can hold."},
      {"4 0.1 0.2\n", "kp.txt:1: expected a source frame index and 126 keypoint values, found 3 numbers."},
  };
  for (const Case& c : cases) {
    le::test::writeFile(kp, c.body);
    const ToolRun r = leRender(tmp, "--kp '" + kp + "'");
    EXPECT_NE(r.status, 0) << c.message;
    EXPECT_THAT(r.err, HasSubstr(c.message));
  }
  const ToolRun r = leRender(tmp, "--gain nan");
  EXPECT_EQ(r.status, 2);
  EXPECT_THAT(r.err, HasSubstr("--gain needs a number, got 'nan'"));
}

}  // namespace
