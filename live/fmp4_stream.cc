#include "live/fmp4_stream.h"

#include <cstdio>
#include <stdexcept>

#include "live/frame_source.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace le::live {
namespace {

std::string avError(int code) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(code, buf, sizeof buf);
  return buf;
}

void check(int rc, const std::string& what) {
  if (rc < 0) throw std::runtime_error("Live stream: " + what + ": " + avError(rc) + ".");
}

// RFC 6381 name of an H.264 stream ("avc1.PPCCLL") from the encoder's
// sequence parameter set, in Annex B or avcC form.
std::string avcCodecName(const uint8_t* x, int n) {
  auto name = [](const uint8_t* p) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "avc1.%02x%02x%02x", p[0], p[1], p[2]);
    return std::string(buf);
  };
  if (n >= 4 && x[0] == 1) return name(x + 1);
  for (int i = 0; i + 4 < n; ++i)
    if (x[i] == 0 && x[i + 1] == 0 && x[i + 2] == 1 && (x[i + 3] & 0x1f) == 7 && i + 6 < n) return name(x + i + 4);
  throw std::runtime_error("Live stream: the H.264 encoder gave no sequence parameter set.");
}

}  // namespace

Fmp4Stream::Fmp4Stream(int width, int height) : width_(width), height_(height) {
  if (width <= 0 || height <= 0 || (width & 1) || (height & 1))
    throw std::runtime_error("Live stream: frame size " + std::to_string(width) + "x" + std::to_string(height) +
                             " must be positive and even.");
  try {
    check(avformat_alloc_output_context2(&fmt_, nullptr, "mp4", nullptr), "cannot set up the MP4 muxer");
    const AVCodec* vcodec = avcodec_find_encoder_by_name("libx264");
    if (!vcodec) throw std::runtime_error("Live stream: this FFmpeg has no libx264 encoder.");
    const AVCodec* acodec = avcodec_find_encoder_by_name("aac");
    if (!acodec) throw std::runtime_error("Live stream: this FFmpeg has no AAC encoder.");
    vst_ = avformat_new_stream(fmt_, nullptr);
    ast_ = avformat_new_stream(fmt_, nullptr);
    venc_ = avcodec_alloc_context3(vcodec);
    aenc_ = avcodec_alloc_context3(acodec);
    if (!vst_ || !ast_ || !venc_ || !aenc_) throw std::runtime_error("Live stream: out of memory.");

    venc_->width = width;
    venc_->height = height;
    venc_->pix_fmt = AV_PIX_FMT_YUV420P;
    // Both tracks count in audio samples so that a frame and its speech
    // share exact timestamps.
    venc_->time_base = AVRational{1, kSampleRate};
    venc_->framerate = AVRational{kFps, 1};
    venc_->gop_size = 2 * kFps;
    venc_->max_b_frames = 0;
    // One encoder thread: the engine's renderer needs the cores more.
    venc_->thread_count = 1;
    venc_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    av_opt_set(venc_->priv_data, "preset", "ultrafast", 0);
    av_opt_set(venc_->priv_data, "tune", "zerolatency", 0);
    av_opt_set_int(venc_->priv_data, "crf", 23, 0);
    check(avcodec_open2(venc_, vcodec, nullptr), "cannot open the H.264 encoder");
    check(avcodec_parameters_from_context(vst_->codecpar, venc_), "cannot describe the video track");
    vst_->time_base = venc_->time_base;

    aenc_->sample_fmt = AV_SAMPLE_FMT_FLTP;
    aenc_->sample_rate = kSampleRate;
    av_channel_layout_default(&aenc_->ch_layout, 1);
    aenc_->bit_rate = 48000;
    aenc_->time_base = AVRational{1, kSampleRate};
    aenc_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    check(avcodec_open2(aenc_, acodec, nullptr), "cannot open the AAC encoder");
    check(avcodec_parameters_from_context(ast_->codecpar, aenc_), "cannot describe the audio track");
    // The priming is kept in the timeline (see startSeconds()), not announced:
    // the muxer would otherwise shift every track to hide it.
    ast_->codecpar->initial_padding = 0;
    ast_->time_base = aenc_->time_base;

    // The AAC encoder's first packet is priming; sample 0 plays that much
    // later, so frame 0 is shown that much later too.
    leadFrames_ = (aenc_->initial_padding + kSamplesPerFrame - 1) / kSamplesPerFrame;
    startSeconds_ = double(leadFrames_) / kFps;

    mime_ = "video/mp4; codecs=\"" + avcCodecName(venc_->extradata, venc_->extradata_size) + ",mp4a.40.2\"";

    constexpr int kIoBuffer = 1 << 16;
    auto* ioBuf = static_cast<uint8_t*>(av_malloc(kIoBuffer));
    if (!ioBuf) throw std::runtime_error("Live stream: out of memory.");
    io_ = avio_alloc_context(ioBuf, kIoBuffer, 1, this, nullptr, &Fmp4Stream::writeCallback, nullptr);
    if (!io_) {
      av_free(ioBuf);
      throw std::runtime_error("Live stream: out of memory.");
    }
    fmt_->pb = io_;
    fmt_->flags |= AVFMT_FLAG_CUSTOM_IO;
    AVDictionary* opts = nullptr;
    // An empty moov first, then one moof per flush; no edit lists, whose
    // handling differs between players.
    av_dict_set(&opts, "movflags", "frag_custom+empty_moov+default_base_moof", 0);
    av_dict_set(&opts, "use_editlist", "0", 0);
    const int rc = avformat_write_header(fmt_, &opts);
    av_dict_free(&opts);
    check(rc, "cannot write the stream header");
    avio_flush(io_);
    init_.swap(out_);

    vframe_ = av_frame_alloc();
    aframe_ = av_frame_alloc();
    pkt_ = av_packet_alloc();
    if (!vframe_ || !aframe_ || !pkt_) throw std::runtime_error("Live stream: out of memory.");
    vframe_->format = AV_PIX_FMT_YUV420P;
    vframe_->width = width;
    vframe_->height = height;
    check(av_frame_get_buffer(vframe_, 0), "cannot allocate a video frame");
    aframe_->format = AV_SAMPLE_FMT_FLTP;
    aframe_->sample_rate = kSampleRate;
    aframe_->nb_samples = aenc_->frame_size;
    check(av_channel_layout_copy(&aframe_->ch_layout, &aenc_->ch_layout), "cannot set the audio layout");
    check(av_frame_get_buffer(aframe_, 0), "cannot allocate an audio frame");
    sws_ = sws_getContext(width, height, AV_PIX_FMT_RGB24, width, height, AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr,
                          nullptr, nullptr);
    if (!sws_) throw std::runtime_error("Live stream: cannot set up the colour conversion.");
  } catch (...) {
    release();
    throw;
  }
}

Fmp4Stream::~Fmp4Stream() { release(); }

void Fmp4Stream::release() {
  sws_freeContext(sws_);
  sws_ = nullptr;
  av_packet_free(&pkt_);
  av_frame_free(&aframe_);
  av_frame_free(&vframe_);
  avcodec_free_context(&aenc_);
  avcodec_free_context(&venc_);
  if (fmt_) {
    // A live stream has no end: the trailer is never written.
    avformat_free_context(fmt_);
    fmt_ = nullptr;
  }
  if (io_) {
    av_freep(&io_->buffer);
    avio_context_free(&io_);
  }
}

int Fmp4Stream::writeCallback(void* self, uint8_t* buf, int size) {
  static_cast<Fmp4Stream*>(self)->out_.append(reinterpret_cast<const char*>(buf), std::size_t(size));
  return size;
}

std::string Fmp4Stream::addFrame(const uint8_t* rgb, const int16_t* pcm) {
  if (frames_ == 0) {
    // The AAC encoder delays its audio by its priming samples. Both tracks
    // start at zero; the first frame is shown for `leadFrames_` extra
    // periods and silence fills the audio up to a whole frame, so that
    // every later frame lands exactly on its own speech.
    audioFifo_.assign(std::size_t(leadFrames_) * kSamplesPerFrame - std::size_t(aenc_->initial_padding), 0.f);
    for (int i = 0; i < leadFrames_; ++i) encodeVideo(rgb, i);
  }
  encodeVideo(rgb, leadFrames_ + frames_);
  ++frames_;

  for (int i = 0; i < kSamplesPerFrame; ++i) audioFifo_.push_back(pcm ? pcm[i] * (1.f / 32768.f) : 0.f);
  writeAudio();

  // One fragment per frame: the player can show each frame as it lands.
  check(av_write_frame(fmt_, nullptr), "cannot close fragment " + std::to_string(frames_ - 1));
  avio_flush(io_);
  std::string fragment;
  fragment.swap(out_);
  return fragment;
}

void Fmp4Stream::encodeVideo(const uint8_t* rgb, int64_t slot) {
  check(av_frame_make_writable(vframe_), "cannot reuse the video frame");
  const uint8_t* src[1] = {rgb};
  const int srcStride[1] = {3 * width_};
  sws_scale(sws_, src, srcStride, 0, height_, vframe_->data, vframe_->linesize);
  vframe_->pts = slot * kSamplesPerFrame;
  vframe_->pict_type = AV_PICTURE_TYPE_NONE;
  check(avcodec_send_frame(venc_, vframe_), "cannot encode frame " + std::to_string(frames_));
  writeVideo();
}

void Fmp4Stream::writeVideo() {
  for (;;) {
    const int rc = avcodec_receive_packet(venc_, pkt_);
    if (rc == AVERROR(EAGAIN)) return;
    check(rc, "the H.264 encoder failed");
    pkt_->stream_index = vst_->index;
    pkt_->duration = kSamplesPerFrame;  // a fragment's last sample needs it
    av_packet_rescale_ts(pkt_, venc_->time_base, vst_->time_base);
    check(av_write_frame(fmt_, pkt_), "cannot write a video packet");
  }
}

void Fmp4Stream::writeAudio() {
  const int n = aenc_->frame_size;
  std::size_t used = 0;
  while (audioFifo_.size() - used >= std::size_t(n)) {
    check(av_frame_make_writable(aframe_), "cannot reuse the audio frame");
    auto* dst = reinterpret_cast<float*>(aframe_->data[0]);
    for (int i = 0; i < n; ++i) dst[i] = audioFifo_[used + i];
    used += n;
    aframe_->pts = audioPts_;
    audioPts_ += n;
    check(avcodec_send_frame(aenc_, aframe_), "cannot encode audio");
    for (;;) {
      const int rc = avcodec_receive_packet(aenc_, pkt_);
      if (rc == AVERROR(EAGAIN)) break;
      check(rc, "the AAC encoder failed");
      // Packets are stamped in order from 0, the priming packet first: the
      // encoder's own stamps go negative, which the muxer would shift away.
      pkt_->stream_index = ast_->index;
      pkt_->pts = pkt_->dts = audioPackets_ * n;
      pkt_->duration = n;
      ++audioPackets_;
      av_packet_rescale_ts(pkt_, aenc_->time_base, ast_->time_base);
    check(av_write_frame(fmt_, pkt_), "cannot write an audio packet");
    }
  }
  audioFifo_.erase(audioFifo_.begin(), audioFifo_.begin() + long(used));
}

}  // namespace le::live
