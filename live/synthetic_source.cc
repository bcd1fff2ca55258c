#include "live/synthetic_source.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

namespace le::live {

SyntheticSource::SyntheticSource(int width, int height, int lagFrames)
    : width_(width), height_(height), lag_(std::max(0, lagFrames)) {
  if (width <= 0 || height <= 0 || (width & 1) || (height & 1))
    throw std::runtime_error("SyntheticSource: frame size " + std::to_string(width) + "x" + std::to_string(height) +
                             " must be positive and even.");
}

void SyntheticSource::pushAudio(const int16_t*, int n) {
  std::lock_guard<std::mutex> lock(mu_);
  // As in the pipeline, an empty push starts nothing.
  if (n <= 0) return;
  if (rampLeft_ > 0) {
    pending_ += n;
    return;
  }
  if (!speaking_) begin();
  pushed_ += n;
}

void SyntheticSource::begin() {
  speaking_ = true;
  ended_ = pendingEnd_;
  pushed_ = pending_;
  pending_ = 0;
  pendingEnd_ = false;
  nextSpeech_ = 0;
  firstPush_ = Clock::now();
  stats_.state = 1;
}

void SyntheticSource::endUtterance() {
  std::lock_guard<std::mutex> lock(mu_);
  if (speaking_) ended_ = true;
  if (rampLeft_ > 0 && pending_ > 0) pendingEnd_ = true;
}

void SyntheticSource::interrupt() {
  std::lock_guard<std::mutex> lock(mu_);
  speaking_ = false;
  ended_ = false;
  pending_ = 0;
  pendingEnd_ = false;
  rampLeft_ = (lastKind_ == kSpeech || lastKind_ == kRamp) ? kInterruptRamp : 0;
  stats_.state = rampLeft_ ? 3 : 0;
}

bool SyntheticSource::pullFrame(uint8_t* rgb, std::size_t len, FrameInfo& info) {
  std::lock_guard<std::mutex> lock(mu_);
  if (len < std::size_t(width_) * height_ * 3) return false;
  info = FrameInfo{};
  if (speaking_) {
    const int64_t frames = (pushed_ + kSamplesPerFrame - 1) / kSamplesPerFrame;
    const bool readyNext = ended_ ? nextSpeech_ < frames : (nextSpeech_ + 1 + lag_) * int64_t(kSamplesPerFrame) <= pushed_;
    if (readyNext) {
      info.kind = kSpeech;
      info.speechIndex = nextSpeech_++;
      stats_.state = 2;
      if (info.speechIndex == 0) {
        ++stats_.utterances;
        stats_.firstFrameLatencyMs = std::chrono::duration<double, std::milli>(Clock::now() - firstPush_).count();
      }
    } else if (ended_) {
      speaking_ = false;
      rampLeft_ = nextSpeech_ > 0 ? kEndRamp : 0;
      stats_.state = rampLeft_ ? 3 : 0;
    } else {
      return false;  // the pipeline publishes nothing while it waits for speech
    }
  }
  if (!speaking_) {
    if (rampLeft_ > 0) {
      info.kind = kRamp;
      if (--rampLeft_ == 0) stats_.state = 0;
    } else if (pending_ > 0) {
      // Audio that arrived during the ramp starts the next utterance.
      begin();
      return false;
    }
  }
  info.seq = seq_++;
  info.srcIndex = cursor_;
  cursor_ = (cursor_ + 1) % kLoopFrames;
  lastKind_ = info.kind;
  ++stats_.framesPulled;
  if (info.kind == kSpeech) ++stats_.speechFramesPulled;
  paint(rgb, info);
  return true;
}

SourceStats SyntheticSource::stats() {
  std::lock_guard<std::mutex> lock(mu_);
  return stats_;
}

void SyntheticSource::paint(uint8_t* rgb, const FrameInfo& info) const {
  // Flat colour per kind, with a bar that walks with the loop position so
  // that consecutive frames differ.
  static const uint8_t kColour[3][3] = {{60, 90, 140}, {200, 70, 70}, {220, 160, 40}};
  const uint8_t* c = kColour[std::clamp(info.kind, 0, 2)];
  const int barX = int(int64_t(info.srcIndex) * width_ / kLoopFrames);
  const int barW = std::max(2, width_ / 16);
  for (int y = 0; y < height_; ++y) {
    uint8_t* row = rgb + std::size_t(y) * width_ * 3;
    for (int x = 0; x < width_; ++x) {
      const bool bar = x >= barX && x < barX + barW;
      row[3 * x + 0] = bar ? 240 : c[0];
      row[3 * x + 1] = bar ? 240 : c[1];
      row[3 * x + 2] = bar ? 240 : c[2];
    }
  }
}

}  // namespace le::live
