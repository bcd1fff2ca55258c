// Choosing and opening a bundle's driving video and warp-prior video.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "core/bundle/file_read.h"
#include "core/bundle/manifest.h"
#include "core/bundle/manifest_key.h"
#include "core/bundle/member_names.h"
#include "core/driver/driver_cursor.h"

namespace le {
namespace {

bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

// manifest.json as text; an unreadable manifest counts as empty.
std::string manifestText(const Manifest& m) {
  try {
    return readText(m.dir + "/manifest.json");
  } catch (const std::exception&) {
    return std::string();
  }
}

std::string memberName(const std::string& text, const char* key, const char* fallback) {
  std::string value;
  return manifest_key::optStr(text, key, value) ? value : std::string(fallback);
}

}  // namespace

std::unique_ptr<DriverCursor> DriverCursor::open(const Manifest& manifest, int lookAhead, int history) {
  const std::string text = manifestText(manifest);
  const std::string dirName = memberName(text, "target_frames", "target_frames");
  const std::string videoName = memberName(text, "target_frames_mp4", "target_frames.mp4");
  const std::string dirPath = manifest.dir + "/" + dirName;
  char last[32];
  std::snprintf(last, sizeof last, "/frame_%06d.jpg", manifest.NT - 1);
  const bool populated = exists(dirPath + last);
  const std::string videoPath = resolveMember(manifest.dir, videoName);
  const bool haveVideo = exists(videoPath);
  const char* prefer = std::getenv("LE_DRIVER_PREFER_MP4");
  const bool preferVideo = prefer && std::strcmp(prefer, "1") == 0 && haveVideo;

  if (preferVideo && populated) {
    std::fprintf(stderr,
                 "[le-driver] LE_DRIVER_PREFER_MP4=1 — %s/ is populated and NOT used; %s is the member this "
                 "consumer reads\n",
                 dirName.c_str(), videoName.c_str());
  }
  if (!preferVideo && populated) {
    std::fprintf(stderr, "[le-driver] %s/ (raw jpg, %d frames) — read one frame per pull\n", dirName.c_str(),
                 manifest.NT);
    return over(driver::openJpgDir(dirPath, manifest.NT, manifest.W, manifest.H), lookAhead, history);
  }
  if (haveVideo) {
    auto source = driver::openMp4(videoPath, manifest.NT, manifest.W, manifest.H);
    const std::string name = source->name();
    std::fprintf(stderr,
                 "[le-driver] %s decoded IN PLACE (%s, %d frames %dx%d, look-ahead %d, history %d) — no frame of "
                 "the driver is expanded ahead of the paste\n",
                 videoName.c_str(), name.c_str(), manifest.NT, manifest.W, manifest.H, std::max(lookAhead, 1),
                 std::max(history, 0));
    return over(std::move(source), lookAhead, history);
  }
  throw std::runtime_error("this bundle carries neither a populated " + dirName + "/ nor " + videoName + " (" +
                           videoPath + ") — there is no driver video to play. REFUSING to create a session.");
}

std::unique_ptr<DriverCursor> DriverCursor::openPrior(const Manifest& manifest, int lookAhead, int history) {
  const std::string name = memberName(manifestText(manifest), "P_hevc", "P_hevc.mov");
  const std::string path = resolveMember(manifest.dir, name);
  if (!exists(path)) {
    throw std::runtime_error("this bundle carries neither a raw P.f16 nor " + name + " (" + path +
                             ") — there is no warp prior to play. REFUSING to create a session.");
  }
  auto source = driver::openPriorHevc(path, manifest.NT, manifest.crop);
  std::fprintf(stderr,
               "Mirelund: identity source ready — %d frames %dx%d, played straight from %s (%s); nothing is "
               "unpacked to disk\n",
               manifest.NT, manifest.crop, manifest.crop, name.c_str(), source->name().c_str());
  return over(std::move(source), lookAhead, history);
}

}  // namespace le
