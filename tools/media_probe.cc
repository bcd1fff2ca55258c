#include "tools/media_probe.h"

#include <stdexcept>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace le::tools {

MediaInfo probeMedia(const std::string& path) {
  AVFormatContext* fmt = nullptr;
  if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0)
    throw std::runtime_error("Cannot open media file " + path + ".");
  if (avformat_find_stream_info(fmt, nullptr) < 0) {
    avformat_close_input(&fmt);
    throw std::runtime_error("Cannot read the streams of " + path + ".");
  }
  MediaInfo info;
  for (unsigned i = 0; i < fmt->nb_streams; ++i) {
    const AVStream* s = fmt->streams[i];
    const double seconds = s->duration > 0 ? double(s->duration) * av_q2d(s->time_base) : 0.0;
    if (s->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
      if (info.videoStreams++ == 0) {
        info.videoCodec = avcodec_get_name(s->codecpar->codec_id);
        info.videoFrames = s->nb_frames;
        info.videoSeconds = seconds;
      }
    } else if (s->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
      if (info.audioStreams++ == 0) {
        info.audioCodec = avcodec_get_name(s->codecpar->codec_id);
        info.audioSeconds = seconds;
        info.audioRate = s->codecpar->sample_rate;
        info.audioChannels = s->codecpar->ch_layout.nb_channels;
      }
    }
  }
  avformat_close_input(&fmt);
  return info;
}

}  // namespace le::tools
