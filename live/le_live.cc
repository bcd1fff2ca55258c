// The live avatar demo: serves a page where a visitor types a sentence and
// watches and hears the bundle's avatar say it.
//
//   le_live BUNDLE [--port N] [--address IP] [--max-sessions N] [--threads N]
//                  [--key KEY] [--speech-encoder FILE] [--max-text BYTES]
//                  [--max-lifetime SECONDS] [--allowed-origin ORIGIN]... [--allowed-host HOST]...
//   le_live --synthetic WxH [...]   (scripted frames, no bundle)
//
// Each browser tab gets its own engine (context and utterance pipeline);
// --max-sessions caps how many run at once.
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

extern "C" {
#include <libavutil/log.h>
}

namespace {

[[noreturn]] void usage(const std::string& msg) {
  std::fprintf(stderr,
               "le_live: %s\n"
               "usage: le_live BUNDLE [--port N] [--address IP] [--max-sessions N] [--threads N] [--key KEY]\n"
               "               [--speech-encoder FILE] [--max-text BYTES] [--max-lifetime SECONDS]\n"
               "               [--allowed-origin ORIGIN]... [--allowed-host HOST]...\n"
               "       le_live --synthetic WxH [--port N] ...\n",
               msg.c_str());
  std::exit(2);
}

long toLong(const char* text, const char* opt, long lo, long hi) {
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (!*text || *end || v < lo || v > hi)
    usage(std::string(opt) + " needs a whole number from " + std::to_string(lo) + " to " + std::to_string(hi) +
          ", got '" + text + "'");
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  le::live::ServerOptions so;
  std::string bundle, key = "b1_fp32", synthetic;
  int threads = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) usage(a + " needs a value");
      return argv[++i];
    };
    if (a == "--port") so.port = (unsigned short)toLong(value(), "--port", 0, 65535);
    else if (a == "--address") so.address = value();
    else if (a == "--max-sessions") so.maxSessions = int(toLong(value(), "--max-sessions", 1, 64));
    else if (a == "--threads") threads = int(toLong(value(), "--threads", 0, 256));
    else if (a == "--max-text") so.maxTextBytes = std::size_t(toLong(value(), "--max-text", 1, 10000));
    else if (a == "--max-lifetime") so.maxSessionSeconds = int(toLong(value(), "--max-lifetime", 0, 86400));
    else if (a == "--allowed-origin") so.allowedOrigins.push_back(value());
    else if (a == "--allowed-host") so.allowedHosts.push_back(value());
    else if (a == "--key") key = value();
    else if (a == "--synthetic") synthetic = value();
    else if (a == "--speech-encoder") setenv("W2V_ONNX", value(), 1);
    else if (a == "-h" || a == "--help") usage("serves the live avatar page");
    else if (a.rfind("--", 0) == 0) usage("unknown option " + a);
    else if (bundle.empty()) bundle = a;
    else usage("more than one bundle given");
  }
  if (bundle.empty() == synthetic.empty()) usage("give either a bundle or --synthetic WxH");

  le::live::SourceFactory factory;
  std::string what;
  if (!synthetic.empty()) {
    int w = 0, h = 0;
    char tail = 0;
    if (std::sscanf(synthetic.c_str(), "%dx%d%c", &w, &h, &tail) != 2 || w <= 0 || h <= 0 || (w | h) & 1 ||
        w > 4096 || h > 4096)
      usage("--synthetic needs an even size such as 640x360, got '" + synthetic + "'");
    factory = [w, h] { return std::make_unique<le::live::SyntheticSource>(w, h); };
    what = "synthetic " + synthetic + " frames";
  } else {
    if (!std::getenv("W2V_ONNX"))
      std::fprintf(stderr, "le_live: WARNING W2V_ONNX is not set (--speech-encoder FILE); the avatar will idle but "
                           "cannot speak.\n");
    // Open the bundle once now so that a bad one is reported before anyone connects.
    le_ctx* probe = le_create(bundle.c_str(), key.c_str(), threads, nullptr);
    if (!probe) {
      std::fprintf(stderr, "le_live: cannot open bundle %s: %s\n", bundle.c_str(), le_last_error());
      return 1;
    }
    what = bundle + " (" + std::to_string(le_width(probe)) + "x" + std::to_string(le_height(probe)) + ", " + key + ")";
    le_destroy(probe);
    factory = [bundle, key, threads] { return std::make_unique<le::live::UttSource>(bundle, key, threads); };
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
    le::live::LiveServer server(so, factory, [synth](const std::string& text) { return synth.speak(text); });
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
