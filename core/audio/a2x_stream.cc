#include "core/audio/a2x_stream.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <stdexcept>

#include "core/audio/speech_features.h"
#include "core/bundle/bundle_path.h"
#include "core/bundle/file_read.h"
#include "core/bundle/member_names.h"
#include "core/foundation/c_boundary.h"
#include "core/foundation/pool.h"

namespace le::a2x {
namespace {

constexpr int kCoeffs = 63;
// Context vectors per encoder run. Every run sees the same shape: the chunk
// with its whole past context and look-ahead, padded and masked where frames
// do not exist. ONNX Runtime's Softmax on some CPUs (arm64) rounds a row
// differently with its length even when the extra entries are masked, so a
// window shape that followed the push timing would leak into the frames.
constexpr int kChunkFrames = 8;
constexpr int kAheadLong = 64;         // frames avail computes ahead, 8-second mode
constexpr int kMaxPrimeFrames = 200;
constexpr int kMaxRight = 1 << 16;     // keeps frame arithmetic far from overflow
constexpr int64_t kKeepBehind = 256;   // feature frames dropped in batches of this

// An integer environment variable; false when unset, empty or not a number.
bool envInt(const char* name, long long& out) {
  const char* v = std::getenv(name);
  if (!v || !*v) return false;
  char* end = nullptr;
  errno = 0;
  const long long x = std::strtoll(v, &end, 10);
  if (end == v || errno != 0) return false;
  out = x;
  return true;
}

int64_t ceilDiv(int64_t a, int64_t b) { return (a + b - 1) / b; }
int64_t floorDiv(int64_t a, int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

constexpr int64_t kNoEnd = std::numeric_limits<int64_t>::max();

std::string readMeta(const std::string& dir) {
  try {
    return le::readText(dir + "/a2x_meta.json");
  } catch (const std::exception&) {
    return {};
  }
}

std::once_flag gCadenceOnce;

// Drops whole batches from the front, so a stream streaming for hours holds
// about one batch beyond what its next computations read.
template <typename T>
void dropFront(std::vector<T>& v, int64_t& base, int64_t keepFrom, int64_t perFrame, int64_t batch) {
  if (keepFrom - base < batch) return;
  const size_t n = static_cast<size_t>((keepFrom - base) * perFrame);
  if (n >= v.size()) {
    v.clear();
  } else {
    v.erase(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(n));
  }
  base = keepFrom;
}

}  // namespace

namespace detail {

const std::vector<float>& silenceFeatures(Ort::Session& w2v) {
  static std::mutex mu;  // guards cache
  static std::vector<float>* cache = new std::vector<float>;
  std::lock_guard<std::mutex> lock(mu);
  if (cache->empty()) {
    std::vector<float> f(static_cast<size_t>(kLongWindowFrames) * kFeatureDim);
    const float zero = 0.0f;
    longWindowFeatures(w2v, {&zero, 0, 0}, 0, 0, kLongWindowFrames, f.data());
    *cache = std::move(f);
  }
  return *cache;
}

}  // namespace detail

Stream::~Stream() = default;

std::unique_ptr<Stream> Stream::create(const std::string& bundle, int threads, bool windowPair) {
  std::unique_ptr<Stream> s(new Stream);
  s->load(bundle, threads, windowPair);
  return s;
}

void Stream::load(const std::string& bundle, int threads, bool windowPair) {
  const int poolThreads = le::pool::threads();
  const int t = threads > 0 && threads < poolThreads ? threads : poolThreads;
  std::call_once(gCadenceOnce, [t] {
    std::fprintf(stderr,
                 "[le_a2x] live cadence: block-%d (one trunk window per %d frames), push-size invariant, "
                 "threads=%d\n",
                 kBlockFrames * 40, kBlockFrames, t);
  });
  env_ = std::make_unique<Ort::Env>(ORT_LOGGING_LEVEL_WARNING, "le_a2x");
  Ort::SessionOptions options = audioSessionOptions(t, "enc/dec");

  const std::string dir = le::resolveBundlePath(bundle);
  const std::string metaText = readMeta(dir);
  if (metaText.empty()) throw std::runtime_error("a2x_meta.json missing in " + dir);
  meta_ = parseMeta(metaText);
  h_ = meta_.h;
  past_ = meta_.left * meta_.layers;
  ahead_ = meta_.window * meta_.layers;

  pos_ = readFloats(dir + "/a2x_pos.f32");
  const std::vector<float> norm = readFloats(dir + "/a2x_norm.f32");
  xs_ = readFloats(le::resolveMember(dir, "xs_target.bin"));
  if (pos_.size() < 2 * static_cast<size_t>(h_) || norm.size() < 2 * kCoeffs || xs_.size() < kCoeffs)
    throw std::runtime_error("pos/norm/xs_target read failed");
  posRows_ = static_cast<int64_t>(pos_.size() / static_cast<size_t>(h_));
  nt_ = static_cast<int>(std::min<size_t>(xs_.size() / kCoeffs, static_cast<size_t>(INT32_MAX)));
  xs_.resize(static_cast<size_t>(nt_) * kCoeffs);
  mean_.assign(norm.begin(), norm.begin() + kCoeffs);
  dev_.assign(norm.begin() + kCoeffs, norm.begin() + 2 * kCoeffs);

  long long right = 12;
  if (envInt("LE_A2X_W2V_RIGHT", right)) right = std::clamp<long long>(right, 0, kMaxRight);
  else right = 12;
  right_ = static_cast<int>(right);

  const char* w2vPath = std::getenv("W2V_ONNX");
  if (!w2vPath || !*w2vPath) throw std::runtime_error("$W2V_ONNX not set");
  w2v_ = &sharedW2v(w2vPath, t);
  windowed_ = sharedWindowPair(t, w2vPath);
  if (windowed_ && windowPair) pair_ = le::a2x::windowPair();
  windowed_ = pair_.trunk != nullptr;
  effRight_ = windowed_ ? right_ + kBlockFrames : right_;
  // The chunk grid ends a chunk exactly where a live stream's frames stop
  // after each whole block, so the grid adds no lag. Those stops are the
  // lag, or on the windowed path the look-ahead behind the last whole
  // feature block when that is later.
  int64_t stop = lagFrames();
  if (windowed_) stop = std::max<int64_t>(stop, ceilDiv(right_, kBlockFrames) * kBlockFrames + ahead_);
  gridOffset_ = static_cast<int>((kChunkFrames - stop % kChunkFrames) % kChunkFrames);

  enc_ = std::make_unique<Ort::Session>(openSession(*env_, le::resolveMember(dir, "a2x_enc_stream.onnx"), options));
  Ort::AllocatorWithDefaultOptions alloc;
  const size_t outputs = enc_->GetOutputCount();
  if (outputs < 1) throw std::runtime_error("a2x_enc_stream.onnx declares no output");
  ctxName_ = enc_->GetOutputNameAllocated(0, alloc).get();
  if (outputs > 1) {
    wnName_ = enc_->GetOutputNameAllocated(1, alloc).get();
    width_ = 1;
  }
  if (meta_.width != width_) {
    std::fprintf(stderr,
                 "[le_a2x] WARNING: a2x_meta width=%d but the encoder declares %zu output(s) \xe2\x80\x94 serving "
                 "the GRAPH (width=%d). Repackage this bundle.\n",
                 meta_.width, outputs, width_);
  }
  dec_ = std::make_unique<Ort::Session>(openSession(*env_, le::resolveMember(dir, "a2x_dec.onnx"), options));

  long long prime = meta_.silencePrime;
  envInt("LE_A2X_SILENCE_PRIME", prime);
  if (prime > 0) this->prime(static_cast<int>(std::min<long long>(prime, kMaxPrimeFrames)));
  reset(0, 1, 1);
}

void Stream::prime(int frames) {
  try {
    const std::vector<float>& silence = detail::silenceFeatures(*w2v_);
    Track t;
    t.prev.assign(kCoeffs, 0.0f);
    t.hid.assign(static_cast<size_t>(h_), 0.0f);
    appendFeatures(t, silence.data(), frames);
    contexts(t, frames, frames);
    if (t.ctxCount < frames) throw std::runtime_error("the silence features do not cover the primed frames");
    decode(t, frames);
    primedPrev_ = t.prev;
    primedHid_ = t.hid;
    primed_ = true;
    std::fprintf(stderr, "[le_a2x] silence-primed AR state cached (%d frames)\n", frames);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "[le_a2x] silence-prime failed (%s) -- legacy zero state\n", e.what());
  }
}

void Stream::startTrack(Track& t) const {
  t = Track{};
  if (primed_) {
    t.prev = primedPrev_;
    t.hid = primedHid_;
  } else {
    t.prev.assign(kCoeffs, 0.0f);
    t.hid.assign(static_cast<size_t>(h_), 0.0f);
  }
}

int32_t Stream::drivingIndex(int64_t frame) const {
  if (nt_ <= 1) return 0;
  const int64_t d = frame * step_ + start_;
  if (loop_) {
    const int64_t m = d % nt_;
    return static_cast<int32_t>(m < 0 ? m + nt_ : m);
  }
  const int64_t period = 2 * (static_cast<int64_t>(nt_) - 1);
  int64_t m = d % period;
  if (m < 0) m += period;
  return static_cast<int32_t>(m < nt_ ? m : period - m);
}

void Stream::reset(int start, int step, int loop) {
  const int64_t next = start < 0 ? drivingIndex(pulled_) : start;
  std::vector<float>().swap(audio_);
  audioBase_ = 0;
  finished_ = false;
  pulled_ = 0;
  startTrack(track_);
  start_ = next;
  step_ = step < 0 ? -1 : 1;
  loop_ = loop != 0;
}

void Stream::push(const float* samples, int n) {
  if (n < 1 || !samples) return;
  appendSamples(audio_, samples, static_cast<size_t>(n));
}

void Stream::finish() { finished_ = true; }

int Stream::total() const {
  if (!finished_) return -1;
  return static_cast<int>(ceilDiv(samples(), kFrameSamples));
}

int Stream::lagFrames() const { return std::max(ahead_, effRight_); }

int64_t Stream::ready() const {
  const int64_t s = samples();
  if (finished_) return ceilDiv(s, kFrameSamples);
  // Only whole streaming blocks count.
  const int64_t whole = std::min(s, (s + kFrameSamples - 1) / kBlockSamples * kBlockSamples);
  return std::max<int64_t>(0, (whole + kFrameSamples - 1) / kFrameSamples - lagFrames());
}

int Stream::avail() {
  const int64_t ahead = windowed_ ? kBlockFrames : kAheadLong;
  const int64_t f = ready();
  extend(std::min(f, track_.deltaCount + ahead));
  return static_cast<int>(std::max<int64_t>(0, std::min(track_.deltaCount, f) - pulled_));
}

int Stream::pull(int32_t* idx, float* base, float* expr, float* wn, int max) {
  if (max < 1) return 0;
  const int64_t f = ready();
  if (pulled_ >= track_.deltaCount) extend(std::min(f, pulled_ + max));
  const int64_t end = std::min(track_.deltaCount, f);
  int written = 0;
  for (int64_t o = pulled_; o < end && written < max; ++o, ++written) {
    const int32_t d = drivingIndex(o);
    const float* b = xs_.data() + static_cast<size_t>(d) * kCoeffs;
    const float* delta = track_.deltas.data() + static_cast<size_t>(o - track_.outBase) * kCoeffs;
    idx[written] = d;
    for (int c = 0; c < kCoeffs; ++c) {
      base[static_cast<size_t>(written) * kCoeffs + c] = b[c];
      expr[static_cast<size_t>(written) * kCoeffs + c] = b[c] + delta[c];
    }
    if (wn) wn[written] = width_ ? track_.wn[static_cast<size_t>(o - track_.outBase)] : 0.0f;
  }
  pulled_ += written;
  release();
  return written;
}

void Stream::extend(int64_t k) {
  if (k <= track_.deltaCount) return;
  try {
    extendTrack(track_, {audio_.data(), audioBase_, samples()}, finished_, windowed_, k);
  } catch (const std::exception& e) {
    le::capi::setError(le::capi::Family::kA2x, "le_a2x extend", e.what());
  }
  release();
}

void Stream::release() {
  Track& t = track_;
  // The decoder reads each context vector once; pull reads offsets and wn
  // values once.
  dropFront(t.ctx, t.ctxBase, t.deltaCount, h_, kKeepBehind);
  int64_t wnBase = t.outBase;  // moves with outBase: the same frames
  if (width_) dropFront(t.wn, wnBase, pulled_, 1, kKeepBehind);
  dropFront(t.deltas, t.outBase, pulled_, kCoeffs, kKeepBehind);
  // Audio: what the next feature window reads, and nothing before.
  const int64_t keep = std::min(samples(), firstSampleNeeded(t.featCount, windowed_, right_));
  dropFront(audio_, audioBase_, keep, 1, kKeepBehind * kFrameSamples);
}

void Stream::extendTrack(Track& t, const AudioSpan& audio, bool finished, bool windowed, int64_t k) {
  const int64_t audioFrames = ceilDiv(audio.limit, kFrameSamples);
  // The chunk holding frame k - 1 needs the features of its whole look-ahead.
  const int64_t need = std::min(chunkStart(k - 1) + kChunkFrames + ahead_, audioFrames);
  features(t, audio, finished, windowed, need);
  contexts(t, k, finished ? audioFrames : kNoEnd);
  decode(t, t.ctxCount);
}

void Stream::appendFeatures(Track& t, const float* src, int64_t frames) {
  t.feat.insert(t.feat.end(), src, src + frames * kFeatureDim);
  t.featCount += frames;
}

void Stream::features(Track& t, const AudioSpan& audio, bool finished, bool windowed, int64_t need) {
  const int64_t samples = audio.limit;
  std::vector<float> buf;
  while (t.featCount < need) {
    const int64_t i = t.featCount;
    if (windowed) {
      // Block [i, i + 8) once the audio reaches its right context.
      if (!finished && samples < (i + kBlockFrames + right_) * kFrameSamples) return;
      buf.resize(static_cast<size_t>(kBlockFrames) * kFeatureDim);
      windowBlockFeatures(pair_, audio, i, right_, buf.data());
      appendFeatures(t, buf.data(), kBlockFrames);
      continue;
    }
    const int64_t w = longWindowOf(i);
    int64_t to = w + kLongWindowFrames;
    int64_t limit = samples;
    if (!finished) {
      // Live: a frame's features are kept once the audio reaches the block
      // boundary after its right context, and the window runs on the audio up
      // to that boundary only: what is kept never depends on audio that had
      // not arrived, nor on how the audio was split into pushes.
      // A frame's own right context is what the lag leaves after its
      // look-ahead, so that the last frame the lag allows has r frames of
      // audio after it.
      const int64_t rf = lagFrames() - ahead_;
      limit = ceilDiv((i + 1 + rf) * kFrameSamples, kBlockSamples) * kBlockSamples;
      if (samples < limit) return;
      to = std::min(to, limit / kFrameSamples - rf);
    }
    buf.resize(static_cast<size_t>(to - i) * kFeatureDim);
    longWindowFeatures(*w2v_, {audio.data, audio.base, limit}, w, i, to, buf.data());
    appendFeatures(t, buf.data(), to - i);
  }
}

int64_t Stream::chunkStart(int64_t frame) const {
  return floorDiv(frame - gridOffset_, kChunkFrames) * kChunkFrames + gridOffset_;
}

void Stream::contexts(Track& t, int64_t upto, int64_t end) {
  const int64_t n = past_ + kChunkFrames + ahead_;
  std::vector<float> padded, pos, attn;
  while (t.ctxCount < upto && t.ctxCount < end) {
    const int64_t a = t.ctxCount;
    const int64_t c = chunkStart(a);
    const int64_t ws = c - past_;  // window [ws, ws + n)
    int64_t b = std::min(c + kChunkFrames, end);
    // The position table wraps after its last row; frames before it see a
    // window that ends there.
    int64_t keyEnd = end;
    if (a < posRows_) {
      b = std::min(b, posRows_);
      keyEnd = std::min(keyEnd, posRows_);
    }
    const int64_t from = std::max<int64_t>(0, ws);  // frames [from, to) are real
    const int64_t to = std::min(ws + n, keyEnd);
    if (to > t.featCount) break;  // the look-ahead's features are still to come
    if (from < t.featBase)
      throw std::runtime_error("features of frames " + std::to_string(from) + ".." + std::to_string(to) +
                               " are not at hand");

    // Rows outside [from, to) are zeros that attend only to themselves, so
    // they stay finite and no real row sees them.
    float* feat = t.feat.data() + (from - t.featBase) * kFeatureDim;
    if (from != ws || to != ws + n) {
      padded.assign(static_cast<size_t>(n * kFeatureDim), 0.0f);
      std::copy_n(feat, (to - from) * kFeatureDim, padded.data() + (from - ws) * kFeatureDim);
      feat = padded.data();
    }
    pos.assign(static_cast<size_t>(n * h_), 0.0f);
    const int64_t half = posRows_ / 2;
    for (int64_t i = from; i < to; ++i) {
      const int64_t row = i < posRows_ ? i : half + (i - posRows_) % (posRows_ - half);
      std::copy_n(pos_.data() + row * h_, h_, pos.data() + (i - ws) * h_);
    }
    attn.assign(static_cast<size_t>(n * n), -std::numeric_limits<float>::infinity());
    for (int64_t q = 0; q < n; ++q) {
      const int64_t i = ws + q;
      if (i < from || i >= to) {
        attn[static_cast<size_t>(q * n + q)] = 0.0f;
        continue;
      }
      const int64_t lo = std::max(i - meta_.left, from) - ws;
      const int64_t hi = std::min(i + meta_.window, to - 1) - ws;
      for (int64_t kk = lo; kk <= hi; ++kk) attn[static_cast<size_t>(q * n + kk)] = 0.0f;
    }

    const int64_t featShape[4] = {1, n, 12, 768};
    const int64_t posShape[3] = {1, n, h_};
    const int64_t attnShape[2] = {n, n};
    Ort::Value in[3] = {
        Ort::Value::CreateTensor<float>(cpuInfo(), feat, static_cast<size_t>(n * kFeatureDim), featShape, 4),
        Ort::Value::CreateTensor<float>(cpuInfo(), pos.data(), pos.size(), posShape, 3),
        Ort::Value::CreateTensor<float>(cpuInfo(), attn.data(), attn.size(), attnShape, 2)};
    const char* inNames[3] = {"feat", "pos_window", "attn"};
    const char* outNames[2] = {ctxName_.c_str(), wnName_.c_str()};
    std::vector<Ort::Value> out = enc_->Run(run_, inNames, in, 3, outNames, width_ ? 2 : 1);
    const std::vector<int64_t> cs = out[0].GetTensorTypeAndShapeInfo().GetShape();
    if (cs.size() != 3 || cs[0] != 1 || cs[1] != n || cs[2] != h_)
      throw std::runtime_error("a2x_enc_stream: context output is not [1," + std::to_string(n) + "," +
                               std::to_string(h_) + "]");
    const float* ctx = floatData(out[0], "a2x_enc_stream", ctxName_.c_str());
    // Both outputs are checked before either is kept: a refused chunk is
    // run again at the next call, and must not have left rows behind.
    const float* wn = nullptr;
    if (width_) {
      if (out[1].GetTensorTypeAndShapeInfo().GetElementCount() != static_cast<size_t>(n))
        throw std::runtime_error("a2x_enc_stream: wn output is not [1," + std::to_string(n) + "]");
      wn = floatData(out[1], "a2x_enc_stream", wnName_.c_str());
    }
    t.ctx.insert(t.ctx.end(), ctx + (a - ws) * h_, ctx + (b - ws) * h_);
    if (wn) t.wn.insert(t.wn.end(), wn + (a - ws), wn + (b - ws));
    t.ctxCount = b;
  }
  // Features behind every future encoder window are no longer needed.
  const int64_t keep = std::max<int64_t>(0, chunkStart(t.ctxCount) - past_);
  if (keep - t.featBase >= kKeepBehind && keep <= t.featCount) {
    t.feat.erase(t.feat.begin(), t.feat.begin() + (keep - t.featBase) * kFeatureDim);
    t.featBase = keep;
  }
}

void Stream::decode(Track& t, int64_t upto) {
  const int64_t ctxShape[2] = {1, h_};
  const int64_t prevShape[2] = {1, kCoeffs};
  const int64_t hidShape[3] = {1, 1, h_};
  const char* inNames[3] = {"ctx_t", "prev", "h"};
  const char* outNames[2] = {"m", "h_out"};
  while (t.deltaCount < upto) {
    float* ctx = t.ctx.data() + (t.deltaCount - t.ctxBase) * h_;
    Ort::Value in[3] = {Ort::Value::CreateTensor<float>(cpuInfo(), ctx, static_cast<size_t>(h_), ctxShape, 2),
                        Ort::Value::CreateTensor<float>(cpuInfo(), t.prev.data(), t.prev.size(), prevShape, 2),
                        Ort::Value::CreateTensor<float>(cpuInfo(), t.hid.data(), t.hid.size(), hidShape, 3)};
    std::vector<Ort::Value> out = dec_->Run(run_, inNames, in, 3, outNames, 2);
    if (out[0].GetTensorTypeAndShapeInfo().GetElementCount() != kCoeffs ||
        out[1].GetTensorTypeAndShapeInfo().GetElementCount() != static_cast<size_t>(h_))
      throw std::runtime_error("a2x_dec: outputs are not m [1,63] and h_out [1,1," + std::to_string(h_) + "]");
    const float* m = floatData(out[0], "a2x_dec", "m");
    const float* hOut = floatData(out[1], "a2x_dec", "h_out");
    const size_t base = t.deltas.size();
    t.deltas.resize(base + kCoeffs);
    for (int c = 0; c < kCoeffs; ++c) t.deltas[base + c] = mean_[c] + m[c] * dev_[c];
    std::copy_n(m, kCoeffs, t.prev.data());
    std::copy_n(hOut, h_, t.hid.data());
    ++t.deltaCount;
  }
}

int Stream::deltas(const float* samples, int n, float* out, float* wn, int cap) {
  if (n < 1) return 0;
  const int64_t frames = ceilDiv(n, kFrameSamples);
  if (cap < frames) return -2;
  if (!samples || !out) throw std::runtime_error("NULL samples or output array");
  Track t;
  startTrack(t);
  extendTrack(t, {samples, 0, n}, true, false, frames);
  if (t.deltaCount < frames) throw std::runtime_error("computed only " + std::to_string(t.deltaCount) + " of " +
                                                      std::to_string(frames) + " frames");
  std::copy_n(t.deltas.data(), frames * kCoeffs, out);
  if (wn) {
    const int64_t have = std::min<int64_t>(frames, static_cast<int64_t>(t.wn.size()));
    std::copy_n(t.wn.data(), have, wn);
    std::fill(wn + have, wn + frames, 0.0f);
  }
  return static_cast<int>(frames);
}

}  // namespace le::a2x
