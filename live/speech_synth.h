// Text to 16 kHz mono speech through the espeak-ng program, handed on in
// pieces as the program makes it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct SwrContext;

namespace le::live {

// Receives speech as it is made; returns false when no more is wanted.
using SpeechPiece = std::function<bool(const int16_t* pcm, std::size_t n)>;

class SpeechSynth {
 public:
  // `program` is the espeak-ng executable (looked up on PATH), `voice` its
  // -v argument; a run that takes longer than `timeoutMs` is killed.
  explicit SpeechSynth(std::string program = "espeak-ng", std::string voice = "en-us", int timeoutMs = 15000);
  // Speaks `text` (UTF-8; passed on standard input, never as arguments) and
  // hands the 16 kHz mono samples to `piece` as soon as the program writes
  // them, so that speech can start before the sentence is finished. The
  // program runs in its own process group with only standard input, output
  // and error open; when `piece` returns false it is stopped and the call
  // returns. Throws std::runtime_error when it cannot run, fails, overruns
  // its time, or writes no audio.
  void speak(const std::string& text, const SpeechPiece& piece) const;
  // The whole of `text`'s speech at once.
  std::vector<int16_t> speak(const std::string& text) const;

 private:
  std::string program_, voice_;
  int timeoutMs_;
};

// Parses a 16-bit mono PCM WAV (as espeak-ng streams it, with unknown chunk
// sizes allowed) and returns its samples and rate; throws on anything else.
std::vector<int16_t> parseWav(const std::string& bytes, int& rate);

// Where the samples of the WAV beginning `bytes` start, with its rate;
// npos while the header is incomplete. Throws when it is not 16-bit mono PCM.
std::size_t wavDataOffset(const std::string& bytes, int& rate);

// Resamples mono 16-bit audio arriving in pieces with libswresample.
class Resampler {
 public:
  // Throws std::runtime_error naming the rates when it cannot be set up.
  Resampler(int fromRate, int toRate);
  ~Resampler();
  Resampler(const Resampler&) = delete;
  Resampler& operator=(const Resampler&) = delete;
  // The output for the next `n` input samples (the filter keeps a few back).
  std::vector<int16_t> push(const int16_t* in, std::size_t n);
  // What the filter still holds, at the end of the audio.
  std::vector<int16_t> flush();

 private:
  int from_, to_;
  SwrContext* swr_ = nullptr;
};

// Resamples mono 16-bit audio from `fromRate` to `toRate` in one go.
std::vector<int16_t> resample(const std::vector<int16_t>& in, int fromRate, int toRate);

}  // namespace le::live
