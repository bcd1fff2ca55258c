// A frame source yields the frames of one bundle member in order, one frame
// per call, into a buffer its caller owns. The prefetching cursor is its only
// caller; nothing else reads a source directly.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace le::driver {

class Source {
 public:
  virtual ~Source() = default;
  // Frames the manifest declares for this member.
  virtual int NT() const = 0;
  virtual int W() const = 0;
  virtual int H() const = 0;
  // Bytes one decoded frame occupies in the caller's buffer.
  virtual uint64_t frameBytes() const { return uint64_t(W()) * uint64_t(H()) * 3; }
  // Decodes the next frame into dst; false at the end of the member.
  virtual bool next(uint8_t* dst) = 0;
  // Back to frame 0.
  virtual void rewind() = 0;
  // Positions the source so that the next next() yields frame i.
  virtual void seek(int i) = 0;
  // Backend description for logs and statistics.
  virtual std::string name() const = 0;
  // Estimate of the memory the source holds. Safe to call from any thread
  // while another thread decodes.
  virtual uint64_t residentBytes() const = 0;
};

// A directory of numbered JPEG frames ("frame_%06d.jpg"), decoded one per
// call. Never fails here; each frame file is checked when it is read.
std::unique_ptr<Source> openJpgDir(const std::string& dir, int NT, int W, int H);

// A video member decoded to packed 8-bit RGB (W x H x 3 bytes a frame).
// Throws std::runtime_error when the member disagrees with NT, W or H.
std::unique_ptr<Source> openMp4(const std::string& path, int NT, int W, int H);

// A warp-prior video decoded to planar half-precision RGB (crop x crop x 3
// halves a frame); only yuv444p video is accepted. Throws like openMp4.
std::unique_ptr<Source> openPriorHevc(const std::string& path, int NT, int crop);

}  // namespace le::driver

namespace le {

// "libavcodec <version of the headers> / <configuration of the linked library>".
std::string movieDecoderBuild();

}  // namespace le
