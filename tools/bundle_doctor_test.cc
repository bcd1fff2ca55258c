// The bundle doctor on a sound bundle and on every damaged bundle the
// generator can write: each damage must be laid at the member it damaged.
#include "tools/bundle_doctor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace {

using le::doctor::BundleReport;
using le::doctor::Status;
using ::testing::HasSubstr;

std::string statusOf(const BundleReport& r, const std::string& member) {
  const le::doctor::MemberReport* m = r.find(member);
  return m ? std::string(le::doctor::statusName(m->status)) + ": " + m->detail : "(not listed)";
}

std::string readText(const std::string& path) {
  const std::vector<unsigned char> b = le::test::readFile(path);
  return std::string(b.begin(), b.end());
}

TEST(BundleDoctor, SoundBundleOpensWithItsDirectorsAndSpeechSources) {
  le::doctor::Options options;
  options.speechEncoder = LE_SPEECH_ENCODER;
  const BundleReport r = le::doctor::examineBundle(le::test::bundlePath("tiny"), options);
  EXPECT_TRUE(r.renders) << le::doctor::formatText(r);
  EXPECT_TRUE(r.refused().empty()) << le::doctor::formatText(r);
  for (const char* m : {"manifest.json", "pooled64.f16", "P.f16", "fs_red.f16", "M.f32", "P_hevc.mov",
                        "drive/si.i32", "mask_512.u8", "lip_template.v1.json", "target_frames", "target_frames.mp4",
                        "xs_target.bin", "a2x_dec.onnx", "lmdm.onnx", "model_b24_fp32.onnx"})
    EXPECT_EQ(statusOf(r, m), "accepted: ") << m;
  std::vector<std::string> directors;
  for (const le::doctor::Director& d : r.directors) directors.push_back(d.key + "/" + std::to_string(d.batch));
  EXPECT_THAT(directors, ::testing::IsSupersetOf({"b1_fp32/1", "b4_fp32/4", "b24_fp32/24"}));
  EXPECT_THAT(r.speech, ::testing::ElementsAre("a2x", "motion", "fca"));
  EXPECT_FALSE(r.teeth);
  EXPECT_EQ(r.width, 160);
  EXPECT_GT(r.totalBytes, 0u);

  // Without a speech encoder its models are listed, not judged.
  unsetenv("W2V_ONNX");
  const BundleReport bare = le::doctor::examineBundle(le::test::bundlePath("tiny"), {});
  EXPECT_THAT(statusOf(bare, "a2x_dec.onnx"), HasSubstr("unchecked: not checked: needs a speech encoder"));
  EXPECT_THAT(bare.speech, ::testing::ElementsAre("motion"));
}

// A directory linked into itself is walked once, not once per path to it.
TEST(BundleDoctor, ADirectoryLinkedIntoItselfIsListedOnce) {
  le::test::TempDir tmp;
  const std::string dir = tmp.file("b");
  // One loop: the walk without the guard follows it 40 levels deep (two would take forever).
  ASSERT_EQ(le::test::runCommand("cp -r '" + le::test::bundlePath("tiny") + "' '" + dir + "' && ln -s .. '" + dir +
                                 "/drive/up'"),
            0);
  const BundleReport plain = le::doctor::examineBundle(le::test::bundlePath("tiny"), {});
  const BundleReport linked = le::doctor::examineBundle(dir, {});
  for (const le::doctor::MemberReport& m : linked.members)
    EXPECT_NE(m.member.rfind("drive/up", 0), 0u) << m.member;
  EXPECT_EQ(linked.totalBytes, plain.totalBytes);
}

TEST(BundleDoctor, CommandLineExitsByWhetherTheBundleRendersAndSpeaksJson) {
  le::test::TempDir tmp;
  const std::string bin = le::test::programCommand(LE_BUNDLE_BIN);
  const std::string out = tmp.file("out.json");
  ASSERT_EQ(le::test::runCommand(bin + " --json '" + le::test::bundlePath("tiny") + "' > '" + out + "' 2>/dev/null"),
            0);
  const nlohmann::json j = nlohmann::json::parse(readText(out));
  EXPECT_TRUE(j["renders"].get<bool>());
  EXPECT_FALSE(j["members"].empty());

  // A stray member and a missing one, through the generator.
  const std::string bad = tmp.file("bad");
  le::test::runGenerator({"--preset", "tiny", "--out", bad, "--quiet", "--omit", "M.f32"});
  le::test::writeFile(bad + "/model_b1_fp32.onnx.bak", "x");
  ASSERT_EQ(le::test::runCommand(bin + " '" + bad + "' > '" + out + "' 2>/dev/null"), 1);
  const std::string text = readText(out);
  EXPECT_THAT(text, HasSubstr("refused   M.f32"));
  EXPECT_THAT(text, HasSubstr("unread    model_b1_fp32.onnx.bak"));
  EXPECT_THAT(text, HasSubstr("does NOT open for rendering"));

  // A director that is not a model: refused by the renderer, and no other
  // director leaves the bundle unable to render.
  const std::string noModel = tmp.file("no_model");
  le::test::runGenerator({"--preset", "tiny", "--out", noModel, "--quiet", "--no-motion"});
  le::test::writeFile(noModel + "/model_b2_fp32.onnx", std::string(64, '\xa5'));
  ASSERT_EQ(le::test::runCommand(bin + " '" + noModel + "' > '" + out + "' 2>/dev/null"), 1);
  EXPECT_THAT(readText(out), HasSubstr("refused   model_b2_fp32.onnx"));
  EXPECT_THAT(readText(out), HasSubstr("directors: none\n"));
}

TEST(BundleDoctor, OpensAContainerAsTheEngineDoes) {
  le::test::TempDir tmp;
  const std::string container = tmp.file("tiny.imx");
  ASSERT_EQ(le::test::runCommand(le::test::python() + " '" + le::test::sourceDir() + "/tools/imx_pack.py' '" +
                                 le::test::bundlePath("tiny") + "' '" + container + "' > /dev/null"),
            0);
  const BundleReport r = le::doctor::examineBundle(container, {});
  EXPECT_TRUE(r.renders) << le::doctor::formatText(r);
  EXPECT_EQ(r.dir, tmp.file("tiny.lebundle"));
  EXPECT_EQ(statusOf(r, "pooled64.f16"), "accepted: ");

  // A container cut short is refused as a whole, by its own name.
  const std::vector<unsigned char> bytes = le::test::readFile(container);
  le::test::writeFile(tmp.file("cut.imx"), bytes.data(), bytes.size() / 2);
  const BundleReport cut = le::doctor::examineBundle(tmp.file("cut.imx"), {});
  EXPECT_FALSE(cut.renders);
  EXPECT_THAT(statusOf(cut, "cut.imx"), HasSubstr("refused: "));
  EXPECT_THAT(statusOf(cut, "cut.imx"), HasSubstr("truncated"));
}

TEST(BundleDoctor, ChecksTheTeethMembersHeadAndBankTrack) {
  const std::string root = le::test::dataDir() + "/tessera/";
  const BundleReport ok = le::doctor::examineBundle(root + "ok", {});
  EXPECT_TRUE(ok.teeth) << le::doctor::formatText(ok);
  for (const char* m : {"tessera_bank.v1.mp4", "tessera_bank.v1.json", "tessera_head.v1.pt", "tessera_head.v1.json"})
    EXPECT_EQ(statusOf(ok, m), "accepted: ") << m;

  // Each damaged teeth bundle: the member its loader refuses.
  const std::pair<const char*, const char*> cases[] = {
      {"missing_head_weights", "tessera_head.v1.pt"}, {"deflated_head", "tessera_head.v1.pt"},
      {"wrong_format", "tessera_bank.v1.json"},        {"n_donors_1025", "tessera_bank.v1.json"},
      {"track_order_repeat", "tessera_bank.v1.json"},  {"no_pix_fmt", "tessera_bank.v1.json"},
      {"cent_not_pair", "tessera_bank.v1.json"},       {"bad_manifest_json", "manifest.json"},
  };
  for (const auto& [variant, member] : cases) {
    const BundleReport r = le::doctor::examineBundle(root + variant, {});
    EXPECT_FALSE(r.teeth) << variant;
    EXPECT_THAT(statusOf(r, member), HasSubstr("refused: ")) << variant << "\n" << le::doctor::formatText(r);
  }
  // The bank track itself, swapped for one that is not a video.
  le::test::TempDir tmp;
  le::test::runCommand("cp -r '" + root + "ok/.' '" + tmp.path() + "'");
  le::test::writeFile(tmp.file("tessera_bank.v1.mp4"), std::string(4096, '\xa5'));
  const BundleReport garbage = le::doctor::examineBundle(tmp.path(), {});
  EXPECT_THAT(statusOf(garbage, "tessera_bank.v1.mp4"), HasSubstr("refused: ")) << le::doctor::formatText(garbage);
}

// Every member the generator can damage, and every kind of damage for it.
std::vector<std::pair<std::string, std::string>> damageVariants(const le::test::TempDir& tmp) {
  const std::string list = tmp.file("variants.txt");
  const std::string script =
      "import sys; sys.path.insert(0, '" + le::test::sourceDir() + "/tools')\n"
      "from bundlegen import damage, members\n"
      "for m in members.ALL:\n"
      "    for k in sorted(damage.kinds_for(m)): print(m, k)\n";
  le::test::writeFile(tmp.file("list.py"), script);
  if (le::test::runCommand(le::test::python() + " '" + tmp.file("list.py") + "' > '" + list + "'") != 0)
    throw std::runtime_error("cannot list the generator's damage kinds");
  std::vector<std::pair<std::string, std::string>> out;
  std::istringstream in(readText(list));
  for (std::string member, kind; in >> member >> kind;) out.emplace_back(member, kind);
  return out;
}

// Damage that leaves a member the engine reads as it should, so nothing can
// refuse it: same-length bytes that are valid numbers, a JSON text's
// trailing newline dropped or a NUL after it, a byte more or less at the end
// of a video container (the demuxer and decoder cover it), and a paste mask
// longer than the crop (only its first crop x crop bytes are read).
bool harmless(const std::string& member, const std::string& kind) {
  const bool json = member == "manifest.json" || member == "lip_template.v1.json";
  const bool video = member == "target_frames.mp4" || member == "P_hevc.mov";
  const bool array = member.find(".f16") != std::string::npos || member.find(".f32") != std::string::npos ||
                     member == "xs_target.bin" || member == "mask_512.u8";
  return (array && kind == "garbage") || (json && (kind == "short" || kind == "long")) ||
         (video && (kind == "short" || kind == "long")) ||
         (member == "mask_512.u8" && (kind == "long" || kind == "more"));
}

TEST(BundleDoctor, LaysEveryGeneratedDamageAtTheDamagedMember) {
  le::test::TempDir tmp;
  const auto variants = damageVariants(tmp);
  ASSERT_GT(variants.size(), 40u);
  // The speech models are none of the generator's damage targets; leaving
  // them out (and their encoder) keeps each variant quick to check.
  unsetenv("W2V_ONNX");
  const le::doctor::Options options;
  int n = 0, named = 0;
  for (const auto& [member, kind] : variants) {
    if (harmless(member, kind)) continue;
    SCOPED_TRACE(member + "=" + kind);
    const std::string dir = tmp.file("v" + std::to_string(n++));
    le::test::runGenerator(
        {"--preset", "tiny", "--out", dir, "--quiet", "--no-motion", "--damage", member + "=" + kind});
    const BundleReport r = le::doctor::examineBundle(dir, options);
    const std::string text = le::doctor::formatText(r);
    EXPECT_FALSE(r.refused().empty() && member != "target_frames") << text;
    if (member == "target_frames" && kind == "more") {
      // A frame past the loop's end is never read; the report lists it as such.
      EXPECT_EQ(statusOf(r, "target_frames/frame_000012.jpg"), "unread: no loader of the engine reads it") << text;
      continue;
    }
    const le::doctor::MemberReport* m = r.find(member);
    ASSERT_NE(m, nullptr) << text;
    EXPECT_TRUE(m->status == Status::kRefused) << text;
    // A member sized by the manifest is the only one blamed, unless the
    // manifest itself is wrong (then every member it sizes is refused).
    if (member != "manifest.json") {
      for (const le::doctor::MemberReport* other : r.refused()) EXPECT_EQ(other->member, member) << text;
    }
    ++named;
    le::test::runCommand("rm -rf '" + dir + "'");
  }
  EXPECT_GT(named, 50);
}

}  // namespace
