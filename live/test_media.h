// Decodes the live stream's frame messages back for the tests: the images,
// whether each came out of the decoder at once, and the speech.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace le::live::test {

struct DecodedStream {
  std::vector<uint32_t> numbers;             // frame number of every message
  std::vector<bool> keys;                    // its key-frame flag
  std::vector<std::vector<uint8_t>> images;  // RGB, one per message that decoded
  int heldBack = 0;                          // messages whose picture the decoder did not give at once
  std::vector<float> audio;                  // mono 16 kHz samples, message after message
};

// Decodes `messages` of `width`×`height` frames with FFmpeg's H.264
// decoder in low-delay mode; throws when a message is malformed.
DecodedStream decodeMessages(const std::vector<std::string>& messages, int width, int height);

// Root mean square of `audio` between t0 and t1 seconds.
double rms(const std::vector<float>& audio, double t0, double t1, int rate);

}  // namespace le::live::test
