// Text to 16 kHz mono speech through the espeak-ng program.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace le::live {

class SpeechSynth {
 public:
  // `program` is the espeak-ng executable (looked up on PATH), `voice` its
  // -v argument; a run that takes longer than `timeoutMs` is killed.
  explicit SpeechSynth(std::string program = "espeak-ng", std::string voice = "en-us", int timeoutMs = 15000);
  // Speaks `text` (UTF-8; passed on standard input, never as arguments) and
  // returns 16 kHz mono samples. The program runs in its own process group
  // with only standard input, output and error open. Throws
  // std::runtime_error when it cannot run, fails, overruns its time, or
  // writes no audio.
  std::vector<int16_t> speak(const std::string& text) const;

 private:
  std::string program_, voice_;
  int timeoutMs_;
};

// Parses a 16-bit mono PCM WAV (as espeak-ng streams it, with unknown chunk
// sizes allowed) and returns its samples and rate; throws on anything else.
std::vector<int16_t> parseWav(const std::string& bytes, int& rate);

// Resamples mono 16-bit audio from `fromRate` to `toRate` with libswresample.
std::vector<int16_t> resample(const std::vector<int16_t>& in, int fromRate, int toRate);

}  // namespace le::live
