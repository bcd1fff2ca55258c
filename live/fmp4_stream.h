// Encodes a live stream of RGB frames and their speech into fragmented MP4
// (H.264 + AAC) that a browser plays through Media Source Extensions: one
// initialisation segment, then one fragment per video frame.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVIOContext;
struct AVPacket;
struct AVStream;
struct SwsContext;

namespace le::live {

class Fmp4Stream {
 public:
  // `width`×`height` frames (even) at 25 fps with 640 mono 16 kHz samples
  // each. Throws std::runtime_error when an encoder or the muxer cannot be
  // set up.
  Fmp4Stream(int width, int height);
  ~Fmp4Stream();
  Fmp4Stream(const Fmp4Stream&) = delete;
  Fmp4Stream& operator=(const Fmp4Stream&) = delete;

  // MSE type of the stream, e.g. video/mp4; codecs="avc1.42c01f,mp4a.40.2".
  const std::string& mimeType() const { return mime_; }
  // The ftyp and moov boxes; a player needs them before any fragment.
  const std::string& initSegment() const { return init_; }
  // Presentation time of frame 0 in seconds; frame n plays at start + n / 25
  // and so does its speech (the first frame also fills the time before).
  double startSeconds() const { return startSeconds_; }
  // Encodes frame `rgb` (width × height × 3) with its 640 samples `pcm` and
  // returns the fragment (moof + mdat) carrying it. `pcm` may be null for
  // silence.
  std::string addFrame(const uint8_t* rgb, const int16_t* pcm);
  int64_t frames() const { return frames_; }

 private:
  static int writeCallback(void* self, uint8_t* buf, int size);
  void writeAudio();
  void encodeVideo(const uint8_t* rgb, int64_t slot);
  void writeVideo();
  void release();  // frees every FFmpeg object, in reverse order of creation

  int width_, height_;
  AVFormatContext* fmt_ = nullptr;
  AVIOContext* io_ = nullptr;
  AVCodecContext* venc_ = nullptr;
  AVCodecContext* aenc_ = nullptr;
  AVStream* vst_ = nullptr;
  AVStream* ast_ = nullptr;
  AVFrame* vframe_ = nullptr;
  AVFrame* aframe_ = nullptr;
  AVPacket* pkt_ = nullptr;
  SwsContext* sws_ = nullptr;
  std::vector<float> audioFifo_;  // samples waiting for a whole AAC frame
  int64_t audioPts_ = 0;          // samples sent to the AAC encoder
  int64_t audioPackets_ = 0;      // packets written
  int64_t frames_ = 0;
  int leadFrames_ = 0;  // periods the first frame is shown before frame 0's slot
  double startSeconds_ = 0;
  std::string mime_, init_;
  std::string out_;  // bytes the muxer wrote since the last fragment
};

}  // namespace le::live
