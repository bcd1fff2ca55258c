// Encodes packed RGB frames into an H.264 MP4 file through libavcodec.
#pragma once

#include <cstdint>
#include <string>

struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVPacket;
struct AVStream;
struct SwsContext;

namespace le::tools {

class Mp4Writer {
 public:
  // Opens `path` for `width`×`height` frames at `fps`. Width and height must be
  // even (yuv420p). Throws std::runtime_error when the file or encoder cannot
  // be opened.
  Mp4Writer(const std::string& path, int width, int height, int fps, int crf = 20);
  // Finishes the file when close() was not called; errors are swallowed here.
  ~Mp4Writer();
  Mp4Writer(const Mp4Writer&) = delete;
  Mp4Writer& operator=(const Mp4Writer&) = delete;

  // Appends one frame of packed RGB (3 bytes a pixel, rows without gaps).
  void write(const uint8_t* rgb);
  // Flushes the encoder and writes the trailer; throws on failure.
  void close();
  int64_t framesWritten() const { return next_pts_; }

 private:
  void drain(bool flush);
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
  bool closed_ = false;
};

}  // namespace le::tools
