// A session over the real utterance pipeline on the tiny bundle: the frame
// kinds a viewer receives for a spoken sentence and for a stop, and the
// pipeline's statistics.
#include "live/utt_source.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "live/live_session.h"
#include "live/speech_synth.h"
#include "tests/test_support.h"

namespace le::live {
namespace {

using namespace std::chrono_literals;
constexpr auto kA2x = tools::AnimationKind::kA2x;

struct Kinds {
  std::mutex mu;
  std::string all;  // one letter per frame: i, s, r
  std::string status;

  SessionSink sink() {
    return [this](bool binary, std::string data) {
      if (binary) return true;
      std::lock_guard<std::mutex> lock(mu);
      const auto k = data.find("\"kind\":");
      if (data.find("\"type\":\"frame\"") != std::string::npos && k != std::string::npos &&
          data.find("\"hold\":true") == std::string::npos)
        all += "isr"[data[k + 7] - '0'];
      if (data.find("\"type\":\"status\"") != std::string::npos) status = data;
      return true;
    };
  }
  std::string runs() {
    std::lock_guard<std::mutex> lock(mu);
    std::string out;
    for (char c : all)
      if (out.empty() || out.back() != c) out += c;
    return out;
  }
  std::size_t count(char c) {
    std::lock_guard<std::mutex> lock(mu);
    return std::size_t(std::count(all.begin(), all.end(), c));
  }
};

template <class F>
bool waitFor(F cond, std::chrono::seconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (cond()) return true;
    std::this_thread::sleep_for(20ms);
  }
  return cond();
}

void sentenceThenStop(tools::AnimationKind kind) {
  const std::string bundle = le::test::bundlePath("tiny");
  SpeechSynth synth;
  const std::vector<int16_t> hello = synth.speak("Hello there.");
  const std::vector<int16_t> eightSeconds(16000 * 8, 500);
  Kinds k;
  LiveSession s("u1", [&] { return std::make_unique<UttSource>(bundle, "b1_fp32", 2, true, kind); },
                [&](const std::string& text, const SpeechPiece& piece) {
                  const auto& pcm = text == "long" ? eightSeconds : hello;
                  piece(pcm.data(), pcm.size());
                },
                k.sink());
  ASSERT_TRUE(waitFor([&] { return k.count('i') >= 5; }, 120s)) << k.runs();
  ASSERT_EQ(s.say("Hello there."), LiveSession::SayResult::kQueued);
  ASSERT_TRUE(waitFor([&] { return k.runs().size() >= 4 && k.runs().substr(0, 4) == "isri"; }, 120s)) << k.runs();
  // One speech frame per 40 ms of speech, give or take the source's edges.
  const double expected = double(hello.size()) / kSamplesPerFrame;
  EXPECT_NEAR(double(k.count('s')), expected, 3.0);
  EXPECT_EQ(k.count('r'), 6u);  // the pipeline's end ramp

  // A long utterance stopped while spoken ramps back to idle at once.
  ASSERT_EQ(s.say("long"), LiveSession::SayResult::kQueued);
  ASSERT_TRUE(waitFor([&] { return k.count('s') >= std::size_t(expected) + 10; }, 120s)) << k.runs();
  s.stop();
  ASSERT_TRUE(waitFor([&] { return k.runs().size() >= 7 && k.runs().back() == 'i'; }, 60s)) << k.runs();
  std::this_thread::sleep_for(1200ms);  // a status message comes every second
  const std::string runs = k.runs();
  EXPECT_EQ(runs.substr(runs.size() - 3), "sri") << runs;
  EXPECT_LT(k.count('s'), std::size_t(expected) + 150);  // 8 s of speech would be 200 frames
  {
    std::lock_guard<std::mutex> lock(k.mu);
    EXPECT_NE(k.status.find("\"utterances\":2"), std::string::npos) << k.status;
  }
}

TEST(UttSource, ASentenceThenAStopOnTheTinyBundle) { sentenceThenStop(kA2x); }

// The tiny bundle carries the keypoint-motion files as well; the session
// runs them when asked, in hybrid eager mode.
TEST(UttSource, ASentenceThenAStopOnTheTinyBundlesMotionSource) { sentenceThenStop(tools::AnimationKind::kMotion); }

TEST(UttSource, BorrowsTheBundlesTeethUnlessSwitchedOff) {
  EXPECT_EQ(UttSource(le::test::bundlePath("tiny"), "b1_fp32", 1, true, kA2x).teeth(),
            "teeth: none (the bundle carries no teeth members)");
  const std::string bundle = le::test::bundlePath("tiny_teeth");
  EXPECT_EQ(UttSource(bundle, "b1_fp32", 1, true, kA2x).teeth(), "teeth: borrowed (6 donors, geometry v1)");
  EXPECT_EQ(UttSource(bundle, "b1_fp32", 1, false, kA2x).teeth(), "teeth: off");
}

TEST(UttSource, TheA2xLookAheadIsABlockPastTheModelsOrTheEncodersReach) {
  le::test::TempDir tmp;
  const char* was = std::getenv("LE_A2X_W2V_RIGHT");
  const std::string saved = was ? was : "";
  unsetenv("LE_A2X_W2V_RIGHT");
  auto withMeta = [&](const std::string& json) {
    le::test::writeFile(tmp.file("a2x_meta.json"), json);
    return a2xLookAheadFrames(tmp.path());
  };
  // The demo's model (3 × 2 frames) sees less far than the encoder (12 + 8).
  EXPECT_EQ(withMeta(R"({"h": 64, "window": 3, "left": 4, "layers": 2})"), 8 + 20);
  EXPECT_EQ(withMeta(R"({"window": 10, "left": 4, "layers": 3})"), 8 + 30);
  EXPECT_EQ(withMeta(R"({"window": 4, "left": 4})"), 8 + 24);  // six layers unless said
  setenv("LE_A2X_W2V_RIGHT", "2", 1);
  EXPECT_EQ(withMeta(R"({"window": 1, "left": 4, "layers": 2})"), 8 + 10);
  // A meta the stream would refuse leaves the encoder's share.
  EXPECT_EQ(withMeta("not json"), 8 + 10);
  EXPECT_EQ(withMeta(R"({"window": "3", "layers": 2})"), 8 + 10);
  if (was) setenv("LE_A2X_W2V_RIGHT", saved.c_str(), 1);
  else unsetenv("LE_A2X_W2V_RIGHT");
}

TEST(UttSource, RefusesABundleItCannotOpen) {
  const std::string msg = le::test::thrownBy([] { UttSource s("/no/such/bundle", "b1_fp32", 1, true, kA2x); });
  EXPECT_EQ(msg.rfind("Cannot open bundle /no/such/bundle: ", 0), 0u) << msg;
}

}  // namespace
}  // namespace le::live
