// One viewer's live session: owns a frame source, speaks queued sentences
// into it up to a bounded lead ahead of real time, pulls finished frames at
// 25 fps, pairs each speech frame with the audio it was made from, and
// hands the encoded stream and JSON events to a sink (the viewer's
// WebSocket).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "live/frame_source.h"
#include "live/speech_synth.h"

namespace le::live {

struct SessionOptions {
  std::size_t maxTextBytes = 1000;  // longest sentence accepted
  std::size_t maxQueued = 8;        // sentences waiting to be spoken
  // At most how far ahead of real time a sentence's speech is pushed, as
  // far as the synthesiser has made it; within this, the source's look-ahead
  // and a 240 ms margin. Synthesised speech exists before it is due, so a
  // source that must hear some speech beyond a frame (the
  // audio-to-expression stream's look-ahead, about 1.1 s) gets it at once
  // and its lag is not paid in wall time. Bounded, so that a long sentence
  // does not pile up in the engine. 0 pushes at a microphone's pace.
  std::chrono::milliseconds speechLead{2000};
};

// Receives the session's output on its pump thread, in order: text messages
// (JSON) and binary messages (one per frame, FrameEncoder's layout, each
// right after the frame's JSON event). Returns false when the viewer cannot keep up; the
// session then stops.
using SessionSink = std::function<bool(bool binary, std::string data)>;

// Turns text into 16 kHz speech, handing it to `piece` as it is made
// (SpeechSynth::speak in the server); stops when `piece` returns false.
using Speaker = std::function<void(const std::string& text, const SpeechPiece& piece)>;

class LiveSession {
 public:
  // Starts the pump and speech threads. The source is made on the pump
  // thread; when the factory throws, the sink gets an "error" event and the
  // session finishes.
  LiveSession(std::string id, SourceFactory factory, Speaker speaker, SessionSink sink, SessionOptions opts = {});
  // Stops and joins both threads, then frees the source.
  ~LiveSession();
  LiveSession(const LiveSession&) = delete;
  LiveSession& operator=(const LiveSession&) = delete;

  const std::string& id() const { return id_; }

  enum class SayResult { kQueued, kEmpty, kTooLong, kNotUtf8, kQueueFull, kClosed };
  // Queues a sentence (validated here: non-empty after trimming, UTF-8, at
  // most maxTextBytes, no control characters but newlines and tabs).
  SayResult say(const std::string& text);
  // Interrupts the current sentence and drops the queued ones.
  void stop();
  // Asks the threads to end (the viewer left); the destructor joins them.
  void close();
  // True once the pump thread has ended (closed, failed, or sink refused).
  bool finished() const { return finished_.load(); }

 private:
  using Clock = std::chrono::steady_clock;
  // A sentence's speech, growing while the synthesiser makes it.
  struct Utterance {
    int64_t id = 0;
    std::chrono::steady_clock::time_point saidAt;  // when say() queued it
    std::vector<int16_t> pcm;  // guarded by mu_
    bool complete = false;     // guarded by mu_: the synthesiser is done with it
  };

  void pump();
  void speechLoop();
  void sendEvent(const std::string& json);

  const std::string id_;
  const SourceFactory factory_;
  const Speaker speaker_;
  const SessionSink sink_;
  const SessionOptions opts_;

  // Guards texts_, synthesising_, ready_, the utterances' speech,
  // nextUtterance_, stopEpoch_, stopRequested_, speechArrived_ and closing_.
  std::mutex mu_;
  std::condition_variable cv_;
  struct Sentence {
    int64_t epoch = 0;
    std::string text;
    std::chrono::steady_clock::time_point saidAt;
  };
  std::deque<Sentence> texts_;  // waiting for the synthesiser
  int synthesising_ = 0;  // 1 while the synthesiser works on one that has no speech yet
  std::deque<std::shared_ptr<Utterance>> ready_;  // speech begun, waiting to be spoken
  int64_t nextUtterance_ = 0;
  int64_t stopEpoch_ = 0;   // bumped by stop(); sentences of older epochs are dropped
  bool stopRequested_ = false;
  bool speechArrived_ = false;  // the synthesiser handed on more speech; wakes the pump
  bool closing_ = false;
  std::atomic<bool> finished_{false};
  std::atomic<bool> sinkOk_{true};

  std::thread speech_;
  std::thread pump_;
};

// Checks a sentence as LiveSession::say does, without a session.
LiveSession::SayResult checkSentence(const std::string& text, std::size_t maxBytes);

// JSON string literal of `s` (quotes included), escaping what JSON requires.
std::string jsonString(const std::string& s);

}  // namespace le::live
