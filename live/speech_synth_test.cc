// The speech child: what it inherits and what happens when it hangs. Stand-in
// programs are shell scripts written by the test.
#include "live/speech_synth.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
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

}  // namespace
}  // namespace le::live
