#include "core/bundle/imx_unwrap.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "core/bundle/imx_container.h"
#include "core/bundle/paths.h"

namespace le {

namespace {

constexpr size_t kCopyBuffer = 8u << 20;          // one streaming buffer per unwrap
constexpr uint64_t kManifestProbeMax = 4u << 20;  // largest manifest read to test for a stub
constexpr char kSyntheticTag[] = "_imx_synthetic_manifest";

// Serialises every unwrap in this process, including the stamp check.
std::mutex& unwrapMutex() {
  static std::mutex m;
  return m;
}

// Owns one descriptor.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) {
      reset();
      fd_ = o.fd_;
      o.fd_ = -1;
    }
    return *this;
  }
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  // Closes and reports whether the close (the last chance to see a write
  // error on some file systems) succeeded.
  bool close() {
    int fd = fd_;
    fd_ = -1;
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  int fd_;
};

struct FileCloser {
  void operator()(std::FILE* f) const {
    if (f) std::fclose(f);
  }
};

struct Paths {
  std::string dest, marker, lock, staging;
};

Paths pathsFor(const std::string& container) {
  Paths p;
  p.dest = unwrapDestination(container);
  p.marker = p.dest + ".imx_unwrapped";
  p.lock = p.dest + ".imx_lock";
  p.staging = p.dest + ".imx_partial";
  return p;
}

bool endsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool isDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string trim(const std::string& s) {
  const char* ws = " \t\r\n";
  size_t b = s.find_first_not_of(ws);
  if (b == std::string::npos) return std::string();
  size_t e = s.find_last_not_of(ws);
  return s.substr(b, e - b + 1);
}

// The marker's trimmed text; empty when it is missing or unreadable. A
// stamp is one short line, so anything longer cannot match anyway.
std::string readMarker(const std::string& marker) {
  Fd fd(::open(marker.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.ok()) return std::string();
  std::string text;
  char buf[4096];
  while (text.size() < 65536) {
    ssize_t r = ::read(fd.get(), buf, sizeof buf);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    text.append(buf, static_cast<size_t>(r));
  }
  return trim(text);
}

bool isFresh(const Paths& p, const std::string& stamp) {
  return isDirectory(p.dest) && readMarker(p.marker) == stamp;
}

// Splits a member name into its directory components and its file name,
// dropping empty and "." components. False when the name is unsafe: empty,
// absolute (either slash), holding "..", a NUL byte, or no file name.
bool splitSafeName(const std::string& name, std::vector<std::string>& dirs, std::string& leaf) {
  if (name.empty() || name[0] == '/' || name[0] == '\\') return false;
  if (name.find("..") != std::string::npos) return false;
  if (name.find('\0') != std::string::npos) return false;
  dirs.clear();
  size_t start = 0;
  for (;;) {
    size_t slash = name.find('/', start);
    std::string part = name.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (slash == std::string::npos) {
      leaf = part;
      break;
    }
    if (!part.empty() && part != ".") dirs.push_back(part);
    start = slash + 1;
  }
  // Deep trees are no bundle layout and would exhaust descriptors on removal.
  return !leaf.empty() && leaf != "." && dirs.size() <= 64;
}

[[noreturn]] void fail(const std::string& msg) { throw std::runtime_error(msg); }

ssize_t preadRetry(int fd, char* buf, size_t n, off_t off) {
  ssize_t r;
  do {
    r = ::pread(fd, buf, n, off);
  } while (r < 0 && errno == EINTR);
  return r;
}

bool writeAll(int fd, const char* buf, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, buf, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    buf += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// A generated stand-in manifest is never materialised: the real one, or
// none, must come from the bundle itself.
bool isSyntheticManifest(int fd, const ImxMember& m) {
  if (m.name != "manifest.json" || m.size < 1 || m.size > kManifestProbeMax) return false;
  if (m.offset > static_cast<uint64_t>(INT64_MAX)) return false;
  std::string text(static_cast<size_t>(m.size), '\0');
  size_t got = 0;
  while (got < text.size()) {
    ssize_t r = preadRetry(fd, &text[got], text.size() - got, static_cast<off_t>(m.offset + got));
    if (r <= 0) return false;  // unreadable: extracted like any other member
    got += static_cast<size_t>(r);
  }
  return text.find(kSyntheticTag) != std::string::npos;
}

// Opens (creating as needed) the member's directory below `root` one
// component at a time without following links, so that nothing a hostile
// container or another writer put there can lead outside the tree.
Fd openMemberDir(int root, const std::string& rootPath, const std::vector<std::string>& dirs) {
  Fd cur(::dup(root));
  std::string path = rootPath;
  for (const auto& d : dirs) {
    path += "/" + d;
    if (::mkdirat(cur.get(), d.c_str(), 0755) != 0 && errno != EEXIST) fail("cannot create " + path);
    Fd next(::openat(cur.get(), d.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next.ok()) fail("cannot create " + path);
    cur = std::move(next);
  }
  if (!cur.ok()) fail("cannot create " + path);
  return cur;
}

// Copies one member into `dirFd` under a temporary name and renames it into
// place, so that it never appears under its final name half-written.
void materialise(int src, const std::string& container, const ImxMember& m, int dirFd,
                 const std::string& dirPath, const std::string& leaf, std::vector<char>& buf) {
  const std::string target = dirPath + "/" + leaf;
  if (m.offset > static_cast<uint64_t>(INT64_MAX)) fail(container + ": cannot seek to member " + m.name);
  // O_EXCL keeps the temporary file from clobbering a member that happens
  // to carry the ".part" name itself.
  std::string tmpLeaf = leaf + ".part";
  Fd out;
  for (int attempt = 0; attempt < 100 && !out.ok(); ++attempt) {
    if (attempt) tmpLeaf = leaf + ".part" + std::to_string(attempt);
    out = Fd(::openat(dirFd, tmpLeaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!out.ok() && errno != EEXIST) break;
  }
  const std::string tmpPath = dirPath + "/" + tmpLeaf;
  if (!out.ok()) fail("cannot write " + tmpPath);
  auto discard = [&] { ::unlinkat(dirFd, tmpLeaf.c_str(), 0); };
  uint64_t done = 0;
  while (done < m.size) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(m.size - done, buf.size()));
    // Offsets past INT64_MAX do not exist in any file; the read fails there.
    uint64_t at = m.offset + done;
    ssize_t r = at > static_cast<uint64_t>(INT64_MAX) ? 0 : preadRetry(src, buf.data(), want, static_cast<off_t>(at));
    if (r <= 0) {
      discard();
      fail(container + ": truncated payload for member " + m.name);
    }
    if (!writeAll(out.get(), buf.data(), static_cast<size_t>(r))) {
      discard();
      fail("short write materialising " + target);
    }
    done += static_cast<uint64_t>(r);
  }
  if (::fsync(out.get()) != 0 || !out.close()) {
    discard();
    fail("flush failed materialising " + target);
  }
  if (::renameat(dirFd, tmpLeaf.c_str(), dirFd, leaf.c_str()) != 0) {
    discard();
    fail("cannot place member " + target);
  }
}

// Writes the marker through a temporary file so that it is either the
// whole stamp or absent.
void writeMarker(const std::string& marker, const std::string& stamp) {
  const std::string tmp = marker + ".tmp";
  ::unlink(tmp.c_str());
  Fd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!fd.ok()) fail("cannot write unwrap marker " + marker);
  if (!writeAll(fd.get(), stamp.data(), stamp.size()) || ::fsync(fd.get()) != 0 || !fd.close()) {
    ::unlink(tmp.c_str());
    fail("short write on unwrap marker " + marker);
  }
  if (::rename(tmp.c_str(), marker.c_str()) != 0) {
    ::unlink(tmp.c_str());
    fail("cannot write unwrap marker " + marker);
  }
}

void syncDir(const std::string& dir) {
  Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.ok()) ::fsync(fd.get());
}

// Unpacks every member of `container` into the empty directory `staging`.
void extractInto(const std::string& container, const std::string& staging) {
  std::unique_ptr<std::FILE, FileCloser> f(std::fopen(container.c_str(), "rbe"));
  if (!f) fail("cannot open container " + container);
  const std::vector<ImxMember> toc = readImxToc(f.get(), container);
  // Every name is checked before anything is written.
  struct Place {
    std::vector<std::string> dirs;
    std::string leaf;
  };
  std::vector<Place> places(toc.size());
  for (size_t i = 0; i < toc.size(); ++i) {
    if (!splitSafeName(toc[i].name, places[i].dirs, places[i].leaf))
      fail(container + ": refusing unsafe member name '" + toc[i].name + "'");
  }
  Fd root(::open(staging.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!root.ok()) fail("cannot create unwrap dir " + staging);
  const int src = ::fileno(f.get());
  // One streaming buffer, no larger than the largest member needs.
  uint64_t largest = 1;
  for (const auto& m : toc) largest = std::max(largest, m.size);
  std::vector<char> buf(static_cast<size_t>(std::min<uint64_t>(largest, kCopyBuffer)));
  for (size_t i = 0; i < toc.size(); ++i) {
    if (isSyntheticManifest(src, toc[i])) continue;
    std::string dirPath = staging;
    for (const auto& d : places[i].dirs) dirPath += "/" + d;
    Fd dir = openMemberDir(root.get(), staging, places[i].dirs);
    materialise(src, container, toc[i], dir.get(), dirPath, places[i].leaf, buf);
    ::fsync(dir.get());  // the rename itself must survive a power cut
  }
}

// Takes an exclusive lock on `path` (created when missing) for the life of
// the returned descriptor.
Fd lockFile(const std::string& path) {
  Fd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!fd.ok()) fail("cannot open unwrap lock " + path);
  while (::flock(fd.get(), LOCK_EX) != 0) {
    if (errno != EINTR) fail("cannot lock " + path);
  }
  return fd;
}

}  // namespace

std::string unwrapDestination(const std::string& container) {
  std::string name = baseName(container);
  if (endsWith(name, ".imx")) name.resize(name.size() - 4);
  if (!endsWith(name, ".lebundle")) name += ".lebundle";
  const char* env = std::getenv("LE_IMX_UNWRAP_ROOT");
  std::string root = env && *env ? std::string(env) : dirName(container);
  while (!root.empty() && root.back() == '/') root.pop_back();
  return root + "/" + name;
}

std::string unwrapStamp(const std::string& container) {
  // The container as read: a link is followed so that replacing its target
  // is noticed too.
  struct stat st;
  if (::stat(container.c_str(), &st) != 0) fail("cannot stat container " + container);
  long long mtimeNs = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  return "imx-unwrapped.v2 " + baseName(container) + " " + std::to_string(static_cast<long long>(st.st_size)) +
         " " + std::to_string(mtimeNs) + " " + std::to_string(static_cast<unsigned long long>(st.st_ino));
}

std::string unwrapOnce(const std::string& container) {
  std::lock_guard<std::mutex> guard(unwrapMutex());
  const Paths p = pathsFor(container);
  std::string stamp = unwrapStamp(container);
  // A fresh unwrap is reused without touching anything, so a read-only
  // location that already holds one keeps working.
  if (isFresh(p, stamp)) return p.dest;

  const std::string parent = dirName(p.dest);
  if (!mkdirs(parent)) fail("cannot create unwrap dir " + p.dest);
  Fd lock = lockFile(p.lock);
  // Another process may have finished the same unwrap while this one waited.
  stamp = unwrapStamp(container);
  if (isFresh(p, stamp)) return p.dest;

  // From here on the marker is absent until the new tree is complete, so a
  // crash at any point leaves a state the next resolution redoes.
  if (::unlink(p.marker.c_str()) != 0 && errno != ENOENT) fail("cannot remove unwrap marker " + p.marker);
  rmTree(p.staging);
  if (!mkdirs(p.staging)) fail("cannot create unwrap dir " + p.staging);
  try {
    extractInto(container, p.staging);
    syncDir(p.staging);
    int err = rmTree(p.dest);
    if (err != 0 && err != ENOENT) fail("cannot remove stale unwrap dir " + p.dest);
    if (::rename(p.staging.c_str(), p.dest.c_str()) != 0) fail("cannot create unwrap dir " + p.dest);
  } catch (...) {
    rmTree(p.staging);
    throw;
  }
  writeMarker(p.marker, stamp);
  syncDir(parent);
  std::fprintf(stderr, "[le] unwrapped %s -> %s\n", container.c_str(), p.dest.c_str());
  return p.dest;
}

}  // namespace le
