// Drives the lightbackend plug-in through its renderer table as an outside
// host does: load the file, look the entry up by name, open the bundle, push
// speech, pull frames.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/speech_video.h"
#include "tools/utt_drive.h"

struct mirelund_renderer;

namespace le::tools {

class PluginHost {
 public:
  // Loads the plug-in at `pluginPath` and opens `bundle` with director `key`
  // and `threads` workers (0: the plug-in's rule). Throws std::runtime_error
  // starting "plugin: " when the file or its entry cannot be loaded, and
  // "open: " when the plug-in refuses the bundle.
  PluginHost(const std::string& pluginPath, const std::string& bundle, const std::string& key, int threads);
  ~PluginHost();
  PluginHost(const PluginHost&) = delete;
  PluginHost& operator=(const PluginHost&) = delete;

  int width() const { return width_; }
  int height() const { return height_; }

  // One utterance: lead idle frames, the speech in 640-sample chunks, the
  // finish, then frames until the face is back on the idle loop.
  UttDriveResult drive(const std::vector<int16_t>& speech, SpeechVideo& video, const UttDriveOptions& opts,
                       const std::function<void()>& progress);

 private:
  void* lib_ = nullptr;
  const mirelund_renderer* table_ = nullptr;
  void* obj_ = nullptr;
  int width_ = 0, height_ = 0;
};

}  // namespace le::tools
