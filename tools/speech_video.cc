#include "tools/speech_video.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

namespace le::tools {

SpeechVideo::SpeechVideo(VideoSink& out, const std::vector<int16_t>& speech, int leadFrames, size_t frameBytes)
    : out_(out),
      speech_pcm_(speech),
      leadFrames_(std::max(0, leadFrames)),
      frameBytes_(frameBytes),
      chunk_(kSamplesPerFrame) {}

int SpeechVideo::speechFramesNeeded() const {
  return int((speech_pcm_.size() + kSamplesPerFrame - 1) / kSamplesPerFrame);
}

void SpeechVideo::add(const uint8_t* rgb, int kind, int speechIndex) {
  if (!started_ && kind != 1) {
    // Lead-in: keep the latest frames only, so that the lead ends right
    // where the speech begins on the driving loop.
    if (leadFrames_ == 0) return;
    if (int(pending_.size()) == leadFrames_) pending_.pop_front();
    pending_.emplace_back(rgb, rgb + frameBytes_);
    return;
  }
  if (!started_) {
    started_ = true;
    for (const auto& f : pending_) {
      write(f.data(), 0, -1);
      ++lead_;
    }
    pending_.clear();
  }
  write(rgb, kind, speechIndex);
  if (kind == 1)
    ++speech_;
  else if (kind == 2)
    ++ramp_;
  else
    ++other_;
}

void SpeechVideo::write(const uint8_t* rgb, int kind, int speechIndex) {
  std::fill(chunk_.begin(), chunk_.end(), int16_t(0));
  if (kind == 1) {
    if (speechIndex < 0 || speechIndex >= speechFramesNeeded())
      throw std::runtime_error("Speech frame " + std::to_string(speechIndex) + " lies outside the " +
                               std::to_string(speechFramesNeeded()) + " frames of the speech.");
    const size_t from = size_t(speechIndex) * kSamplesPerFrame;
    const size_t n = std::min<size_t>(kSamplesPerFrame, speech_pcm_.size() - from);
    std::memcpy(chunk_.data(), speech_pcm_.data() + from, n * sizeof(int16_t));
  }
  out_.write(rgb);
  out_.writeAudio(chunk_.data(), chunk_.size());
  ++written_;
}

}  // namespace le::tools
