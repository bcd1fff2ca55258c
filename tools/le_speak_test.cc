// The le_speak tool end to end on the tiny bundle: what the MP4 holds, the
// frame-count rule, audio and video in step, and the refusals a shell user
// sees (exit code, one line, nothing left behind).
#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/tessera/json.h"
#include "tests/test_support.h"
#include "tools/audio_input.h"
#include "tools/media_probe.h"

namespace {

constexpr int kRampFrames = 6;  // the pipeline's default end ramp

std::string speechDir() { return le::test::dataDir() + "/speech"; }
std::string encoder() { return speechDir() + "/audio_encoder_fp32.onnx"; }
std::string tiny() { return le::test::bundlePath("tiny"); }

struct ToolRun {
  int code = 0;
  std::string err;  // standard error without the engine's and ONNX Runtime's own diagnostics
  std::string out;  // standard output
};

std::string quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string text(const std::vector<unsigned char>& bytes) { return std::string(bytes.begin(), bytes.end()); }

ToolRun speak(const le::test::TempDir& tmp, const std::vector<std::string>& args) {
  std::string cmd = le::test::programCommand(LE_SPEAK_PATH);
  for (const auto& a : args) cmd += " " + quote(a);
  const std::string errFile = tmp.file("stderr.txt"), outFile = tmp.file("stdout.txt");
  ToolRun r;
  r.code = le::test::runCommand(cmd + " --quiet > " + quote(outFile) + " 2> " + quote(errFile));
  r.out = text(le::test::readFile(outFile));
  std::remove(outFile.c_str());
  std::ifstream in(errFile);
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("[le", 0) != 0 && line.rfind("Mirelund: ", 0) != 0 && line.find(":onnxruntime:") == std::string::npos)
      r.err += line + "\n";
  std::remove(errFile.c_str());
  return r;
}

// Every name in dir, hidden temporaries included, sorted.
std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* e = readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

int framesFor(size_t samples) { return int((samples + 639) / 640); }

TEST(LeSpeak, WritesOneVideoAndOneAudioStreamInStepWithTheFrameRule) {
  le::test::TempDir tmp;
  const std::string out = tmp.file("hello.mp4"), wav = speechDir() + "/hello.wav";
  const ToolRun r = speak(tmp, {tiny(), out, wav, "--encoder", encoder(), "--lead", "5", "--telemetry",
                            tmp.file("telemetry.json")});
  ASSERT_EQ(r.code, 0) << r.err;
  const le::tools::MediaInfo info = le::tools::probeMedia(out);
  EXPECT_EQ(info.videoStreams, 1);
  EXPECT_EQ(info.audioStreams, 1);
  EXPECT_EQ(info.videoCodec, "h264");
  EXPECT_EQ(info.audioCodec, "aac");
  const int speechFrames = framesFor(le::tools::decodeSpeech(wav).size());
  EXPECT_EQ(info.videoFrames, 5 + speechFrames + kRampFrames) << "lead + ceil(samples / 640) + ramp";
  EXPECT_NEAR(info.videoSeconds, double(info.videoFrames) / 25.0, 1e-6);
  EXPECT_NEAR(info.audioSeconds, info.videoSeconds, 0.04) << "durations within one frame";
  EXPECT_EQ(le::test::decodeVideoRgb24(out).frames.size(), size_t(info.videoFrames));

  // The speech starts at the first speech frame: silence under the lead.
  const std::vector<int16_t> audio = le::tools::decodeSpeech(out);
  const std::vector<int16_t> input = le::tools::decodeSpeech(wav);
  size_t onsetOut = 0, onsetIn = 0;
  while (onsetOut < audio.size() && std::abs(int(audio[onsetOut])) < 2000) ++onsetOut;
  while (onsetIn < input.size() && std::abs(int(input[onsetIn])) < 2000) ++onsetIn;
  EXPECT_NEAR(double(onsetOut), double(5 * 640 + onsetIn), 160.0);

  const auto doc = le::tessera::json::parse(text(le::test::readFile(tmp.file("telemetry.json"))));
  EXPECT_GE(doc.req("counters").reqNum("render.frames"), speechFrames);
  // One CPU sample per stage for every frame published (some may wait in
  // the ring unpulled) and one encode sample for every frame written.
  for (const char* stage : {"source", "render", "teeth", "decode", "paste"})
    EXPECT_GE(doc.req("values").req(std::string("frame_cpu.") + stage + "_ms").reqNum("count"), info.videoFrames)
        << stage;
  EXPECT_EQ(doc.req("values").req("frame_cpu.encode_ms").reqNum("count"), info.videoFrames);
  EXPECT_NE(r.out.find("le_speak: teeth: none (the bundle carries no teeth members)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("le_speak: CPU per delivered frame: source "), std::string::npos) << r.out;
  EXPECT_EQ(entries(tmp.path()), (std::vector<std::string>{"hello.mp4", "telemetry.json"}) ) << "no temporary left";
}

TEST(LeSpeak, RealTimePacingAndSpokenTextGiveTheSameFrameRule) {
  le::test::TempDir tmp;
  const std::string out = tmp.file("say.mp4");
  const ToolRun r = speak(tmp, {tiny(), out, "--say", "Hello there.", "--encoder", encoder(), "--realtime", "--lead", "0"});
  ASSERT_EQ(r.code, 0) << r.err;
  const int speechFrames = framesFor(le::tools::speakText("Hello there.").size());
  const le::tools::MediaInfo info = le::tools::probeMedia(out);
  EXPECT_EQ(info.videoFrames, speechFrames + kRampFrames);
  EXPECT_NEAR(info.audioSeconds, info.videoSeconds, 0.04);
  EXPECT_NE(r.out.find("le_speak: speech delivered at "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(" frame periods late)"), std::string::npos) << r.out;
}

TEST(LeSpeak, EitherSourceOfABundleThatCarriesBothSpeaks) {
  le::test::TempDir tmp;
  // The motion view is made under TMPDIR and must be gone afterwards.
  const std::string views = tmp.file("views");
  ::mkdir(views.c_str(), 0755);
  const char* oldTmp = std::getenv("TMPDIR");
  const std::string restore = oldTmp ? oldTmp : "";
  setenv("TMPDIR", views.c_str(), 1);
  const std::string wav = speechDir() + "/hello.wav";
  const int speechFrames = framesFor(le::tools::decodeSpeech(wav).size());
  std::vector<std::vector<uint8_t>> firstSpeech;
  for (const char* source : {"motion", "a2x"}) {
    const std::string out = tmp.file(std::string(source) + ".mp4");
    const ToolRun r = speak(tmp, {tiny(), out, wav, "--encoder", encoder(), "--lead", "0", "--source", source});
    ASSERT_EQ(r.code, 0) << source << ": " << r.err;
    const le::tools::MediaInfo info = le::tools::probeMedia(out);
    EXPECT_EQ(info.videoFrames, speechFrames + kRampFrames) << source;
    firstSpeech.push_back(le::test::decodeVideoRgb24(out).frames.at(size_t(speechFrames / 2)));
  }
  if (oldTmp) setenv("TMPDIR", restore.c_str(), 1);
  else unsetenv("TMPDIR");
  // Two different animations of the same speech.
  EXPECT_NE(firstSpeech[0], firstSpeech[1]);
  EXPECT_TRUE(entries(views).empty());
}

TEST(LeSpeak, BorrowsTheBundlesTeethUnlessToldNot) {
  le::test::TempDir tmp;
  const std::string bundle = le::test::bundlePath("tiny_teeth"), wav = speechDir() + "/hello.wav";
  const int speechFrames = framesFor(le::tools::decodeSpeech(wav).size());
  const ToolRun with = speak(tmp, {bundle, tmp.file("with.mp4"), wav, "--encoder", encoder(), "--lead", "2"});
  ASSERT_EQ(with.code, 0) << with.err;
  // Every rendered frame (speech and ramp) is composed.
  EXPECT_NE(with.out.find("le_speak: teeth: borrowed (6 donors, geometry v1), " +
                          std::to_string(speechFrames + kRampFrames) + " frames composed\n"),
            std::string::npos)
      << with.out;
  const ToolRun without =
      speak(tmp, {bundle, tmp.file("without.mp4"), wav, "--encoder", encoder(), "--lead", "2", "--no-teeth"});
  ASSERT_EQ(without.code, 0) << without.err;
  EXPECT_NE(without.out.find("le_speak: teeth: off (--no-teeth)\n"), std::string::npos) << without.out;
}

// The plug-in as an outside host loads it, when this build has its tables.
bool pluginHasRenderer() {
  void* lib = dlopen(LE_LIGHTBACKEND_PATH, RTLD_NOW | RTLD_LOCAL);
  const bool has = lib && dlsym(lib, "mirelund_renderer_entry");
  if (lib) dlclose(lib);
  return has;
}

TEST(LeSpeak, ThePluginPathWorksOrSaysItIsNotBuilt) {
  le::test::TempDir tmp;
  const std::string out = tmp.file("plugin.mp4"), wav = speechDir() + "/hello.wav";
  const ToolRun r = speak(tmp, {tiny(), out, wav, "--encoder", encoder(), "--via", "plugin", "--plugin",
                            LE_LIGHTBACKEND_PATH, "--lead", "3"});
  if (!pluginHasRenderer()) {
    EXPECT_EQ(r.code, 6) << r.err;
    EXPECT_EQ(r.err.rfind("le_speak: --via plugin is not available: ", 0), 0u) << r.err;
    EXPECT_TRUE(entries(tmp.path()).empty());
    return;
  }
  ASSERT_EQ(r.code, 0) << r.err;
  const le::tools::MediaInfo info = le::tools::probeMedia(out);
  EXPECT_EQ(info.videoStreams, 1);
  EXPECT_EQ(info.audioStreams, 1);
  // The plug-in's default direct mode has no ramp.
  EXPECT_EQ(info.videoFrames, 3 + framesFor(le::tools::decodeSpeech(wav).size()));
  EXPECT_NEAR(info.audioSeconds, info.videoSeconds, 0.04);
}

TEST(LeSpeak, TheStreamPathWorksOrSaysItIsNotBuilt) {
  le::test::TempDir tmp;
  const std::string out = tmp.file("s.mp4"), wav = speechDir() + "/hello.wav";
  const ToolRun r = speak(tmp, {tiny(), out, wav, "--encoder", encoder(), "--via", "stream"});
  if (r.code == 6) {
    EXPECT_EQ(r.err, "le_speak: --via stream is not available in this build (the stream runner le_stream_* is not "
                     "part of it); use --via utt or --via plugin\n");
    EXPECT_TRUE(entries(tmp.path()).empty());
    return;
  }
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(le::tools::probeMedia(out).videoFrames, framesFor(le::tools::decodeSpeech(wav).size()));
}

TEST(LeSpeak, AnInterruptedRunLeavesNothingBehind) {
  le::test::TempDir tmp;
  // Ten seconds of speech at real-time pace are still running when Ctrl-C comes.
  const std::string cmd = "timeout -s INT 3 " + le::test::programCommand(LE_SPEAK_PATH) + " " + quote(tiny()) + " " +
                          quote(tmp.file("cut.mp4")) + " " + quote(speechDir() + "/long10s.wav") + " --encoder " +
                          quote(encoder()) + " --realtime --quiet > /dev/null 2>&1";
  EXPECT_EQ(le::test::runCommand(cmd), 124) << "timeout reports that it had to interrupt the run";
  EXPECT_TRUE(entries(tmp.path()).empty());
}

TEST(LeSpeak, BadInputsExitWithOneLineAndLeaveNothingBehind) {
  le::test::TempDir tmp;
  const std::string out = tmp.file("out.mp4"), wav = speechDir() + "/hello.wav";
  le::test::writeFile(tmp.file("notes.txt"), std::string("not audio\n"));
  ::mkdir(tmp.file("empty_bundle").c_str(), 0755);
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{tmp.file("empty_bundle"), out, wav, "--encoder", encoder()}, 3,
       "le_speak: cannot open bundle " + tmp.file("empty_bundle") + ": "},
      {{tiny(), out, tmp.file("missing.wav"), "--encoder", encoder()}, 4,
       "le_speak: Cannot read audio file " + tmp.file("missing.wav") + ": No such file or directory."},
      {{tiny(), out, tmp.file("notes.txt"), "--encoder", encoder()}, 4,
       "le_speak: Cannot read audio file " + tmp.file("notes.txt") + ": "},
      {{tiny(), tmp.file("no/such/dir/out.mp4"), wav, "--encoder", encoder()}, 5,
       "le_speak: cannot write " + tmp.file("no/such/dir/out.mp4") + ": No such file or directory"},
      {{tiny(), tmp.path(), wav, "--encoder", encoder()}, 5,
       "le_speak: cannot write " + tmp.path() + ": it is a directory"},
      {{tiny(), out, wav, "--encoder", tmp.file("notes.txt")}, 3, "le_speak: cannot animate " + tiny() + ": "},
      {{tiny(), out, wav, "--encoder", tmp.file("missing.onnx")}, 3,
       "le_speak: cannot read speech encoder " + tmp.file("missing.onnx")},
      {{tiny(), out, wav, "--via", "sideways"}, 2, "le_speak: --via takes utt, stream or plugin, not 'sideways'"},
      {{tiny(), out, wav, "--source", "sideways"}, 2,
       "le_speak: --source: The animation source must be a2x or motion, not 'sideways'."},
      {{tiny(), out, wav, "--via", "stream", "--source", "a2x"}, 2, "le_speak: --source applies to --via utt only"},
  };
  for (const Case& c : cases) {
    const ToolRun r = speak(tmp, c.args);
    EXPECT_EQ(r.code, c.code) << c.message << "\n" << r.err;
    const std::string first = r.err.substr(0, r.err.find('\n'));
    EXPECT_EQ(first.rfind(c.message, 0), 0u) << "got: " << r.err;
    if (c.code != 2) {
      EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
    }
    EXPECT_EQ(entries(tmp.path()), (std::vector<std::string>{"empty_bundle", "notes.txt"})) << c.message;
  }
}

}  // namespace
