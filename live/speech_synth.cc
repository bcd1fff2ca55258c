#include "live/speech_synth.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "live/frame_source.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

extern char** environ;

namespace le::live {
namespace {

uint32_t le32(const std::string& b, std::size_t at) {
  return uint32_t(uint8_t(b[at])) | uint32_t(uint8_t(b[at + 1])) << 8 | uint32_t(uint8_t(b[at + 2])) << 16 |
         uint32_t(uint8_t(b[at + 3])) << 24;
}
uint16_t le16(const std::string& b, std::size_t at) { return uint16_t(uint8_t(b[at]) | uint8_t(b[at + 1]) << 8); }

// Holds SIGPIPE back from this thread while the child's input is written:
// a child that exits early must fail the call, not end the process. A
// signal raised meanwhile is taken before the mask is restored.
class PipeSignalBlock {
 public:
  PipeSignalBlock() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigpending(&before_);
    pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
  }
  ~PipeSignalBlock() {
    sigset_t now;
    sigpending(&now);
    if (!sigismember(&before_, SIGPIPE) && sigismember(&now, SIGPIPE)) {
      const timespec zero{0, 0};
      sigtimedwait(&pipe_, nullptr, &zero);
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }

 private:
  sigset_t pipe_, before_, old_;
};

// Closes a descriptor once.
struct Fd {
  int fd = -1;
  ~Fd() { reset(); }
  void reset() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

}  // namespace

std::vector<int16_t> parseWav(const std::string& b, int& rate) {
  if (b.size() < 12 || b.compare(0, 4, "RIFF") != 0 || b.compare(8, 4, "WAVE") != 0)
    throw std::runtime_error("Speech: the synthesiser's output is not a WAV file.");
  std::size_t at = 12;
  bool haveFmt = false;
  while (at + 8 <= b.size()) {
    const std::string id = b.substr(at, 4);
    const uint32_t size = le32(b, at + 4);
    const std::size_t body = at + 8;
    if (id == "fmt ") {
      if (size < 16 || body + 16 > b.size()) throw std::runtime_error("Speech: truncated WAV format chunk.");
      const uint16_t format = le16(b, body), channels = le16(b, body + 2), bits = le16(b, body + 14);
      rate = int(le32(b, body + 4));
      if (format != 1 || channels != 1 || bits != 16 || rate <= 0)
        throw std::runtime_error("Speech: expected 16-bit mono PCM, got format " + std::to_string(format) + ", " +
                                 std::to_string(channels) + " channels, " + std::to_string(bits) + " bits.");
      haveFmt = true;
    } else if (id == "data") {
      if (!haveFmt) throw std::runtime_error("Speech: WAV data before its format chunk.");
      // A streamed WAV leaves the size unknown (0 or 0x7fff....): take the rest.
      const std::size_t n = std::min<std::size_t>(size, b.size() - body) / 2;
      std::vector<int16_t> out(n);
      for (std::size_t i = 0; i < n; ++i) out[i] = int16_t(le16(b, body + 2 * i));
      return out;
    }
    at = body + size + (size & 1);
  }
  throw std::runtime_error("Speech: the WAV file has no data chunk.");
}

std::vector<int16_t> resample(const std::vector<int16_t>& in, int fromRate, int toRate) {
  if (fromRate == toRate || in.empty()) return in;
  AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
  SwrContext* swr = nullptr;
  if (swr_alloc_set_opts2(&swr, &mono, AV_SAMPLE_FMT_S16, toRate, &mono, AV_SAMPLE_FMT_S16, fromRate, 0, nullptr) <
          0 ||
      swr_init(swr) < 0) {
    swr_free(&swr);
    throw std::runtime_error("Speech: cannot resample from " + std::to_string(fromRate) + " Hz to " +
                             std::to_string(toRate) + " Hz.");
  }
  std::vector<int16_t> out(std::size_t(swr_get_out_samples(swr, int(in.size()))) + 64);
  const uint8_t* src[1] = {reinterpret_cast<const uint8_t*>(in.data())};
  uint8_t* dst[1] = {reinterpret_cast<uint8_t*>(out.data())};
  int got = swr_convert(swr, dst, int(out.size()), src, int(in.size()));
  int total = got < 0 ? 0 : got;
  // Drain what the filter still holds.
  while (got > 0 && std::size_t(total) < out.size()) {
    uint8_t* rest[1] = {reinterpret_cast<uint8_t*>(out.data() + total)};
    got = swr_convert(swr, rest, int(out.size()) - total, nullptr, 0);
    if (got > 0) total += got;
  }
  swr_free(&swr);
  out.resize(std::size_t(total));
  return out;
}

SpeechSynth::SpeechSynth(std::string program, std::string voice, int timeoutMs)
    : program_(std::move(program)), voice_(std::move(voice)), timeoutMs_(timeoutMs) {}

std::vector<int16_t> SpeechSynth::speak(const std::string& text) const {
  Fd inR, inW, outR, outW;
  int p[2];
  if (::pipe2(p, O_CLOEXEC) != 0) throw std::runtime_error(std::string("Speech: pipe: ") + std::strerror(errno) + ".");
  inR.fd = p[0];
  inW.fd = p[1];
  if (::pipe2(p, O_CLOEXEC) != 0) throw std::runtime_error(std::string("Speech: pipe: ") + std::strerror(errno) + ".");
  outR.fd = p[0];
  outW.fd = p[1];

  // The child gets its pipes and standard error, nothing else: a listening
  // or viewer socket held open by it would outlive the server's own close.
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, inR.fd, 0);
  posix_spawn_file_actions_adddup2(&fa, outW.fd, 1);
  posix_spawn_file_actions_addclosefrom_np(&fa, 3);
  // Its own process group, so that a kill reaches anything it started.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attr, 0);
  std::vector<std::string> args = {program_, "-v", voice_, "--stdin", "--stdout"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, program_.c_str(), &fa, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  if (rc != 0)
    throw std::runtime_error("Speech: cannot run " + program_ + ": " + std::strerror(rc) +
                             " (is the espeak-ng package installed?).");
  inR.reset();
  outW.reset();

  // Feed the text and collect the WAV together, without blocking, until the
  // program closes its output or its time is up.
  ::fcntl(inW.fd, F_SETFL, O_NONBLOCK);
  const PipeSignalBlock noPipeSignal;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs_);
  std::size_t off = 0;
  if (text.empty()) inW.reset();
  std::string wav;
  char buf[1 << 15];
  bool overran = false;
  while (outR.fd >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      overran = true;
      break;
    }
    pollfd fds[2] = {{outR.fd, POLLIN, 0}, {inW.fd, POLLOUT, 0}};
    const int n = ::poll(fds, inW.fd >= 0 ? 2 : 1, int(left.count()));
    if (n < 0 && errno != EINTR) break;
    if (n <= 0) continue;
    if (inW.fd >= 0 && fds[1].revents) {
      const ssize_t w = ::write(inW.fd, text.data() + off, text.size() - off);
      if (w > 0) off += std::size_t(w);
      if ((w < 0 && errno != EAGAIN && errno != EINTR) || off == text.size()) inW.reset();
    }
    if (fds[0].revents) {
      const ssize_t r = ::read(outR.fd, buf, sizeof buf);
      if (r > 0) wav.append(buf, std::size_t(r));
      else if (r == 0 || (errno != EINTR && errno != EAGAIN)) outR.reset();
    }
  }
  inW.reset();
  outR.reset();
  // A program that closed its output may still hang instead of exiting.
  int status = 0;
  for (;;) {
    const pid_t got = overran ? 0 : ::waitpid(pid, &status, WNOHANG);
    if (got == pid || (got < 0 && errno != EINTR)) break;
    if (got == 0 && (overran || std::chrono::steady_clock::now() >= deadline)) {
      overran = true;
      ::kill(-pid, SIGKILL);
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      break;
    }
    ::usleep(2000);
  }
  if (overran)
    throw std::runtime_error("Speech: " + program_ + " did not finish within " + std::to_string(timeoutMs_) +
                             " ms and was stopped.");
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw std::runtime_error("Speech: " + program_ + " failed (status " + std::to_string(status) + ").");
  int rate = 0;
  std::vector<int16_t> pcm = parseWav(wav, rate);
  if (pcm.empty()) throw std::runtime_error("Speech: " + program_ + " produced no audio for the text.");
  return resample(pcm, rate, kSampleRate);
}

}  // namespace le::live
