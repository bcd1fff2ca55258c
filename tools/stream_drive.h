// Drives the whole-clip stream runner (le_stream_*) through one clip. The
// runner's functions are looked up at run time, as a host checks for an
// optional part of the library, so that a build without them says so.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/speech_video.h"
#include "tools/utt_drive.h"

namespace le::tools {

class StreamHost {
 public:
  // True when the loaded engine has the stream runner.
  static bool available();

  // Opens `bundle` with the speech encoder at `encoder` and `threads`
  // workers. Throws std::runtime_error with the runner's message.
  StreamHost(const std::string& bundle, const std::string& encoder, int threads);
  ~StreamHost();
  StreamHost(const StreamHost&) = delete;
  StreamHost& operator=(const StreamHost&) = delete;

  int width() const { return width_; }
  int height() const { return height_; }

  // Renders the whole clip: every frame is a speech frame, in order.
  UttDriveResult drive(const std::vector<int16_t>& speech, SpeechVideo& video, const std::function<void()>& progress);

 private:
  void* stream_ = nullptr;
  int width_ = 0, height_ = 0;
};

}  // namespace le::tools
