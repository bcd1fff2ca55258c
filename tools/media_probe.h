// What a finished media file holds, read back through libavformat the way a
// player sees it: its streams, codecs, frame counts and durations.
#pragma once

#include <cstdint>
#include <string>

namespace le::tools {

struct MediaInfo {
  int videoStreams = 0;
  int audioStreams = 0;
  std::string videoCodec, audioCodec;  // codec names, "" without such a stream
  int64_t videoFrames = 0;             // frames in the first video stream's index
  double videoSeconds = 0.0;           // first video stream's duration
  double audioSeconds = 0.0;           // first audio stream's duration
  int audioRate = 0;
  int audioChannels = 0;
};

// Probes `path`; throws std::runtime_error naming it when it cannot be read.
MediaInfo probeMedia(const std::string& path);

}  // namespace le::tools
