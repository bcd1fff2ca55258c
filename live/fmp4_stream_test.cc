// The encoded live stream decodes back to the frames and speech that went
// in, with each frame's speech at the frame's own time.
#include "live/fmp4_stream.h"

#include <gtest/gtest.h>

#include <cmath>
#include <regex>

#include "live/frame_source.h"
#include "live/synthetic_source.h"
#include "live/test_media.h"
#include "tests/test_support.h"

namespace le::live {
namespace {

uint32_t boxSize(const std::string& b, std::size_t at) {
  return uint32_t(uint8_t(b[at])) << 24 | uint32_t(uint8_t(b[at + 1])) << 16 | uint32_t(uint8_t(b[at + 2])) << 8 |
         uint8_t(b[at + 3]);
}

TEST(Fmp4Stream, FragmentsDecodeToTheFramesWithTheirSpeechInStep) {
  constexpr int kW = 96, kH = 64, kFrames = 40, kToneFrom = 15, kToneTo = 25;
  Fmp4Stream stream(kW, kH);
  EXPECT_TRUE(std::regex_match(stream.mimeType(), std::regex(R"(video/mp4; codecs="avc1\.[0-9a-f]{6},mp4a\.40\.2")")))
      << stream.mimeType();
  const std::string& init = stream.initSegment();
  ASSERT_GT(init.size(), 16u);
  EXPECT_EQ(init.substr(4, 4), "ftyp");
  EXPECT_NE(init.find("moov"), std::string::npos);

  SyntheticSource frames(kW, kH);
  std::vector<uint8_t> rgb(kW * kH * 3);
  std::string file = init;
  for (int n = 0; n < kFrames; ++n) {
    FrameInfo info;
    ASSERT_TRUE(frames.pullFrame(rgb.data(), rgb.size(), info));
    // A 440 Hz tone on frames 15..24 only, silence elsewhere.
    std::vector<int16_t> pcm(kSamplesPerFrame, 0);
    if (n >= kToneFrom && n < kToneTo)
      for (int i = 0; i < kSamplesPerFrame; ++i)
        pcm[i] = int16_t(12000 * std::sin(2 * M_PI * 440.0 * (n * kSamplesPerFrame + i) / kSampleRate));
    const std::string frag = stream.addFrame(rgb.data(), pcm.data());
    // Every frame closes a fragment of its own: moof, then mdat.
    ASSERT_GT(frag.size(), 16u) << "frame " << n;
    EXPECT_EQ(frag.substr(4, 4), "moof") << "frame " << n;
    EXPECT_NE(frag.find("mdat", boxSize(frag, 0)), std::string::npos) << "frame " << n;
    file += frag;
  }
  EXPECT_EQ(stream.frames(), kFrames);

  le::test::TempDir dir;
  le::test::writeFile(dir.file("live.mp4"), file);
  const test::DecodedStream d = test::decodeStream(dir.file("live.mp4"));
  // The first frame also covers the encoder's priming time before its slot.
  const int lead = int(std::lround(stream.startSeconds() * kFps));
  EXPECT_NEAR(stream.startSeconds(), lead / double(kFps), 1e-9);
  ASSERT_EQ(d.videoTimes.size(), std::size_t(kFrames + lead));
  for (int n = 0; n < kFrames + lead; ++n)
    EXPECT_NEAR(d.videoTimes[n], n / double(kFps), 1e-3) << "slot " << n;
  ASSERT_EQ(d.audioRate, kSampleRate);
  // The tone sits exactly under frames 15..24: loud inside (away from the
  // edges, where the codec smears), quiet around.
  const double t0 = stream.startSeconds() + kToneFrom / double(kFps), t1 = stream.startSeconds() + kToneTo / double(kFps);
  const double inside = test::rms(d.audio, t0 + 0.03, t1 - 0.03, kSampleRate);
  const double before = test::rms(d.audio, t0 - 0.25, t0 - 0.05, kSampleRate);
  const double after = test::rms(d.audio, t1 + 0.05, t1 + 0.25, kSampleRate);
  EXPECT_GT(inside, 0.15);
  EXPECT_LT(before, 0.02);
  EXPECT_LT(after, 0.02);
}

TEST(Fmp4Stream, RefusesOddSizes) {
  EXPECT_EQ(le::test::thrownBy([] { Fmp4Stream s(95, 64); }),
            "Live stream: frame size 95x64 must be positive and even.");
  EXPECT_NE(le::test::thrownBy([] { Fmp4Stream s(0, 64); }), "(nothing thrown)");
}

}  // namespace
}  // namespace le::live
