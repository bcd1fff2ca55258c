// Turns speech into a finished talking-head video: an audio file (anything
// FFmpeg reads) or text spoken by espeak-ng goes through the engine like a
// live host's microphone, and the frames come out as an MP4 with H.264
// video and the speech as AAC audio, in sync.
//
//   le_speak BUNDLE OUT.mp4 (AUDIO | --say TEXT) [options]
//
// Exit codes: 0 done, 1 rendering failed, 2 bad usage, 3 the bundle or its
// speech models cannot be opened, 4 the audio cannot be read, 5 the output
// cannot be written, 6 the --via mode is not in this build. Nothing is left
// at OUT.mp4 unless the video is complete: it is written under a temporary
// name beside it and renamed at the end.
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "le/le.h"
#include "tools/animation_choice.h"
#include "tools/audio_input.h"
#include "tools/cli_options.h"
#include "tools/mp4_writer.h"
#include "tools/plugin_drive.h"
#include "tools/queued_video_writer.h"
#include "tools/speech_video.h"
#include "tools/stage_cpu.h"
#include "tools/stream_drive.h"
#include "tools/teeth_attach.h"
#include "tools/temp_output.h"
#include "tools/utt_drive.h"

namespace {

enum Exit { kOk = 0, kRenderFailed = 1, kUsage = 2, kBadBundle = 3, kBadAudio = 4, kBadOutput = 5, kNotBuilt = 6 };

// An error that ends the program with its exit code and one line.
struct Failure : std::runtime_error {
  Failure(Exit c, const std::string& msg) : std::runtime_error(msg), code(c) {}
  Exit code;
};

struct Options {
  std::string bundle, out, audio, say, voice, via = "utt", encoder, motion, key = "b1_fp32", telemetry, plugin, source;
  bool realtime = false, quiet = false, noTeeth = false;
  int threads = 0, lead = 10;
};

// The parser over `o`'s fields; it also prints the usage for the failures
// that main reports as bad usage.
le::cli::OptionParser optionParser(Options& o) {
  le::cli::OptionParser p("le_speak",
                          "le_speak BUNDLE OUT.mp4 (AUDIO | --say TEXT) [options]\n"
                          "  AUDIO  speech in any format FFmpeg reads (resampled to 16 kHz mono)",
                          le_version());
  p.text("--say", "TEXT", "speak TEXT with espeak-ng instead of an audio file", &o.say)
      .text("--voice", "V", "espeak-ng voice", &o.voice)
      .text("--via", "MODE", "utt (default: the real-time utterance pipeline), stream, plugin", &o.via)
      .text("--plugin", "FILE", "the lightbackend plug-in for --via plugin (default: beside the engine)", &o.plugin)
      .flag("--realtime", "push the speech and pull the frames at real-time pace, 40 ms every 40 ms, as a live host", &o.realtime)
      .text("--encoder", "FILE", "speech encoder model (default: $W2V_ONNX)", &o.encoder)
      .text("--motion", "DIR", "the animation source's files (default: the bundle)", &o.motion)
      .text("--source", "NAME",
            "animation source for --via utt: motion (keypoint motion, hybrid eager) or a2x (default: a2x when "
            "the files carry it, else motion)",
            &o.source)
      .text("--key", "KEY", "director model key (default b1_fp32)", &o.key)
      .integer("--threads", "N", "worker threads (default: the engine's choice)", &o.threads, 0, 256)
      .integer("--lead", "N", "idle frames before the speech (default 10)", &o.lead, 0, 1000)
      .text("--telemetry", "FILE", "write the engine's telemetry document (JSON) to FILE", &o.telemetry)
      .flag("--no-teeth", "leave the bundle's borrowed teeth out (attached by default when it carries them)",
            &o.noTeeth)
      .flag("--quiet", "no progress line", &o.quiet);
  return p;
}

Options parse(int argc, char** argv) {
  Options o;
  const le::cli::OptionParser parser = optionParser(o);
  std::vector<std::string> pos = parser.parseOrExit(argc, argv);
  if (pos.size() == 3 && o.say.empty()) o.audio = pos[2], pos.pop_back();
  if (pos.size() != 2 || (o.audio.empty() == o.say.empty()))
    throw Failure(kUsage, "need a bundle, an output file and either an audio file or --say TEXT");
  o.bundle = pos[0];
  o.out = pos[1];
  if (o.via != "utt" && o.via != "stream" && o.via != "plugin")
    throw Failure(kUsage, "--via takes utt, stream or plugin, not '" + o.via + "'");
  if (o.motion.empty()) o.motion = o.bundle;
  if (!o.source.empty()) {
    if (o.via != "utt") throw Failure(kUsage, "--source applies to --via utt only");
    try {
      le::tools::parseAnimationKind(o.source);
    } catch (const std::exception& e) {
      throw Failure(kUsage, std::string("--source: ") + e.what());
    }
  }
  return o;
}

// Runs one step of writing the output file: its failure exits 5.
template <class Step>
auto outputStep(Step&& step) -> decltype(step()) {
  try {
    return step();
  } catch (const Failure&) {
    throw;
  } catch (const std::runtime_error& e) {
    throw Failure(kBadOutput, e.what());
  }
}

std::vector<int16_t> loadSpeech(const Options& o) {
  try {
    return o.say.empty() ? le::tools::decodeSpeech(o.audio) : le::tools::speakText(o.say, o.voice);
  } catch (const std::exception& e) {
    throw Failure(kBadAudio, e.what());
  }
}

bool readable(const std::string& path) { return access(path.c_str(), R_OK) == 0; }

struct CtxDeleter {
  void operator()(le_ctx* c) const { le_destroy(c); }
};
struct UttDeleter {
  void operator()(le_utt* u) const { le_utt_destroy(u); }
};

class Progress {
 public:
  Progress(bool quiet, const le::tools::SpeechVideo& video) : quiet_(quiet), video_(video), t0_(Clock::now()) {}
  void tick(bool force = false) {
    if (quiet_) return;
    const auto now = Clock::now();
    if (!force && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    const double s = std::chrono::duration<double>(now - t0_).count();
    std::fprintf(stderr, "\r[le_speak] %lld frames  speech %d/%d  ramp %d  %.1f s", (long long)video_.written(),
                 video_.speechFrames(), video_.speechFramesNeeded(), video_.rampFrames(), s);
    std::fflush(stderr);
  }
  void done() {
    if (!quiet_) {
      tick(true);
      std::fputc('\n', stderr);
    }
  }

 private:
  using Clock = std::chrono::steady_clock;
  bool quiet_;
  const le::tools::SpeechVideo& video_;
  Clock::time_point t0_, last_{};
};

void writeTelemetry(const std::string& path) {
  const int64_t len = le_telemetry_json(nullptr, 0);
  std::string doc(size_t(std::max<int64_t>(len, 0)) + 65536, '\0');
  const int64_t got = le_telemetry_json(doc.data(), doc.size());
  if (got < 0 || size_t(got) >= doc.size()) throw Failure(kBadOutput, "cannot gather telemetry: " + std::string(le_last_error()));
  doc.resize(size_t(got));
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << doc;
  f.close();
  if (!f) throw Failure(kBadOutput, "cannot write telemetry to " + path);
}

// Where the plug-in sits relative to this program: beside the engine in the
// build tree, or in the installed library directory.
std::string defaultPlugin() {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) {
    self[n] = 0;
    std::string dir(self);
    dir = dir.substr(0, dir.rfind('/'));
    for (const char* rel : {"/../backend/liblightbackend.so", "/../lib/liblightbackend.so"})
      if (readable(dir + rel)) return dir + rel;
  }
  return "liblightbackend.so";
}

// Frames come from one of the three producers; everything else is shared.
struct Producer {
  int width = 0, height = 0;
  std::string name;
  std::function<le::tools::UttDriveResult(le::tools::SpeechVideo&, const std::function<void()>&)> drive;
};

int run(const Options& o) {
  // Check what the user can fix before any rendering: the output place, the
  // speech and the encoder.
  le::tools::TempOutput temp = outputStep([&] { return le::tools::TempOutput(o.out); });
  const std::vector<int16_t> speech = loadSpeech(o);
  if (o.via == "stream" && !le::tools::StreamHost::available())
    throw Failure(kNotBuilt, "--via stream is not available in this build (the stream runner le_stream_* is not part "
                             "of it); use --via utt or --via plugin");
  if (!o.encoder.empty()) {
    if (!readable(o.encoder)) throw Failure(kBadBundle, "cannot read speech encoder " + o.encoder);
    setenv("W2V_ONNX", o.encoder.c_str(), 1);
  } else if (o.via != "plugin" && (!std::getenv("W2V_ONNX") || !*std::getenv("W2V_ONNX"))) {
    // The plug-in looks for the encoder beside itself; the engine does not.
    throw Failure(kUsage, "no speech encoder: give --encoder FILE or set W2V_ONNX");
  }

  le::tools::UttDriveOptions dopts;
  dopts.realtime = o.realtime;
  dopts.leadFrames = o.lead;
  Producer producer;
  std::unique_ptr<le::tools::PluginHost> plugin;
  std::unique_ptr<le::tools::StreamHost> stream;
  // Declared in this order so that the pipeline goes before its context,
  // and both before the motion view whose files the pipeline reads.
  std::unique_ptr<le::tools::AnimationChoice> animation;
  std::unique_ptr<le_ctx, CtxDeleter> ctx;
  std::unique_ptr<le_utt, UttDeleter> utt;
  std::string teeth = o.noTeeth ? "teeth: off (--no-teeth)"
                                : "teeth: not attached (the " + o.via + " producer has no teeth pass)";
  if (o.via == "plugin") {
    const std::string path = o.plugin.empty() ? defaultPlugin() : o.plugin;
    try {
      plugin = std::make_unique<le::tools::PluginHost>(path, o.bundle, o.key, o.threads);
    } catch (const std::exception& e) {
      const std::string what = e.what();
      if (what.rfind("plugin: ", 0) == 0)
        throw Failure(kNotBuilt, "--via plugin is not available: " + what.substr(8));
      throw Failure(kBadBundle, "cannot open bundle " + o.bundle + " through the plug-in: " + what.substr(6));
    }
    producer.width = plugin->width();
    producer.height = plugin->height();
    producer.name = "plugin";
    producer.drive = [&](le::tools::SpeechVideo& video, const std::function<void()>& progress) {
      return plugin->drive(speech, video, dopts, progress);
    };
  } else if (o.via == "stream") {
    try {
      stream = std::make_unique<le::tools::StreamHost>(o.bundle, std::getenv("W2V_ONNX"), o.threads);
    } catch (const std::exception& e) {
      throw Failure(kBadBundle, "cannot open bundle " + o.bundle + " for the stream runner: " + e.what());
    }
    producer.width = stream->width();
    producer.height = stream->height();
    producer.name = "stream";
    producer.drive = [&](le::tools::SpeechVideo& video, const std::function<void()>& progress) {
      return stream->drive(speech, video, progress);
    };
  } else {
    ctx.reset(le_create(o.bundle.c_str(), o.key.c_str(), o.threads, nullptr));
    if (!ctx) throw Failure(kBadBundle, "cannot open bundle " + o.bundle + ": " + le_last_error());
    if (!o.source.empty()) {
      try {
        animation = std::make_unique<le::tools::AnimationChoice>(o.motion, le::tools::parseAnimationKind(o.source));
      } catch (const std::exception& e) {
        throw Failure(kBadBundle, e.what());
      }
    }
    le_utt_opts uo{};
    uo.motion_dir = animation ? animation->motionDir().c_str() : o.motion.c_str();
    uo.eager = animation ? animation->eager() : 0;
    uo.threads = o.threads;
    // A bundle without the chunk director renders frame by frame.
    char member[4096];
    const bool hasSteady =
        le_bundle_resolve_member(o.bundle.c_str(), "model_b24_fp32.onnx", member, sizeof member) == 1;
    uo.steady_model = hasSteady ? nullptr : "-";
    uo.hold_s = -1.0;  // the utterance ends when this host says so, never by a pause
    utt.reset(le_utt_create(ctx.get(), &uo));
    if (!utt)
      throw Failure(kBadBundle, "cannot start the utterance pipeline on " + o.bundle + ": " + le_utt_last_error());
    if (!o.noTeeth) {
      try {
        teeth = le::tools::attachTeeth(utt.get(), o.bundle).status;
      } catch (const std::exception& e) {
        throw Failure(kBadBundle, std::string(e.what()) + " (--no-teeth renders without them)");
      }
    }
    producer.width = le_width(ctx.get());
    producer.height = le_height(ctx.get());
    producer.name = "utt";
    producer.drive = [&](le::tools::SpeechVideo& video, const std::function<void()>& progress) {
      return le::tools::driveUtterance(utt.get(), size_t(producer.width) * size_t(producer.height) * 3, speech, video,
                                       dopts, progress);
    };
  }
  const int w = producer.width, h = producer.height;
  if (w <= 0 || h <= 0 || (w & 1) || (h & 1))
    throw Failure(kBadBundle, "bundle " + o.bundle + " has a frame size of " + std::to_string(w) + "x" +
                                  std::to_string(h) + ", which H.264 in yuv420p cannot carry (both must be even)");

  // One encoder thread behind a queue at the lowest priority: in real time
  // the encoder must not take the cores from the frames still to come (the
  // lead-in alone is written in one burst when the speech starts).
  le::tools::Mp4Writer mp4 =
      outputStep([&] { return le::tools::Mp4Writer(temp.path(), w, h, 25, 20, le::tools::AudioSpec{}, 1); });
  le::tools::QueuedVideoWriter queued(mp4, size_t(w) * size_t(h) * 3);
  le::tools::SpeechVideo video(queued, speech, o.lead, size_t(w) * size_t(h) * 3);
  Progress progress(o.quiet, video);
  le::tools::UttDriveResult r;
  try {
    r = producer.drive(video, [&] { progress.tick(); });
  } catch (const std::exception& e) {
    progress.done();
    const std::string what = e.what();
    if (what.rfind("source: ", 0) == 0)
      throw Failure(kBadBundle, "cannot animate " + o.motion + ": " + what.substr(8));
    // A full disk surfaces here, through the writer the frames go to.
    throw Failure(queued.failed() ? kBadOutput : kRenderFailed, what);
  }
  progress.done();
  outputStep([&] {
    queued.close();
    mp4.close();
    temp.commit();
  });
  if (!o.telemetry.empty()) writeTelemetry(o.telemetry);

  const double seconds = double(video.written()) / 25.0;
  const int64_t rendered = video.speechFrames() + video.rampFrames();
  std::printf("le_speak: wrote %s: %lld frames (%d lead + %d speech + %d ramp), %.2f s, %dx%d H.264 + AAC\n",
              o.out.c_str(), (long long)video.written(), video.lead(), video.speechFrames(), video.rampFrames(),
              seconds, w, h);
  std::printf("le_speak: via %s%s: %.1f fps rendered, first-frame latency %.0f ms\n", producer.name.c_str(),
              o.realtime ? " (real time)" : "", r.seconds > 0 ? double(rendered) / r.seconds : 0.0,
              r.firstFrameLatencyMs);
  if (o.realtime && r.deliveredFps > 0)
    std::printf("le_speak: speech delivered at %.1f fps (%d frame periods late)\n", r.deliveredFps, r.lateFrames);
  if (utt && teeth.rfind("teeth: borrowed", 0) == 0) teeth += ", " + le::tools::teethOutcome(utt.get());
  std::printf("le_speak: %s\n", teeth.c_str());
  const std::string cpu = le::tools::stageCpuLine();
  if (!cpu.empty()) std::printf("le_speak: %s\n", cpu.c_str());
  if (video.speechFrames() != video.speechFramesNeeded())
    std::fprintf(stderr, "le_speak: WARNING: %d speech frames for %d frames of speech\n", video.speechFrames(),
                 video.speechFramesNeeded());
  return kOk;
}

}  // namespace

int main(int argc, char** argv) {
  av_log_set_level(AV_LOG_ERROR);
  try {
    return run(parse(argc, argv));
  } catch (const Failure& f) {
    std::fprintf(stderr, "le_speak: %s\n", f.what());
    Options unused;
    if (f.code == kUsage) std::fputs(optionParser(unused).usage().c_str(), stderr);
    return f.code;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "le_speak: %s\n", e.what());
    return kRenderFailed;
  }
}
