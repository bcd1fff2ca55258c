// The speech child: what it inherits and what happens when it hangs. Stand-in
// programs are shell scripts written by the test.
#include "live/speech_synth.h"

#include "live/frame_source.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <vector>
#include <fstream>
#include <sstream>
#include <string>

namespace le::live {
namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Writes an executable script into a fresh directory; returns its path.
std::string script(const std::string& body) {
  char dir[] = "/tmp/le_speech_XXXXXX";
  if (!mkdtemp(dir)) return {};
  const std::string path = std::string(dir) + "/fake-espeak";
  std::ofstream(path) << "#!/bin/sh\n" << body;
  chmod(path.c_str(), 0700);
  return path;
}

// Removes the directory script() made for `prog`.
void removeScript(const std::string& prog) {
  std::system(("rm -rf '" + prog.substr(0, prog.rfind('/')) + "'").c_str());
}

std::string messageOf(const SpeechSynth& synth) {
  try {
    synth.speak("Hello.");
  } catch (const std::exception& e) {
    return e.what();
  }
  return {};
}

TEST(SpeechSynth, TheChildInheritsNoSocket) {
  // A socket opened without close-on-exec, as the server's are.
  const int sock = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  char link[64] = {};
  ASSERT_GT(readlink(("/proc/self/fd/" + std::to_string(sock)).c_str(), link, sizeof link - 1), 0);
  const std::string prog = script("cat > /dev/null\nfor f in /proc/$$/fd/*; do readlink \"$f\"; done > \"$0.fds\"\nexit 0\n");
  SpeechSynth synth(prog);
  EXPECT_EQ(messageOf(synth), "Speech: the synthesiser's output is not a WAV file.");
  const std::string fds = slurp(prog + ".fds");
  EXPECT_NE(fds.find("pipe:"), std::string::npos) << fds;
  EXPECT_EQ(fds.find(link), std::string::npos) << fds;
  ::close(sock);
  removeScript(prog);
}

TEST(SpeechSynth, AProgramThatHangsIsKilledWithWhatItStarted) {
  const std::string prog = script("sleep 600 &\necho $! > \"$0.pid\"\nwait\n");
  SpeechSynth synth(prog, "en-us", 1500);
  EXPECT_EQ(messageOf(synth), "Speech: " + prog + " did not finish within 1500 ms and was stopped.");
  // The grandchild went with its group: gone, or a zombie awaiting its new
  // parent, once the kill has been delivered.
  const std::string pid = slurp(prog + ".pid");
  ASSERT_FALSE(pid.empty());
  auto dead = [&pid] {
    const std::string stat = slurp("/proc/" + std::to_string(std::atoi(pid.c_str())) + "/stat");
    const std::size_t paren = stat.rfind(')');
    return stat.empty() || (paren != std::string::npos && stat[paren + 2] == 'Z');
  };
  for (int i = 0; i < 500 && !dead(); ++i) usleep(10000);
  EXPECT_TRUE(dead());
  // A program that exits without reading its text fails cleanly, without
  // a broken-pipe signal reaching the caller.
  const std::string quitter = script("exit 3\n");
  EXPECT_EQ(messageOf(SpeechSynth(quitter)), "Speech: " + quitter + " failed (status 768).");
  removeScript(prog);
  removeScript(quitter);
}

// A stand-in that streams a 16 kHz WAV as espeak-ng does (sizes unknown):
// 1600 samples, a pause of `pauseS` seconds, 1600 more.
std::string streamingScript(int pauseS) {
  return script(
      "cat > /dev/null\n"
      "printf 'RIFF\\377\\377\\377\\177WAVEfmt \\020\\0\\0\\0\\001\\0\\001\\0\\200\\076\\0\\0"
      "\\0\\175\\0\\0\\002\\0\\020\\0data\\377\\377\\377\\177'\n"
      "head -c 3200 /dev/zero | tr '\\0' '\\1'\n"
      "sleep " + std::to_string(pauseS) + "\nhead -c 3200 /dev/zero | tr '\\0' '\\1'\n");
}

TEST(SpeechSynth, HandsSpeechOnAsTheProgramWritesIt) {
  const std::string prog = streamingScript(1);
  const auto t0 = std::chrono::steady_clock::now();
  std::vector<double> at;
  std::vector<int16_t> all;
  SpeechSynth(prog).speak("Hello.", [&](const int16_t* pcm, std::size_t n) {
    at.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    all.insert(all.end(), pcm, pcm + n);
    return true;
  });
  // The first samples came long before the program finished.
  ASSERT_GE(at.size(), 2u);
  EXPECT_LT(at.front(), 0.6);
  EXPECT_GE(at.back(), 0.9);
  EXPECT_EQ(all, std::vector<int16_t>(3200, 0x0101));
  EXPECT_EQ(SpeechSynth(prog).speak("Again."), all);
  removeScript(prog);
}

TEST(SpeechSynth, AListenerThatWantsNoMoreStopsTheProgram) {
  const std::string prog = streamingScript(600);
  const auto t0 = std::chrono::steady_clock::now();
  std::size_t got = 0;
  SpeechSynth(prog, "en-us", 60000).speak("Hello.", [&](const int16_t*, std::size_t n) {
    got += n;
    return false;
  });
  EXPECT_GT(got, 0u);
  EXPECT_LT(got, 1601u);
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 5.0);
  removeScript(prog);
}

TEST(SpeechSynth, ResamplingInPiecesMatchesResamplingAtOnce) {
  std::vector<int16_t> in(22050);
  for (std::size_t i = 0; i < in.size(); ++i) in[i] = int16_t(9000 * std::sin(0.05 * double(i)));
  const std::vector<int16_t> whole = resample(in, 22050, kSampleRate);
  Resampler r(22050, kSampleRate);
  std::vector<int16_t> pieces;
  for (std::size_t at = 0; at < in.size(); at += 1000) {
    const auto out = r.push(in.data() + at, std::min<std::size_t>(1000, in.size() - at));
    pieces.insert(pieces.end(), out.begin(), out.end());
  }
  const auto tail = r.flush();
  pieces.insert(pieces.end(), tail.begin(), tail.end());
  EXPECT_EQ(pieces, whole);
}

}  // namespace
}  // namespace le::live
