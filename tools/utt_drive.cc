#include "tools/utt_drive.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>

namespace le::tools {
namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

void checkRender(le_utt* utt) {
  int64_t failures = 0;
  char msg[512] = {0};
  if (le_utt_render_status(utt, &failures, msg, int(sizeof msg)) < 0)
    throw std::runtime_error(std::string("rendering failed: ") + msg);
}

}  // namespace

UttDriveResult driveUtterance(le_utt* utt, size_t frameBytes, const std::vector<int16_t>& speech,
                              SpeechVideo& video, const UttDriveOptions& opts,
                              const std::function<void()>& progress) {
  std::vector<uint8_t> frame(frameBytes);
  le_utt_frame_info info{};

  // Warm-up: the source loads its models while idle frames already flow.
  const Clock::time_point warm = Clock::now();
  for (;;) {
    const int r = le_utt_ready(utt);
    if (r == 1) break;
    if (r < 0) throw std::runtime_error(std::string("source: ") + le_utt_last_error());
    if (secondsSince(warm) > opts.readyTimeoutS)
      throw std::runtime_error("the animation source was not ready after " + std::to_string(int(opts.readyTimeoutS)) +
                               " s.");
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }

  // Lead-in: idle frames as a host shows them before anyone speaks.
  Clock::time_point lastProgress = Clock::now();
  for (int pulled = 0; pulled < opts.leadFrames;) {
    if (le_utt_pull_frame(utt, frame.data(), frame.size(), &info)) {
      video.add(frame.data(), info.kind, info.speech_index);
      ++pulled;
      lastProgress = Clock::now();
      progress();
    } else {
      checkRender(utt);
      if (secondsSince(lastProgress) > opts.stallTimeoutS) throw std::runtime_error("no idle frames came.");
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  const size_t chunks = (speech.size() + kSamplesPerFrame - 1) / kSamplesPerFrame;
  const auto period = std::chrono::milliseconds(40);
  size_t pushed = 0;
  bool ended = false;
  const Clock::time_point t0 = Clock::now();
  // A live host pushes each 40 ms of speech as it arrives (tick k brings
  // chunk k); otherwise all of it goes in at once and the pipeline takes it
  // as fast as it renders.
  auto pushDue = [&](size_t due) {
    for (due = std::min(due, chunks); pushed < due; ++pushed) {
      const size_t from = pushed * kSamplesPerFrame;
      const int n = int(std::min<size_t>(kSamplesPerFrame, speech.size() - from));
      if (!le_utt_push_audio(utt, speech.data() + from, n))
        throw std::runtime_error(std::string("cannot push audio: ") + le_utt_last_error());
    }
    if (pushed == chunks && !ended) {
      le_utt_end_utterance(utt);
      ended = true;
    }
  };

  UttDriveResult result;
  bool spoke = false;
  int speechPulled = 0;
  int64_t firstSpeechTick = 0, lastSpeechTick = 0;
  auto finish = [&] {
    result.seconds = secondsSince(t0);
    le_utt_stats stats{};
    le_utt_get_stats(utt, &stats);
    result.firstFrameLatencyMs = stats.first_frame_latency_ms;
    result.renderMsAvg = stats.render_ms_avg;
    // A display shows one frame a period: n speech frames over the periods
    // from the first to the last, each late one adding a period.
    if (opts.realtime && speechPulled > 0)
      result.deliveredFps = double(speechPulled) / (double(lastSpeechTick - firstSpeechTick + 1) * 0.04);
    return result;
  };
  // Takes one pulled frame; true once the face is back on the loop.
  auto take = [&](int64_t tick) {
    lastProgress = Clock::now();
    // Back on the idle loop after the speech (and its ramp): done.
    if (spoke && info.kind == 0) return true;
    if (info.kind == 1) {
      if (speechPulled++ == 0) firstSpeechTick = tick;
      lastSpeechTick = tick;
    }
    spoke = spoke || info.kind == 1;
    video.add(frame.data(), info.kind, info.speech_index);
    progress();
    return false;
  };
  // LE_UTT_TRACE, beside the pipeline's own frame lines: each late period.
  const bool trace = std::getenv("LE_UTT_TRACE") != nullptr;
  lastProgress = Clock::now();
  for (int64_t tick = 0;; ++tick) {
    bool took = false;
    if (opts.realtime) {
      std::this_thread::sleep_until(t0 + tick * period);
      pushDue(size_t(tick) + 1);
      if (le_utt_pull_frame(utt, frame.data(), frame.size(), &info)) {
        took = true;
        if (take(tick)) return finish();
      } else if (spoke) {
        ++result.lateFrames;
        if (trace)
          std::fprintf(stderr, "[le_speak] period %lld found no frame, %d speech frames after the first\n",
                       (long long)(tick - firstSpeechTick), speechPulled);
      }
    } else {
      pushDue(chunks);
      while (le_utt_pull_frame(utt, frame.data(), frame.size(), &info)) {
        took = true;
        if (take(tick)) return finish();
      }
    }
    if (!took) {
      checkRender(utt);
      if (secondsSince(lastProgress) > opts.stallTimeoutS)
        throw std::runtime_error("the pipeline delivered no frame for " + std::to_string(int(opts.stallTimeoutS)) +
                                 " s.");
      if (!opts.realtime) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
}

}  // namespace le::tools
