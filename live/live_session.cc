#include "live/live_session.h"

#include <pthread.h>

#include <algorithm>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "live/frame_encoder.h"
#include "tools/stage_cpu.h"

namespace le::live {
namespace {

constexpr auto kFramePeriod = std::chrono::milliseconds(1000 / kFps);
// How late a frame may be before its period counts as an underrun.
constexpr auto kHoldGrace = std::chrono::milliseconds(20);
// Pause after an utterance's end before the next may start, so that the
// pipeline has taken the end and the next sentence opens a new utterance.
constexpr auto kUtteranceGap = std::chrono::milliseconds(200);
// Speech pushed beyond the source's own look-ahead: the engine holds a
// sentence's first frame until a few frames past that are in.
constexpr int64_t kLeadMarginFrames = 6;

bool validUtf8(const std::string& s) {
  static const uint32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = uint8_t(s[i]);
    const int n = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
    if (n < 0 || i + std::size_t(n) >= s.size() + (n == 0)) return false;
    if (n > 0) {
      uint32_t cp = c & (0x3fu >> n);
      for (int k = 1; k <= n; ++k) {
        const auto d = uint8_t(s[i + std::size_t(k)]);
        if ((d & 0xc0) != 0x80) return false;
        cp = cp << 6 | (d & 0x3f);
      }
      // Overlong forms, surrogates and values past U+10FFFF.
      if (cp < kMin[n] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return false;
    }
    i += std::size_t(n) + 1;
  }
  return true;
}

double ms(std::chrono::steady_clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

}  // namespace

std::string jsonString(const std::string& s) {
  // Text that is not UTF-8 (an engine message quoting a file name, say) is
  // sent with replacement characters rather than failing the event.
  return nlohmann::json(s).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

LiveSession::SayResult checkSentence(const std::string& text, std::size_t maxBytes) {
  if (text.size() > maxBytes) return LiveSession::SayResult::kTooLong;
  if (!validUtf8(text)) return LiveSession::SayResult::kNotUtf8;
  bool any = false;
  for (const char ch : text) {
    const auto c = uint8_t(ch);
    if (c < 0x20 && c != '\n' && c != '\t' && c != '\r') return LiveSession::SayResult::kNotUtf8;
    if (c == 0x7f) return LiveSession::SayResult::kNotUtf8;
    if (c > 0x20) any = true;
  }
  return any ? LiveSession::SayResult::kQueued : LiveSession::SayResult::kEmpty;
}

LiveSession::LiveSession(std::string id, SourceFactory factory, Speaker speaker, SessionSink sink,
                         SessionOptions opts)
    : id_(std::move(id)), factory_(std::move(factory)), speaker_(std::move(speaker)), sink_(std::move(sink)),
      opts_(opts) {
  speech_ = std::thread([this] {
    pthread_setname_np(pthread_self(), "live-speech");
    speechLoop();
  });
  pump_ = std::thread([this] {
    pthread_setname_np(pthread_self(), "live-pump");
    pump();
  });
}

LiveSession::~LiveSession() {
  close();
  if (pump_.joinable()) pump_.join();
  if (speech_.joinable()) speech_.join();
}

LiveSession::SayResult LiveSession::say(const std::string& text) {
  const SayResult check = checkSentence(text, opts_.maxTextBytes);
  if (check != SayResult::kQueued) return check;
  std::lock_guard<std::mutex> lock(mu_);
  if (closing_ || finished_) return SayResult::kClosed;
  if (texts_.size() + std::size_t(synthesising_) + ready_.size() >= opts_.maxQueued) return SayResult::kQueueFull;
  texts_.push_back(Sentence{stopEpoch_, text, Clock::now()});
  cv_.notify_all();
  return SayResult::kQueued;
}

void LiveSession::stop() {
  std::lock_guard<std::mutex> lock(mu_);
  ++stopEpoch_;
  texts_.clear();
  ready_.clear();
  stopRequested_ = true;
  cv_.notify_all();
}

void LiveSession::close() {
  std::lock_guard<std::mutex> lock(mu_);
  closing_ = true;
  cv_.notify_all();
}

void LiveSession::sendEvent(const std::string& json) {
  if (sinkOk_ && !sink_(false, json)) sinkOk_ = false;
}

void LiveSession::speechLoop() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    cv_.wait(lock, [&] { return closing_ || !texts_.empty(); });
    if (closing_) return;
    Sentence sentence = std::move(texts_.front());
    texts_.pop_front();
    const int64_t epoch = sentence.epoch;
    const std::string text = std::move(sentence.text);
    synthesising_ = 1;
    lock.unlock();
    // The sentence goes to the speaker's queue with its first piece of
    // speech, and grows while it may already be spoken.
    auto u = std::make_shared<Utterance>();
    u->saidAt = sentence.saidAt;
    bool published = false;
    std::string failure;
    try {
      speaker_(text, [&](const int16_t* pcm, std::size_t n) {
        std::lock_guard<std::mutex> guard(mu_);
        // A stop while the sentence is being made drops it.
        if (closing_ || epoch != stopEpoch_) return false;
        u->pcm.insert(u->pcm.end(), pcm, pcm + n);
        if (!published && !u->pcm.empty()) {
          published = true;
          u->id = nextUtterance_++;
          ready_.push_back(u);
          synthesising_ = 0;
        }
        // The pump pushes speech as soon as it is made, ahead of time.
        speechArrived_ = true;
        cv_.notify_all();
        return true;
      });
    } catch (const std::exception& e) {
      failure = e.what();
    }
    lock.lock();
    synthesising_ = 0;
    u->complete = true;
    cv_.notify_all();
    if (!failure.empty()) {
      lock.unlock();
      sendEvent("{\"type\":\"error\",\"message\":" + jsonString(failure) + "}");
      lock.lock();
    }
  }
}

void LiveSession::pump() {
  std::unique_ptr<FrameSource> src;
  std::unique_ptr<FrameEncoder> stream;
  try {
    src = factory_();
    stream = std::make_unique<FrameEncoder>(src->width(), src->height());
  } catch (const std::exception& e) {
    sendEvent("{\"type\":\"error\",\"fatal\":true,\"message\":" + jsonString(e.what()) + "}");
    stream.reset();
    src.reset();
    finished_ = true;
    return;
  }
  const int w = src->width(), h = src->height();
  char buf[512];
  std::snprintf(buf, sizeof buf,
                "{\"type\":\"hello\",\"session\":\"%s\",\"codec\":%s,\"width\":%d,\"height\":%d,\"fps\":%d,"
                "\"sampleRate\":%d,\"maxText\":%zu}",
                id_.c_str(), jsonString(stream->codec()).c_str(), w, h, kFps, kSampleRate, opts_.maxTextBytes);
  sendEvent(buf);

  std::vector<uint8_t> rgb(std::size_t(w) * h * 3);
  std::vector<int16_t> silence(kSamplesPerFrame, 0);
  // The speech this thread has pushed, per sentence: what the frames of
  // that sentence play.
  struct Spoken {
    std::vector<int16_t> pcm;
    Clock::time_point firstPush;  // when its speech began to go in
  };
  // Sentences in the source, oldest first: the front's speech frames go out
  // next; the back may still be being pushed.
  std::deque<std::shared_ptr<Spoken>> spoken;
  std::shared_ptr<Spoken> playing, pushed;
  std::shared_ptr<Utterance> pushing;  // its speech may still be growing
  int64_t pushedFrames = 0;
  bool synthBehind = false;  // the synthesiser has not yet made the speech now due
  std::vector<int16_t> fresh;  // speech taken from the synthesiser this period
  Clock::time_point pushStart, endedAt, lastPush;
  // Far enough ahead to cover the source's look-ahead, with a margin for
  // its blocks and the pace of its requests; no further, since what is
  // pushed at once is worked through before the first frame comes out.
  const int64_t leadFrames = std::clamp<int64_t>(src->lookAheadFrames() + kLeadMarginFrames, 0,
                                                 std::max<int64_t>(0, opts_.speechLead / kFramePeriod));
  int64_t underruns = 0, emitted = 0, pulledAtStatus = 0;
  FrameInfo last;  // the latest frame pulled; held when the source owes one
  bool readySent = false, failureSent = false;
  Clock::time_point nextFrame = Clock::now(), lastStatus = Clock::now();

  try {
    for (;;) {
      bool stopNow = false;
      {
        std::lock_guard<std::mutex> lock(mu_);
        if (closing_) break;
        stopNow = stopRequested_;
        stopRequested_ = false;
      }
      if (!sinkOk_) break;
      Clock::time_point now = Clock::now();

      if (stopNow) {
        src->interrupt();
        pushing.reset();
        pushed.reset();
        spoken.clear();
        playing.reset();
        sendEvent("{\"type\":\"stopped\"}");
      }
      const int ready = src->ready();
      if (ready == 1 && !readySent) {
        readySent = true;
        sendEvent("{\"type\":\"ready\"}");
      }
      if (ready < 0 && !failureSent) {
        failureSent = true;
        sendEvent("{\"type\":\"error\",\"message\":" + jsonString("The engine cannot speak: " + src->failure()) + "}");
      }

      // The next sentence starts once the last one has been ended and taken.
      if (!pushing && ready == 1 && now - endedAt >= kUtteranceGap) {
        const int state = src->stats().state;
        if (state == 0 || state == 3) {
          std::lock_guard<std::mutex> lock(mu_);
          // A sentence starts with its lead already made (the synthesiser
          // makes it in a few milliseconds): the engine then sees at its
          // first push that the source's look-ahead is covered, and places
          // the speech right behind the idle frames instead of a few
          // frames of audio further on.
          if (!ready_.empty() &&
              (ready_.front()->complete ||
               int64_t(ready_.front()->pcm.size()) >= leadFrames * int64_t(kSamplesPerFrame))) {
            pushing = std::move(ready_.front());
            ready_.pop_front();
            pushed = std::make_shared<Spoken>();
            pushed->firstPush = now;
            spoken.push_back(pushed);
            pushedFrames = 0;
            pushStart = now;
          }
        }
        if (pushing) {
          // waitMs: from the sentence's arrival until its speech starts to
          // go in (synthesis of the lead, or the sentence before it).
          std::snprintf(buf, sizeof buf, "{\"type\":\"speaking\",\"utterance\":%lld,\"waitMs\":%.1f}",
                        (long long)pushing->id, ms(now - pushing->saidAt));
          sendEvent(buf);
        }
      }
      // Speech goes in up to the lead ahead of the pace it would arrive
      // from a microphone, as far as the synthesiser has made it; whole
      // frames of it, but for the sentence's last.
      if (pushing) {
        bool complete;
        {
          std::lock_guard<std::mutex> lock(mu_);
          complete = pushing->complete;
          const std::size_t made = pushing->pcm.size(), have = pushed->pcm.size();
          const std::size_t dueSamples =
              std::size_t((now - pushStart) / kFramePeriod + 1 + leadFrames) * std::size_t(kSamplesPerFrame);
          std::size_t upTo = std::min(made, dueSamples);
          if (!complete || upTo < made) upTo -= upTo % kSamplesPerFrame;
          fresh.assign(pushing->pcm.begin() + long(std::min(have, upTo)), pushing->pcm.begin() + long(upTo));
          synthBehind = !complete && made < dueSamples;
        }
        pushed->pcm.insert(pushed->pcm.end(), fresh.begin(), fresh.end());
        for (std::size_t at = 0; at < fresh.size(); at += kSamplesPerFrame, ++pushedFrames)
          src->pushAudio(fresh.data() + at, int(std::min<std::size_t>(kSamplesPerFrame, fresh.size() - at)));
        if (!fresh.empty()) {
          lastPush = now;
        } else if (!pushed->pcm.empty() && now - lastPush >= kFramePeriod) {
          // The synthesiser is behind, or the lead is used up while the
          // engine has not yet caught up: an empty push keeps the source
          // from taking the pause for the sentence's end.
          src->pushAudio(silence.data(), 0);
          lastPush = now;
        }
        bool allPushed;
        {
          std::lock_guard<std::mutex> lock(mu_);
          allPushed = complete && pushed->pcm.size() == pushing->pcm.size();
        }
        if (allPushed) {
          src->endUtterance();
          pushing.reset();
          pushed.reset();
          endedAt = now;
        }
      }

      // One frame per period. A period that passes without a finished frame
      // is an underrun: the last frame goes out once more, with silence, so
      // that the viewer's picture and sound keep their pace rather than
      // stall; each frame still carries its own speech.
      if (now >= nextFrame) {
        FrameInfo info;
        const bool have = src->pullFrame(rgb.data(), rgb.size(), info);
        bool hold = false;
        const int16_t* pcm = silence.data();
        // A sentence starts where speech follows other frames or its index
        // starts again: the engine may drop a frame it failed to render,
        // index 0 among them, and the sound must not slip a sentence.
        const bool starts =
            have && info.kind == kSpeech && (last.kind != kSpeech || info.speechIndex <= last.speechIndex);
        if (have) {
          if (info.kind == kSpeech) {
            if (starts && !spoken.empty()) {
              playing = std::move(spoken.front());
              spoken.pop_front();
            }
            const std::size_t at = std::size_t(std::max(0, info.speechIndex)) * kSamplesPerFrame;
            if (playing && at + kSamplesPerFrame <= playing->pcm.size()) {
              pcm = playing->pcm.data() + at;
            } else if (playing && at < playing->pcm.size()) {
              std::copy(playing->pcm.begin() + long(at), playing->pcm.end(), silence.begin());
            }
          }
          last = info;
        } else if (now >= nextFrame + kHoldGrace) {
          ++underruns;
          hold = emitted > 0;  // rgb still holds the last frame
          if (!hold) nextFrame += kFramePeriod;
        }
        if (have || hold) {
          const Clock::time_point pulledAt = Clock::now();
          const double encodeStart = le::tools::threadCpuMs();
          // A sentence's first frame is a key frame: a viewer that fell
          // behind and waits for one picks up right where the speech starts.
          const bool key = starts;
          // A held frame is the picture already encoded: the encoder repeats
          // it instead of converting it again, so that an engine short of
          // CPU is not made shorter by its own underruns.
          std::string fragment = stream->addFrame(hold ? nullptr : rgb.data(), pcm, key);
          le::tools::recordEncodeCpu(le::tools::threadCpuMs() - encodeStart);
          std::fill(silence.begin(), silence.end(), 0);
          // A sentence's first frame says how long after its speech began
          // to go in it left here: the engine's latency plus the wait for
          // this frame's period and its encoding.
          char sincePush[96] = "";
          if (key && playing)
            std::snprintf(sincePush, sizeof sincePush, ",\"sincePushMs\":%.1f,\"pulledMs\":%.1f",
                          ms(Clock::now() - playing->firstPush), ms(pulledAt - playing->firstPush));
          std::snprintf(buf, sizeof buf,
                        "{\"type\":\"frame\",\"n\":%lld,\"seq\":%lld,\"kind\":%d,\"src\":%d,\"speech\":%d,"
                        "\"hold\":%s%s}",
                        (long long)emitted, (long long)last.seq, last.kind, last.srcIndex, hold ? -1 : last.speechIndex,
                        hold ? "true" : "false", sincePush);
          sendEvent(buf);
          if (sinkOk_ && !sink_(true, std::move(fragment))) sinkOk_ = false;
          ++emitted;
          nextFrame += kFramePeriod;
          if (nextFrame < now) nextFrame = now;
        }
      }

      if (now - lastStatus >= std::chrono::seconds(1)) {
        const SourceStats st = src->stats();
        // Frames the engine finished, per second (held frames do not count).
        const double fps = double(st.framesPulled - pulledAtStatus) * 1000.0 / ms(now - lastStatus);
        std::size_t queued;
        {
          std::lock_guard<std::mutex> lock(mu_);
          queued = texts_.size() + std::size_t(synthesising_) + ready_.size() + (pushing ? 1 : 0);
        }
        std::snprintf(buf, sizeof buf,
                      "{\"type\":\"status\",\"fps\":%.2f,\"latencyMs\":%.1f,\"underruns\":%lld,\"frames\":%lld,"
                      "\"speechFrames\":%lld,\"utterances\":%lld,\"renderMs\":%.2f,\"state\":%d,\"queued\":%zu}",
                      fps, st.firstFrameLatencyMs, (long long)underruns, (long long)st.framesPulled,
                      (long long)st.speechFramesPulled, (long long)st.utterances, st.renderMsAvg, st.state, queued);
        sendEvent(buf);
        lastStatus = now;
        pulledAtStatus = st.framesPulled;
      }

      // Sleep until the next frame is due (polling in short steps while the
      // source owes one) or the next frame of made speech may be pushed,
      // waking early for new speech, a stop and close.
      Clock::time_point wake = nextFrame;
      if (now >= nextFrame) wake = now + std::chrono::milliseconds(3);
      if (pushing && !synthBehind) wake = std::min(wake, pushStart + kFramePeriod * (pushedFrames - leadFrames));
      wake = std::max(wake, now + std::chrono::milliseconds(1));
      std::unique_lock<std::mutex> lock(mu_);
      cv_.wait_until(lock, wake, [&] { return closing_ || stopRequested_ || speechArrived_; });
      speechArrived_ = false;
    }
  } catch (const std::exception& e) {
    sendEvent("{\"type\":\"error\",\"fatal\":true,\"message\":" + jsonString(e.what()) + "}");
  }
  stream.reset();
  src.reset();
  finished_ = true;
}

}  // namespace le::live
