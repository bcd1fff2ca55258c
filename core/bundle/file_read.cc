#include "core/bundle/file_read.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace le {

namespace {

// Closes a descriptor on every path out of a reader.
struct Fd {
  int fd;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

ssize_t readRetry(int fd, char* buf, size_t n) {
  ssize_t r;
  do {
    r = ::read(fd, buf, n);
  } while (r < 0 && errno == EINTR);
  return r;
}

}  // namespace

// Opens are non-blocking, so that a FIFO under a member name cannot stall
// the load: it reads as empty, or is refused as not a regular file.
std::string readFile(const std::string& path) {
  Fd f{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
  struct stat st;
  // A directory or device has no meaningful size to read "whole".
  if (f.fd < 0 || ::fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode))
    throw std::runtime_error("cannot open " + path);
  std::string out(static_cast<size_t>(st.st_size), '\0');
  size_t got = 0;
  while (got < out.size()) {
    ssize_t r = readRetry(f.fd, &out[got], out.size() - got);
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  if (got != out.size()) throw std::runtime_error("short read " + path);
  return out;
}

std::string readText(const std::string& path) {
  Fd f{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
  if (f.fd < 0) throw std::runtime_error("cannot open " + path);
  std::string out;
  char buf[8192];
  for (;;) {
    ssize_t r = readRetry(f.fd, buf, sizeof buf);
    if (r <= 0) break;
    out.append(buf, static_cast<size_t>(r));
  }
  return out;
}

}  // namespace le
