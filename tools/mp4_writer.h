// Encodes packed RGB frames into an H.264 MP4 file through libavcodec, with
// an optional AAC audio track (FFmpeg's native encoder) muxed beside it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "tools/video_sink.h"

struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVPacket;
struct AVStream;
struct SwsContext;
struct SwrContext;
struct AVAudioFifo;

namespace le::tools {

// The audio track: mono 16-bit samples at `inputRate` in, AAC at
// `outputRate` out.
struct AudioSpec {
  int inputRate = 16000;
  int outputRate = 48000;
  int64_t bitRate = 96000;
};

class Mp4Writer final : public VideoSink {
 public:
  // Opens `path` for `width`×`height` frames at `fps`, and an audio track when
  // `audio` is given. Width and height must be even (yuv420p). Throws
  // std::runtime_error when the file or an encoder cannot be opened.
  // `threads` is the H.264 encoder's thread count, 0 letting it choose; 1
  // keeps all encoding on the thread that calls write().
  Mp4Writer(const std::string& path, int width, int height, int fps, int crf = 20,
            std::optional<AudioSpec> audio = std::nullopt, int threads = 0);
  // Finishes the file when close() was not called; errors are swallowed here.
  ~Mp4Writer() override;
  Mp4Writer(const Mp4Writer&) = delete;
  Mp4Writer& operator=(const Mp4Writer&) = delete;

  // Appends one frame of packed RGB (3 bytes a pixel, rows without gaps).
  void write(const uint8_t* rgb) override;
  // Appends n samples to the audio track (which must have been asked for).
  // The track's sample k plays at k / inputRate seconds, the time of video
  // frame k * fps / inputRate: callers keep the two in step by writing
  // inputRate / fps samples per frame.
  void writeAudio(const int16_t* pcm, size_t n) override;
  // Flushes the encoders and writes the trailer; throws on failure.
  void close();
  int64_t framesWritten() const { return next_pts_; }
  int64_t audioSamplesWritten() const { return audio_in_; }

 private:
  void drain(bool flush);
  void openAudio(const AudioSpec& spec);
  void encodeAudio(bool flush);  // encodes whole AAC frames from the FIFO (and the rest on flush)
  void drainAudio(bool flush);
  void release();  // frees every FFmpeg object, in reverse order of creation

  std::string path_;
  int width_, height_;
  AVFormatContext* fmt_ = nullptr;
  AVCodecContext* enc_ = nullptr;
  AVStream* stream_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* pkt_ = nullptr;
  SwsContext* sws_ = nullptr;
  int64_t next_pts_ = 0;
  // Audio track; all null without one.
  AVCodecContext* aenc_ = nullptr;
  AVStream* astream_ = nullptr;
  AVFrame* aframe_ = nullptr;
  SwrContext* swr_ = nullptr;
  AVAudioFifo* fifo_ = nullptr;
  int64_t audio_in_ = 0;     // input samples written
  int64_t apts_ = 0;         // next AAC frame's first sample, at the output rate
  int64_t prime_skip_ = 0;   // leading output samples still to drop (encoder priming)
  bool closed_ = false;
};

}  // namespace le::tools
