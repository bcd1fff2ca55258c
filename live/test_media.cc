#include "live/test_media.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "live/frame_encoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libswscale/swscale.h>
}

namespace le::live::test {

DecodedStream decodeMessages(const std::vector<std::string>& messages, int width, int height) {
  DecodedStream d;
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  AVCodecContext* dec = avcodec_alloc_context3(codec);
  dec->flags |= AV_CODEC_FLAG_LOW_DELAY;
  dec->thread_count = 1;
  if (avcodec_open2(dec, codec, nullptr) < 0) throw std::runtime_error("cannot open the H.264 decoder");
  AVPacket* pkt = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  SwsContext* sws = nullptr;
  for (const std::string& m : messages) {
    FrameMessage fm;
    if (!parseFrameMessage(m, fm)) throw std::runtime_error("malformed frame message");
    d.numbers.push_back(fm.frame);
    d.keys.push_back(fm.key);
    for (std::size_t i = 0; i + 1 < fm.pcm.size(); i += 2)
      d.audio.push_back(float(int16_t(uint16_t(uint8_t(fm.pcm[i])) | uint16_t(uint8_t(fm.pcm[i + 1])) << 8)) /
                        32768.f);
    av_new_packet(pkt, int(fm.video.size()));
    std::copy(fm.video.begin(), fm.video.end(), pkt->data);
    if (avcodec_send_packet(dec, pkt) < 0) throw std::runtime_error("the decoder refused a packet");
    av_packet_unref(pkt);
    if (avcodec_receive_frame(dec, frame) != 0) {
      ++d.heldBack;
      continue;
    }
    sws = sws_getCachedContext(sws, frame->width, frame->height, AVPixelFormat(frame->format), width, height,
                               AV_PIX_FMT_RGB24, SWS_BILINEAR, nullptr, nullptr, nullptr);
    std::vector<uint8_t> rgb(std::size_t(width) * height * 3);
    uint8_t* dst[1] = {rgb.data()};
    const int stride[1] = {3 * width};
    sws_scale(sws, frame->data, frame->linesize, 0, frame->height, dst, stride);
    d.images.push_back(std::move(rgb));
    av_frame_unref(frame);
  }
  sws_freeContext(sws);
  av_frame_free(&frame);
  av_packet_free(&pkt);
  avcodec_free_context(&dec);
  return d;
}

double rms(const std::vector<float>& a, double t0, double t1, int rate) {
  const std::size_t i0 = std::size_t(std::max(0.0, t0 * rate)), i1 = std::min(a.size(), std::size_t(t1 * rate));
  double s = 0;
  for (std::size_t i = i0; i < i1; ++i) s += double(a[i]) * a[i];
  return i1 > i0 ? std::sqrt(s / double(i1 - i0)) : 0.0;
}

}  // namespace le::live::test
