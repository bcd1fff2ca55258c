// The demo in a real browser: headless Chromium, driven over its DevTools
// protocol, loads the page from a running server, says a sentence, stops
// another, and leaves; the page reports what it received and showed.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "live/live_server.h"
#include "live/speech_synth.h"
#include "live/synthetic_source.h"
#include "live/test_http.h"
#include "live/utt_source.h"
#include "le/le.h"
#include "tools/animation_choice.h"
#include "tools/stage_cpu.h"
#include "tests/test_support.h"

extern char** environ;

namespace le::live {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;

std::string findProgram(const std::vector<std::string>& names) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  for (const auto& name : names) {
    std::size_t at = 0;
    while (at <= dirs.size()) {
      std::size_t end = dirs.find(':', at);
      if (end == std::string::npos) end = dirs.size();
      const std::string candidate = dirs.substr(at, end - at) + "/" + name;
      if (::access(candidate.c_str(), X_OK) == 0) return candidate;
      at = end + 1;
    }
  }
  return {};
}

// A headless Chromium on `url`, with one DevTools connection to its page.
class Browser {
 public:
  // `nice` above 0 runs the browser at that lower priority (through the
  // nice program, so that every process it starts inherits it).
  Browser(const std::string& program, const std::string& url, int nice = 0) {
    std::vector<std::string> args = {program,
                                     "--headless",
                                     "--no-sandbox",
                                     "--disable-gpu",
                                     "--disable-quic",
                                     "--no-first-run",
                                     "--no-default-browser-check",
                                     "--disable-background-networking",
                                     "--disable-component-update",
                                     "--disable-sync",
                                     "--disable-dev-shm-usage",
                                     "--autoplay-policy=no-user-gesture-required",
                                     "--user-data-dir=" + dir_.file("profile"),
                                     "--remote-debugging-address=127.0.0.1",
                                     "--remote-debugging-port=0",
                                     "--window-size=1000,800",
                                     url};
    if (nice > 0) args.insert(args.begin(), {"/usr/bin/nice", "-n", std::to_string(nice)});
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    const std::string log = dir_.file("chromium.log");
    posix_spawn_file_actions_addopen(&fa, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    const int rc = posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) throw std::runtime_error("cannot start " + program);

    // Chromium writes its DevTools port into the profile once it listens.
    unsigned short port = 0;
    for (int i = 0; i < 600 && !port; ++i) {
      std::ifstream f(dir_.file("profile/DevToolsActivePort"));
      int p = 0;
      if (f >> p && p > 0) port = (unsigned short)p;
      else std::this_thread::sleep_for(50ms);
    }
    if (!port) throw std::runtime_error("Chromium did not open its DevTools port; log: " + log);
    std::string wsPath;
    for (int i = 0; i < 200 && wsPath.empty(); ++i) {
      const Json targets = Json::parse(test::httpRequest(port, "GET", "/json/list").body);
      for (const auto& t : targets)
        if (t.value("type", "") == "page" && t.value("url", "").rfind(url, 0) == 0) {
          const std::string ws = t.value("webSocketDebuggerUrl", "");
          wsPath = ws.substr(ws.find("/devtools/"));
        }
      if (wsPath.empty()) std::this_thread::sleep_for(50ms);
    }
    if (wsPath.empty()) throw std::runtime_error("Chromium shows no page at " + url);
    ws_ = std::make_unique<test::WsClient>(port, wsPath);
  }

  ~Browser() {
    ws_.reset();
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int status = 0;
      for (int i = 0; i < 100; ++i) {
        if (::waitpid(pid_, &status, WNOHANG) == pid_) return;
        std::this_thread::sleep_for(50ms);
      }
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
    }
  }

  // Sends a DevTools command and returns its result.
  Json call(const std::string& method, const Json& params) {
    const int id = ++nextId_;
    ws_->write(Json{{"id", id}, {"method", method}, {"params", params}}.dump());
    std::string data;
    bool binary = false;
    while (ws_->read(data, binary, 60s)) {
      const Json m = Json::parse(data);
      if (m.value("id", 0) == id) {
        if (m.contains("error")) throw std::runtime_error(method + ": " + m["error"].dump());
        return m["result"];
      }
    }
    throw std::runtime_error("no answer to " + method);
  }

  // Evaluates `expr` in the page (awaiting a promise) and returns its value.
  Json eval(const std::string& expr) {
    const Json r = call("Runtime.evaluate", {{"expression", expr}, {"returnByValue", true}, {"awaitPromise", true}});
    if (r.contains("exceptionDetails")) throw std::runtime_error(expr + " threw " + r["exceptionDetails"].dump());
    return r["result"].value("value", Json());
  }

  // Polls `expr` until it is true; false after `limit`.
  bool waitFor(const std::string& expr, std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      if (eval(expr) == Json(true)) return true;
      std::this_thread::sleep_for(100ms);
    }
    return false;
  }

  pid_t pid() const { return pid_; }

  std::string log() const {
    std::ifstream f(dir_.file("chromium.log"));
    return std::string(std::istreambuf_iterator<char>(f), {});
  }

 private:
  le::test::TempDir dir_;
  pid_t pid_ = -1;
  std::unique_ptr<test::WsClient> ws_;
  int nextId_ = 0;
};

// CPU seconds (user and system) that process `pid` and every process below
// it have used, as far as they are still running.
double treeCpuSeconds(pid_t pid) {
  struct Proc {
    pid_t ppid;
    double cpu;
  };
  std::map<pid_t, Proc> procs;
  const double tick = double(::sysconf(_SC_CLK_TCK));
  if (DIR* d = ::opendir("/proc")) {
    while (dirent* e = ::readdir(d)) {
      const pid_t p = std::atoi(e->d_name);
      if (p <= 0) continue;
      std::ifstream f("/proc/" + std::string(e->d_name) + "/stat");
      std::string line;
      if (!std::getline(f, line)) continue;
      const std::size_t close = line.rfind(')');
      if (close == std::string::npos) continue;
      std::istringstream rest(line.substr(close + 2));
      std::string field;
      std::vector<std::string> v;
      while (rest >> field && v.size() < 13) v.push_back(field);
      if (v.size() < 13) continue;
      procs[p] = Proc{pid_t(std::atoi(v[1].c_str())), (std::atof(v[11].c_str()) + std::atof(v[12].c_str())) / tick};
    }
    ::closedir(d);
  }
  double sum = 0;
  for (const auto& [p, info] : procs) {
    pid_t up = p;
    for (int depth = 0; depth < 64 && up > 1 && up != pid; ++depth) {
      const auto it = procs.find(up);
      up = it == procs.end() ? 0 : it->second.ppid;
    }
    if (up == pid) sum += info.cpu;
  }
  return sum;
}

double rusageSeconds(int who) {
  rusage u{};
  ::getrusage(who, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + 1e-6 * double(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

// CPU seconds of this process alone: the server and its engines. (The
// process tree would count the browser too, which this test starts.)
double selfCpuSeconds() { return rusageSeconds(RUSAGE_SELF); }

// CPU seconds of this process's reaped children (the speech synthesiser's runs).
double childrenCpuSeconds() { return rusageSeconds(RUSAGE_CHILDREN); }

// CPU ms the engine's stages and the server's encoder have used so far,
// with the frames they were spread over, from the telemetry values.
struct StageCpu {
  std::map<std::string, std::pair<int64_t, double>> stages;
  static StageCpu now() {
    StageCpu s;
    for (const char* stage : {"source", "render", "teeth", "decode", "paste", "encode"}) {
      int64_t n = 0;
      double sum = 0;
      le_telemetry_value((std::string("frame_cpu.") + stage + "_ms").c_str(), &n, &sum);
      s.stages[stage] = {n, sum};
    }
    return s;
  }
  // "render 4.1, teeth 9.2, ... ms per frame" over what came after `before`.
  std::string since(const StageCpu& before) const {
    std::string out;
    for (const auto& [name, v] : stages) {
      const auto& b = before.stages.at(name);
      const int64_t n = v.first - b.first;
      if (n <= 0) continue;
      char part[64];
      std::snprintf(part, sizeof part, "%s%s %.1f", out.empty() ? "" : ", ", name.c_str(), (v.second - b.second) / double(n));
      out += part;
    }
    return out + " ms per frame";
  }
  // Frames the engine published after `before` (every one records a decode
  // sample), whether or not the server sent them on time.
  int64_t framesSince(const StageCpu& before) const {
    return stages.at("decode").first - before.stages.at("decode").first;
  }
};

// Minor page faults of this process so far. A steady stream of them means
// memory handed back to the system and taken again every frame.
long minorFaults() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return u.ru_minflt;
}

// The kinds the page showed, in runs: "idle,speech,ramp,idle".
const char* kShown = "live.shownKinds.join(',')";

void sayStopAndLeave(const SourceFactory& factory, std::chrono::seconds patience) {
  const std::string chromium = findProgram({"chromium", "chromium-browser"});
  if (chromium.empty()) GTEST_SKIP() << "Chromium is not installed (apt-get install chromium); the browser test needs it.";
  ServerOptions opts;
  opts.port = 0;
  opts.maxSessions = 1;
  SpeechSynth synth;
  LiveServer server(opts, factory, [synth](const std::string& t, const SpeechPiece& p) { synth.speak(t, p); });
  const std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/";
  Browser browser(chromium, url);

  ASSERT_TRUE(browser.waitFor("!!window.live && live.ready && live.shownFrames > 5", patience))
      << browser.eval("JSON.stringify(live)") << "\n" << browser.log();
  // A stall of the page (its thread busy for 150 ms) leaves the frames
  // after it waiting longer to play; the sentence's first frame waits the
  // usual margin again, not that.
  ASSERT_TRUE(browser.waitFor("live.clock === 'audio'", 10s)) << browser.eval("live.clock");
  browser.eval("(() => { const end = performance.now() + 150; while (performance.now() < end) {} })()");
  ASSERT_TRUE(browser.waitFor("live.playoutMs > 120", 5s)) << browser.eval("live.playoutMs");
  ASSERT_EQ(browser.eval("say('Hello there, nice to meet you.')"), Json(202));
  ASSERT_TRUE(browser.waitFor(std::string(kShown) + ".includes('idle,speech,ramp,idle')", patience))
      << browser.eval("JSON.stringify(live)");
  EXPECT_LE(browser.eval("live.start.playoutMs").get<int>(), 65) << browser.eval("JSON.stringify(live.start)");
  // Video and audio arrived, were decoded and played on the audio clock;
  // the first speech frame reached the screen; the status line shows the
  // engine's figures and the page's own.
  EXPECT_GT(browser.eval("live.framesReceived").get<int>(), 25);
  EXPECT_GT(browser.eval("live.kindsReceived[1]").get<int>(), 10);
  EXPECT_EQ(browser.eval("live.clock"), Json("audio"));
  EXPECT_GT(browser.eval("live.audioFrames").get<int>(), 25);
  EXPECT_GT(browser.eval("live.avOffsetCount").get<int>(), 25);
  EXPECT_GE(browser.eval("live.onScreenLatencyMs").get<double>(), 0);
  EXPECT_EQ(browser.eval("live.errors.length"), Json(0)) << browser.eval("JSON.stringify(live.errors)");
  EXPECT_EQ(browser.eval("wsUrl({protocol: 'https:', host: 'avatar.example:443'})"), Json("wss://avatar.example:443/ws"));
  EXPECT_EQ(browser.eval("wsUrl({protocol: 'http:', host: '127.0.0.1:8080'})"), Json("ws://127.0.0.1:8080/ws"));
  EXPECT_TRUE(browser.waitFor("document.getElementById('status').textContent.includes('repeated')", 5s));
  const std::string shot = std::getenv("LE_LIVE_SCREENSHOT") ? std::getenv("LE_LIVE_SCREENSHOT") : "";

  // A long sentence, stopped while it is spoken: back to idle, and no
  // further speech is shown.
  ASSERT_EQ(browser.eval("say('This is a much longer sentence, which keeps going on and on for quite a while, so "
                         "that there is plenty of time to stop it in the middle.')"),
            Json(202));
  ASSERT_TRUE(browser.waitFor("live.lastShownKind === 1", patience)) << browser.eval(kShown);
  if (!shot.empty()) {
    const Json png = browser.call("Page.captureScreenshot", {{"format", "png"}});
    const std::string b64 = png["data"];
    std::string cmd = "echo '" + b64 + "' | base64 -d > '" + shot + "'";
    le::test::runCommand(cmd);
  }
  const int spokenBefore = browser.eval("live.kindsReceived[1]").get<int>();
  ASSERT_EQ(browser.eval("stopSpeaking()"), Json(202));
  ASSERT_TRUE(browser.waitFor("live.lastShownKind === 0", patience)) << browser.eval(kShown);
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(browser.eval("live.lastShownKind"), Json(0)) << browser.eval(kShown);
  // Far fewer speech frames than the sentence has (about 7 s of it).
  EXPECT_LT(browser.eval("live.kindsReceived[1]").get<int>() - spokenBefore, 100);
  const std::string shown = browser.eval(kShown);
  EXPECT_EQ(shown.rfind("idle"), shown.size() - 4) << shown;

  // A codec the browser does not decode is reported, not retried for ever.
  browser.eval("(() => { try { onHello(Object.assign({}, live.hello, {codec: 'avc1.ffffff'})); } catch (e) {} })()");
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const int errors = browser.eval("live.errors.length").get<int>();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(browser.eval("live.errors.length").get<int>(), errors) << browser.eval("JSON.stringify(live.errors)");
  EXPECT_LE(errors, 1);

  // Leaving the page frees the session.
  EXPECT_EQ(server.sessions(), 1);
  browser.eval("location.href = 'about:blank'");
  for (int i = 0; i < 500 && server.sessions() != 0; ++i) std::this_thread::sleep_for(20ms);
  EXPECT_EQ(server.sessions(), 0);
}

TEST(LiveBrowser, SaysStopsAndLeavesWithScriptedFrames) {
  sayStopAndLeave([] { return std::make_unique<SyntheticSource>(320, 240); }, 30s);
}

// By hand, for the figures (not a pass/fail check): LE_LIVE_BUNDLE=DIR
// live_browser_test --gtest_also_run_disabled_tests --gtest_filter=*Measures*
// says five sentences on that bundle and prints, per sentence, the time
// from pressing Say to the first speech frame on screen and the engine's
// first-frame latency, then the median; then a passage of about 20 s, over
// which it prints the page's audio/video offset, frames shown, repeated and
// dropped, and the frame rate. LE_LIVE_SOURCE=a2x measures that source
// (default motion); LE_LIVE_THREADS sets the engine's workers (default 2);
// LE_LIVE_LEAD_MS how far ahead of real time speech is pushed (0 paces it
// as a microphone would).
TEST(LiveBrowser, DISABLED_MeasuresLatencyAndFrameRate) {
  const char* bundle = std::getenv("LE_LIVE_BUNDLE");
  if (!bundle) GTEST_SKIP() << "set LE_LIVE_BUNDLE to a bundle directory";
  const std::string chromium = findProgram({"chromium", "chromium-browser"});
  ASSERT_FALSE(chromium.empty());
  const int threads = std::getenv("LE_LIVE_THREADS") ? std::atoi(std::getenv("LE_LIVE_THREADS")) : 2;
  const std::string source = std::getenv("LE_LIVE_SOURCE") ? std::getenv("LE_LIVE_SOURCE") : "motion";
  const tools::AnimationKind kind = tools::parseAnimationKind(source);
  // The stream opens the shared speech encoder named by W2V_ONNX; without
  // it the engine never becomes ready.
  if (kind == tools::AnimationKind::kA2x && !std::getenv("W2V_ONNX"))
    FAIL() << "LE_LIVE_SOURCE=a2x needs W2V_ONNX set to the speech encoder (for the test data, "
              "build/testdata/speech/audio_encoder_fp32.onnx).";
  setLiveEngineDefaults();
  ServerOptions opts;
  opts.port = 0;
  if (const char* lead = std::getenv("LE_LIVE_LEAD_MS")) opts.speechLead = std::chrono::milliseconds(std::atoi(lead));
  SpeechSynth synth;
  const std::string b = bundle;
  LiveServer server(opts, [b, threads, kind] { return std::make_unique<UttSource>(b, "b1_fp32", threads, true, kind); },
                    [synth](const std::string& t, const SpeechPiece& p) { synth.speak(t, p); });
  // In a product the viewer's browser runs on another machine; here it
  // shares the engine's cores. LE_LIVE_BROWSER_NICE=N (e.g. 10) runs it at
  // a lower priority to model that; the figures are printed either way.
  const int browserNice = std::getenv("LE_LIVE_BROWSER_NICE") ? std::atoi(std::getenv("LE_LIVE_BROWSER_NICE")) : 0;
  std::printf("[live] browser priority: %s\n",
              browserNice > 0 ? ("nice " + std::to_string(browserNice) + " (below the engine's)").c_str()
                              : "the engine's own (shares the cores on equal terms)");
  Browser browser(chromium, "http://127.0.0.1:" + std::to_string(server.port()) + "/", browserNice);
  // An engine that cannot speak says so at once; no use waiting for it.
  ASSERT_TRUE(browser.waitFor("!!window.live && (live.errors.length > 0 || live.ready && live.shownFrames > 25)", 300s));
  ASSERT_EQ(browser.eval("live.errors.length"), Json(0))
      << "The engine reported: " << browser.eval("live.errors.join('; ')").get<std::string>();
  const char* sentences[] = {"Hello there, nice to meet you.", "The quick brown fox jumps over the lazy dog.",
                             "How are you doing today? I hope that all is well.",
                             "This demo renders every frame of my face while I speak.",
                             "Good morning, and welcome to the show."};
  std::vector<double> latencies;
  for (const char* text : sentences) {
    ASSERT_EQ(browser.eval(std::string("say('") + text + "')"), Json(202));
    ASSERT_TRUE(browser.waitFor("live.onScreenLatencyMs !== null", 120s));
    ASSERT_TRUE(browser.waitFor("live.status && live.status.state === 0 && live.lastShownKind === 0", 120s));
    std::this_thread::sleep_for(2s);
    const Json st = browser.eval("live.status");
    latencies.push_back(browser.eval("live.onScreenLatencyMs").get<double>());
    std::printf("[live] %s \"%s\": say->screen %.0f ms, engine first-frame %.0f ms, fps %.1f, underruns %lld\n",
                source.c_str(), text, latencies.back(), st["latencyMs"].get<double>(), st["fps"].get<double>(),
                st["underruns"].get<long long>());
    // Where the time went, in ms after Say.
    const Json w = browser.eval("live.start");
    auto at = [&](const char* k) { return w.contains(k) && w[k].is_number() ? w[k].get<double>() : -1.0; };
    std::printf("[live]   server took it and made its lead %.0f, push began %.0f (page), first frame pulled %.0f "
                "and sent %.0f after the push (page: %.0f), arrived %.0f, decoded %.0f, waited %.0f to play, shown "
                "%.0f\n",
                at("waitMs"), at("speakingMs"), at("pulledMs"), at("sincePushMs"), at("sentMs"), at("arrivedMs"),
                at("decodedMs"), at("playoutMs"), at("shownMs"));
  }
  std::sort(latencies.begin(), latencies.end());
  std::printf("[live] %s say->screen median %.0f ms over %zu sentences\n", source.c_str(),
              latencies[latencies.size() / 2], latencies.size());
  // A passage of about 20 s: the offset of picture against speech, and
  // whether any frame was shown twice or skipped.
  browser.eval("resetMeasures()");
  const double t0 = browser.eval("performance.now()").get<double>();
  // CPU of the server and engine (this process), the browser and the
  // synthesiser over the passage.
  const double selfCpu0 = selfCpuSeconds(), browserCpu0 = treeCpuSeconds(browser.pid()),
               synthCpu0 = childrenCpuSeconds();
  const StageCpu stages0 = StageCpu::now();
  const long faults0 = minorFaults();
  ASSERT_EQ(browser.eval("say('Now a longer passage, spoken for twenty seconds or so, so that the frame rate and "
                         "the offset between the picture and the sound can be measured while the face is talking "
                         "rather than idling between the sentences. It goes on about the weather, which has been "
                         "mild for the season, about the trains, which were on time for once, and about the garden, "
                         "where the roses are still in bloom although the nights are getting colder.')"),
            Json(202));
  ASSERT_TRUE(browser.waitFor("live.lastShownKind === 1", 120s));
  ASSERT_TRUE(browser.waitFor("live.status.state === 0 && live.lastShownKind === 0", 180s));
  const double seconds = (browser.eval("performance.now()").get<double>() - t0) / 1000.0;
  const double selfCpu = selfCpuSeconds() - selfCpu0, browserCpu = treeCpuSeconds(browser.pid()) - browserCpu0,
               synthCpu = childrenCpuSeconds() - synthCpu0;
  const Json m = browser.eval("live");
  const int shown = m["shownFrames"].get<int>();
  const int n = std::max(1, m["avOffsetCount"].get<int>());
  std::printf("[live] %s passage: %.1f s, %d frames shown = %.1f fps; a/v offset mean %.1f ms, max %.1f ms over %d "
              "frames; repeated %d, dropped %d, idle pictures skipped at sentence starts %d, held by the server %d, "
              "resyncs %d; clock %s\n",
              source.c_str(), seconds, shown, shown / seconds, m["avOffsetSumMs"].get<double>() / n,
              m["avOffsetMaxMs"].get<double>(), m["avOffsetCount"].get<int>(), m["repeatedFrames"].get<int>(),
              m["droppedFrames"].get<int>(), m["idleSkipped"].get<int>(), m["heldFrames"].get<int>(), m["resyncs"].get<int>(),
              m["clock"].get<std::string>().c_str());
  const Json& held = m["heldBy"];
  std::printf("[live] %s passage held frames by where they fell: idle %d, ramp %d, first second of speech %d, later "
              "speech %d\n",
              source.c_str(), held["idle"].get<int>(), held["ramp"].get<int>(), held["start"].get<int>(),
              held["steady"].get<int>());
  std::printf("[live] %s passage CPU, %% of one core: server and engine %.0f, browser %.0f, speech synthesiser %.1f; "
              "per frame: %s\n",
              source.c_str(), 100 * selfCpu / seconds, 100 * browserCpu / seconds, 100 * synthCpu / seconds,
              StageCpu::now().since(stages0).c_str());
  // Under load the held frames say more about the neighbours than about the
  // engine; the CPU each finished frame cost does not.
  const StageCpu stages1 = StageCpu::now();
  const double made = double(std::max<int64_t>(1, stages1.framesSince(stages0)));
  std::printf("[live] %s passage per frame the engine finished (%.0f): server and engine %.1f ms of CPU, %.0f minor "
              "page faults\n",
              source.c_str(), made, 1000 * selfCpu / made, double(minorFaults() - faults0) / made);
}

TEST(LiveBrowser, SaysStopsAndLeavesOnTheTinyBundle) {
  const std::string bundle = le::test::bundlePath("tiny");
  sayStopAndLeave([bundle] { return std::make_unique<UttSource>(bundle, "b1_fp32", 2, true, tools::AnimationKind::kA2x); }, 120s);
}

}  // namespace
}  // namespace le::live
