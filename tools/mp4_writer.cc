#include "tools/mp4_writer.h"

#include <algorithm>
#include <stdexcept>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
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

Mp4Writer::Mp4Writer(const std::string& path, int width, int height, int fps, int crf,
                     std::optional<AudioSpec> audio, int threads)
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
    enc_->thread_count = threads < 0 ? 0 : threads;
    if (fmt_->oformat->flags & AVFMT_GLOBALHEADER) enc_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    av_opt_set(enc_->priv_data, "preset", "veryfast", 0);
    av_opt_set_int(enc_->priv_data, "crf", crf, 0);
    check(avcodec_open2(enc_, codec, nullptr), "Cannot open the H.264 encoder for " + path);
    check(avcodec_parameters_from_context(stream_->codecpar, enc_), "Cannot describe the stream of " + path);
    stream_->time_base = enc_->time_base;
    if (audio) openAudio(*audio);
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

void Mp4Writer::openAudio(const AudioSpec& spec) {
  if (spec.inputRate <= 0 || spec.outputRate <= 0)
    throw std::runtime_error("Mp4Writer: audio rates of " + path_ + " must be positive.");
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
  if (!codec) throw std::runtime_error("No AAC encoder in this libavcodec; cannot write " + path_ + ".");
  astream_ = avformat_new_stream(fmt_, nullptr);
  aenc_ = avcodec_alloc_context3(codec);
  if (!astream_ || !aenc_) throw std::runtime_error("Out of memory setting up " + path_ + ".");
  aenc_->sample_fmt = AV_SAMPLE_FMT_FLTP;
  aenc_->sample_rate = spec.outputRate;
  aenc_->bit_rate = spec.bitRate;
  const AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
  check(av_channel_layout_copy(&aenc_->ch_layout, &mono), "Cannot set the audio layout of " + path_);
  aenc_->time_base = AVRational{1, spec.outputRate};
  if (fmt_->oformat->flags & AVFMT_GLOBALHEADER) aenc_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  check(avcodec_open2(aenc_, codec, nullptr), "Cannot open the AAC encoder for " + path_);
  check(avcodec_parameters_from_context(astream_->codecpar, aenc_), "Cannot describe the audio of " + path_);
  astream_->time_base = aenc_->time_base;
  // The file carries no edit list (see the header options), so nothing tells
  // a decoder to drop the encoder's priming samples: they play first. Leaving
  // out as many samples at the start of the track keeps every later sample at
  // its own time. What is left out is the track's first
  // initial_padding / outputRate seconds (21 ms at 48 kHz).
  prime_skip_ = aenc_->initial_padding;
  AVChannelLayout in = AV_CHANNEL_LAYOUT_MONO;
  int rc = swr_alloc_set_opts2(&swr_, &aenc_->ch_layout, AV_SAMPLE_FMT_FLTP, spec.outputRate, &in,
                               AV_SAMPLE_FMT_S16, spec.inputRate, 0, nullptr);
  if (rc >= 0) rc = swr_init(swr_);
  check(rc, "Cannot set up the audio resampler for " + path_);
  fifo_ = av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, 1, 4 * aenc_->frame_size);
  aframe_ = av_frame_alloc();
  if (!fifo_ || !aframe_) throw std::runtime_error("Out of memory setting up " + path_ + ".");
}

void Mp4Writer::writeAudio(const int16_t* pcm, size_t n) {
  if (closed_) throw std::runtime_error("Mp4Writer: " + path_ + " is already closed.");
  if (!aenc_) throw std::runtime_error("Mp4Writer: " + path_ + " was opened without an audio track.");
  constexpr size_t kChunk = 4096;  // bounds the resampler's output per call
  for (size_t at = 0; at < n; at += kChunk) {
    const int count = int(std::min(kChunk, n - at));
    const int room = swr_get_out_samples(swr_, count);
    float* out = nullptr;
    check(av_samples_alloc(reinterpret_cast<uint8_t**>(&out), nullptr, 1, room, AV_SAMPLE_FMT_FLTP, 0),
          "Out of memory resampling the audio of " + path_);
    const uint8_t* in[1] = {reinterpret_cast<const uint8_t*>(pcm + at)};
    int got = swr_convert(swr_, reinterpret_cast<uint8_t**>(&out), room, in, count);
    int skip = 0;
    if (got > 0 && prime_skip_ > 0) {
      skip = int(std::min<int64_t>(prime_skip_, got));
      prime_skip_ -= skip;
    }
    if (got > skip) {
      float* from = out + skip;
      got = av_audio_fifo_write(fifo_, reinterpret_cast<void**>(&from), got - skip);
    }
    av_freep(&out);
    check(got, "Cannot resample the audio of " + path_);
    audio_in_ += count;
    encodeAudio(false);
  }
}

void Mp4Writer::encodeAudio(bool flush) {
  const int frameSize = aenc_->frame_size;
  while (av_audio_fifo_size(fifo_) >= frameSize || (flush && av_audio_fifo_size(fifo_) > 0)) {
    const int n = std::min(frameSize, av_audio_fifo_size(fifo_));
    av_frame_unref(aframe_);
    aframe_->nb_samples = n;
    aframe_->format = AV_SAMPLE_FMT_FLTP;
    aframe_->sample_rate = aenc_->sample_rate;
    check(av_channel_layout_copy(&aframe_->ch_layout, &aenc_->ch_layout), "Cannot set the audio layout of " + path_);
    check(av_frame_get_buffer(aframe_, 0), "Cannot allocate an audio frame for " + path_);
    if (av_audio_fifo_read(fifo_, reinterpret_cast<void**>(aframe_->data), n) != n)
      throw std::runtime_error("Cannot read buffered audio for " + path_ + ".");
    aframe_->pts = apts_;
    apts_ += n;
    check(avcodec_send_frame(aenc_, aframe_), "Cannot encode the audio of " + path_);
    drainAudio(false);
  }
}

void Mp4Writer::drainAudio(bool flush) {
  for (;;) {
    const int rc = avcodec_receive_packet(aenc_, pkt_);
    if (rc == AVERROR(EAGAIN) || (flush && rc == AVERROR_EOF)) return;
    check(rc, "Audio encoding failed for " + path_);
    // The encoder stamps its packets from -initial_padding on. Without an
    // edit list that would shift the video track instead; the priming
    // samples left out at the start (openAudio) make up for starting at 0.
    if (pkt_->pts != AV_NOPTS_VALUE) pkt_->pts += aenc_->initial_padding;
    if (pkt_->dts != AV_NOPTS_VALUE) pkt_->dts += aenc_->initial_padding;
    av_packet_rescale_ts(pkt_, aenc_->time_base, astream_->time_base);
    pkt_->stream_index = astream_->index;
    check(av_interleaved_write_frame(fmt_, pkt_), "Cannot write an audio packet to " + path_);
  }
}

void Mp4Writer::release() {
  closed_ = true;
  av_audio_fifo_free(fifo_);
  fifo_ = nullptr;
  swr_free(&swr_);
  av_frame_free(&aframe_);
  avcodec_free_context(&aenc_);
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
    // Every frame lasts one frame period; left at 0, the muxer guesses the
    // last frame's duration from the other track and cuts the video short.
    if (pkt_->duration <= 0) pkt_->duration = 1;
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
  if (aenc_) {
    // The resampler holds back a few samples for its filter; the track ends
    // where the input ended.
    float* out = nullptr;
    const int room = swr_get_out_samples(swr_, 0) + 64;
    check(av_samples_alloc(reinterpret_cast<uint8_t**>(&out), nullptr, 1, room, AV_SAMPLE_FMT_FLTP, 0),
          "Out of memory resampling the audio of " + path_);
    int got = swr_convert(swr_, reinterpret_cast<uint8_t**>(&out), room, nullptr, 0);
    if (got > 0) got = av_audio_fifo_write(fifo_, reinterpret_cast<void**>(&out), got);
    av_freep(&out);
    check(got, "Cannot resample the audio of " + path_);
    encodeAudio(true);
    check(avcodec_send_frame(aenc_, nullptr), "Cannot flush the audio encoder of " + path_);
    drainAudio(true);
  }
  check(av_write_trailer(fmt_), "Cannot finish " + path_);
  // Closing flushes the last bytes: a failure there (a full disk, a quota)
  // is the file's failure too.
  check(avio_closep(&fmt_->pb), "Cannot finish " + path_);
}

}  // namespace le::tools
