#include "live/test_media.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace le::live::test {

DecodedStream decodeStream(const std::string& path) {
  DecodedStream d;
  AVFormatContext* fmt = nullptr;
  if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) throw std::runtime_error("cannot open " + path);
  avformat_find_stream_info(fmt, nullptr);
  const int vi = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  const int ai = av_find_best_stream(fmt, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  if (ai < 0 || vi < 0) {
    avformat_close_input(&fmt);
    throw std::runtime_error("the stream lacks a track");
  }
  const AVCodecParameters* par = fmt->streams[ai]->codecpar;
  const AVCodec* codec = avcodec_find_decoder(par->codec_id);
  AVCodecContext* dec = avcodec_alloc_context3(codec);
  avcodec_parameters_to_context(dec, par);
  avcodec_open2(dec, codec, nullptr);
  d.audioRate = dec->sample_rate;
  AVPacket* pkt = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  auto drain = [&] {
    while (avcodec_receive_frame(dec, frame) == 0) {
      const auto* s = reinterpret_cast<const float*>(frame->data[0]);
      d.audio.insert(d.audio.end(), s, s + frame->nb_samples);
    }
  };
  while (av_read_frame(fmt, pkt) >= 0) {
    if (pkt->stream_index == vi) d.videoTimes.push_back(pkt->pts * av_q2d(fmt->streams[vi]->time_base));
    if (pkt->stream_index == ai && avcodec_send_packet(dec, pkt) == 0) drain();
    av_packet_unref(pkt);
  }
  avcodec_send_packet(dec, nullptr);
  drain();
  av_frame_free(&frame);
  av_packet_free(&pkt);
  avcodec_free_context(&dec);
  avformat_close_input(&fmt);
  return d;
}

double rms(const std::vector<float>& a, double t0, double t1, int rate) {
  const std::size_t i0 = std::size_t(std::max(0.0, t0 * rate)), i1 = std::min(a.size(), std::size_t(t1 * rate));
  double s = 0;
  for (std::size_t i = i0; i < i1; ++i) s += double(a[i]) * a[i];
  return i1 > i0 ? std::sqrt(s / double(i1 - i0)) : 0.0;
}

}  // namespace le::live::test
