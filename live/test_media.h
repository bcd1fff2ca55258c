// Decodes a live stream back for the tests: video timestamps and audio.
#pragma once

#include <string>
#include <vector>

namespace le::live::test {

struct DecodedStream {
  std::vector<double> videoTimes;  // seconds, one per frame
  std::vector<float> audio;        // mono samples from time 0
  int audioRate = 0;
};

// Decodes the MP4 at `path`; throws when it cannot, or lacks a track.
DecodedStream decodeStream(const std::string& path);

// Root mean square of `audio` between t0 and t1 seconds.
double rms(const std::vector<float>& audio, double t0, double t1, int rate);

}  // namespace le::live::test
