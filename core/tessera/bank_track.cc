#include "core/tessera/bank_track.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

#include "core/foundation/media_formats.h"
#include "core/tessera/members.h"

namespace le::tessera {
namespace {

#define LE_BANK_STR2(x) #x
#define LE_BANK_STR(x) LE_BANK_STR2(x)
const char* const kLavcVersion = LE_BANK_STR(LIBAVCODEC_VERSION_MAJOR) "." LE_BANK_STR(
    LIBAVCODEC_VERSION_MINOR) "." LE_BANK_STR(LIBAVCODEC_VERSION_MICRO);

constexpr int kIoBufferBytes = 65536;

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what); }

// The track bytes seen as a file by the demuxer.
struct MemReader {
  const uint8_t* data;
  int64_t size;
  int64_t pos = 0;

  static int read(void* opaque, uint8_t* buf, int len) {
    auto* r = static_cast<MemReader*>(opaque);
    const int64_t left = r->size - r->pos;
    if (left <= 0) return AVERROR_EOF;
    const int n = static_cast<int>(std::min<int64_t>(left, len));
    std::memcpy(buf, r->data + r->pos, static_cast<size_t>(n));
    r->pos += n;
    return n;
  }
  static int64_t seek(void* opaque, int64_t offset, int whence) {
    auto* r = static_cast<MemReader*>(opaque);
    if (whence & AVSEEK_SIZE) return r->size;
    int64_t base = 0;
    switch (whence & ~AVSEEK_FORCE) {
      case SEEK_SET: base = 0; break;
      case SEEK_CUR: base = r->pos; break;
      case SEEK_END: base = r->size; break;
      default: return AVERROR(EINVAL);
    }
    if (offset > r->size - base || offset < -base) return AVERROR(EINVAL);
    r->pos = base + offset;
    return r->pos;
  }
};

// Every FFmpeg object of one decode, released in reverse order of creation.
struct Decode {
  AVIOContext* io = nullptr;
  AVFormatContext* fmt = nullptr;
  bool opened = false;
  AVCodecContext* codec = nullptr;
  AVPacket* packet = nullptr;
  AVFrame* frame = nullptr;
  SwsContext* sws = nullptr;

  ~Decode() {
    sws_freeContext(sws);
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&codec);
    if (opened) {
      avformat_close_input(&fmt);  // frees fmt
    } else {
      avformat_free_context(fmt);
    }
    if (io) av_freep(&io->buffer);
    avio_context_free(&io);
  }
};

void checkInputs(const uint8_t* data, std::size_t size, int n, int h, int w, const std::vector<int>& trackOrder) {
  if (!data || size == 0) fail("reference bank track is empty — refusing to serve");
  if (h <= 0 || w <= 0 || h > kTesseraMaxBandSide || w > kTesseraMaxBandSide)
    fail("reference bank geometry is not positive — refusing to serve");
  if (n < 1 || n > kTesseraMaxDonors || static_cast<int64_t>(trackOrder.size()) != n)
    fail("reference bank sidecar track_order has " + std::to_string(trackOrder.size()) + " entries, expected " +
         std::to_string(n) + " — sidecar/track mismatch, refusing to serve");
  std::vector<char> seen(static_cast<size_t>(n), 0);
  for (int v : trackOrder) {
    if (v < 0 || v >= n) fail("reference bank track_order is out of range — refusing to serve");
    if (seen[static_cast<size_t>(v)]++) fail("reference bank track_order is not a permutation — refusing to serve");
  }
  if (size > static_cast<std::size_t>(INT64_MAX)) fail("reference bank track is not a readable container — refusing to serve");
}

// Opens the container over `reader` and its video decoder; returns the
// video stream's index.
int openTrack(Decode& d, MemReader& reader) {
  d.fmt = avformat_alloc_context();
  if (!d.fmt) fail("reference bank decode: avformat_alloc_context failed");
  auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBufferBytes));
  if (buffer) d.io = avio_alloc_context(buffer, kIoBufferBytes, 0, &reader, &MemReader::read, nullptr, &MemReader::seek);
  if (!d.io) {
    av_free(buffer);
    fail("reference bank decode: avio_alloc_context failed");
  }
  d.fmt->pb = d.io;
  d.fmt->flags |= AVFMT_FLAG_CUSTOM_IO;
  AVDictionary* options = nullptr;
  av_dict_set(&options, "format_whitelist", kMediaFormats, 0);
  const int opened = avformat_open_input(&d.fmt, nullptr, nullptr, &options);
  av_dict_free(&options);
  if (opened < 0) {
    d.fmt = nullptr;  // freed by the failed open
    fail("reference bank track is not a readable container — refusing to serve");
  }
  d.opened = true;
  if (avformat_find_stream_info(d.fmt, nullptr) < 0) fail("reference bank track carries no stream info — refusing to serve");
  const int stream = av_find_best_stream(d.fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (stream < 0) fail("reference bank track has no video stream — refusing to serve");
  const AVCodecParameters* par = d.fmt->streams[stream]->codecpar;
  const AVCodec* dec = avcodec_find_decoder(par->codec_id);
  if (!dec)
    fail("no decoder for the reference bank track — this build must carry the h264 decoder (see "
         "build_ffmpeg_android.sh); refusing to serve");
  d.codec = avcodec_alloc_context3(dec);
  if (!d.codec) fail("reference bank decode: avcodec_alloc_context3 failed");
  if (avcodec_parameters_to_context(d.codec, par) < 0) fail("reference bank decode: avcodec_parameters_to_context failed");
  d.codec->thread_count = 1;
  if (avcodec_open2(d.codec, dec, nullptr) < 0) fail("reference bank decode: could not open the decoder — refusing to serve");
  d.packet = av_packet_alloc();
  d.frame = av_frame_alloc();
  if (!d.packet || !d.frame) fail("reference bank decode: out of memory");
  return stream;
}

const char* const kTooMany =
    "bank track carries more frames than the sidecar's n_donors — sidecar/track mismatch, refusing to serve";

// Converts each decoded picture to packed RGB in the donor slot its track
// position names.
class FrameWriter {
 public:
  FrameWriter(Decode& d, int n, int h, int w, const std::vector<int>& trackOrder)
      : d_(d), n_(n), h_(h), w_(w), order_(trackOrder),
        patch_(static_cast<std::size_t>(h) * static_cast<std::size_t>(w) * 3) {}

  // Takes every picture the decoder has ready.
  void drain() {
    for (;;) {
      const int r = avcodec_receive_frame(d_.codec, d_.frame);
      if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
      if (r < 0) fail("reference bank track is not a readable container — refusing to serve");
      if (frames_ >= n_) fail(kTooMany);
      write(*d_.frame);
      av_frame_unref(d_.frame);
      ++frames_;
    }
  }
  int frames() const { return frames_; }
  std::vector<uint8_t> take() { return std::move(out_); }

 private:
  void write(const AVFrame& f) {
    if (frames_ == 0 && (f.width != w_ || f.height != h_))
      fail("reference bank track is " + std::to_string(f.width) + "x" + std::to_string(f.height) +
           ", the geometry stamp says " + std::to_string(w_) + "x" + std::to_string(h_) +
           " — geometry mismatch, refusing to serve");
    if (f.width != w_ || f.height != h_) fail("reference bank frame changed size mid-track — refusing to serve");
    // Sized only once a picture has the stamp's size: the sidecar's numbers
    // alone may ask for gigabytes.
    if (out_.empty()) out_.resize(patch_ * static_cast<std::size_t>(n_));
    // Rebuilt whenever the pixel format changes: a scaler made for another
    // format would read past the planes this picture has.
    d_.sws = sws_getCachedContext(d_.sws, w_, h_, static_cast<AVPixelFormat>(f.format), w_, h_, AV_PIX_FMT_RGB24,
                                  SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!d_.sws) fail("reference bank decode: no rgb24 conversion — refusing to serve");
    uint8_t* dst[4] = {out_.data() + patch_ * static_cast<std::size_t>(order_[static_cast<size_t>(frames_)]), nullptr,
                       nullptr, nullptr};
    int dstStride[4] = {w_ * 3, 0, 0, 0};
    sws_scale(d_.sws, f.data, f.linesize, 0, h_, dst, dstStride);
  }

  Decode& d_;
  int n_, h_, w_;
  const std::vector<int>& order_;
  std::size_t patch_;
  std::vector<uint8_t> out_;
  int frames_ = 0;
};

}  // namespace

const char* bankDecoderBuild() { return kLavcVersion; }

std::vector<uint8_t> decodeBankTrack(const uint8_t* data, std::size_t size, int n, int h, int w,
                                     const std::vector<int>& trackOrder) {
  checkInputs(data, size, n, h, w, trackOrder);
  MemReader reader{data, static_cast<int64_t>(size)};
  Decode d;
  const int stream = openTrack(d, reader);
  FrameWriter writer(d, n, h, w, trackOrder);
  int packets = 0;
  for (;;) {
    const int r = av_read_frame(d.fmt, d.packet);
    if (r < 0) break;
    if (d.packet->stream_index != stream) {
      av_packet_unref(d.packet);
      continue;
    }
    // One packet carries one picture: an n + 1-th is refused before it is
    // decoded.
    if (++packets > n) {
      av_packet_unref(d.packet);
      fail(kTooMany);
    }
    const int s = avcodec_send_packet(d.codec, d.packet);
    av_packet_unref(d.packet);
    if (s < 0 && s != AVERROR(EAGAIN)) fail("reference bank track is not a readable container — refusing to serve");
    writer.drain();
  }
  avcodec_send_packet(d.codec, nullptr);
  writer.drain();
  if (writer.frames() != n)
    fail("bank track decoded to " + std::to_string(writer.frames()) + " frames, expected " + std::to_string(n) +
         " — geometry/N mismatch, refusing to serve");
  return writer.take();
}

}  // namespace le::tessera
