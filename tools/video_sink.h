// Where a speech video's frames and audio go: an MP4 file, or a queue in
// front of one.
#pragma once

#include <cstddef>
#include <cstdint>

namespace le::tools {

class VideoSink {
 public:
  virtual ~VideoSink() = default;
  // Appends one frame of packed RGB (3 bytes a pixel, rows without gaps).
  virtual void write(const uint8_t* rgb) = 0;
  // Appends n mono 16-bit samples to the audio track.
  virtual void writeAudio(const int16_t* pcm, size_t n) = 0;
};

}  // namespace le::tools
