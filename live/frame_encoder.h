// Encodes the live stream for a browser that decodes it itself (WebCodecs
// for the video, Web Audio for the speech): one binary message per frame,
// holding the frame's H.264 access unit and its own 640 samples of speech,
// so that nothing between the engine and the screen buffers more than the
// frame in hand.
//
// Message layout (little-endian):
//   bytes 0..3    "LEF1"
//   bytes 4..7    frame number (uint32, counting from 0)
//   byte  8       flags: 1 = key frame (starts with SPS and PPS)
//   bytes 9..11   zero
//   bytes 12..15  video byte count V
//   bytes 16..    V bytes of H.264 (Annex B, one access unit), then the
//                 frame's speech as 16-bit mono 16 kHz samples
#pragma once

#include <cstdint>
#include <string>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

namespace le::live {

// Size of the header before the video bytes.
constexpr std::size_t kFrameHeaderBytes = 16;

class FrameEncoder {
 public:
  // `width`×`height` frames (even) at 25 fps. Throws std::runtime_error
  // when the size is odd or the H.264 encoder cannot be set up.
  FrameEncoder(int width, int height);
  ~FrameEncoder();
  FrameEncoder(const FrameEncoder&) = delete;
  FrameEncoder& operator=(const FrameEncoder&) = delete;

  // WebCodecs codec string of the video, e.g. "avc1.42c01f".
  const std::string& codec() const { return codec_; }
  // Encodes frame `rgb` (width × height × 3) with its 640 samples `pcm`
  // (null for silence) and returns its message; `key` makes it a key frame.
  // A null `rgb` repeats the previous picture without converting it again
  // (a frame that changes nothing, which costs the encoder and the viewer's
  // decoder next to nothing); throws when there is none yet.
  // The encoder holds no frame back: the message carries this very frame.
  std::string addFrame(const uint8_t* rgb, const int16_t* pcm, bool key = false);
  int64_t frames() const { return frames_; }

 private:
  void release();  // frees every FFmpeg object, in reverse order of creation

  int width_, height_;
  AVCodecContext* venc_ = nullptr;
  AVFrame* vframe_ = nullptr;
  AVPacket* pkt_ = nullptr;
  SwsContext* sws_ = nullptr;
  int64_t frames_ = 0;
  std::string codec_;
  std::string headers_;  // SPS and PPS in Annex B, put before every key frame
};

// The parts of a message; false when `msg` is not one.
struct FrameMessage {
  uint32_t frame = 0;
  bool key = false;
  std::string video;
  std::string pcm;  // raw 16-bit little-endian samples
};
bool parseFrameMessage(const std::string& msg, FrameMessage& out);

}  // namespace le::live
