// The frame messages decode back, each at once, to the frames and speech
// that went in.
#include "live/frame_encoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "live/frame_source.h"
#include "live/synthetic_source.h"
#include "live/test_media.h"
#include "tests/test_support.h"

namespace le::live {
namespace {

TEST(FrameEncoder, MessagesDecodeAtOnceToTheirFramesAndSpeech) {
  constexpr int kW = 96, kH = 64, kFrames = 60;
  FrameEncoder enc(kW, kH);
  // "avc1." and the profile, constraints and level as six hex digits.
  EXPECT_EQ(enc.codec().size(), 11u) << enc.codec();
  EXPECT_EQ(enc.codec().rfind("avc1.", 0), 0u) << enc.codec();
  EXPECT_EQ(enc.codec().find_first_not_of("0123456789abcdef", 5), std::string::npos) << enc.codec();
  SyntheticSource frames(kW, kH);
  std::vector<std::vector<uint8_t>> sent;
  std::vector<std::string> msgs;
  std::vector<uint8_t> rgb(kW * kH * 3);
  for (int n = 0; n < kFrames; ++n) {
    FrameInfo info;
    ASSERT_TRUE(frames.pullFrame(rgb.data(), rgb.size(), info));
    // Speech whose value names its frame and sample.
    std::vector<int16_t> pcm(kSamplesPerFrame);
    for (int i = 0; i < kSamplesPerFrame; ++i) pcm[i] = int16_t(n * 300 - i);
    msgs.push_back(enc.addFrame(rgb.data(), n == 7 ? nullptr : pcm.data(), n == 10));
    sent.push_back(rgb);
  }
  EXPECT_EQ(enc.frames(), kFrames);
  const test::DecodedStream d = test::decodeMessages(msgs, kW, kH);
  // Nothing held back anywhere: the frame in a message is shown from it alone.
  EXPECT_EQ(d.heldBack, 0);
  ASSERT_EQ(d.images.size(), std::size_t(kFrames));
  for (int n = 0; n < kFrames; ++n) {
    EXPECT_EQ(d.numbers[n], uint32_t(n));
    double err = 0;
    for (std::size_t i = 0; i < rgb.size(); ++i) err += std::abs(int(d.images[n][i]) - int(sent[n][i]));
    EXPECT_LT(err / double(rgb.size()), 12.0) << "frame " << n;
  }
  // The first frame is a key frame, so a viewer can join, and one follows
  // at least every second.
  EXPECT_TRUE(d.keys[0]);
  EXPECT_TRUE(d.keys[10]);  // asked for
  // A decoder can start at a key frame asked for.
  const test::DecodedStream late =
      test::decodeMessages(std::vector<std::string>(msgs.begin() + 10, msgs.end()), kW, kH);
  EXPECT_EQ(late.images.size(), std::size_t(kFrames - 10));
  for (int n = 0, last = 0; n < kFrames; ++n) {
    if (d.keys[n]) last = n;
    EXPECT_LE(n - last, kFps - 1) << "frame " << n;
  }
  ASSERT_EQ(d.audio.size(), std::size_t(kFrames * kSamplesPerFrame));
  for (int n = 0; n < kFrames; ++n)
    for (int i : {0, 1, kSamplesPerFrame - 1}) {
      const float want = n == 7 ? 0.f : float(int16_t(n * 300 - i)) / 32768.f;
      ASSERT_EQ(d.audio[std::size_t(n * kSamplesPerFrame + i)], want) << "frame " << n << " sample " << i;
    }
}

TEST(FrameEncoder, RepeatsThePreviousPictureWithoutItsPixels) {
  constexpr int kW = 96, kH = 64;
  FrameEncoder enc(kW, kH);
  EXPECT_EQ(le::test::thrownBy([&] { enc.addFrame(nullptr, nullptr); }),
            "Live stream: there is no previous frame to repeat.");
  SyntheticSource frames(kW, kH);
  std::vector<uint8_t> a(kW * kH * 3), b(kW * kH * 3);
  FrameInfo info;
  ASSERT_TRUE(frames.pullFrame(a.data(), a.size(), info));
  for (std::size_t i = 0; i < a.size(); ++i) b[i] = uint8_t(255 - a[i]);  // a picture far from a
  std::vector<std::string> msgs;
  msgs.push_back(enc.addFrame(a.data(), nullptr));
  const std::string repeat = enc.addFrame(nullptr, nullptr);
  msgs.push_back(repeat);
  msgs.push_back(enc.addFrame(b.data(), nullptr));
  msgs.push_back(enc.addFrame(nullptr, nullptr));
  // A repeat carries no new picture: less video than the frame it repeats.
  FrameMessage first, again;
  ASSERT_TRUE(parseFrameMessage(msgs[0], first));
  ASSERT_TRUE(parseFrameMessage(repeat, again));
  EXPECT_LT(again.video.size(), first.video.size());
  const test::DecodedStream d = test::decodeMessages(msgs, kW, kH);
  ASSERT_EQ(d.images.size(), 4u);
  EXPECT_EQ(d.numbers[1], 1u);
  // Each repeat shows the picture before it (the encoder may refine it),
  // not the one pulled since.
  auto meanError = [](const std::vector<uint8_t>& x, const std::vector<uint8_t>& y) {
    double e = 0;
    for (std::size_t i = 0; i < x.size(); ++i) e += std::abs(int(x[i]) - int(y[i]));
    return e / double(x.size());
  };
  EXPECT_LT(meanError(d.images[1], a), 12.0);
  EXPECT_LT(meanError(d.images[3], b), 12.0);
  EXPECT_GT(meanError(d.images[3], a), 50.0);
}

TEST(FrameEncoder, RefusesOddSizesAndForeignMessages) {
  EXPECT_EQ(le::test::thrownBy([] { FrameEncoder e(95, 64); }),
            "Live stream: frame size 95x64 must be positive and even.");
  EXPECT_NE(le::test::thrownBy([] { FrameEncoder e(0, 64); }), "(nothing thrown)");
  FrameMessage m;
  EXPECT_FALSE(parseFrameMessage("LEF1", m));
  std::string bad(kFrameHeaderBytes, '\0');
  bad.replace(0, 4, "LEF1");
  bad[12] = 1;  // one video byte announced, none there
  EXPECT_FALSE(parseFrameMessage(bad, m));
  bad[12] = 0;
  EXPECT_TRUE(parseFrameMessage(bad, m));
  bad[0] = 'X';
  EXPECT_FALSE(parseFrameMessage(bad, m));
}

}  // namespace
}  // namespace le::live
