#include "tools/mp4_writer.h"

#include <cstdlib>

#include <cmath>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "tests/test_support.h"
#include "tools/audio_input.h"
#include "tools/media_probe.h"

namespace {

std::vector<uint8_t> gradientFrame(int w, int h, int t) {
  std::vector<uint8_t> rgb(size_t(w) * h * 3);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = &rgb[(size_t(y) * w + x) * 3];
      p[0] = uint8_t((x * 255) / (w - 1));
      p[1] = uint8_t((y * 255) / (h - 1));
      p[2] = uint8_t((t * 20 + x / 4) & 255);
    }
  return rgb;
}

TEST(Mp4Writer, FramesDecodeBackWithTheirCountSizeAndContent) {
  le::test::TempDir tmp;
  const std::string path = tmp.file("out.mp4");
  const int w = 96, h = 64, n = 12;
  {
    le::tools::Mp4Writer writer(path, w, h, 25);
    for (int t = 0; t < n; ++t) writer.write(gradientFrame(w, h, t).data());
    writer.close();
    EXPECT_EQ(writer.framesWritten(), n);
  }
  const auto video = le::test::decodeVideoRgb24(path);
  ASSERT_EQ(video.frames.size(), size_t(n));
  EXPECT_EQ(video.width, w);
  EXPECT_EQ(video.height, h);
  for (int t = 0; t < n; ++t) {
    const auto want = gradientFrame(w, h, t);
    EXPECT_GT(le::test::psnr(want.data(), video.frames[t].data(), want.size()), 30.0) << "frame " << t;
  }
}

TEST(Mp4Writer, RefusesOddSizesAndUnwritablePaths) {
  EXPECT_THROW(le::tools::Mp4Writer("/tmp/x.mp4", 95, 64, 25), std::runtime_error);
  EXPECT_THROW(le::tools::Mp4Writer("/nonexistent-dir/x.mp4", 96, 64, 25), std::runtime_error);
}

}  // namespace

namespace {

// A 1 kHz tone burst from `onset` on, silence before, at 16 kHz.
std::vector<int16_t> toneFrom(size_t total, size_t onset) {
  std::vector<int16_t> pcm(total, 0);
  for (size_t i = onset; i < total; ++i) pcm[i] = int16_t(12000.0 * std::sin(2.0 * M_PI * 1000.0 * double(i) / 16000.0));
  return pcm;
}

// First sample whose magnitude rises above a quarter of the tone's peak.
size_t onsetOf(const std::vector<int16_t>& pcm) {
  for (size_t i = 0; i < pcm.size(); ++i)
    if (std::abs(int(pcm[i])) > 3000) return i;
  return pcm.size();
}

TEST(Mp4Writer, AudioTrackIsAacBesideTheVideoAndKeepsItsTiming) {
  le::test::TempDir tmp;
  const std::string path = tmp.file("av.mp4");
  const int w = 64, h = 48, frames = 50;
  const std::vector<int16_t> pcm = toneFrom(size_t(frames) * 640, 20 * 640);
  {
    le::tools::Mp4Writer writer(path, w, h, 25, 20, le::tools::AudioSpec{});
    for (int t = 0; t < frames; ++t) {
      writer.write(gradientFrame(w, h, t).data());
      writer.writeAudio(pcm.data() + size_t(t) * 640, 640);  // each frame's own samples
    }
    writer.close();
    EXPECT_EQ(writer.audioSamplesWritten(), int64_t(pcm.size()));
  }
  const le::tools::MediaInfo info = le::tools::probeMedia(path);
  EXPECT_EQ(info.videoStreams, 1);
  EXPECT_EQ(info.audioStreams, 1);
  EXPECT_EQ(info.videoCodec, "h264");
  EXPECT_EQ(info.audioCodec, "aac");
  EXPECT_EQ(info.videoFrames, frames);
  EXPECT_EQ(info.audioChannels, 1);
  EXPECT_NEAR(info.videoSeconds, 2.0, 1e-6);
  EXPECT_NEAR(info.audioSeconds, info.videoSeconds, 0.04) << "durations within one frame";

  // Decoded as a player would, the tone starts where it was written.
  const std::vector<int16_t> back = le::tools::decodeSpeech(path);
  EXPECT_NEAR(double(back.size()), double(pcm.size()), 640.0);
  EXPECT_NEAR(double(onsetOf(back)), double(onsetOf(pcm)), 80.0) << "within 5 ms";
  EXPECT_EQ(le::test::decodeVideoRgb24(path).frames.size(), size_t(frames));
}

TEST(Mp4Writer, AudioNeedsAnAudioTrack) {
  le::test::TempDir tmp;
  le::tools::Mp4Writer writer(tmp.file("v.mp4"), 64, 48, 25);
  const int16_t s[4] = {};
  EXPECT_EQ(le::test::thrownBy([&] { writer.writeAudio(s, 4); }),
            "Mp4Writer: " + tmp.file("v.mp4") + " was opened without an audio track.");
}

}  // namespace
