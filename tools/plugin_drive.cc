#include "tools/plugin_drive.h"

#include <dlfcn.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <thread>

#include "backend/lightbackend.h"

namespace le::tools {
namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

}  // namespace

PluginHost::PluginHost(const std::string& pluginPath, const std::string& bundle, const std::string& key,
                       int threads) {
  lib_ = dlopen(pluginPath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!lib_) throw std::runtime_error(std::string("plugin: cannot load ") + pluginPath + ": " + dlerror());
  auto entry = reinterpret_cast<mirelund_renderer_entry_fn>(dlsym(lib_, "mirelund_renderer_entry"));
  table_ = entry ? entry(1) : nullptr;
  if (!table_ || table_->size != sizeof(mirelund_renderer)) {
    dlclose(lib_);
    throw std::runtime_error("plugin: " + pluginPath + " has no renderer table of version 1");
  }
  // Built by the JSON library: a key with quotes stays one string.
  const std::string options = nlohmann::json{{"model_key", key}, {"threads", threads}}.dump();
  const int rc = table_->open(nullptr, bundle.c_str(), nullptr, options.c_str(), &obj_);
  mirelund_renderer_info info{};
  info.size = sizeof info;
  if (rc != MIRELUND_RC_OK || !obj_ || table_->info(obj_, &info) != MIRELUND_RC_OK) {
    if (obj_) table_->close(obj_);
    dlclose(lib_);
    throw std::runtime_error("open: the plug-in refused " + bundle + " (code " + std::to_string(rc) + ")");
  }
  width_ = info.width;
  height_ = info.height;
}

PluginHost::~PluginHost() {
  if (obj_) table_->close(obj_);
  if (lib_) dlclose(lib_);
}

UttDriveResult PluginHost::drive(const std::vector<int16_t>& speech, SpeechVideo& video,
                                 const UttDriveOptions& opts, const std::function<void()>& progress) {
  std::vector<uint8_t> frame(size_t(width_) * size_t(height_) * 3);
  mirelund_renderer_frame meta{};
  auto pull = [&]() -> bool {
    meta = mirelund_renderer_frame{};
    meta.size = sizeof meta;
    const int rc = table_->pull_frame(obj_, frame.data(), frame.size(), &meta);
    if (rc == MIRELUND_RC_NO_FRAME) return false;
    if (rc != MIRELUND_RC_OK) throw std::runtime_error("the plug-in failed to deliver a frame (code " + std::to_string(rc) + ")");
    return true;
  };

  Clock::time_point lastProgress = Clock::now();
  for (int pulled = 0; pulled < opts.leadFrames;) {
    if (pull()) {
      video.add(frame.data(), int(meta.kind), -1);
      ++pulled;
      lastProgress = Clock::now();
      progress();
    } else {
      if (secondsSince(lastProgress) > opts.stallTimeoutS) throw std::runtime_error("no idle frames came.");
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  const size_t chunks = (speech.size() + kSamplesPerFrame - 1) / kSamplesPerFrame;
  size_t pushed = 0;
  bool finished = false;
  int spoken = 0;  // the table reports kinds, not speech indices: speech frames come in order
  UttDriveResult result;
  const Clock::time_point t0 = Clock::now();
  lastProgress = t0;
  for (;;) {
    const size_t due = opts.realtime ? std::min(chunks, size_t(secondsSince(t0) * 25.0) + 1) : chunks;
    for (; pushed < due; ++pushed) {
      const size_t from = pushed * kSamplesPerFrame;
      const size_t n = std::min<size_t>(kSamplesPerFrame, speech.size() - from);
      const int rc = table_->push_audio(obj_, speech.data() + from, n);
      if (rc != MIRELUND_RC_OK) throw std::runtime_error("the plug-in refused audio (code " + std::to_string(rc) + ")");
    }
    if (pushed == chunks && !finished) {
      table_->finish(obj_);
      finished = true;
    }
    bool took = false;
    while (pull()) {
      took = true;
      lastProgress = Clock::now();
      if (spoken > 0 && meta.kind == 0) {
        result.seconds = secondsSince(t0);
        return result;
      }
      if (meta.kind == 1 && spoken == 0) result.firstFrameLatencyMs = secondsSince(t0) * 1000.0;
      video.add(frame.data(), int(meta.kind), meta.kind == 1 ? spoken++ : -1);
      progress();
    }
    if (!took) {
      if (secondsSince(lastProgress) > opts.stallTimeoutS)
        throw std::runtime_error("the plug-in delivered no frame for " + std::to_string(int(opts.stallTimeoutS)) + " s.");
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
}

}  // namespace le::tools
