// Speech for the command-line tools: any audio file FFmpeg reads, or text
// spoken by espeak-ng, as 16 kHz mono 16-bit samples (the rate the engine's
// animation sources take).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace le::tools {

inline constexpr int kSpeechRate = 16000;

// Decodes the first audio stream of `path` and resamples it to 16 kHz mono
// with libswresample (channels are mixed down). Throws std::runtime_error
// naming the file when it cannot be opened, holds no audio stream or no
// samples, or fails to decode.
std::vector<int16_t> decodeSpeech(const std::string& path);

// Speaks `text` with espeak-ng (voice `voice` when not empty) and returns
// the speech as decodeSpeech does. Throws when espeak-ng is missing or fails.
std::vector<int16_t> speakText(const std::string& text, const std::string& voice = "");

}  // namespace le::tools
