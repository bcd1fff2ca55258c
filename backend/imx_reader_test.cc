#include "backend/imx_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/bundle/bundle_test_util.h"
#include "core/bundle/imx_unwrap.h"
#include "tests/test_support.h"

namespace {

namespace c = mirelund::engine::container;
using le::bundle_test::exists;
using le::bundle_test::listTree;
using le::bundle_test::pack;
using le::bundle_test::readText;
using le::bundle_test::writeText;

std::string text(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

class ImxReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    src_ = tmp_.file("src");
    writeText(src_ + "/manifest.json", "{\"format\": \"le-bundle-v0\"}");
    writeText(src_ + "/drive/xs.f32", std::string(64, 'x'));
    writeText(src_ + "/models/deep/m.onnx", "model bytes");
  }
  le::test::TempDir tmp_;
  std::string src_;
};

TEST_F(ImxReaderTest, ListsReadsAndExtractsABundle) {
  const std::string box = tmp_.file("b.imx");
  pack(src_, box, {"--scatter"});
  EXPECT_TRUE(c::imx_is_container(box.c_str()));
  std::vector<c::ImxEntry> entries;
  ASSERT_EQ(c::imx_list_entries(box.c_str(), entries), c::kImxOk);
  EXPECT_EQ(entries.size(), 3u);
  std::vector<uint8_t> out;
  ASSERT_EQ(c::imx_read_manifest(box.c_str(), out), c::kImxOk);
  EXPECT_EQ(text(out), "{\"format\": \"le-bundle-v0\"}");
  EXPECT_EQ(c::imx_read_entry(box.c_str(), "nope", out), c::kImxOk);
  EXPECT_TRUE(out.empty());
  ASSERT_EQ(c::imx_extract_all(box.c_str(), tmp_.file("out/").c_str()), c::kImxOk);
  EXPECT_EQ(listTree(tmp_.file("out")), listTree(src_));
  EXPECT_EQ(readText(tmp_.file("out/models/deep/m.onnx")), "model bytes");
}

TEST_F(ImxReaderTest, EightByteContainerIsValidAndEmpty) {
  const std::string box = tmp_.file("empty.imx");
  le::test::writeFile(box, std::string("IMX\0\2\0\0\0", 8));
  std::vector<c::ImxEntry> entries;
  EXPECT_EQ(c::imx_list_entries(box.c_str(), entries), c::kImxOk);
  EXPECT_TRUE(entries.empty());
  EXPECT_EQ(c::imx_extract_all(box.c_str(), tmp_.file("out").c_str()), c::kImxOk);
  EXPECT_TRUE(listTree(tmp_.file("out")).empty());
}

TEST_F(ImxReaderTest, MemberOnePastTheEndIsABadContainerEverywhere) {
  const std::string box = tmp_.file("long.imx");
  pack(src_, box, {"--size-delta", "models/deep/m.onnx=1"});
  std::vector<c::ImxEntry> entries;
  EXPECT_EQ(c::imx_list_entries(box.c_str(), entries), c::kImxBadContainer);
  EXPECT_TRUE(entries.empty());
  std::vector<uint8_t> out;
  EXPECT_EQ(c::imx_read_entry(box.c_str(), "manifest.json", out), c::kImxBadContainer);
  EXPECT_EQ(c::imx_extract_all(box.c_str(), tmp_.file("out").c_str()), c::kImxBadContainer);
  EXPECT_FALSE(exists(tmp_.file("out")));
  // An offset far past the end, where offset + size would wrap, fails the same way.
  pack(src_, box, {"--offset-delta", "drive/xs.f32=0xffffffffffffff00"});
  EXPECT_EQ(c::imx_list_entries(box.c_str(), entries), c::kImxBadContainer);
}

TEST_F(ImxReaderTest, LaterDuplicateWins) {
  const std::string box = tmp_.file("dup.imx");
  pack("-", box, {"--data", "a/x=first", "--data", "a/x=second"});
  std::vector<uint8_t> out;
  ASSERT_EQ(c::imx_read_entry(box.c_str(), "a/x", out), c::kImxOk);
  EXPECT_EQ(text(out), "second");
  ASSERT_EQ(c::imx_extract_all(box.c_str(), tmp_.file("out").c_str()), c::kImxOk);
  EXPECT_EQ(readText(tmp_.file("out/a/x")), "second");
}

TEST_F(ImxReaderTest, UnsafeNamesAreRefusedBeforeAnyFileExists) {
  const std::vector<std::string> names = {"/etc/x", "\\\\x", "../evil", "a/../../b", "", "C:x", "a\\x00b",
                                          "ok/..hidden"};
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    const std::string box = tmp_.file("hostile.imx");
    // A safe member first: refusing must come before it is written.
    pack("-", box, {"--escape-names", "--data", "first=ok", "--data", name + "=pwned"});
    EXPECT_EQ(c::imx_extract_all(box.c_str(), tmp_.file("out").c_str()), c::kImxBadContainer);
    EXPECT_FALSE(exists(tmp_.file("out")));
  }
  EXPECT_FALSE(exists(tmp_.file("evil")));
}

TEST_F(ImxReaderTest, ReadsMembersOfADirectoryBundle) {
  std::vector<uint8_t> out;
  ASSERT_EQ(c::imx_read_entry(src_.c_str(), "drive/xs.f32", out), c::kImxOk);
  EXPECT_EQ(out.size(), 64u);
  EXPECT_EQ(c::imx_read_entry(src_.c_str(), "missing.bin", out), c::kImxOk);
  EXPECT_TRUE(out.empty());
  // A subdirectory is not a member.
  EXPECT_EQ(c::imx_read_entry(src_.c_str(), "models", out), c::kImxOk);
  EXPECT_TRUE(out.empty());
  std::vector<c::ImxEntry> entries;
  EXPECT_EQ(c::imx_list_entries(src_.c_str(), entries), c::kImxBadPath);
  EXPECT_FALSE(c::imx_is_container(src_.c_str()));
}

TEST_F(ImxReaderTest, BadPathsAndBrokenHeaders) {
  std::vector<c::ImxEntry> entries;
  std::vector<uint8_t> out;
  EXPECT_EQ(c::imx_list_entries(nullptr, entries), c::kImxBadPath);
  EXPECT_EQ(c::imx_list_entries("", entries), c::kImxBadPath);
  EXPECT_EQ(c::imx_list_entries(tmp_.file("none.imx").c_str(), entries), c::kImxBadPath);
  EXPECT_EQ(c::imx_read_entry(tmp_.file("none.imx").c_str(), "x", out), c::kImxBadPath);
  EXPECT_EQ(c::imx_read_entry(src_.c_str(), nullptr, out), c::kImxBadPath);
  EXPECT_EQ(c::imx_extract_all(nullptr, "x"), c::kImxBadPath);
  EXPECT_EQ(c::imx_extract_all("x", ""), c::kImxBadPath);
  const std::string box = tmp_.file("bad.imx");
  for (const std::vector<std::string>& opts :
       {std::vector<std::string>{"--version", "3"}, {"--magic", "IMY\\x00"}, {"--count", "9"}, {"--truncate", "7"},
        {"--truncate", "12"}, {"--truncate", "-1"}}) {
    SCOPED_TRACE(opts[0] + " " + opts[1]);
    pack(src_, box, opts);
    EXPECT_EQ(c::imx_list_entries(box.c_str(), entries), c::kImxBadContainer);
    EXPECT_EQ(c::imx_extract_all(box.c_str(), tmp_.file("out").c_str()), c::kImxBadContainer);
  }
  EXPECT_FALSE(c::imx_is_container(nullptr));
}

TEST_F(ImxReaderTest, ExtractionNeverWritesThroughALink) {
  const std::string box = tmp_.file("l.imx");
  pack("-", box, {"--data", "x=inside"});
  writeText(tmp_.file("victim"), "untouched");
  le::bundle_test::makeDirs(tmp_.file("out"));
  ASSERT_EQ(::symlink(tmp_.file("victim").c_str(), tmp_.file("out/x").c_str()), 0);
  EXPECT_EQ(c::imx_extract_all(box.c_str(), tmp_.file("out").c_str()), c::kImxBadContainer);
  EXPECT_EQ(readText(tmp_.file("victim")), "untouched");
}

TEST_F(ImxReaderTest, MkdirPSplitsAtBothSeparators) {
  EXPECT_TRUE(c::mkdir_p(""));
  EXPECT_TRUE(c::mkdir_p(tmp_.file("m/a\\b/c/")));
  EXPECT_TRUE(exists(tmp_.file("m/a/b/c")));
  writeText(tmp_.file("m/file"), "x");
  EXPECT_FALSE(c::mkdir_p(tmp_.file("m/file/sub")));
}

TEST(ImxReaderBundle, PluginExtractionMatchesTheCoreUnwrap) {
  le::test::TempDir tmp;
  const std::string box = tmp.file("tiny.imx");
  pack(le::test::bundlePath("tiny"), box, {"--scatter"});
  ASSERT_EQ(c::imx_extract_all(box.c_str(), tmp.file("plugin").c_str()), c::kImxOk);
  const std::string core = le::unwrapOnce(box);
  const auto tree = listTree(tmp.file("plugin"));
  ASSERT_EQ(tree, listTree(core));
  ASSERT_GT(tree.size(), 3u);
  for (const std::string& rel : tree) {
    if (rel.back() == '/') continue;
    EXPECT_EQ(le::test::readFile(tmp.file("plugin/" + rel)), le::test::readFile(core + "/" + rel)) << rel;
  }
}

}  // namespace
