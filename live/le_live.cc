// The live avatar demo: serves a page where a visitor types a sentence and
// watches and hears the bundle's avatar say it.
//
//   le_live BUNDLE [--port N] [--address IP] [--max-sessions N] [--threads N]
//                  [--key KEY] [--speech-encoder FILE] [--max-text BYTES] [--no-teeth]
//                  [--max-lifetime SECONDS] [--allowed-origin ORIGIN]... [--allowed-host HOST]...
//                  [--source motion|a2x] [--speech-lead MS]
//   le_live --synthetic WxH [...]   (scripted frames, no bundle)
//
// Each browser tab gets its own engine (context and utterance pipeline);
// --max-sessions caps how many run at once. Every session borrows the
// bundle's teeth when it carries them, unless --no-teeth. The avatar is
// animated by the bundle's keypoint-motion source, whose first frame needs
// only tens of ms of speech, unless --source a2x.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "le/le.h"
#include "live/live_server.h"
#include "live/speech_synth.h"
#include "live/synthetic_source.h"
#include "live/utt_source.h"
#include "tools/animation_choice.h"
#include "tools/cli_options.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

// What every session will do about teeth, for the status line.
std::string teethPlan(const std::string& bundle, bool teeth) {
  if (!teeth) return "teeth: off (--no-teeth)";
  le_tessera_carriage* c = le_tessera_carriage_open(bundle.c_str());
  const int missing = c ? le_tessera_carriage_missing_count(c) : le_tessera_slot_count();
  le_tessera_carriage_close(c);
  if (missing == le_tessera_slot_count()) return "teeth: none (the bundle carries no teeth members)";
  return "teeth: borrowed in every session";
}

}  // namespace

int main(int argc, char** argv) {
  le::live::ServerOptions so;
  std::string bundle, key = "b1_fp32", synthetic, source = "motion";
  int threads = 0, leadMs = int(so.speechLead.count());
  bool noTeeth = false;
  int port = so.port, maxSessions = so.maxSessions, maxText = int(so.maxTextBytes), lifetime = so.maxSessionSeconds;
  std::string encoder;
  le::cli::OptionParser parser("le_live",
                               "le_live BUNDLE [options]\n"
                               "       le_live --synthetic WxH [options]   (scripted frames, no bundle)",
                               le_version());
  parser.integer("--port", "N", "port to serve on (0: any free one)", &port, 0, 65535)
      .text("--address", "IP", "address to listen on", &so.address)
      .integer("--max-sessions", "N", "browser tabs served at once", &maxSessions, 1, 64)
      .integer("--threads", "N", "worker threads per session (default: the engine's choice)", &threads, 0, 256)
      .integer("--max-text", "BYTES", "longest sentence accepted", &maxText, 1, 10000)
      .integer("--max-lifetime", "SECONDS", "longest a session may last", &lifetime, 0, 86400)
      .custom("--allowed-origin", "ORIGIN", "another origin pages may connect from (repeatable; behind a proxy)",
              [&](const std::string& v) { so.allowedOrigins.push_back(v); })
      .custom("--allowed-host", "HOST", "another Host header to answer (repeatable; behind a proxy)",
              [&](const std::string& v) { so.allowedHosts.push_back(v); })
      .text("--key", "KEY", "director model key (default b1_fp32)", &key)
      .text("--synthetic", "WxH", "serve scripted frames of this size instead of a bundle", &synthetic)
      .text("--source", "NAME", "animation source: motion (default, low latency) or a2x", &source)
      .text("--speech-encoder", "FILE", "speech encoder model (default: $W2V_ONNX)", &encoder)
      .integer("--speech-lead", "MS",
               "how far ahead of real time synthesised speech is pushed (default 2000; 0: at a microphone's pace)",
               &leadMs, 0, 10000)
      .flag("--no-teeth", "leave the bundle's borrowed teeth out (attached by default when it carries them)",
            &noTeeth);
  const std::vector<std::string> pos = parser.parseOrExit(argc, argv);
  if (pos.size() > 1) parser.fail("more than one bundle given");
  if (!pos.empty()) bundle = pos[0];
  so.port = static_cast<unsigned short>(port);
  so.maxSessions = maxSessions;
  so.maxTextBytes = std::size_t(maxText);
  so.maxSessionSeconds = lifetime;
  so.speechLead = std::chrono::milliseconds(leadMs);
  if (!encoder.empty()) setenv("W2V_ONNX", encoder.c_str(), 1);
  if (bundle.empty() == synthetic.empty()) parser.fail("give either a bundle or --synthetic WxH");
  const bool teeth = !noTeeth;
  try {
    le::tools::parseAnimationKind(source);
  } catch (const std::exception& e) {
    parser.fail(std::string("--source: ") + e.what());
  }

  le::live::SourceFactory factory;
  std::string what;
  if (!synthetic.empty()) {
    int w = 0, h = 0;
    char tail = 0;
    if (std::sscanf(synthetic.c_str(), "%dx%d%c", &w, &h, &tail) != 2 || w <= 0 || h <= 0 || (w | h) & 1 ||
        w > 4096 || h > 4096)
      parser.fail("--synthetic needs an even size such as 640x360, got '" + synthetic + "'");
    factory = [w, h] { return std::make_unique<le::live::SyntheticSource>(w, h); };
    what = "synthetic " + synthetic + " frames";
  } else {
    if (source == "a2x" && !std::getenv("W2V_ONNX"))
      std::fprintf(stderr, "le_live: WARNING W2V_ONNX is not set (--speech-encoder FILE); the avatar will idle but "
                           "cannot speak.\n");
    le::live::setLiveEngineDefaults();
    // Open the bundle once now so that a bad one is reported before anyone connects.
    le_ctx* probe = le_create(bundle.c_str(), key.c_str(), threads, nullptr);
    if (!probe) {
      std::fprintf(stderr, "le_live: cannot open bundle %s: %s\n", bundle.c_str(), le_last_error());
      return 1;
    }
    what = bundle + " (" + std::to_string(le_width(probe)) + "x" + std::to_string(le_height(probe)) + ", " + key + ")";
    le_destroy(probe);
    try {
      // Refused now, not by every session.
      le::tools::AnimationChoice check(bundle, le::tools::parseAnimationKind(source));
    } catch (const std::exception& e) {
      std::fprintf(stderr, "le_live: %s\n", e.what());
      return 1;
    }
    what += ", source " + source;
    what += ", " + teethPlan(bundle, teeth);
    factory = [bundle, key, threads, teeth, kind = le::tools::parseAnimationKind(source)] {
      auto session = std::make_unique<le::live::UttSource>(bundle, key, threads, teeth, kind);
      std::printf("le_live: session %s\n", session->teeth().c_str());
      std::fflush(stdout);
      return session;
    };
  }

  // Signals are taken by sigwait below; every thread started from here on
  // inherits the mask. A viewer that vanishes must not kill the server.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  // Every viewer opens encoders; their banners are not news.
  av_log_set_level(AV_LOG_WARNING);
  le::live::SpeechSynth synth;
  try {
    le::live::LiveServer server(so, factory, [synth](const std::string& text, const le::live::SpeechPiece& piece) { synth.speak(text, piece); });
    std::printf("le_live: serving %s, at most %d session%s\n", what.c_str(), so.maxSessions,
                so.maxSessions == 1 ? "" : "s");
    std::printf("le_live: open http://%s:%u/ in a browser (Ctrl-C stops)\n", so.address.c_str(), server.port());
    std::fflush(stdout);
    int sig = 0;
    sigwait(&stopSignals, &sig);
    std::printf("le_live: stopping\n");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "le_live: %s\n", e.what());
    return 1;
  }
  return 0;
}
