// The stage comparison on a real recorded utterance: a run compared with
// itself passes, and faults that a port could bring (a face pasted one
// pixel off, keypoints moved well past rounding, an idle frame decoded
// differently, a stage run on one side only) fail where they happen.
#include "tools/speech_frame_check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "core/bundle/drive.h"
#include "core/bundle/member_names.h"
#include "le/le.h"
#include "tests/test_support.h"

namespace {

using le::tools::StageDump;

class SpeechFrameCheck : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dump_ = new StageDump(StageDump::read(le::test::dataDir() + "/speech_frame_dump.bin"));
  }
  static void TearDownTestSuite() { delete dump_; }

  // The recorded dump with some records replaced.
  static StageDump with(const std::vector<std::pair<std::string, le::tools::StageArray>>& changes) {
    StageDump d;
    for (const auto& [name, a] : dump_->arrays()) {
      const le::tools::StageArray* use = &a;
      for (const auto& c : changes)
        if (c.first == name) use = &c.second;
      if (use->isFloat)
        d.addFloats(name, use->f.data(), use->f.size());
      else
        d.addBytes(name, use->b.data(), use->b.size());
    }
    return d;
  }

  static std::vector<std::string> failures(const StageDump& other) {
    std::vector<std::string> lines, failed;
    const int n = le::tools::compareSpeechDumps(*dump_, other, &lines);
    for (const auto& l : lines)
      if (l.rfind("FAIL", 0) == 0) failed.push_back(l);
    EXPECT_EQ(size_t(n), failed.size());
    return failed;
  }

  static bool named(const std::vector<std::string>& failed, const std::string& what) {
    return std::any_of(failed.begin(), failed.end(),
                       [&](const std::string& l) { return l.find(what) != std::string::npos; });
  }

  static StageDump* dump_;
};

StageDump* SpeechFrameCheck::dump_ = nullptr;

le::tools::StageArray bytesOf(std::vector<uint8_t> b) {
  le::tools::StageArray a;
  a.b = std::move(b);
  return a;
}

le::tools::StageArray floatsOf(std::vector<float> f) {
  le::tools::StageArray a;
  a.isFloat = true;
  a.f = std::move(f);
  return a;
}

TEST_F(SpeechFrameCheck, TheRecordedUtteranceHasEveryStage) {
  EXPECT_EQ(dump_->floats("speech.src").size(), 16u);
  EXPECT_TRUE(dump_->has("speech.0.crop"));
  EXPECT_TRUE(dump_->has("speech.15.crop"));
  EXPECT_FALSE(dump_->has("speech.1.crop"));
  EXPECT_TRUE(dump_->has("idle.after"));
  std::vector<std::string> lines;
  EXPECT_EQ(le::tools::compareSpeechDumps(*dump_, *dump_, &lines), 0);
  // At least keypoints, frame and footprint of every speech frame.
  EXPECT_GE(lines.size(), 3u * 16u);
}

TEST_F(SpeechFrameCheck, AFacePastedOnePixelOffFails) {
  std::vector<uint8_t> f = dump_->bytes("speech.12.frame");
  std::rotate(f.begin(), f.begin() + 3, f.end());
  const auto failed = failures(with({{"speech.12.frame", bytesOf(f)}}));
  EXPECT_TRUE(named(failed, "speech.12.frame")) << ::testing::PrintToString(failed);
}

TEST_F(SpeechFrameCheck, KeypointsMovedWellPastRoundingFailEveryStageTheyReach) {
  // Speech frame 5 rendered and pasted again from keypoints moved by 1e-3
  // (three times their tolerance, a third of a crop pixel).
  const std::string bundle = le::test::bundlePath("tiny");
  std::unique_ptr<le_ctx, void (*)(le_ctx*)> ctx(le_create(bundle.c_str(), "b1_fp32", 1, nullptr), le_destroy);
  ASSERT_TRUE(ctx) << le_last_error();
  const int src = int(dump_->floats("speech.src").at(5));
  const std::vector<float> xs =
      le::readRaw<float>(le::resolveMember(bundle, "xs_target.bin"), size_t(le_nt(ctx.get())) * 63);
  std::vector<float> kp = dump_->floats("speech.5.kp");
  for (float& v : kp) v += 1e-3f;
  const float* crop = le_render_kp_crop(ctx.get(), src, xs.data() + size_t(src) * 63, kp.data());
  ASSERT_NE(crop, nullptr) << le_last_error();
  std::vector<float> c(crop, crop + dump_->floats("speech.5.crop").size());
  std::vector<uint8_t> frame(dump_->bytes("speech.5.frame").size());
  ASSERT_EQ(le_paste_crop(ctx.get(), src, c.data(), frame.data(), frame.size()), 1) << le_last_error();
  const auto failed = failures(
      with({{"speech.5.kp", floatsOf(kp)}, {"speech.5.crop", floatsOf(c)}, {"speech.5.frame", bytesOf(frame)}}));
  EXPECT_TRUE(named(failed, "speech.5.kp:")) << ::testing::PrintToString(failed);
  EXPECT_TRUE(named(failed, "speech.5.crop:")) << ::testing::PrintToString(failed);
  EXPECT_TRUE(named(failed, "speech.5.frame:")) << ::testing::PrintToString(failed);
  EXPECT_EQ(failed.size(), 3u) << ::testing::PrintToString(failed);
}

TEST_F(SpeechFrameCheck, ExactStagesAllowNoDifference) {
  std::vector<uint8_t> idle = dump_->bytes("idle.1");
  idle[idle.size() / 2] ^= 1;
  std::vector<float> src = dump_->floats("speech.src");
  src[3] += 1;
  const auto failed = failures(with({{"idle.1", bytesOf(idle)}, {"speech.src", floatsOf(src)}}));
  EXPECT_TRUE(named(failed, "idle.1: DIFFERS")) << ::testing::PrintToString(failed);
  EXPECT_TRUE(named(failed, "speech.src: DIFFERS")) << ::testing::PrintToString(failed);
  EXPECT_EQ(failed.size(), 2u);
}

TEST_F(SpeechFrameCheck, AStageRecordedOnOneSideOnlyFails) {
  StageDump extra = with({});
  const float one = 1.0f;
  extra.addFloats("speech.1.crop", &one, 1);
  const auto failed = failures(extra);
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_NE(failed[0].find("\"speech.1.crop\" is not on both sides"), std::string::npos);
}

}  // namespace
