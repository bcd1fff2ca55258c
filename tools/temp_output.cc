#include "tools/temp_output.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace le::tools {
namespace {

// The file a signal removes: a fixed buffer, since the handler may not allocate.
char gTempPath[4096] = {0};

void removeTempOnSignal(int sig) {
  if (gTempPath[0]) unlink(gTempPath);
  signal(sig, SIG_DFL);
  raise(sig);
}

}  // namespace

TempOutput::TempOutput(const std::string& out) : out_(out) {
  struct stat st {};
  if (stat(out.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
    throw std::runtime_error("cannot write " + out + ": it is a directory");
  const size_t slash = out.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : out.substr(0, slash + (slash == 0));
  const std::string base = slash == std::string::npos ? out : out.substr(slash + 1);
  std::string tmpl =
      (slash == std::string::npos ? std::string() : out.substr(0, slash + 1)) + "." + base + ".XXXXXX.part";
  const int fd = mkstemps(tmpl.data(), 5);
  if (fd < 0) throw std::runtime_error("cannot write " + out + ": " + std::strerror(errno) + " (in " + dir + ")");
  // mkstemps makes the file private; the finished video gets the usual
  // permissions of a new file.
  const mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask);
  close(fd);
  path_ = tmpl;
  std::snprintf(gTempPath, sizeof gTempPath, "%s", path_.c_str());
  signal(SIGINT, removeTempOnSignal);
  signal(SIGTERM, removeTempOnSignal);
  signal(SIGHUP, removeTempOnSignal);
}

TempOutput::~TempOutput() {
  if (!path_.empty()) unlink(path_.c_str());
  gTempPath[0] = 0;
}

void TempOutput::commit() {
  if (rename(path_.c_str(), out_.c_str()) != 0)
    throw std::runtime_error("cannot write " + out_ + ": " + std::strerror(errno));
  path_.clear();
  gTempPath[0] = 0;
}

}  // namespace le::tools
