// Speech input: files FFmpeg reads, resampled to 16 kHz mono; text spoken by
// espeak-ng; clear refusals naming the file.
#include "tools/audio_input.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "tests/test_support.h"
#include "tools/mp4_writer.h"

namespace {

using le::tools::decodeSpeech;

// Zero crossings per second of a 16 kHz signal: twice its frequency for a tone.
double crossingsPerSecond(const std::vector<int16_t>& pcm) {
  int n = 0;
  for (size_t i = 1; i < pcm.size(); ++i) n += (pcm[i - 1] < 0) != (pcm[i] < 0);
  return double(n) * 16000.0 / double(pcm.size());
}

std::string makeTone(const le::test::TempDir& tmp, const std::string& name, const std::string& encode) {
  const std::string path = tmp.file(name);
  const int rc = le::test::runCommand("ffmpeg -v error -nostdin -y -f lavfi -i 'sine=frequency=440:duration=1.5' " +
                                      encode + " '" + path + "'");
  EXPECT_EQ(rc, 0) << "ffmpeg could not write " << path;
  return path;
}

TEST(AudioInput, FilesOfAnyRateAndLayoutBecome16kMono) {
  le::test::TempDir tmp;
  // 44.1 kHz stereo WAV, 22.05 kHz mono FLAC, 48 kHz AAC in an M4A.
  for (const auto& [name, encode] : std::vector<std::pair<std::string, std::string>>{
           {"a.wav", "-ar 44100 -ac 2"}, {"a.flac", "-ar 22050 -ac 1"}, {"a.m4a", "-ar 48000 -c:a aac"}}) {
    const std::vector<int16_t> pcm = decodeSpeech(makeTone(tmp, name, encode));
    EXPECT_NEAR(double(pcm.size()), 1.5 * 16000, 0.05 * 16000) << name;
    EXPECT_NEAR(crossingsPerSecond(pcm), 880.0, 15.0) << name << ": the pitch survives resampling";
  }
}

// Concatenated MP3s change layout and rate between frames: each part is
// resampled as what it is.
TEST(AudioInput, AStreamThatChangesLayoutAndRateMidwayKeepsItsDurationAndPitch) {
  le::test::TempDir tmp;
  const std::string bare = " -c:a libmp3lame -id3v2_version 0 -write_xing 0";  // frames only, no tags between
  const std::string a = makeTone(tmp, "a.mp3", "-ar 44100 -ac 2" + bare);
  const std::string b = makeTone(tmp, "b.mp3", "-ar 22050 -ac 1" + bare);
  ASSERT_EQ(le::test::runCommand("cat '" + a + "' '" + b + "' > '" + tmp.file("ab.mp3") + "'"), 0);
  const std::vector<int16_t> pcm = decodeSpeech(tmp.file("ab.mp3"));
  // Each part keeps its encoder's padding (about 50 ms): the pitch is read inside the tones.
  ASSERT_NEAR(double(pcm.size()), 3.0 * 16000, 0.1 * 16000);
  for (const double from : {0.2, 1.8}) {
    const std::vector<int16_t> part(pcm.begin() + long(from * 16000), pcm.begin() + long((from + 1.0) * 16000));
    EXPECT_NEAR(crossingsPerSecond(part), 880.0, 15.0) << "the tone from " << from << " s";
  }
}

TEST(AudioInput, UnreadableInputsAreRefusedNamingTheFile) {
  le::test::TempDir tmp;
  EXPECT_EQ(le::test::thrownBy([&] { decodeSpeech(tmp.file("missing.wav")); }),
            "Cannot read audio file " + tmp.file("missing.wav") + ": No such file or directory.");
  le::test::writeFile(tmp.file("text.wav"), std::string("this is not audio at all\n"));
  EXPECT_EQ(le::test::thrownBy([&] { decodeSpeech(tmp.file("text.wav")); }).rfind(
                "Cannot read audio file " + tmp.file("text.wav") + ": ", 0),
            0u);
  {
    le::tools::Mp4Writer silent(tmp.file("video.mp4"), 32, 32, 25);
    std::vector<uint8_t> black(32 * 32 * 3, 0);
    silent.write(black.data());
    silent.close();
  }
  EXPECT_EQ(le::test::thrownBy([&] { decodeSpeech(tmp.file("video.mp4")); }),
            "Audio file " + tmp.file("video.mp4") + " holds no audio stream FFmpeg can decode.");
}

TEST(AudioInput, TextIsSpokenByEspeakNg) {
  const std::vector<int16_t> pcm = le::tools::speakText("Hello from the engine.");
  EXPECT_GT(pcm.size(), size_t(16000) / 2);
  EXPECT_LT(pcm.size(), size_t(16000) * 5);
  int peak = 0;
  for (int16_t s : pcm) peak = std::max(peak, std::abs(int(s)));
  EXPECT_GT(peak, 1000) << "speech, not silence";
  EXPECT_EQ(le::test::thrownBy([] { le::tools::speakText(""); }), "Nothing to say: the text is empty.");
}

}  // namespace
