// Stage dumps: what is written is read back, and damaged files are refused
// with the file and the place named.
#include "tools/stage_dump.h"

#include <gtest/gtest.h>

#include <cmath>

#include "tests/test_support.h"

namespace {

using le::tools::StageDump;

StageDump sample() {
  StageDump d;
  const float f[3] = {1.5f, -0.0f, std::nanf("")};
  const uint8_t b[4] = {0, 255, 7, 9};
  d.addFloats("speech.0.kp", f, 3);
  d.addBytes("idle.0", b, 4);
  d.addBytes("empty", b, 0);
  return d;
}

TEST(StageDump, RoundTripKeepsEveryRecordAndBit) {
  le::test::TempDir tmp;
  sample().write(tmp.file("d.bin"));
  const StageDump r = StageDump::read(tmp.file("d.bin"));
  ASSERT_EQ(r.arrays().size(), 3u);
  const std::vector<float>& f = r.floats("speech.0.kp");
  ASSERT_EQ(f.size(), 3u);
  EXPECT_EQ(f[0], 1.5f);
  EXPECT_TRUE(std::signbit(f[1]));
  EXPECT_TRUE(std::isnan(f[2]));
  EXPECT_EQ(r.bytes("idle.0"), (std::vector<uint8_t>{0, 255, 7, 9}));
  EXPECT_TRUE(r.bytes("empty").empty());
}

TEST(StageDump, LookupsAndAddsNameWhatIsWrong) {
  StageDump d = sample();
  EXPECT_NE(le::test::thrownBy([&] { d.floats("idle.0"); }).find("\"idle.0\" of (in memory) holds bytes"),
            std::string::npos);
  EXPECT_NE(le::test::thrownBy([&] { d.bytes("speech.0.kp"); }).find("holds floats"), std::string::npos);
  EXPECT_NE(le::test::thrownBy([&] { d.bytes("nope"); }).find("no record \"nope\""), std::string::npos);
  EXPECT_NE(le::test::thrownBy([&] { d.addBytes("idle.0", nullptr, 0); }).find("taken"), std::string::npos);
  EXPECT_NE(le::test::thrownBy([&] { d.addBytes("", nullptr, 0); }).find("empty or taken"), std::string::npos);
}

TEST(StageDump, DamagedFilesAreRefusedWithTheirPlace) {
  le::test::TempDir tmp;
  const std::string path = tmp.file("d.bin");
  sample().write(path);
  std::vector<unsigned char> bytes = le::test::readFile(path);
  // Cut inside the last record.
  le::test::writeFile(tmp.file("cut.bin"), bytes.data(), bytes.size() - 2);
  const std::string cut = le::test::thrownBy([&] { StageDump::read(tmp.file("cut.bin")); });
  EXPECT_NE(cut.find(tmp.file("cut.bin")), std::string::npos) << cut;
  EXPECT_NE(cut.find("\"speech.0.kp\" claims 3 elements"), std::string::npos) << cut;
  // An element count far beyond the file is refused before allocating.
  // First record ("empty"): 4 + 5 name bytes, then the type, then the count.
  std::vector<unsigned char> huge = bytes;
  huge[4 + 5 + 1 + 7] = 0x40;
  le::test::writeFile(tmp.file("huge.bin"), huge.data(), huge.size());
  EXPECT_NE(le::test::thrownBy([&] { StageDump::read(tmp.file("huge.bin")); }).find("bytes left"), std::string::npos);
  // An unknown type and a zero-length name.
  std::vector<unsigned char> type = bytes;
  type[4 + 5] = 7;
  le::test::writeFile(tmp.file("type.bin"), type.data(), type.size());
  EXPECT_NE(le::test::thrownBy([&] { StageDump::read(tmp.file("type.bin")); }).find("unknown type 7"),
            std::string::npos);
  const unsigned char zero[4] = {0, 0, 0, 0};
  le::test::writeFile(tmp.file("zero.bin"), zero, 4);
  EXPECT_NE(le::test::thrownBy([&] { StageDump::read(tmp.file("zero.bin")); }).find("name of 0 bytes at byte 0"),
            std::string::npos);
  EXPECT_NE(le::test::thrownBy([&] { StageDump::read(tmp.file("missing.bin")); }).find("Cannot open"),
            std::string::npos);
}

}  // namespace
