// Soak run of the live server: opens sessions one after another, makes each
// speak and closes it, then compares the process's resident memory, threads
// and descriptors with their values at the start.
//
//   le_live_soak [--sessions N] [--synthetic WxH | --bundle DIR [--key KEY] [--threads N]]
//
// Each session: WebSocket upgrade, wait for the hello (and "ready" from the
// engine), POST one sentence, wait for its first speech frame, close.
// Speech comes from espeak-ng when it runs, else a fixed tone.
#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "live/live_server.h"
#include "live/speech_synth.h"
#include "live/synthetic_source.h"
#include "live/test_http.h"
#include "live/utt_source.h"

namespace {

using namespace le::live;

struct Usage {
  double rssMiB = 0;
  int threads = 0;
  int descriptors = 0;
};

int entries(const char* dir) {
  int n = 0;
  if (DIR* d = opendir(dir)) {
    while (const dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

Usage usage() {
  Usage u;
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  u.rssMiB = double(resident) * double(sysconf(_SC_PAGESIZE)) / (1 << 20);
  u.threads = entries("/proc/self/task");
  u.descriptors = entries("/proc/self/fd") - 1;  // less the listing's own
  return u;
}

void print(const char* when, const Usage& u) {
  std::printf("%-22s rss %8.1f MiB  threads %4d  descriptors %4d\n", when, u.rssMiB, u.threads, u.descriptors);
  std::fflush(stdout);
}

// One session; false when it did not reach a speech frame.
bool runSession(LiveServer& server) {
  test::WsClient ws(server.port(), "/ws");
  std::string data, id;
  bool binary = false, ready = false;
  while (!ready && ws.read(data, binary, std::chrono::seconds(120))) {
    if (binary) continue;
    if (data.find("\"type\":\"hello\"") != std::string::npos) {
      const auto at = data.find("\"session\":\"") + 11;
      id = data.substr(at, data.find('"', at) - at);
    }
    ready = data.find("\"type\":\"ready\"") != std::string::npos;
  }
  if (!ready) return false;
  if (test::httpRequest(server.port(), "POST", "/api/say?session=" + id, "Hello there, how are you?").status != 202)
    return false;
  bool spoke = false;
  while (!spoke && ws.read(data, binary, std::chrono::seconds(60)))
    spoke = !binary && data.find("\"type\":\"frame\"") != std::string::npos && data.find("\"kind\":1") != std::string::npos;
  ws.close();
  for (int i = 0; i < 6000 && server.sessions() != 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return spoke && server.sessions() == 0;
}

}  // namespace

int main(int argc, char** argv) {
  int sessions = 200, threads = 0, w = 64, h = 48;
  std::string bundle, key = "b1_fp32", source = "a2x";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--sessions") sessions = std::atoi(argv[i + 1]);
    else if (a == "--bundle") bundle = argv[i + 1];
    else if (a == "--key") key = argv[i + 1];
    else if (a == "--source") source = argv[i + 1];
    else if (a == "--threads") threads = std::atoi(argv[i + 1]);
    else if (a == "--synthetic") std::sscanf(argv[i + 1], "%dx%d", &w, &h);
  }
  setLiveEngineDefaults();  // the engine as the server runs it
  SourceFactory factory;
  if (bundle.empty())
    factory = [w, h] { return std::make_unique<SyntheticSource>(w, h); };
  else
    factory = [bundle, key, threads, kind = le::tools::parseAnimationKind(source)] {
      return std::make_unique<UttSource>(bundle, key, threads, true, kind);
    };
  SpeechSynth synth;
  bool espeak = true;
  try {
    synth.speak("Test.");
  } catch (const std::exception&) {
    espeak = false;
  }
  Speaker speaker = [synth, espeak](const std::string& text, const SpeechPiece& piece) {
    if (espeak) return synth.speak(text, piece);
    std::vector<int16_t> tone(kSampleRate);
    for (std::size_t i = 0; i < tone.size(); ++i) tone[i] = int16_t(4000 * std::sin(double(i) * 0.12));
    piece(tone.data(), tone.size());
  };
  ServerOptions opts;
  opts.port = 0;
  opts.maxSessions = 1;
  LiveServer server(opts, factory, speaker);
  std::printf("soak: %d sessions on %s, speech from %s\n", sessions,
              bundle.empty() ? "synthetic frames" : bundle.c_str(), espeak ? "espeak-ng" : "a tone");
  const Usage start = usage();
  print("start", start);
  Usage first;
  int failed = 0;
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < sessions; ++i) {
    failed += !runSession(server);
    if (i == 0) print("after session 1", first = usage());
    if ((i + 1) % 50 == 0) print(("after session " + std::to_string(i + 1)).c_str(), usage());
  }
  const Usage end = usage();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("soak: %d of %d sessions failed; %.1f s in all\n", failed, sessions, seconds);
  std::printf("soak: end vs after session 1: rss %+.1f %%, threads %+d, descriptors %+d\n",
              100.0 * (end.rssMiB - first.rssMiB) / first.rssMiB, end.threads - first.threads,
              end.descriptors - first.descriptors);
  return failed == 0 ? 0 : 1;
}
