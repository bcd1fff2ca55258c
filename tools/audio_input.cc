#include "tools/audio_input.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <utility>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libswresample/swresample.h>
}

extern char** environ;

namespace le::tools {
namespace {

std::string avError(int code) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(code, buf, sizeof buf);
  return buf;
}

struct FormatCloser {
  void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};
struct CodecFreer {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct PacketFreer {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FrameFreer {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct SwrFreer {
  void operator()(SwrContext* s) const { swr_free(&s); }
};

// A channel layout that frees itself.
struct Layout {
  AVChannelLayout value{};
  Layout() = default;
  Layout(const Layout&) = delete;
  Layout& operator=(const Layout&) = delete;
  ~Layout() { av_channel_layout_uninit(&value); }
};

// Converts decoded frames to 16 kHz mono s16, set up for what the decoder
// really delivers: a stream may change its layout, format or rate from one
// frame to the next (concatenated MP3s do), and each change gets a new setup.
class Resampler {
 public:
  void push(const AVFrame* f, std::vector<int16_t>& out, const std::string& path) {
    Layout in;
    // Files without a channel mask (many WAVs) give only a count: take the
    // usual layout for it so that the mix-down knows each channel's place.
    if (f->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
      av_channel_layout_default(&in.value, f->ch_layout.nb_channels);
    else if (av_channel_layout_copy(&in.value, &f->ch_layout) < 0)
      throw std::runtime_error("Out of memory decoding " + path + ".");
    if (swr_ && (f->format != format_ || f->sample_rate != rate_ ||
                 av_channel_layout_compare(&in.value, &layout_.value) != 0)) {
      flush(out, path);  // what the old setup still holds
      swr_.reset();
    }
    if (!swr_) {
      AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
      SwrContext* s = nullptr;
      int rc = swr_alloc_set_opts2(&s, &mono, AV_SAMPLE_FMT_S16, kSpeechRate, &in.value, AVSampleFormat(f->format),
                                   f->sample_rate, 0, nullptr);
      swr_.reset(s);
      if (rc >= 0) rc = swr_init(s);
      if (rc < 0) {
        swr_.reset();
        throw std::runtime_error("Cannot resample the audio of " + path + ": " + avError(rc) + ".");
      }
      av_channel_layout_uninit(&layout_.value);
      std::swap(layout_.value, in.value);
      format_ = f->format;
      rate_ = f->sample_rate;
    }
    convert(const_cast<const uint8_t**>(f->extended_data), f->nb_samples, out, path);
  }
  void flush(std::vector<int16_t>& out, const std::string& path) {
    if (swr_) convert(nullptr, 0, out, path);
  }

 private:
  void convert(const uint8_t** in, int n, std::vector<int16_t>& out, const std::string& path) {
    const int room = swr_get_out_samples(swr_.get(), n) + 16;
    const size_t at = out.size();
    out.resize(at + size_t(room));
    uint8_t* dst[1] = {reinterpret_cast<uint8_t*>(out.data() + at)};
    const int got = swr_convert(swr_.get(), dst, room, in, n);
    if (got < 0) throw std::runtime_error("Cannot resample the audio of " + path + ": " + avError(got) + ".");
    out.resize(at + size_t(got));
  }
  std::unique_ptr<SwrContext, SwrFreer> swr_;
  Layout layout_;  // what swr_ was set up for, with format_ and rate_
  int format_ = -1;
  int rate_ = 0;
};

}  // namespace

std::vector<int16_t> decodeSpeech(const std::string& path) {
  AVFormatContext* raw = nullptr;
  int rc = avformat_open_input(&raw, path.c_str(), nullptr, nullptr);
  if (rc < 0) throw std::runtime_error("Cannot read audio file " + path + ": " + avError(rc) + ".");
  std::unique_ptr<AVFormatContext, FormatCloser> fmt(raw);
  rc = avformat_find_stream_info(raw, nullptr);
  if (rc < 0) throw std::runtime_error("Cannot read audio file " + path + ": " + avError(rc) + ".");
  const AVCodec* codec = nullptr;
  const int si = av_find_best_stream(raw, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
  if (si < 0 || !codec) throw std::runtime_error("Audio file " + path + " holds no audio stream FFmpeg can decode.");
  std::unique_ptr<AVCodecContext, CodecFreer> dec(avcodec_alloc_context3(codec));
  std::unique_ptr<AVPacket, PacketFreer> pkt(av_packet_alloc());
  std::unique_ptr<AVFrame, FrameFreer> frame(av_frame_alloc());
  if (!dec || !pkt || !frame) throw std::runtime_error("Out of memory decoding " + path + ".");
  rc = avcodec_parameters_to_context(dec.get(), raw->streams[si]->codecpar);
  if (rc >= 0) rc = avcodec_open2(dec.get(), codec, nullptr);
  if (rc < 0) throw std::runtime_error("Cannot open the audio decoder for " + path + ": " + avError(rc) + ".");

  std::vector<int16_t> out;
  Resampler resampler;
  auto drain = [&] {
    for (;;) {
      const int r = avcodec_receive_frame(dec.get(), frame.get());
      if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
      if (r < 0) throw std::runtime_error("Cannot decode the audio of " + path + ": " + avError(r) + ".");
      resampler.push(frame.get(), out, path);
      av_frame_unref(frame.get());
    }
  };
  while ((rc = av_read_frame(raw, pkt.get())) >= 0) {
    if (pkt->stream_index == si) {
      const int s = avcodec_send_packet(dec.get(), pkt.get());
      av_packet_unref(pkt.get());
      if (s < 0 && s != AVERROR(EAGAIN))
        throw std::runtime_error("Cannot decode the audio of " + path + ": " + avError(s) + ".");
      drain();
    } else {
      av_packet_unref(pkt.get());
    }
  }
  if (rc != AVERROR_EOF) throw std::runtime_error("Cannot read audio file " + path + ": " + avError(rc) + ".");
  avcodec_send_packet(dec.get(), nullptr);
  drain();
  resampler.flush(out, path);
  if (out.empty()) throw std::runtime_error("Audio file " + path + " holds no samples.");
  return out;
}

std::vector<int16_t> speakText(const std::string& text, const std::string& voice) {
  if (text.empty()) throw std::runtime_error("Nothing to say: the text is empty.");
  const char* tmpdir = std::getenv("TMPDIR");
  std::string wav = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/le_say.XXXXXX";
  const int fd = mkstemp(wav.data());
  if (fd < 0) throw std::runtime_error("Cannot create a temporary file for espeak-ng in " + wav + ".");
  close(fd);
  struct Remove {
    std::string path;
    ~Remove() { unlink(path.c_str()); }
  } remove{wav};
  // Arguments go straight to the program: no shell sees the text.
  std::vector<std::string> args = {"espeak-ng", "-w", wav};
  if (!voice.empty()) args.insert(args.end(), {"-v", voice});
  args.insert(args.end(), {"--", text});
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, "espeak-ng", nullptr, nullptr, argv.data(), environ) != 0)
    throw std::runtime_error("espeak-ng is not installed (apt-get install espeak-ng); give an audio file instead.");
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw std::runtime_error("Lost track of espeak-ng while it spoke the text.");
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw std::runtime_error("espeak-ng failed to speak the text" +
                             (voice.empty() ? std::string() : " with voice '" + voice + "'") + ".");
  return decodeSpeech(wav);
}

}  // namespace le::tools
