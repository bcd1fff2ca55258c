// Records every stage of one short utterance through the real-time pipeline
// on a fixed bundle, so that builds for different machines can be compared
// stage by stage (scripts/arm64.sh runs it natively and under qemu and
// hands both files to le_speech_frame_compare):
//   features          speech features of the first block (short-window pair)
//   drive.*           the director's crop on the bundle's own drive frame 0
//                     (inputs equal on every machine), pasted, and its footprint
//   idle.*            idle frames before and after the utterance (exact)
//   speech.src        source frame of every speech frame (exact)
//   speech.<k>.*      driving keypoints, the crop they render, the pasted
//                     frame the pipeline published, and the paste footprint
// The crop of a speech frame is rendered again after the pipeline is done,
// from the keypoints it published, and pasted: the program fails unless
// that reproduces the published frame byte for byte, so a recorded crop is
// the one behind its frame.
//
// Usage: le_speech_frame_dump BUNDLE SPEECH ENCODER OUT
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/audio/encoder_sessions.h"
#include "core/audio/speech_features.h"
#include "core/bundle/drive.h"
#include "core/bundle/member_names.h"
#include "core/session/context.h"
#include "core/session/utterance_pipeline.h"
#include "le/le.h"
#include "tools/audio_input.h"
#include "tools/cli_options.h"
#include "tools/stage_dump.h"

namespace {

using namespace std::chrono_literals;
constexpr int kKp = 63;
// 0.64 s of speech: 16 speech frames (two of the stream's blocks), few
// enough for every vector length under an emulator, enough bytes to
// measure rounding shares.
constexpr size_t kSpeechSamples = 10240;
constexpr int kIdleBefore = 3;
// Every fifth speech frame's crop is rendered again and recorded (frames 0,
// 5, 10, 15): under an emulator each render costs a fifth of a second.
constexpr size_t kCropEvery = 5;
constexpr int kIdleLead = 2;
// Waits are counted in 1 ms sleeps; an emulator is some 25 times slower.
constexpr int kWaitMs = 600000;

struct CtxDeleter {
  void operator()(le_ctx* c) const { le_destroy(c); }
};

template <class Pred>
void waitFor(const char* what, Pred done) {
  for (int i = 0; !done(); ++i) {
    if (i >= kWaitMs) throw std::runtime_error(std::string("Timed out waiting for ") + what + ".");
    std::this_thread::sleep_for(1ms);
  }
}

// Pixels whose bytes a crop can change in driving frame `index`: where
// pasting an all-dark, an all-bright or a checkerboard crop (the largest
// resampling overshoot) disagree, grown by one pixel for the rims where the
// mask is too faint for these three to show it.
std::vector<uint8_t> footprint(le_ctx* ctx, int index) {
  const int w = le_width(ctx), h = le_height(ctx), side = le_crop(ctx);
  const size_t plane = size_t(side) * size_t(side);
  std::vector<float> crops[3] = {std::vector<float>(plane * 3, 0.0f), std::vector<float>(plane * 3, 1.0f),
                                 std::vector<float>(plane * 3)};
  for (size_t i = 0; i < plane * 3; ++i) crops[2][i] = float(((i % plane) / size_t(side) + i % size_t(side)) % 2);
  std::vector<uint8_t> frames[3];
  for (int k = 0; k < 3; ++k) {
    frames[k].resize(size_t(w) * size_t(h) * 3);
    if (!le_paste_crop(ctx, index, crops[k].data(), frames[k].data(), frames[k].size()))
      throw std::runtime_error("Pasting into driving frame " + std::to_string(index) + " failed: " + le_last_error());
  }
  std::vector<uint8_t> hit(size_t(w) * size_t(h), 0);
  for (size_t p = 0; p < hit.size(); ++p)
    for (int c = 0; c < 3; ++c) {
      const size_t i = p * 3 + size_t(c);
      if (frames[0][i] != frames[1][i] || frames[0][i] != frames[2][i]) hit[p] = 1;
    }
  std::vector<uint8_t> grown(hit.size(), 0);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) {
          const int yy = y + dy, xx = x + dx;
          if (yy >= 0 && yy < h && xx >= 0 && xx < w && hit[size_t(yy) * size_t(w) + size_t(xx)])
            grown[size_t(y) * size_t(w) + size_t(x)] = 1;
        }
  return grown;
}

// Processor seconds of the whole process so far (all threads): the cost to
// report, which a machine busy with other work does not inflate.
double cpuSeconds() { return double(std::clock()) / CLOCKS_PER_SEC; }

struct Spoken {
  int32_t src = 0;
  std::vector<float> kp;
  std::vector<uint8_t> frame;
};

void dump(const std::string& bundle, const std::string& wav, const std::string& encoder, const std::string& out) {
  // The animation source finds the encoder here, and beside it the short
  // window pair that it prefers.
  ::setenv("W2V_ONNX", encoder.c_str(), 1);
  std::vector<int16_t> pcm = le::tools::decodeSpeech(wav);
  if (pcm.size() < kSpeechSamples)
    throw std::runtime_error("Speech file " + wav + " holds " + std::to_string(pcm.size()) + " samples; " +
                             std::to_string(kSpeechSamples) + " are needed.");
  pcm.resize(kSpeechSamples);
  le::tools::StageDump d;
  const double cpu0 = cpuSeconds();

  if (!le::a2x::sharedWindowPair(1, encoder))
    throw std::runtime_error("The short-window encoder pair beside " + encoder + " did not open.");
  std::vector<float> f(pcm.size());
  for (size_t i = 0; i < pcm.size(); ++i) f[i] = float(pcm[i]) * (1.0f / 32768.0f);
  std::vector<float> features(size_t(le::a2x::kBlockFrames) * le::a2x::kFeatureDim);
  le::a2x::windowBlockFeatures(le::a2x::windowPair(), {f.data(), 0, int64_t(f.size())}, 0, 12, features.data());
  d.addFloats("features", features.data(), features.size());

  std::unique_ptr<le_ctx, CtxDeleter> ctx(le_create(bundle.c_str(), "b1_fp32", 1, nullptr));
  if (!ctx) throw std::runtime_error(std::string("Bundle ") + bundle + " did not open: " + le_last_error());
  le::ensureRenderer(*ctx);
  const int w = le_width(ctx.get()), h = le_height(ctx.get()), side = le_crop(ctx.get());
  const size_t frameBytes = size_t(w) * size_t(h) * 3, cropFloats = size_t(side) * size_t(side) * 3;
  const float amount = ctx->manifest.unsharp.amount;
  d.addFloats("paste.amount", &amount, 1);

  // The director alone: drive frame 0 with its own source and keypoints.
  const float* driveCrop = le_render_drive_crop(ctx.get(), 0);
  if (!driveCrop) throw std::runtime_error(std::string("Rendering drive frame 0 failed: ") + le_last_error());
  d.addFloats("drive.crop", driveCrop, cropFloats);
  const int driveSrc = ctx->drive.si.at(0);
  std::vector<uint8_t> frame(frameBytes);
  const std::vector<float> driveCropCopy(driveCrop, driveCrop + cropFloats);
  if (!le_paste_crop(ctx.get(), driveSrc, driveCropCopy.data(), frame.data(), frame.size()))
    throw std::runtime_error(std::string("Pasting drive frame 0 failed: ") + le_last_error());
  d.addBytes("drive.frame", frame.data(), frame.size());
  const std::vector<uint8_t> driveFoot = footprint(ctx.get(), driveSrc);
  d.addBytes("drive.footprint", driveFoot.data(), driveFoot.size());

  // The utterance. Single-frame renders: the chunk renderer would be chosen
  // by timing, which an emulator changes.
  const double cpuSetup = cpuSeconds();
  std::vector<Spoken> speech;
  std::vector<uint8_t> idleAfter;
  int landing = -1;
  {
    le_utt_opts opts{};
    opts.motion_dir = bundle.c_str();
    opts.threads = 1;
    opts.steady_model = "-";
    opts.hold_s = -1;
    // Pasting on the run thread: a paste thread takes a frame off its queue
    // before the ring has it, and the run thread, seeing neither, would
    // make one more idle frame on some runs and not on others.
    ::setenv("LE_UTT_PIPELINE_PASTE", "0", 1);
    le::UtterancePipeline p(ctx.get(), opts);
    if (p.pastePipelined())
      throw std::runtime_error("The pipeline pastes on its own thread despite LE_UTT_PIPELINE_PASTE=0.");
    std::string err;
    waitFor("the animation source", [&] { return p.ready(&err) != 0; });
    if (p.ready(&err) != 1) throw std::runtime_error("The animation source failed: " + err);
    le_utt_frame_info info{};
    float kp[kKp];
    auto pull = [&] {
      waitFor("a frame", [&] { return p.pullFrame(frame.data(), frame.size(), &info, kp) == 1; });
    };
    for (int i = 0; i < kIdleBefore; ++i) {
      pull();
      if (info.kind != 0 || info.src_index != i)
        throw std::runtime_error("Frame " + std::to_string(i) + " before speech was kind " + std::to_string(info.kind) +
                                 " of source frame " + std::to_string(info.src_index) + ", not idle frame " +
                                 std::to_string(i) + ".");
      d.addBytes("idle." + std::to_string(i), frame.data(), frame.size());
    }
    // The pipeline keeps a lead of idle frames in its ring (two) and goes on
    // with the loop while it waits for speech; it moves the speech frames
    // to wherever the loop is when they come. Nothing is pulled from the
    // full lead until a speech frame sits behind it, so no idle frame goes
    // out in between and the utterance lands at the same loop position on
    // every machine however slowly it runs (and however the push and the
    // end of the utterance fall into the pipeline's iterations).
    waitFor("the idle lead", [&] { return p.framesAvailable() >= kIdleLead; });
    landing = (kIdleBefore + p.framesAvailable()) % le_nt(ctx.get());
    p.pushAudio(pcm.data(), int(pcm.size()));
    p.endUtterance();
    waitFor("the first speech frame", [&] { return p.framesAvailable() > kIdleLead; });
    bool spoke = false;
    for (;;) {
      pull();
      if (info.kind == 1) {
        spoke = true;
        if (info.speech_index != int(speech.size()))
          throw std::runtime_error("Speech frame " + std::to_string(info.speech_index) + " came where " +
                                   std::to_string(speech.size()) + " was due.");
        speech.push_back({info.src_index, std::vector<float>(kp, kp + kKp), frame});
      } else if (info.kind == 0 && spoke) {
        idleAfter = frame;
        break;
      }
    }
    int64_t failures = 0;
    if (p.renderStatus(&failures, &err) != 0 || failures)
      throw std::runtime_error("The pipeline reported render failures: " + err);
  }
  d.addBytes("idle.after", idleAfter.data(), idleAfter.size());
  if (!speech.empty() && speech.front().src != landing)
    throw std::runtime_error("The first speech frame shows source frame " + std::to_string(speech.front().src) +
                             ", not " + std::to_string(landing) + " after the idle frames published before it.");
  const size_t expected = (kSpeechSamples + 639) / 640;
  if (speech.size() != expected)
    throw std::runtime_error(std::to_string(speech.size()) + " speech frames came out of " +
                             std::to_string(expected) + ".");

  const double cpuUtterance = cpuSeconds();
  // Crops again from the published keypoints, with the source keypoints
  // the animation source rendered them from.
  const int nt = le_nt(ctx.get());
  const std::vector<float> xsTarget =
      le::readRaw<float>(le::resolveMember(bundle, "xs_target.bin"), size_t(nt) * kKp);
  std::vector<float> srcs;
  std::map<int, std::vector<uint8_t>> footprints;  // per source frame: the paste map is the frame's
  for (size_t k = 0; k < speech.size(); ++k) {
    const Spoken& s = speech[k];
    const std::string name = "speech." + std::to_string(k);
    srcs.push_back(float(s.src));
    auto foot = footprints.find(s.src);
    if (foot == footprints.end()) foot = footprints.emplace(s.src, footprint(ctx.get(), s.src)).first;
    d.addFloats(name + ".kp", s.kp.data(), s.kp.size());
    d.addBytes(name + ".frame", s.frame.data(), s.frame.size());
    d.addBytes(name + ".footprint", foot->second.data(), foot->second.size());
    if (k % kCropEvery != 0) continue;
    const float* crop = le_render_kp_crop(ctx.get(), s.src, xsTarget.data() + size_t(s.src) * kKp, s.kp.data());
    if (!crop) throw std::runtime_error("Rendering " + name + " again failed: " + le_last_error());
    const std::vector<float> copy(crop, crop + cropFloats);
    if (!le_paste_crop(ctx.get(), s.src, copy.data(), frame.data(), frame.size()))
      throw std::runtime_error("Pasting " + name + " again failed: " + le_last_error());
    if (frame != s.frame)
      throw std::runtime_error("The crop rendered again for " + name +
                               " does not reproduce the frame the pipeline published.");
    d.addFloats(name + ".crop", copy.data(), copy.size());
  }
  d.addFloats("speech.src", srcs.data(), srcs.size());
  d.write(out);
  const double cpuEnd = cpuSeconds();
  std::fprintf(stderr,
               "le_speech_frame_dump: %zu speech frames of source frames %d..%d; processor seconds: setup %.2f, "
               "utterance %.2f, crops again %.2f\n",
               speech.size(), speech.front().src, speech.back().src, cpuSetup - cpu0, cpuUtterance - cpuSetup,
               cpuEnd - cpuUtterance);
}

}  // namespace

int main(int argc, char** argv) {
  le::cli::OptionParser parser("le_speech_frame_dump",
                               "le_speech_frame_dump BUNDLE SPEECH ENCODER OUT\n"
                               "  BUNDLE   bundle directory (also the animation source's)\n"
                               "  SPEECH   speech (any audio FFmpeg reads), at least 0.64 s\n"
                               "  ENCODER  full speech encoder, the short-window pair beside it\n"
                               "  OUT      stage dump to write",
                               le_version());
  const std::vector<std::string> pos = parser.parseOrExit(argc, argv);
  if (pos.size() != 4) parser.fail("takes a bundle, a WAV file, an encoder and an output file");
  try {
    dump(pos[0], pos[1], pos[2], pos[3]);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "le_speech_frame_dump: %s\n", e.what());
    return 2;
  }
}
