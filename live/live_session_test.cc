// Sessions over the scripted source: the kinds of frames a viewer receives
// for sentences, stops and failures, the speech under each frame, pacing,
// and the sentence checks; plus the synthesiser's WAV handling.
#include "live/live_session.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <mutex>
#include <thread>

#include "live/speech_synth.h"
#include "live/synthetic_source.h"
#include "live/test_media.h"
#include "tests/test_support.h"

namespace le::live {
namespace {

using namespace std::chrono_literals;

// Collects what a session sends.
struct Recorder {
  std::mutex mu;
  std::vector<std::string> events;  // JSON text messages
  std::vector<std::string> kinds;   // "i", "s", "r" per frame message
  std::vector<int> speech;          // speech index per frame message
  std::vector<std::string> stream;  // binary messages
  bool refuse = false;

  SessionSink sink() {
    return [this](bool binary, std::string data) {
      std::lock_guard<std::mutex> lock(mu);
      if (refuse) return false;
      if (binary) {
        stream.push_back(std::move(data));
      } else {
        const auto k = data.find("\"kind\":");
        if (data.find("\"type\":\"frame\"") != std::string::npos && k != std::string::npos) {
          const bool hold = data.find("\"hold\":true") != std::string::npos;
          kinds.push_back(hold ? std::string("h") : std::string(1, "isr"[data[k + 7] - '0']));
          speech.push_back(std::stoi(data.substr(data.find("\"speech\":") + 9)));
        }
        events.push_back(std::move(data));
      }
      return true;
    };
  }
  std::string kindRuns() {  // consecutive kinds collapsed: "isri"
    std::lock_guard<std::mutex> lock(mu);
    std::string out;
    for (const auto& k : kinds)
      if (k != "h" && (out.empty() || out.back() != k[0])) out += k;
    return out;
  }
  std::size_t count(const std::string& kind) {
    std::lock_guard<std::mutex> lock(mu);
    return std::size_t(std::count(kinds.begin(), kinds.end(), kind));
  }
  bool hasEvent(const std::string& part) {
    std::lock_guard<std::mutex> lock(mu);
    for (const auto& e : events)
      if (e.find(part) != std::string::npos) return true;
    return false;
  }
};

// Waits up to `limit` for `cond`.
template <class F>
bool waitFor(F cond, std::chrono::milliseconds limit = 15s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (cond()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return cond();
}

SourceFactory synthetic() {
  return [] { return std::make_unique<SyntheticSource>(64, 48); };
}

// A speaker that returns `frames` frames of a tone.
Speaker tone(int frames) {
  return [frames](const std::string&, const SpeechPiece& piece) {
    std::vector<int16_t> pcm(std::size_t(frames) * kSamplesPerFrame);
    for (std::size_t i = 0; i < pcm.size(); ++i) pcm[i] = int16_t(8000 * std::sin(0.2 * double(i)));
    piece(pcm.data(), pcm.size());
  };
}

TEST(LiveSession, SentencesGoIdleSpeechRampIdleInTurn) {
  Recorder rec;
  LiveSession s("t1", synthetic(), tone(10), rec.sink());
  ASSERT_TRUE(waitFor([&] { return rec.count("i") >= 3; }));
  EXPECT_TRUE(rec.hasEvent("\"type\":\"hello\",\"session\":\"t1\""));
  EXPECT_TRUE(rec.hasEvent("\"type\":\"ready\""));
  EXPECT_EQ(s.say("Hello there."), LiveSession::SayResult::kQueued);
  EXPECT_EQ(s.say("And again."), LiveSession::SayResult::kQueued);
  // Like the pipeline, the source keeps speech pushed during a ramp until
  // the ramp ends, so the second sentence follows the first ramp directly.
  ASSERT_TRUE(waitFor([&] { return rec.kindRuns() == "isrsri" && rec.count("i") > 12; }, 20s)) << rec.kindRuns() << " " << [&] { std::string k; for (auto& x : rec.kinds) k += x; return k; }();
  // Each sentence of 10 frames of speech gives 10 speech frames and a full ramp.
  EXPECT_EQ(rec.count("s"), 20u);
  EXPECT_EQ(rec.count("r"), std::size_t(2 * SyntheticSource::kEndRamp));
}

TEST(LiveSession, StopInterruptsAndDropsQueuedSentences) {
  Recorder rec;
  LiveSession s("t2", synthetic(), tone(200), rec.sink());
  ASSERT_TRUE(waitFor([&] { return rec.count("i") >= 2; }));
  s.say("A long sentence.");
  s.say("Another that must never be spoken.");
  ASSERT_TRUE(waitFor([&] { return rec.count("s") >= 5; }));
  s.stop();
  ASSERT_TRUE(waitFor([&] {
    const std::string runs = rec.kindRuns();
    return runs.size() >= 4 && runs.substr(runs.size() - 1) == "i" && rec.count("i") > 5;
  })) << rec.kindRuns();
  std::this_thread::sleep_for(400ms);
  EXPECT_EQ(rec.kindRuns(), "isri");
  EXPECT_LE(rec.count("r"), std::size_t(SyntheticSource::kInterruptRamp));
  EXPECT_LT(rec.count("s"), 200u);
  EXPECT_TRUE(rec.hasEvent("\"type\":\"stopped\""));
}

TEST(LiveSession, FramesGoOutAtTwentyFivePerSecondAtMost) {
  Recorder rec;
  const auto t0 = std::chrono::steady_clock::now();
  LiveSession s("t3", synthetic(), tone(5), rec.sink());
  std::this_thread::sleep_for(1200ms);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  // The scripted source always has a frame: only the session's clock limits them.
  EXPECT_LE(double(rec.count("i")), seconds * kFps + 2);
  EXPECT_GE(rec.count("i"), 5u);
}

TEST(LiveSession, EachSpeechFrameCarriesItsOwnSpeech) {
  Recorder rec;
  // Speech whose loudness steps up per frame: frame k has amplitude 1000 (k + 1).
  // It comes in uneven pieces, as a synthesiser hands it on.
  Speaker steps = [](const std::string&, const SpeechPiece& piece) {
    std::vector<int16_t> pcm(8 * kSamplesPerFrame);
    for (std::size_t i = 0; i < pcm.size(); ++i)
      pcm[i] = int16_t(1000 * (1 + int(i) / kSamplesPerFrame) * std::sin(2 * M_PI * 500.0 * double(i) / kSampleRate));
    for (std::size_t at = 0; at < pcm.size(); at += 999) {
      piece(pcm.data() + at, std::min<std::size_t>(999, pcm.size() - at));
      std::this_thread::sleep_for(15ms);
    }
  };
  {
    LiveSession s("t4", synthetic(), steps, rec.sink());
    ASSERT_TRUE(waitFor([&] { return rec.count("i") >= 2; }));
    s.say("Steps.");
    ASSERT_TRUE(waitFor([&] { return rec.kindRuns() == "isri"; }, 20s)) << rec.kindRuns();
  }
  // Decode the stream: under output frame n lies the speech of its own
  // speech index (amplitude steps 1, 2, 3, ...), and silence under the rest.
  const test::DecodedStream d = test::decodeMessages(rec.stream, 64, 48);
  ASSERT_EQ(d.images.size(), rec.kinds.size());
  EXPECT_EQ(d.heldBack, 0);
  auto loudness = [&](std::size_t n) { return test::rms(d.audio, n / double(kFps), (n + 1) / double(kFps), kSampleRate); };
  double unit = 0;
  int checked = 0;
  for (std::size_t n = 0; n < rec.kinds.size(); ++n) {
    if (rec.kinds[n] != "s") {
      EXPECT_EQ(loudness(n), 0.0) << "frame " << n;
      continue;
    }
    const int j = rec.speech[n];
    if (j == 0) {
      unit = loudness(n);
      EXPECT_TRUE(d.keys[n]) << "a sentence starts on a key frame";
    }
    else if (unit > 0 && j < 7) {
      EXPECT_NEAR(loudness(n) / unit, j + 1, 0.02 * (j + 1)) << "frame " << n << " speech index " << j;
      ++checked;
    }
  }
  EXPECT_GT(unit, 0.01);
  EXPECT_EQ(checked, 6);
}

// Drops the first frame of the first sentence, as the engine drops a frame
// it failed to render.
class DroppingSource : public SyntheticSource {
 public:
  DroppingSource() : SyntheticSource(64, 48) {}
  bool pullFrame(uint8_t* rgb, std::size_t len, FrameInfo& info) override {
    if (!SyntheticSource::pullFrame(rgb, len, info)) return false;
    if (dropped_ || info.kind != kSpeech || info.speechIndex != 0) return true;
    dropped_ = true;
    return SyntheticSource::pullFrame(rgb, len, info);
  }

 private:
  bool dropped_ = false;
};

TEST(LiveSession, ASentenceWhoseFirstFrameIsLostStillPlaysItsOwnSpeech) {
  // Each sentence is a tone of its own loudness. The speech of a sentence
  // was taken up at its frame of index 0: with that frame lost, the first
  // sentence played silence and every later one the speech before it.
  Recorder rec;
  Speaker loud = [](const std::string& text, const SpeechPiece& piece) {
    const double amplitude = text == "One." ? 2000 : 6000;
    std::vector<int16_t> pcm(6 * kSamplesPerFrame);
    for (std::size_t i = 0; i < pcm.size(); ++i)
      pcm[i] = int16_t(amplitude * std::sin(2 * M_PI * 500.0 * double(i) / kSampleRate));
    piece(pcm.data(), pcm.size());
  };
  {
    LiveSession s("t5", [] { return std::make_unique<DroppingSource>(); }, loud, rec.sink());
    ASSERT_TRUE(waitFor([&] { return rec.count("i") >= 2; }));
    s.say("One.");
    ASSERT_TRUE(waitFor([&] { return rec.kindRuns() == "isri"; }, 20s)) << rec.kindRuns();
    s.say("Two.");
    ASSERT_TRUE(waitFor([&] { return rec.kindRuns() == "isrisri"; }, 20s)) << rec.kindRuns();
  }
  const test::DecodedStream d = test::decodeMessages(rec.stream, 64, 48);
  ASSERT_EQ(d.images.size(), rec.kinds.size());
  int sentence = 0, checked = 0;
  for (std::size_t n = 0; n < rec.kinds.size(); ++n) {
    if (rec.kinds[n] != "s") continue;
    if (n == 0 || rec.kinds[n - 1] != "s") {
      ++sentence;
      EXPECT_TRUE(d.keys[n]) << "sentence " << sentence << " starts on a key frame";
    }
    if (rec.speech[n] >= 5) continue;  // the tone's last frame may end early
    const double rms = test::rms(d.audio, n / double(kFps), (n + 1) / double(kFps), kSampleRate);
    EXPECT_NEAR(rms, (sentence == 1 ? 2000 : 6000) / std::sqrt(2.0) / 32768.0, 0.01) << "frame " << n;
    ++checked;
  }
  EXPECT_EQ(sentence, 2);
  EXPECT_GE(checked, 8);
}

// The scripted source, logging every push of speech.
struct PushLog {
  struct Push {
    std::chrono::steady_clock::time_point at;
    int n;
  };
  std::mutex mu;
  std::vector<Push> pushes;
};

class LoggingSource : public SyntheticSource {
 public:
  LoggingSource(std::shared_ptr<PushLog> log, int lagFrames) : SyntheticSource(64, 48, lagFrames), log_(std::move(log)) {}
  void pushAudio(const int16_t* pcm, int n) override {
    {
      std::lock_guard<std::mutex> lock(log_->mu);
      log_->pushes.push_back({std::chrono::steady_clock::now(), n});
    }
    SyntheticSource::pushAudio(pcm, n);
  }

 private:
  std::shared_ptr<PushLog> log_;
};

// Frames sent after the "speaking" event before the first speech frame.
int framesBeforeSpeech(Recorder& rec) {
  std::lock_guard<std::mutex> lock(rec.mu);
  int frames = -1;
  for (const auto& e : rec.events) {
    if (e.find("\"type\":\"speaking\"") != std::string::npos) frames = 0;
    else if (frames >= 0 && e.find("\"type\":\"frame\"") != std::string::npos) {
      if (e.find("\"kind\":1") != std::string::npos) return frames;
      ++frames;
    }
  }
  return -1;
}

// The most frames of speech the log shows pushed ahead of real time (the
// pace of one frame per period from the first push, the first frame at once).
int64_t framesAhead(PushLog& log) {
  std::lock_guard<std::mutex> lock(log.mu);
  int64_t total = 0, most = 0;
  for (const auto& p : log.pushes) {
    total += p.n;
    const int64_t due = (p.at - log.pushes.front().at) / 40ms + 1;
    most = std::max(most, (total + kSamplesPerFrame - 1) / kSamplesPerFrame - due);
  }
  return most;
}

// Says 100 frames of speech, all made at once, to a source of `lagFrames`
// look-ahead; returns the push log.
std::shared_ptr<PushLog> sayAhead(int lagFrames, std::chrono::milliseconds lead) {
  auto log = std::make_shared<PushLog>();
  Recorder rec;
  SessionOptions opts;
  opts.speechLead = lead;
  LiveSession s("t10", [log, lagFrames] { return std::make_unique<LoggingSource>(log, lagFrames); }, tone(100),
                rec.sink(), opts);
  EXPECT_TRUE(waitFor([&] { return rec.count("i") >= 2; }));
  s.say("Ahead.");
  EXPECT_TRUE(waitFor([&] { return rec.count("s") >= 20; }, 20s)) << rec.kindRuns();
  return log;
}

TEST(LiveSession, TheLeadCoversTheSourcesLookAheadAndNoMore) {
  // A few frames' slack for the log's own clock.
  constexpr int64_t kSlack = 3;
  const int64_t shortLook = framesAhead(*sayAhead(2, 2000ms));
  EXPECT_GE(shortLook, 2 + 6 - kSlack);
  EXPECT_LE(shortLook, 2 + 6 + kSlack);
  // The configured lead caps it, and no lead paces speech as a microphone would.
  EXPECT_LE(framesAhead(*sayAhead(60, 400ms)), 10 + kSlack);
  EXPECT_LE(framesAhead(*sayAhead(30, 0ms)), kSlack);
}

TEST(LiveSession, MadeSpeechGoesInAheadOfRealTimeByTheLeadAtMost) {
  // A source that needs 30 frames (1.2 s) of speech beyond a frame's own
  // before it yields it; 100 frames of speech, all made at once.
  auto log = std::make_shared<PushLog>();
  Recorder rec;
  SessionOptions opts;
  opts.speechLead = 1500ms;
  const int64_t leadFrames = 30 + 6;  // the source's look-ahead and the margin
  {
    LiveSession s("t8", [log] { return std::make_unique<LoggingSource>(log, 30); }, tone(100), rec.sink(), opts);
    ASSERT_TRUE(waitFor([&] { return rec.count("i") >= 2; }));
    s.say("Ahead.");
    ASSERT_TRUE(waitFor([&] { return rec.kindRuns() == "isri"; }, 20s)) << rec.kindRuns();
  }
  // The lag is covered at once: speech shows within a few frame periods,
  // not after the 30 that real-time pushing would have to wait.
  const int before = framesBeforeSpeech(rec);
  EXPECT_GE(before, 0);
  EXPECT_LT(before, 10);
  EXPECT_EQ(rec.count("s"), 100u);
  // Never more than the lead ahead of real time (a few frames' slack for
  // the log's own clock), and all of it in the end.
  EXPECT_LE(framesAhead(*log), leadFrames + 3);
  std::lock_guard<std::mutex> lock(log->mu);
  int64_t total = 0;
  for (const auto& p : log->pushes) total += p.n;
  EXPECT_EQ(total, 100 * kSamplesPerFrame);
}

TEST(LiveSession, ASentenceStartsWithItsLeadAlreadyMade) {
  // The synthesiser hands its speech over a frame at a time; the sentence's
  // first push still carries the whole lead, so the engine sees at once that
  // the source's look-ahead is covered.
  auto log = std::make_shared<PushLog>();
  Recorder rec;
  Speaker trickling = [](const std::string&, const SpeechPiece& piece) {
    std::vector<int16_t> pcm(kSamplesPerFrame, 1000);
    for (int i = 0; i < 30; ++i) {
      piece(pcm.data(), pcm.size());
      std::this_thread::sleep_for(5ms);
    }
  };
  {
    LiveSession s("t11", [log] { return std::make_unique<LoggingSource>(log, 2); }, trickling, rec.sink());
    ASSERT_TRUE(waitFor([&] { return rec.count("i") >= 2; }));
    s.say("Trickling.");
    ASSERT_TRUE(waitFor([&] { return rec.kindRuns() == "isri"; }, 20s)) << rec.kindRuns();
  }
  EXPECT_EQ(rec.count("s"), 30u);
  std::lock_guard<std::mutex> lock(log->mu);
  // The lead's frames go in together, not as the synthesiser trickles them
  // (which would spread them over at least 35 ms).
  ASSERT_GE(log->pushes.size(), 8u);
  EXPECT_LT(log->pushes[7].at - log->pushes[0].at, 20ms) << "the sentence began before its lead was made";
}

TEST(LiveSession, APauseInTheSpeechIsBridgedWithEmptyPushes) {
  // The synthesiser stops for 800 ms mid-sentence; the pipeline would take
  // 600 ms without a push for the sentence's end.
  auto log = std::make_shared<PushLog>();
  Recorder rec;
  Speaker halting = [](const std::string&, const SpeechPiece& piece) {
    std::vector<int16_t> pcm(10 * kSamplesPerFrame, 1000);
    piece(pcm.data(), pcm.size());
    std::this_thread::sleep_for(800ms);
    piece(pcm.data(), pcm.size());
  };
  {
    LiveSession s("t9", [log] { return std::make_unique<LoggingSource>(log, 2); }, halting, rec.sink());
    ASSERT_TRUE(waitFor([&] { return rec.count("i") >= 2; }));
    s.say("Halting.");
    ASSERT_TRUE(waitFor([&] { return rec.kindRuns() == "isri"; }, 20s)) << rec.kindRuns();
  }
  EXPECT_EQ(rec.count("s"), 20u);
  std::lock_guard<std::mutex> lock(log->mu);
  int empty = 0;
  auto longest = 0ms;
  for (std::size_t i = 0; i < log->pushes.size(); ++i) {
    empty += log->pushes[i].n == 0;
    if (i > 0)
      longest = std::max(longest, std::chrono::duration_cast<std::chrono::milliseconds>(log->pushes[i].at -
                                                                                        log->pushes[i - 1].at));
  }
  EXPECT_GE(empty, 5);
  EXPECT_LT(longest, 600ms);
}

TEST(LiveSession, SourceFailureAndRefusingSinkEndTheSession) {
  {
    Recorder rec;
    LiveSession s("t5", [] () -> std::unique_ptr<FrameSource> { throw std::runtime_error("Cannot open bundle /x."); },
                  tone(1), rec.sink());
    ASSERT_TRUE(waitFor([&] { return s.finished(); }));
    EXPECT_TRUE(rec.hasEvent("\"fatal\":true,\"message\":\"Cannot open bundle /x.\""));
    EXPECT_EQ(s.say("Hello."), LiveSession::SayResult::kClosed);
  }
  {
    Recorder rec;
    LiveSession s("t6", synthetic(), tone(1), rec.sink());
    ASSERT_TRUE(waitFor([&] { return rec.count("i") >= 2; }));
    {
      std::lock_guard<std::mutex> lock(rec.mu);
      rec.refuse = true;
    }
    EXPECT_TRUE(waitFor([&] { return s.finished(); }));
  }
}

TEST(LiveSession, SpeakerFailuresAreReportedAndTheQueueIsBounded) {
  Recorder rec;
  std::mutex gate;
  gate.lock();  // holds the synthesiser until the queue has been filled
  SessionOptions opts;
  opts.maxQueued = 2;
  LiveSession s("t7", synthetic(),
                [&](const std::string& text, const SpeechPiece&) {
                  std::lock_guard<std::mutex> wait(gate);
                  throw std::runtime_error("Speech: cannot say '" + text + "'.");
                },
                rec.sink(), opts);
  EXPECT_EQ(s.say("one"), LiveSession::SayResult::kQueued);
  EXPECT_EQ(s.say("two"), LiveSession::SayResult::kQueued);
  EXPECT_EQ(s.say("three"), LiveSession::SayResult::kQueueFull);
  gate.unlock();
  ASSERT_TRUE(waitFor([&] { return rec.hasEvent("cannot say 'two'"); }));
  EXPECT_TRUE(rec.hasEvent("{\"type\":\"error\",\"message\":\"Speech: cannot say 'one'.\"}"));
  EXPECT_FALSE(s.finished());
}

TEST(SentenceCheck, AcceptsUtf8TextAndRefusesTheRest) {
  using R = LiveSession::SayResult;
  EXPECT_EQ(checkSentence("Hello, world.", 100), R::kQueued);
  EXPECT_EQ(checkSentence("Grüße, 世界 🙂\n\tok", 100), R::kQueued);
  EXPECT_EQ(checkSentence(std::string(100, 'a'), 100), R::kQueued);
  EXPECT_EQ(checkSentence(std::string(101, 'a'), 100), R::kTooLong);
  EXPECT_EQ(checkSentence("", 100), R::kEmpty);
  EXPECT_EQ(checkSentence(" \n\t ", 100), R::kEmpty);
  EXPECT_EQ(checkSentence("bad \x01 byte", 100), R::kNotUtf8);
  EXPECT_EQ(checkSentence("del \x7f", 100), R::kNotUtf8);
  EXPECT_EQ(checkSentence("cut \xe4\xb8", 100), R::kNotUtf8);         // truncated sequence
  EXPECT_EQ(checkSentence("overlong \xc0\xaf", 100), R::kNotUtf8);    // '/' in two bytes
  EXPECT_EQ(checkSentence("surrogate \xed\xa0\x80", 100), R::kNotUtf8);
  EXPECT_EQ(checkSentence("lone \x80", 100), R::kNotUtf8);
  EXPECT_EQ(jsonString("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\n\\u0001\"");
  EXPECT_EQ(jsonString("x\xff"), "\"x\xef\xbf\xbd\"");  // not UTF-8: a replacement character
}

std::string wav(int rate, int channels, int bits, const std::vector<int16_t>& pcm, uint32_t dataSize) {
  std::string b = "RIFF____WAVEfmt ";
  auto u32 = [&](uint32_t v) { for (int i = 0; i < 4; ++i) b += char(v >> (8 * i)); };
  auto u16 = [&](uint16_t v) { b += char(v & 0xff); b += char(v >> 8); };
  u32(16); u16(1); u16(uint16_t(channels)); u32(uint32_t(rate)); u32(uint32_t(rate * 2 * channels));
  u16(uint16_t(2 * channels)); u16(uint16_t(bits));
  b += "data";
  u32(dataSize);
  for (int16_t s : pcm) u16(uint16_t(s));
  return b;
}

TEST(SpeechSynth, ReadsStreamedWavsAndRefusesOthers) {
  int rate = 0;
  const std::vector<int16_t> pcm = {1, -2, 3, -32768, 32767};
  // espeak-ng streams with the data size unknown.
  EXPECT_EQ(parseWav(wav(22050, 1, 16, pcm, 0x7ffff000u), rate), pcm);
  EXPECT_EQ(rate, 22050);
  EXPECT_EQ(parseWav(wav(16000, 1, 16, pcm, 4), rate), std::vector<int16_t>({1, -2}));
  EXPECT_EQ(le::test::thrownBy([&] { parseWav(wav(16000, 2, 16, pcm, 10), rate); }),
            "Speech: expected 16-bit mono PCM, got format 1, 2 channels, 16 bits.");
  EXPECT_EQ(le::test::thrownBy([&] { parseWav("not a wav", rate); }),
            "Speech: the synthesiser's output is not a WAV file.");
  EXPECT_EQ(le::test::thrownBy([&] { parseWav(wav(16000, 1, 16, {}, 0).substr(0, 36), rate); }),
            "Speech: the WAV file has no data chunk.");
}

TEST(SpeechSynth, ResamplesKeepingPitchAndSpeaksThroughEspeak) {
  // A 1 kHz tone at 22050 Hz keeps its frequency at 16 kHz.
  std::vector<int16_t> in(22050);
  for (std::size_t i = 0; i < in.size(); ++i) in[i] = int16_t(10000 * std::sin(2 * M_PI * 1000.0 * double(i) / 22050));
  const auto out = resample(in, 22050, kSampleRate);
  EXPECT_NEAR(double(out.size()), 16000.0, 40.0);
  int crossings = 0;
  for (std::size_t i = 1000; i + 1 < 15000; ++i) crossings += (out[i] < 0) != (out[i + 1] < 0);
  EXPECT_NEAR(crossings, 2 * 1000 * 14000 / 16000, 4);

  const auto speech = SpeechSynth().speak("Hello there, how are you?");
  EXPECT_GT(speech.size(), std::size_t(kSampleRate / 2));
  EXPECT_GT(*std::max_element(speech.begin(), speech.end()), 2000);
  // Text that looks like an option is spoken, not obeyed.
  EXPECT_GT(SpeechSynth().speak("--help").size(), 1000u);
  EXPECT_EQ(le::test::thrownBy([] { SpeechSynth("/nonexistent/espeak-ng").speak("hi"); }),
            "Speech: cannot run /nonexistent/espeak-ng: No such file or directory (is the espeak-ng package "
            "installed?).");
}

}  // namespace
}  // namespace le::live
