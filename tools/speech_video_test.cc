// The frame and sync rules of a speech video: the last lead frames before
// speech, each speech frame with its own 640 samples, silence elsewhere.
#include "tools/speech_video.h"
#include "tools/mp4_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "tests/test_support.h"
#include "tools/audio_input.h"
#include "tools/media_probe.h"

namespace {

constexpr int kW = 32, kH = 32;

std::vector<uint8_t> flat(int level) { return std::vector<uint8_t>(size_t(kW) * kH * 3, uint8_t(level)); }

std::vector<int16_t> tone(size_t n) {
  std::vector<int16_t> pcm(n);
  for (size_t i = 0; i < n; ++i) pcm[i] = int16_t(10000.0 * std::sin(2.0 * M_PI * 500.0 * double(i) / 16000.0));
  return pcm;
}

double rms(const std::vector<int16_t>& pcm, size_t from, size_t to) {
  double s = 0;
  for (size_t i = from; i < to; ++i) s += double(pcm[i]) * pcm[i];
  return std::sqrt(s / double(to - from));
}

TEST(SpeechVideo, KeepsTheLastLeadFramesAndPutsEachFramesSamplesBesideIt) {
  le::test::TempDir tmp;
  const std::string path = tmp.file("s.mp4");
  const std::vector<int16_t> speech = tone(10 * 640 - 100);  // the last frame is partly silent
  int lead = 0, spoken = 0, ramp = 0;
  {
    le::tools::Mp4Writer mp4(path, kW, kH, 25, 20, le::tools::AudioSpec{});
    le::tools::SpeechVideo video(mp4, speech, 5, size_t(kW) * kH * 3);
    EXPECT_EQ(video.speechFramesNeeded(), 10);
    for (int i = 0; i < 20; ++i) video.add(flat(i * 4).data(), 0, -1);  // idle, levels 0..76
    EXPECT_EQ(video.written(), 0) << "lead frames wait for the speech";
    for (int i = 0; i < 10; ++i) video.add(flat(120 + i * 8).data(), 1, i);
    for (int i = 0; i < 6; ++i) video.add(flat(240).data(), 2, -1);
    EXPECT_EQ(le::test::thrownBy([&] { video.add(flat(0).data(), 1, 10); }),
              "Speech frame 10 lies outside the 10 frames of the speech.");
    lead = video.lead();
    spoken = video.speechFrames();
    ramp = video.rampFrames();
    EXPECT_EQ(video.written(), 21);
    mp4.close();
  }
  EXPECT_EQ(lead, 5);
  EXPECT_EQ(spoken, 10);
  EXPECT_EQ(ramp, 6);
  const auto frames = le::test::decodeVideoRgb24(path).frames;
  ASSERT_EQ(frames.size(), 21u);
  EXPECT_NEAR(frames[0][0], 15 * 4, 3) << "the lead starts at the 5th idle frame before speech";
  EXPECT_NEAR(frames[4][0], 19 * 4, 3);
  EXPECT_NEAR(frames[5][0], 120, 3) << "speech frame 0 follows the lead";
  EXPECT_NEAR(frames[20][0], 240, 3);

  const le::tools::MediaInfo info = le::tools::probeMedia(path);
  EXPECT_NEAR(info.audioSeconds, info.videoSeconds, 0.04);
  const std::vector<int16_t> audio = le::tools::decodeSpeech(path);
  ASSERT_GE(audio.size(), 20u * 640);
  EXPECT_LT(rms(audio, 0, 5 * 640 - 200), 100.0) << "silence under the lead";
  EXPECT_GT(rms(audio, 5 * 640 + 200, 15 * 640 - 300), 5000.0) << "the speech under the speech frames";
  EXPECT_LT(rms(audio, 15 * 640 + 200, 20 * 640), 100.0) << "silence under the ramp";
  size_t onset = 0;
  while (onset < audio.size() && std::abs(int(audio[onset])) < 2500) ++onset;
  EXPECT_NEAR(double(onset), 5.0 * 640, 80.0) << "speech starts within 5 ms of its first frame";
}

TEST(SpeechVideo, WithoutLeadFramesTheVideoStartsWithTheSpeech) {
  le::test::TempDir tmp;
  const std::vector<int16_t> speech = tone(640);
  le::tools::Mp4Writer mp4(tmp.file("s.mp4"), kW, kH, 25, 20, le::tools::AudioSpec{});
  le::tools::SpeechVideo video(mp4, speech, 0, size_t(kW) * kH * 3);
  for (int i = 0; i < 3; ++i) video.add(flat(0).data(), 0, -1);
  video.add(flat(100).data(), 1, 0);
  video.add(flat(100).data(), 0, -1);
  EXPECT_EQ(video.written(), 2);
  EXPECT_EQ(video.lead(), 0);
  EXPECT_EQ(video.otherFrames(), 1);
}

}  // namespace
