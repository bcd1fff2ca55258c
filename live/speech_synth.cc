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
#include <memory>
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

std::size_t wavDataOffset(const std::string& b, int& rate) {
  if (b.size() < 12) return std::string::npos;
  if (b.compare(0, 4, "RIFF") != 0 || b.compare(8, 4, "WAVE") != 0)
    throw std::runtime_error("Speech: the synthesiser's output is not a WAV file.");
  std::size_t at = 12;
  bool haveFmt = false;
  while (at + 8 <= b.size()) {
    const std::string id = b.substr(at, 4);
    const uint32_t size = le32(b, at + 4);
    const std::size_t body = at + 8;
    if (id == "fmt ") {
      if (size < 16) throw std::runtime_error("Speech: truncated WAV format chunk.");
      if (body + 16 > b.size()) return std::string::npos;
      const uint16_t format = le16(b, body), channels = le16(b, body + 2), bits = le16(b, body + 14);
      rate = int(le32(b, body + 4));
      if (format != 1 || channels != 1 || bits != 16 || rate <= 0)
        throw std::runtime_error("Speech: expected 16-bit mono PCM, got format " + std::to_string(format) + ", " +
                                 std::to_string(channels) + " channels, " + std::to_string(bits) + " bits.");
      haveFmt = true;
    } else if (id == "data") {
      if (!haveFmt) throw std::runtime_error("Speech: WAV data before its format chunk.");
      return body;
    }
    at = body + size + (size & 1);
  }
  return std::string::npos;
}

std::vector<int16_t> parseWav(const std::string& b, int& rate) {
  const std::size_t body = wavDataOffset(b, rate);
  if (body == std::string::npos) {
    if (b.size() < 12) throw std::runtime_error("Speech: the synthesiser's output is not a WAV file.");
    throw std::runtime_error("Speech: the WAV file has no data chunk.");
  }
  // A streamed WAV leaves the size unknown (0 or 0x7fff....): take the rest.
  const std::size_t n = std::min<std::size_t>(le32(b, body - 4), b.size() - body) / 2;
  std::vector<int16_t> out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = int16_t(le16(b, body + 2 * i));
  return out;
}

Resampler::Resampler(int fromRate, int toRate) : from_(fromRate), to_(toRate) {
  if (fromRate == toRate) return;
  AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
  if (swr_alloc_set_opts2(&swr_, &mono, AV_SAMPLE_FMT_S16, toRate, &mono, AV_SAMPLE_FMT_S16, fromRate, 0, nullptr) <
          0 ||
      swr_init(swr_) < 0) {
    swr_free(&swr_);
    throw std::runtime_error("Speech: cannot resample from " + std::to_string(fromRate) + " Hz to " +
                             std::to_string(toRate) + " Hz.");
  }
}

Resampler::~Resampler() { swr_free(&swr_); }

std::vector<int16_t> Resampler::push(const int16_t* in, std::size_t n) {
  if (!swr_) return std::vector<int16_t>(in, in + n);
  std::vector<int16_t> out(std::size_t(swr_get_out_samples(swr_, int(n))) + 64);
  const uint8_t* src[1] = {reinterpret_cast<const uint8_t*>(in)};
  uint8_t* dst[1] = {reinterpret_cast<uint8_t*>(out.data())};
  const int got = swr_convert(swr_, dst, int(out.size()), n ? src : nullptr, int(n));
  out.resize(std::size_t(std::max(got, 0)));
  return out;
}

std::vector<int16_t> Resampler::flush() {
  std::vector<int16_t> out;
  if (!swr_) return out;
  // Drain what the filter still holds.
  for (;;) {
    std::vector<int16_t> more = push(nullptr, 0);
    if (more.empty()) return out;
    out.insert(out.end(), more.begin(), more.end());
  }
}

std::vector<int16_t> resample(const std::vector<int16_t>& in, int fromRate, int toRate) {
  if (fromRate == toRate || in.empty()) return in;
  Resampler r(fromRate, toRate);
  std::vector<int16_t> out = r.push(in.data(), in.size());
  const std::vector<int16_t> tail = r.flush();
  out.insert(out.end(), tail.begin(), tail.end());
  return out;
}

SpeechSynth::SpeechSynth(std::string program, std::string voice, int timeoutMs)
    : program_(std::move(program)), voice_(std::move(voice)), timeoutMs_(timeoutMs) {}

std::vector<int16_t> SpeechSynth::speak(const std::string& text) const {
  std::vector<int16_t> all;
  speak(text, [&](const int16_t* pcm, std::size_t n) {
    all.insert(all.end(), pcm, pcm + n);
    return true;
  });
  return all;
}

void SpeechSynth::speak(const std::string& text, const SpeechPiece& piece) const {
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
  // The WAV header until its data starts, then the samples as they come,
  // resampled and handed on piece by piece.
  std::string head;
  std::size_t dataAt = std::string::npos;
  std::unique_ptr<Resampler> resampler;
  std::string odd;  // a sample's first byte, waiting for its second
  std::size_t delivered = 0;
  bool wanted = true;
  auto deliver = [&](const std::vector<int16_t>& pcm) {
    if (pcm.empty() || !wanted) return;
    delivered += pcm.size();
    wanted = piece(pcm.data(), pcm.size());
  };
  auto take = [&](const char* p, std::size_t n) {
    if (dataAt == std::string::npos) {
      head.append(p, n);
      int rate = 0;
      dataAt = wavDataOffset(head, rate);
      if (dataAt == std::string::npos) return;
      resampler = std::make_unique<Resampler>(rate, kSampleRate);
      odd = head.substr(dataAt);
    } else {
      odd.append(p, n);
    }
    std::vector<int16_t> pcm(odd.size() / 2);
    for (std::size_t i = 0; i < pcm.size(); ++i) pcm[i] = int16_t(le16(odd, 2 * i));
    odd.erase(0, 2 * pcm.size());
    deliver(resampler->push(pcm.data(), pcm.size()));
  };
  char buf[1 << 15];
  bool overran = false, failed = false;
  std::string failure;
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
      if (r > 0) {
        try {
          take(buf, std::size_t(r));
        } catch (const std::exception& e) {
          failed = true;
          failure = e.what();
        }
      } else if (r == 0 || (errno != EINTR && errno != EAGAIN)) {
        outR.reset();
      }
      // Nobody wants the rest, or it cannot be read: the program is stopped below.
      if (!wanted || failed) break;
    }
  }
  inW.reset();
  outR.reset();
  // A program that closed its output may still hang instead of exiting.
  int status = 0;
  const bool stop = overran || failed || !wanted;
  for (;;) {
    const pid_t got = stop ? 0 : ::waitpid(pid, &status, WNOHANG);
    if (got == pid || (got < 0 && errno != EINTR)) break;
    if (got == 0 && (stop || std::chrono::steady_clock::now() >= deadline)) {
      overran = !failed && wanted;
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
  if (failed) throw std::runtime_error(failure);
  if (!wanted) return;
  // Where spawning cannot report a failed exec (qemu-user runs the child
  // as a fork), the child exits 127 without a byte of output instead.
  if (WIFEXITED(status) && WEXITSTATUS(status) == 127 && head.empty())
    throw std::runtime_error("Speech: cannot run " + program_ + ": " + std::strerror(ENOENT) +
                             " (is the espeak-ng package installed?).");
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw std::runtime_error("Speech: " + program_ + " failed (status " + std::to_string(status) + ").");
  if (dataAt == std::string::npos) {
    int rate = 0;
    parseWav(head, rate);  // throws, saying what the output lacks
  }
  deliver(resampler->flush());
  if (delivered == 0) throw std::runtime_error("Speech: " + program_ + " produced no audio for the text.");
}

}  // namespace le::live
