#include "live/frame_encoder.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "live/frame_source.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace le::live {
namespace {

constexpr char kMagic[4] = {'L', 'E', 'F', '1'};

std::string avError(int code) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(code, buf, sizeof buf);
  return buf;
}

void check(int rc, const std::string& what) {
  if (rc < 0) throw std::runtime_error("Live stream: " + what + ": " + avError(rc) + ".");
}

void putU32(std::string& s, std::size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + std::size_t(i)] = char(v >> (8 * i));
}

uint32_t getU32(const std::string& s, std::size_t at) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= uint32_t(uint8_t(s[at + std::size_t(i)])) << (8 * i);
  return v;
}

// The encoder's parameter sets in Annex B form, from its extradata in
// either Annex B or avcC form.
std::string annexBHeaders(const uint8_t* x, int n) {
  if (n >= 4 && (std::memcmp(x, "\0\0\1", 3) == 0 || std::memcmp(x, "\0\0\0\1", 4) == 0))
    return std::string(reinterpret_cast<const char*>(x), std::size_t(n));
  if (n < 7 || x[0] != 1) throw std::runtime_error("Live stream: the H.264 encoder gave no parameter sets.");
  std::string out;
  int at = 5;
  for (int set = 0; set < 2; ++set) {
    if (at >= n) throw std::runtime_error("Live stream: truncated H.264 parameter sets.");
    const int count = set == 0 ? (x[at] & 0x1f) : x[at];
    ++at;
    for (int i = 0; i < count; ++i) {
      if (at + 2 > n) throw std::runtime_error("Live stream: truncated H.264 parameter sets.");
      const int len = x[at] << 8 | x[at + 1];
      at += 2;
      if (at + len > n) throw std::runtime_error("Live stream: truncated H.264 parameter sets.");
      out.append("\0\0\0\1", 4).append(reinterpret_cast<const char*>(x + at), std::size_t(len));
      at += len;
    }
  }
  return out;
}

// RFC 6381 name ("avc1.PPCCLL") from the sequence parameter set in `annexB`.
std::string avcCodecName(const std::string& annexB) {
  const auto* x = reinterpret_cast<const uint8_t*>(annexB.data());
  const std::size_t n = annexB.size();
  for (std::size_t i = 0; i + 6 < n; ++i)
    if (x[i] == 0 && x[i + 1] == 0 && x[i + 2] == 1 && (x[i + 3] & 0x1f) == 7) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "avc1.%02x%02x%02x", x[i + 4], x[i + 5], x[i + 6]);
      return buf;
    }
  throw std::runtime_error("Live stream: the H.264 encoder gave no sequence parameter set.");
}

}  // namespace

FrameEncoder::FrameEncoder(int width, int height) : width_(width), height_(height) {
  if (width <= 0 || height <= 0 || (width & 1) || (height & 1))
    throw std::runtime_error("Live stream: frame size " + std::to_string(width) + "x" + std::to_string(height) +
                             " must be positive and even.");
  try {
    const AVCodec* vcodec = avcodec_find_encoder_by_name("libx264");
    if (!vcodec) throw std::runtime_error("Live stream: this FFmpeg has no libx264 encoder.");
    venc_ = avcodec_alloc_context3(vcodec);
    if (!venc_) throw std::runtime_error("Live stream: out of memory.");
    venc_->width = width;
    venc_->height = height;
    venc_->pix_fmt = AV_PIX_FMT_YUV420P;
    venc_->time_base = AVRational{1, kFps};
    venc_->framerate = AVRational{kFps, 1};
    // A key frame a second: a viewer whose decoder lost its place is back
    // within a second.
    venc_->gop_size = kFps;
    venc_->max_b_frames = 0;
    // One encoder thread: the engine's renderer needs the cores more, and
    // frame threads would hold frames back.
    venc_->thread_count = 1;
    // The parameter sets come out once and go before every key frame here,
    // so the codec string is known before the first frame.
    venc_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    av_opt_set(venc_->priv_data, "preset", "ultrafast", 0);
    av_opt_set(venc_->priv_data, "tune", "zerolatency", 0);
    av_opt_set_int(venc_->priv_data, "crf", 23, 0);
    // A key frame asked for is one a decoder can start from.
    av_opt_set_int(venc_->priv_data, "forced-idr", 1, 0);
    check(avcodec_open2(venc_, vcodec, nullptr), "cannot open the H.264 encoder");
    headers_ = annexBHeaders(venc_->extradata, venc_->extradata_size);
    codec_ = avcCodecName(headers_);

    vframe_ = av_frame_alloc();
    pkt_ = av_packet_alloc();
    if (!vframe_ || !pkt_) throw std::runtime_error("Live stream: out of memory.");
    vframe_->format = AV_PIX_FMT_YUV420P;
    vframe_->width = width;
    vframe_->height = height;
    check(av_frame_get_buffer(vframe_, 0), "cannot allocate a video frame");
    sws_ = sws_getContext(width, height, AV_PIX_FMT_RGB24, width, height, AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr,
                          nullptr, nullptr);
    if (!sws_) throw std::runtime_error("Live stream: cannot set up the colour conversion.");
  } catch (...) {
    release();
    throw;
  }
}

FrameEncoder::~FrameEncoder() { release(); }

void FrameEncoder::release() {
  sws_freeContext(sws_);
  sws_ = nullptr;
  av_packet_free(&pkt_);
  av_frame_free(&vframe_);
  avcodec_free_context(&venc_);
}

std::string FrameEncoder::addFrame(const uint8_t* rgb, const int16_t* pcm, bool forceKey) {
  if (!rgb && frames_ == 0) throw std::runtime_error("Live stream: there is no previous frame to repeat.");
  check(av_frame_make_writable(vframe_), "cannot reuse the video frame");
  if (rgb) {
    const uint8_t* src[1] = {rgb};
    const int srcStride[1] = {3 * width_};
    sws_scale(sws_, src, srcStride, 0, height_, vframe_->data, vframe_->linesize);
  }
  vframe_->pts = frames_;
  vframe_->pict_type = forceKey ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
  check(avcodec_send_frame(venc_, vframe_), "cannot encode frame " + std::to_string(frames_));
  const int rc = avcodec_receive_packet(venc_, pkt_);
  // Without look-ahead or B-frames every frame comes straight back out; an
  // encoder that held one would put a frame of delay on every viewer.
  if (rc == AVERROR(EAGAIN))
    throw std::runtime_error("Live stream: the H.264 encoder held frame " + std::to_string(frames_) +
                             " back; it must be set up for zero latency.");
  check(rc, "the H.264 encoder failed on frame " + std::to_string(frames_));
  const bool key = (pkt_->flags & AV_PKT_FLAG_KEY) != 0;
  const std::size_t video = (key ? headers_.size() : 0) + std::size_t(pkt_->size);
  std::string msg(kFrameHeaderBytes, '\0');
  std::memcpy(msg.data(), kMagic, 4);
  putU32(msg, 4, uint32_t(frames_));
  msg[8] = key ? 1 : 0;
  putU32(msg, 12, uint32_t(video));
  msg.reserve(kFrameHeaderBytes + video + 2 * kSamplesPerFrame);
  if (key) msg += headers_;
  msg.append(reinterpret_cast<const char*>(pkt_->data), std::size_t(pkt_->size));
  av_packet_unref(pkt_);
  for (int i = 0; i < kSamplesPerFrame; ++i) {
    const auto s = uint16_t(pcm ? pcm[i] : 0);
    msg += char(s & 0xff);
    msg += char(s >> 8);
  }
  ++frames_;
  return msg;
}

bool parseFrameMessage(const std::string& msg, FrameMessage& out) {
  if (msg.size() < kFrameHeaderBytes || std::memcmp(msg.data(), kMagic, 4) != 0) return false;
  const std::size_t video = getU32(msg, 12);
  if (video > msg.size() - kFrameHeaderBytes) return false;
  out.frame = getU32(msg, 4);
  out.key = (msg[8] & 1) != 0;
  out.video = msg.substr(kFrameHeaderBytes, video);
  out.pcm = msg.substr(kFrameHeaderBytes + video);
  return true;
}

}  // namespace le::live
