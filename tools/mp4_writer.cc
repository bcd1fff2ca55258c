#include "tools/mp4_writer.h"

#include <stdexcept>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace le::tools {
namespace {

std::string avError(int code) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(code, buf, sizeof buf);
  return buf;
}

void check(int rc, const std::string& what) {
  if (rc < 0) throw std::runtime_error(what + ": " + avError(rc) + ".");
}

}  // namespace

Mp4Writer::Mp4Writer(const std::string& path, int width, int height, int fps, int crf)
    : path_(path), width_(width), height_(height) {
  if (width <= 0 || height <= 0 || (width & 1) || (height & 1))
    throw std::runtime_error("Mp4Writer: frame size " + std::to_string(width) + "x" + std::to_string(height) +
                             " of " + path + " must be positive and even.");
  try {
    check(avformat_alloc_output_context2(&fmt_, nullptr, "mp4", path.c_str()), "Cannot set up MP4 output " + path);
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec) codec = avcodec_find_encoder(AV_CODEC_ID_H264);
    if (!codec) throw std::runtime_error("No H.264 encoder in this libavcodec; cannot write " + path + ".");
    stream_ = avformat_new_stream(fmt_, nullptr);
    enc_ = avcodec_alloc_context3(codec);
    if (!stream_ || !enc_) throw std::runtime_error("Out of memory setting up " + path + ".");
    enc_->width = width;
    enc_->height = height;
    enc_->pix_fmt = AV_PIX_FMT_YUV420P;
    enc_->time_base = AVRational{1, fps};
    enc_->framerate = AVRational{fps, 1};
    enc_->gop_size = fps * 2;
    // No B-frames: every frame is decodable as soon as it is written, and MP4
    // edit lists for reordering delay do not drop the first frame in players.
    enc_->max_b_frames = 0;
    if (fmt_->oformat->flags & AVFMT_GLOBALHEADER) enc_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    av_opt_set(enc_->priv_data, "preset", "veryfast", 0);
    av_opt_set_int(enc_->priv_data, "crf", crf, 0);
    check(avcodec_open2(enc_, codec, nullptr), "Cannot open the H.264 encoder for " + path);
    check(avcodec_parameters_from_context(stream_->codecpar, enc_), "Cannot describe the stream of " + path);
    stream_->time_base = enc_->time_base;
    check(avio_open(&fmt_->pb, path.c_str(), AVIO_FLAG_WRITE), "Cannot open " + path + " for writing");
    // Without an edit list the last frame keeps its full duration; with one,
    // players and decoders stop a frame early.
    AVDictionary* muxOpts = nullptr;
    av_dict_set(&muxOpts, "use_editlist", "0", 0);
    const int rc = avformat_write_header(fmt_, &muxOpts);
    av_dict_free(&muxOpts);
    check(rc, "Cannot write the header of " + path);
    frame_ = av_frame_alloc();
    pkt_ = av_packet_alloc();
    if (!frame_ || !pkt_) throw std::runtime_error("Out of memory setting up " + path + ".");
    frame_->format = AV_PIX_FMT_YUV420P;
    frame_->width = width;
    frame_->height = height;
    check(av_frame_get_buffer(frame_, 0), "Cannot allocate a frame for " + path);
    // BT.601 limited range, the convention of the engine's decoders.
    sws_ = sws_getContext(width, height, AV_PIX_FMT_RGB24, width, height, AV_PIX_FMT_YUV420P, SWS_BILINEAR,
                          nullptr, nullptr, nullptr);
    if (!sws_) throw std::runtime_error("Cannot set up the colour conversion for " + path + ".");
  } catch (...) {
    release();
    throw;
  }
}

Mp4Writer::~Mp4Writer() {
  if (!closed_) {
    try {
      close();
    } catch (...) {
      // A destructor cannot report; close() is the checked path.
    }
  }
  release();
}

void Mp4Writer::release() {
  closed_ = true;
  sws_freeContext(sws_);
  sws_ = nullptr;
  av_packet_free(&pkt_);
  av_frame_free(&frame_);
  avcodec_free_context(&enc_);
  if (fmt_) {
    if (fmt_->pb) avio_closep(&fmt_->pb);
    avformat_free_context(fmt_);
    fmt_ = nullptr;
  }
}

void Mp4Writer::write(const uint8_t* rgb) {
  if (closed_) throw std::runtime_error("Mp4Writer: " + path_ + " is already closed.");
  check(av_frame_make_writable(frame_), "Cannot reuse the frame buffer of " + path_);
  const uint8_t* src[1] = {rgb};
  const int srcStride[1] = {3 * width_};
  sws_scale(sws_, src, srcStride, 0, height_, frame_->data, frame_->linesize);
  frame_->pts = next_pts_++;
  check(avcodec_send_frame(enc_, frame_), "Cannot encode frame " + std::to_string(frame_->pts) + " of " + path_);
  drain(false);
}

void Mp4Writer::drain(bool flush) {
  for (;;) {
    int rc = avcodec_receive_packet(enc_, pkt_);
    if (rc == AVERROR(EAGAIN) || (flush && rc == AVERROR_EOF)) return;
    check(rc, "Encoding failed for " + path_);
    av_packet_rescale_ts(pkt_, enc_->time_base, stream_->time_base);
    pkt_->stream_index = stream_->index;
    check(av_interleaved_write_frame(fmt_, pkt_), "Cannot write a packet to " + path_);
  }
}

void Mp4Writer::close() {
  if (closed_) return;
  closed_ = true;
  check(avcodec_send_frame(enc_, nullptr), "Cannot flush the encoder of " + path_);
  drain(true);
  check(av_write_trailer(fmt_), "Cannot finish " + path_);
}

}  // namespace le::tools
