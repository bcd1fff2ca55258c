// Video members decoded with FFmpeg: the driving video (packed RGB) and the
// warp-prior video (planar half-precision RGB).
#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <sys/stat.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/error.h>
#include <libavutil/pixdesc.h>
}

#include "core/driver/source.h"
#include "core/foundation/media_formats.h"
#include "core/foundation/simd.h"

namespace le {
namespace {

#define LE_STR2(x) #x
#define LE_STR(x) LE_STR2(x)
// The libavcodec this program was compiled against.
const char* const kLavcVersion =
    LE_STR(LIBAVCODEC_VERSION_MAJOR) "." LE_STR(LIBAVCODEC_VERSION_MINOR) "." LE_STR(LIBAVCODEC_VERSION_MICRO);

const char* const kHwDecoder = "h264_cuvid";

std::string avErrorText(int code) {
  char buf[64];
  av_strerror(code, buf, sizeof buf);
  return buf;
}

// The binary16 value nearest to v (0 <= v <= 1), ties to even.
uint16_t nearestHalf(double v) {
  if (v <= 0) return 0;
  int e = 0;
  std::frexp(v, &e);  // v = m * 2^e, 0.5 <= m < 1
  // Normal halves carry 11 significant bits; below 2^-14 the spacing is fixed.
  const int exp2 = std::max(e - 11, -24);
  const double q = std::nearbyint(std::ldexp(v, -exp2));  // round to even (default mode)
  const double r = std::ldexp(q, exp2);
  // Re-encode r exactly.
  if (r < std::ldexp(1.0, -14)) return uint16_t(std::ldexp(r, 24));
  int re = 0;
  const double rm = std::frexp(r, &re);  // r = rm * 2^re
  const int biased = re - 1 + 15;
  const int mant = int(std::ldexp(rm, 11)) - 1024;
  return uint16_t((biased << 10) | mant);
}

}  // namespace

namespace driver {
namespace {

enum Mode { kDriver = 0, kPrior = 1 };

class FfSource final : public Source {
 public:
  FfSource(Mode mode, std::string path, int nt, int w, int h)
      : mode_(mode), path_(std::move(path)), NT_(nt), W_(w), H_(h) {
    halfLut_.fill(0);
    if (mode_ == kPrior) {
      for (int i = 0; i < 256; ++i) halfLut_[i] = nearestHalf(i / 255.0);
    }
    open();
  }

  ~FfSource() override { release(); }

  int NT() const override { return NT_; }
  int W() const override { return W_; }
  int H() const override { return H_; }
  uint64_t frameBytes() const override {
    return uint64_t(W_) * uint64_t(H_) * (mode_ == kPrior ? 6 : 3);
  }

  bool next(uint8_t* dst) override {
    requireOpen();
    for (;;) {
      int r = avcodec_receive_frame(dec_, frame_);
      if (r == AVERROR_EOF) return false;
      if (r == AVERROR(EAGAIN)) {
        if (flushed_) return false;
        feedPacket();
        continue;
      }
      if (r < 0) {
        throw std::runtime_error("le_driver: " + path_ + " decode fault at frame " + std::to_string(position_) +
                                 " (" + avErrorText(r) + ")");
      }
      try {
        convert(dst);
      } catch (...) {
        av_frame_unref(frame_);
        throw;
      }
      av_frame_unref(frame_);
      ++position_;
      return true;
    }
  }

  void rewind() override { restart(); }

  void seek(int i) override {
    if (i < 0 || i >= NT_) throw std::runtime_error("le_driver: seek outside the member");
    requireOpen();
    if (i < position_) restart();
    if (position_ < i && scratch_.size() != frameBytes()) scratch_.resize(frameBytes());
    while (position_ < i) {
      if (!next(scratch_.data())) {
        throw std::runtime_error("le_driver: " + path_ + " ended at frame " + std::to_string(position_) +
                                 " while seeking to " + std::to_string(i));
      }
    }
  }

  std::string name() const override { return backendName_; }

  uint64_t residentBytes() const override {
    const uint64_t p = uint64_t(W_) * uint64_t(H_) * 3 / (mode_ == kPrior ? 1 : 2);
    const int t = threads_.load(std::memory_order_relaxed);
    const uint64_t pkt = uint64_t(maxPacket_.load(std::memory_order_relaxed));
    return t > 0 ? p * uint64_t(t + 5) + pkt : p * 6 + pkt;
  }

 private:
  void open() {
    try {
      openObjects();
    } catch (...) {
      release();
      throw;
    }
  }

  void openObjects() {
    // FFmpeg's file protocol opens blocking: a pipe or device under a
    // member's name would hold the session's open forever.
    struct stat info;
    if (::stat(path_.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
      throw std::runtime_error("le_driver: " + path_ + " is not a regular file — refusing");
    }
    AVDictionary* options = nullptr;
    av_dict_set(&options, "format_whitelist", kMediaFormats, 0);
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    const int opened = avformat_open_input(&fmt_, path_.c_str(), nullptr, &options);
    av_dict_free(&options);
    if (opened < 0) {
      fmt_ = nullptr;
      throw std::runtime_error("le_driver: " + path_ + " is not a readable container");
    }
    if (avformat_find_stream_info(fmt_, nullptr) < 0) {
      throw std::runtime_error("le_driver: " + path_ + " carries no stream info");
    }
    streamIndex_ = -1;
    for (unsigned s = 0; s < fmt_->nb_streams; ++s) {
      if (fmt_->streams[s]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
        streamIndex_ = int(s);
        break;
      }
    }
    if (streamIndex_ < 0) throw std::runtime_error("le_driver: " + path_ + " has no video stream");
    const AVStream* st = fmt_->streams[streamIndex_];
    const AVCodecParameters* par = st->codecpar;
    if (par->width != W_ || par->height != H_) {
      throw std::runtime_error("le_driver: " + path_ + " is " + std::to_string(par->width) + "x" +
                               std::to_string(par->height) + ", the manifest says " + std::to_string(W_) + "x" +
                               std::to_string(H_) + " — refusing to rescale the driver");
    }
    if (st->nb_frames > 0 && st->nb_frames != NT_) {
      throw std::runtime_error("le_driver: " + path_ + " carries " + std::to_string(st->nb_frames) +
                               " frames, the manifest says NT=" + std::to_string(NT_) +
                               " — member/manifest mismatch, refusing");
    }
    refuseDisplayTransform(st);
    openDecoder(par);
    pkt_ = av_packet_alloc();
    frame_ = av_frame_alloc();
    if (!pkt_ || !frame_) throw std::runtime_error("le_driver: out of memory");
    flushed_ = false;
    position_ = 0;
    backendName_ = std::string(mode_ == kPrior ? "hevc444/libavcodec " : "mp4/libavcodec ") + kLavcVersion + " " +
                   dec_->codec->name;
  }

  // Frames are pasted as coded; a member meant to be shown turned or mirrored
  // would be pasted upside down or sideways.
  void refuseDisplayTransform(const AVStream* st) const {
    const auto* m = reinterpret_cast<const int32_t*>(av_stream_get_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, nullptr));
    if (!m || (m[0] > 0 && m[1] == 0 && m[3] == 0 && m[4] > 0)) return;
    const double degrees = av_display_rotation_get(m);
    throw std::runtime_error("le_driver: " + path_ + " is to be displayed " +
                             (std::isnan(degrees) ? std::string("mirrored")
                                                  : "turned by " + std::to_string(std::lround(degrees)) + " degrees") +
                             "; its frames would be pasted as coded — refusing");
  }

  AVCodecContext* contextFor(const AVCodec* codec, const AVCodecParameters* par) {
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    if (!ctx) throw std::runtime_error("le_driver: avcodec_alloc_context3 failed");
    if (avcodec_parameters_to_context(ctx, par) < 0) {
      avcodec_free_context(&ctx);
      throw std::runtime_error("le_driver: avcodec_parameters_to_context failed");
    }
    return ctx;
  }

  void openDecoder(const AVCodecParameters* par) {
    const char* hw = std::getenv("LE_DRIVER_HWDEC");
    if (hw && std::strcmp(hw, "0") == 0) {
      std::fprintf(stderr,
                   "[le-driver] LE_DRIVER_HWDEC=0 — %s not attempted; the software decoder is the one decoder "
                   "on this fleet (same samples)\n",
                   kHwDecoder);
    } else if (mode_ == kDriver && par->codec_id == AV_CODEC_ID_H264) {
      if (const AVCodec* cuvid = avcodec_find_decoder_by_name(kHwDecoder)) {
        AVCodecContext* ctx = contextFor(cuvid, par);
        ctx->thread_count = 1;
        // On a machine without the NVIDIA library FFmpeg logs two errors of
        // its own at every open; the line below says the same once.
        ctx->log_level_offset = AV_LOG_VERBOSE - AV_LOG_ERROR;
        if (avcodec_open2(ctx, cuvid, nullptr) >= 0) {
          ctx->log_level_offset = 0;
          dec_ = ctx;
          threads_.store(ctx->thread_count, std::memory_order_relaxed);
          return;
        }
        avcodec_free_context(&ctx);
        std::fprintf(stderr,
                     "[le-driver] %s refused %s — falling back to the software h264 decoder (same samples, more "
                     "CPU)\n",
                     kHwDecoder, path_.c_str());
      }
    }
    const AVCodec* codec = avcodec_find_decoder(par->codec_id);
    if (!codec) {
      throw std::runtime_error("le_driver: no decoder for " + path_ + " (codec id " +
                               std::to_string(int(par->codec_id)) + ")");
    }
    AVCodecContext* ctx = contextFor(codec, par);
    ctx->thread_count = 4;
    ctx->thread_type = FF_THREAD_FRAME;
    AVDictionary* opts = nullptr;
    const int r = avcodec_open2(ctx, codec, &opts);
    av_dict_free(&opts);
    if (r < 0) {
      avcodec_free_context(&ctx);
      throw std::runtime_error("le_driver: could not open the decoder for " + path_);
    }
    dec_ = ctx;
    threads_.store(ctx->thread_count, std::memory_order_relaxed);
  }

  void release() {
    av_frame_free(&frame_);
    av_packet_free(&pkt_);
    avcodec_free_context(&dec_);
    avformat_close_input(&fmt_);
    streamIndex_ = -1;
  }

  void requireOpen() const {
    if (!dec_ || !fmt_ || !pkt_ || !frame_) {
      throw std::runtime_error("le_driver: " + path_ + " could not be reopened after a failed restart");
    }
  }

  // Back to frame 0; a container that cannot seek is opened again.
  void restart() {
    requireOpen();
    if (av_seek_frame(fmt_, streamIndex_, 0, AVSEEK_FLAG_BACKWARD) < 0) {
      release();
      open();
      return;
    }
    avcodec_flush_buffers(dec_);
    flushed_ = false;
    position_ = 0;
  }

  void feedPacket() {
    int r = av_read_frame(fmt_, pkt_);
    if (r < 0) {
      if (r != AVERROR_EOF) {
        throw std::runtime_error("le_driver: " + path_ + " read fault (" + avErrorText(r) + ")");
      }
      flushed_ = true;
      r = avcodec_send_packet(dec_, nullptr);
      if (r < 0 && r != AVERROR_EOF) {
        throw std::runtime_error("le_driver: " + path_ + " refused the end of the stream (" + avErrorText(r) + ")");
      }
      return;
    }
    // An empty packet is the decoder's signal to drain: sent mid-stream it
    // would end the member early.
    if (pkt_->stream_index != streamIndex_ || (pkt_->size == 0 && pkt_->side_data_elems == 0)) {
      av_packet_unref(pkt_);
      return;
    }
    if (pkt_->size > maxPacket_.load(std::memory_order_relaxed)) {
      maxPacket_.store(pkt_->size, std::memory_order_relaxed);
    }
    r = avcodec_send_packet(dec_, pkt_);
    av_packet_unref(pkt_);
    if (r < 0 && r != AVERROR(EAGAIN)) {
      throw std::runtime_error("le_driver: " + path_ + " packet refused (" + avErrorText(r) + ")");
    }
  }

  static std::string formatName(int fmt) {
    const char* n = av_get_pix_fmt_name(AVPixelFormat(fmt));
    return n ? n : "?";
  }

  void convert(uint8_t* dst) {
    if (frame_->width != W_ || frame_->height != H_) {
      throw std::runtime_error("le_driver: " + path_ + " changed size mid-stream — refusing");
    }
    if (mode_ == kDriver) {
      convertRgb24(dst);
    } else {
      convertPlanarHalf(reinterpret_cast<uint16_t*>(dst));
    }
  }

  void convertRgb24(uint8_t* dst) {
    const int fmt = frame_->format;
    if (fmt != AV_PIX_FMT_YUV420P && fmt != AV_PIX_FMT_NV12) {
      throw std::runtime_error("le_driver: " + path_ + " decoded to " + formatName(fmt) +
                               ", not the 4:2:0 layout the canvas conversion is written for (yuv420p / nv12) — "
                               "refusing rather than pasting onto a different pixel domain");
    }
    refuseFullRange();
    const bool nv12 = fmt == AV_PIX_FMT_NV12;
    const size_t rowBytes = size_t(W_) * 3;
    for (int y = 0; y < H_; ++y) {
      const uint8_t* luma = frame_->data[0] + ptrdiff_t(y) * frame_->linesize[0];
      const uint8_t* u = frame_->data[1] + ptrdiff_t(y / 2) * frame_->linesize[1];
      const uint8_t* v = nv12 ? u + 1 : frame_->data[2] + ptrdiff_t(y / 2) * frame_->linesize[2];
      simd::yuv420RowToRgb24(luma, u, v, W_, nv12 ? 2 : 1, dst + rowBytes * size_t(y));
    }
  }

  // BT.601 limited range in 16-bit fixed point, then the half table.
  void convertPlanarHalf(uint16_t* dst) {
    const int fmt = frame_->format;
    if (fmt != AV_PIX_FMT_YUV444P) {
      throw std::runtime_error("le_driver: " + path_ + " decoded to " + formatName(fmt) +
                               ", not the yuv444p a warp prior is authored in — a subsampled prior is a different "
                               "mouth, refusing");
    }
    refuseFullRange();
    const size_t plane = size_t(W_) * size_t(H_);
    uint16_t* r = dst;
    uint16_t* g = dst + plane;
    uint16_t* b = dst + 2 * plane;
    for (int y = 0; y < H_; ++y) {
      const uint8_t* ys = frame_->data[0] + ptrdiff_t(y) * frame_->linesize[0];
      const uint8_t* us = frame_->data[1] + ptrdiff_t(y) * frame_->linesize[1];
      const uint8_t* vs = frame_->data[2] + ptrdiff_t(y) * frame_->linesize[2];
      const size_t row = size_t(y) * size_t(W_);
      for (int x = 0; x < W_; ++x) {
        const int c = 76312 * int(ys[x]) - 1220992;
        const int d = int(us[x]) - 128;
        const int e = int(vs[x]) - 128;
        r[row + x] = halfLut_[clamp8((c + 104600 * e + 32768) >> 16)];
        g[row + x] = halfLut_[clamp8((c - 53280 * e - 25672 * d + 32768) >> 16)];
        b[row + x] = halfLut_[clamp8((c + 132200 * d + 32768) >> 16)];
      }
    }
  }

  // Both conversions are written for limited-range (tv) samples.
  void refuseFullRange() const {
    if (frame_->color_range == AVCOL_RANGE_JPEG) {
      throw std::runtime_error("le_driver: " + path_ +
                               " is full-range (pc) video, not the limited range the conversion is written for — "
                               "refusing rather than pasting onto a different pixel domain");
    }
  }

  static int clamp8(int v) { return v < 0 ? 0 : (v > 255 ? 255 : v); }

  Mode mode_;
  std::string path_;
  int NT_, W_, H_;
  std::array<uint16_t, 256> halfLut_;
  AVFormatContext* fmt_ = nullptr;
  AVCodecContext* dec_ = nullptr;
  AVPacket* pkt_ = nullptr;
  AVFrame* frame_ = nullptr;
  int streamIndex_ = -1;
  bool flushed_ = false;  // end of file reached and the decoder told so
  int position_ = 0;      // frames delivered since the last (re)start
  // Read by residentBytes() from other threads while the decoding thread
  // updates them, hence atomic.
  std::atomic<int> maxPacket_{0};
  std::atomic<int> threads_{0};
  std::string backendName_;
  std::vector<uint8_t> scratch_;  // skipped frames while seeking forward
};

}  // namespace

std::unique_ptr<Source> openMp4(const std::string& path, int NT, int W, int H) {
  return std::make_unique<FfSource>(kDriver, path, NT, W, H);
}

std::unique_ptr<Source> openPriorHevc(const std::string& path, int NT, int crop) {
  return std::make_unique<FfSource>(kPrior, path, NT, crop, crop);
}

}  // namespace driver

std::string movieDecoderBuild() { return std::string("libavcodec ") + kLavcVersion + " / " + avcodec_configuration(); }

}  // namespace le
