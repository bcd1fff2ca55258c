#include "tools/bundle_doctor.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "core/audio/a2x_stream.h"
#include "core/audio/fca.h"
#include "core/audio/motion.h"
#include "core/audio/motion_tables.h"
#include "core/bundle/bundle_path.h"
#include "core/bundle/drive.h"
#include "core/bundle/identity.h"
#include "core/bundle/manifest.h"
#include "core/bundle/manifest_key.h"
#include "core/bundle/member_names.h"
#include "core/bundle/paths.h"
#include "core/driver/driver_cursor.h"
#include "core/driver/source.h"
#include "core/paste/paste.h"
#include "core/render/renderer.h"
#include "core/session/context.h"
#include "core/tessera/bank_track.h"
#include "core/tessera/carriage.h"
#include "core/tessera/head_weights.h"
#include "core/tessera/lip_contour.h"
#include "core/tessera/members.h"

namespace le::doctor {

const char* statusName(Status s) {
  switch (s) {
    case Status::kAccepted: return "accepted";
    case Status::kRefused: return "refused";
    case Status::kAbsent: return "absent";
    case Status::kUnchecked: return "unchecked";
    case Status::kUnread: return "unread";
  }
  return "?";
}

const MemberReport* BundleReport::find(const std::string& member) const {
  for (const MemberReport& m : members)
    if (m.member == member) return &m;
  return nullptr;
}

std::vector<const MemberReport*> BundleReport::refused() const {
  std::vector<const MemberReport*> out;
  for (const MemberReport& m : members)
    if (m.status == Status::kRefused) out.push_back(&m);
  return out;
}

namespace {

// The speech models' own files, which their loaders name as they open them.
const char* const kA2xMembers[] = {"a2x_meta.json", "a2x_pos.f32", "a2x_norm.f32", "a2x_enc_stream.onnx",
                                   "a2x_dec.onnx", "xs_target.bin"};
const char* const kMotionMembers[] = {"meta.json", "hubert_student.onnx", "lmdm.onnx", "stitch.onnx",
                                      "hubert_stft_window.bin", "hubert_stft_binmat.bin", "hubert_fmean.bin",
                                      "hubert_fstd.bin", "emo.bin", "ch_xs_info.bin", "ch_sc.bin",
                                      "ch_eye_open.bin", "ch_eye_ball.bin", "v_min_max.bin", "src_xs_info.bin",
                                      "xs_target.bin"};

// Refusals of this many members that the manifest sizes are laid at the
// manifest as well.
constexpr size_t kManifestSuspect = 3;
const char* const kSizedByManifest[] = {"pooled64.f16", "P.f16", "fs_red.f16", "M.f32", "drive/xs.f32",
                                        "drive/xd.f32", "drive/si.i32", "mask_512.u8", "xs_target.bin",
                                        "target_frames", "target_frames.mp4", "P_hevc.mov"};
// Member stems shorter than this are not looked for in refusal messages.
constexpr size_t kShortestStem = 4;

bool isDir(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The files under `root` (a directory linked in more than once, or into
// itself, is walked once), as paths relative to it.
void listFiles(const std::string& root, const std::string& rel, std::vector<std::string>& out,
               std::set<std::pair<dev_t, ino_t>>& walked) {
  const std::string here = rel.empty() ? root : root + "/" + rel;
  struct stat st {};
  if (stat(here.c_str(), &st) != 0 || !walked.insert({st.st_dev, st.st_ino}).second) return;
  DIR* d = opendir(here.c_str());
  if (!d) return;
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    const std::string child = rel.empty() ? name : rel + "/" + name;
    if (isDir(root + "/" + child)) listFiles(root, child, out, walked);
    else out.push_back(child);
  }
  closedir(d);
}

void listFiles(const std::string& root, const std::string& rel, std::vector<std::string>& out) {
  std::set<std::pair<dev_t, ino_t>> walked;
  listFiles(root, rel, out, walked);
}

uint64_t fileBytes(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
}

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The member a manifest key names, else `fallback` (also when the manifest
// cannot be read).
std::string memberNamed(const std::string& dir, const char* key, const char* fallback) {
  std::string value;
  return manifest_key::optStr(readText(dir + "/manifest.json"), key, value) && !value.empty() ? value
                                                                                              : std::string(fallback);
}

// Decodes every loop frame of a source through the engine's cursor, so that
// each frame meets the same checks as when the engine plays it.
void playAll(std::unique_ptr<driver::Source> source) {
  auto cursor = DriverCursor::over(std::move(source), 1, 0);
  std::vector<uint8_t> frame(cursor->frameBytes());
  for (int i = 0; i < cursor->NT(); ++i) cursor->pullAt(i, frame.data());
}

class Examiner {
 public:
  Examiner(BundleReport& report, std::string dir) : report_(report), dir_(std::move(dir)) {}

  // Runs `load` for the members it reads (`covers`). Accepted: each present
  // member not already refused is accepted. Refused: the member the message
  // names (else `fallback`) is refused with it; the others are unchecked.
  bool check(const std::vector<std::string>& covers, const std::string& fallback,
             const std::function<void()>& load) {
    for (const std::string& m : covers) entry(m);
    try {
      load();
    } catch (const std::exception& e) {
      refuse(covers, fallback, e.what());
      return false;
    }
    for (const std::string& m : covers) {
      MemberReport& r = entry(m);
      if (r.status == Status::kAbsent || r.status == Status::kUnchecked) {
        if (present(m)) r.status = Status::kAccepted, r.detail.clear();
      }
    }
    return true;
  }

  // Members the report lists although nothing could read them.
  void skip(const std::vector<std::string>& covers, const std::string& why) {
    for (const std::string& m : covers) {
      MemberReport& r = entry(m);
      if (r.status == Status::kAbsent && present(m)) r.status = Status::kUnchecked, r.detail = why;
    }
  }

  bool present(const std::string& member) const {
    const std::string path = resolveMember(dir_, member);
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
  }

  // The report line of `member`, created (absent, with its size) on first use.
  MemberReport& entry(const std::string& member) {
    for (MemberReport& r : report_.members)
      if (r.member == member) return r;
    MemberReport r;
    r.member = member;
    r.present = present(member);
    const std::string path = resolveMember(dir_, member);
    if (isDir(path)) {
      std::vector<std::string> files;
      listFiles(path, "", files);
      for (const std::string& f : files) r.bytes += fileBytes(path + "/" + f);
    } else {
      r.bytes = fileBytes(path);
    }
    report_.members.push_back(r);
    return report_.members.back();
  }

  // The name the member has on disk: its own, or the canonical one it was found under.
  std::string onDisk(const std::string& member) const {
    const std::string path = resolveMember(dir_, member);
    return path.size() > dir_.size() + 1 ? path.substr(dir_.size() + 1) : member;
  }

 private:
  void refuse(const std::vector<std::string>& covers, const std::string& fallback, const std::string& message) {
    std::string blamed;
    size_t best = 0;
    // The longest name the message mentions; a bare stem ("xs_target") counts
    // too, unless it is short enough to turn up inside any word ("P", "M").
    for (const std::string& m : covers) {
      std::string stem = m.substr(0, m.rfind('.'));
      if (stem.size() < kShortestStem) stem = m;
      for (const std::string& name : {m, onDisk(m), stem}) {
        if (name.size() > best && message.find(name) != std::string::npos) blamed = m, best = name.size();
      }
    }
    if (blamed.empty()) blamed = fallback;
    MemberReport& r = entry(blamed);
    // A second loader refusing the same member adds its reason.
    r.detail = r.status == Status::kRefused ? r.detail + "; " + message : message;
    r.status = Status::kRefused;
    for (const std::string& m : covers) {
      MemberReport& other = entry(m);
      if (m != blamed && other.status == Status::kAbsent && present(m))
        other.status = Status::kUnchecked, other.detail = "not reached: " + blamed + " stopped the loader";
    }
  }

  BundleReport& report_;
  std::string dir_;
};

// "model_b1_fp32.onnx" -> "b1_fp32"; "render_model.batch4.int8.onnx" -> "b4_int8"; else "".
std::string directorKey(const std::string& file) {
  const std::string suffix = ".onnx";
  if (file.size() <= suffix.size() || file.compare(file.size() - suffix.size(), suffix.size(), suffix) != 0)
    return "";
  const std::string stem = file.substr(0, file.size() - suffix.size());
  if (stem.rfind("model_", 0) == 0 && stem.size() > 6) return stem.substr(6);
  const std::string canon = "render_model.batch";
  if (stem.rfind(canon, 0) == 0 && stem.size() > canon.size()) {
    std::string tail = stem.substr(canon.size());
    std::replace(tail.begin(), tail.end(), '.', '_');
    return "b" + tail;
  }
  return "";
}

void examineRendering(BundleReport& report, Examiner& ex, const Manifest& manifest, const Options& options);

void examineInto(BundleReport& report, const Options& options) {
  try {
    report.dir = resolveBundlePath(report.path);
  } catch (const std::exception& e) {
    report.members.push_back({baseName(report.path), Status::kRefused, e.what(), fileBytes(report.path), true});
    return;
  }
  const std::string dir = report.dir;
  Examiner ex(report, dir);

  Manifest manifest;
  if (ex.check({"manifest.json"}, "manifest.json", [&] { manifest = loadManifest(dir); }))
    examineRendering(report, ex, manifest, options);

  // Teeth: the four members, the head's weights and every donor of the bank
  // track. Their loader reads the bundle by itself, so it runs whatever the
  // manifest's fate.
  const TesseraCarriage carriage = tesseraCarriage(dir);
  const std::vector<std::string> teeth(carriage.names.begin(), carriage.names.end());
  if (int(carriage.missing.size()) < tesseraSlotCount()) {
    std::vector<std::string> covers = teeth;
    covers.push_back("manifest.json");
    TesseraAttachInputs in;
    report.teeth = ex.check(covers, carriage.names[1], [&] { in = loadTesseraMembers(dir); }) &&
                   ex.check({carriage.names[2]}, carriage.names[2],
                            [&] { tessera::loadHeadPt(in.head_pt.data(), in.head_pt.size()); }) &&
                   ex.check({carriage.names[0]}, carriage.names[0], [&] {
                     const std::string track = readText(in.bank_track_path);
                     tessera::decodeBankTrack(reinterpret_cast<const uint8_t*>(track.data()), track.size(),
                                              in.n_donors, in.band_h, in.band_w, in.track_order);
                   });
  }

  // Many members refused at once point at what sizes them all: the manifest.
  std::vector<const MemberReport*> refused;
  for (const MemberReport* m : report.refused())
    if (std::find(std::begin(kSizedByManifest), std::end(kSizedByManifest), m->member) != std::end(kSizedByManifest))
      refused.push_back(m);
  if (refused.size() >= kManifestSuspect && report.find("manifest.json")->status == Status::kAccepted) {
    std::string names;
    for (const MemberReport* m : refused) names += (names.empty() ? "" : ", ") + m->member;
    MemberReport& m = ex.entry("manifest.json");
    m.status = Status::kRefused;
    m.detail = std::to_string(refused.size()) + " members disagree with the sizes it declares (" + names +
               "); its NT " + std::to_string(manifest.NT) + ", frames " + std::to_string(manifest.frames) +
               ", crop " + std::to_string(manifest.crop) + " or canvas " + std::to_string(manifest.W) + "x" +
               std::to_string(manifest.H) + " is the likelier fault";
  }

  // Files no loader reads (a misspelt member shows up here), and the sizes.
  const std::string jpegDir = memberNamed(dir, "target_frames", "target_frames");
  std::vector<std::string> files;
  listFiles(dir, "", files);
  std::sort(files.begin(), files.end());
  std::set<std::string> covered;
  for (const MemberReport& m : report.members) covered.insert(ex.onDisk(m.member));
  for (const std::string& f : files) {
    report.totalBytes += fileBytes(dir + "/" + f);
    const size_t slash = f.find('/');
    if (covered.count(f)) continue;
    if (slash != std::string::npos && f.compare(0, slash, jpegDir) == 0) {
      // Frames past the loop's end are never read.
      int index = -1;
      if (std::sscanf(f.c_str() + slash + 1, "frame_%d.jpg", &index) == 1 && index >= 0 && index < manifest.NT)
        continue;
    }
    if (f.rfind(".coreml_cache/", 0) == 0) continue;
    if (report.find("manifest.json")->status == Status::kAccepted)
      report.members.push_back({f, Status::kUnread, "no loader of the engine reads it", fileBytes(dir + "/" + f), true});
    else
      report.members.push_back(
          {f, Status::kUnchecked, "not reached: the manifest was refused", fileBytes(dir + "/" + f), true});
  }
}

// What a context and its directors and speech sources read.
void examineRendering(BundleReport& report, Examiner& ex, const Manifest& manifest, const Options& options) {
  const std::string& dir = report.dir;
  report.width = manifest.W;
  report.height = manifest.H;
  report.crop = manifest.crop;
  report.loopFrames = manifest.NT;
  report.driveFrames = manifest.frames;
  auto memberNamed = [&](const char* key, const char* fallback) { return doctor::memberNamed(dir, key, fallback); };

  // Identity, drive data and paste mask: what every context reads.
  const std::string priorVideo = memberNamed("P_hevc", "P_hevc.mov");
  std::unique_ptr<Identity> identity;
  bool opens = ex.check({"pooled64.f16", "P.f16", "fs_red.f16", priorVideo, "M.f32"}, "manifest.json",
                        [&] { identity = std::make_unique<Identity>(manifest); });
  opens &= ex.check({"drive/xs.f32", "drive/xd.f32", "drive/si.i32"}, "drive/si.i32", [&] { loadDrive(manifest); });
  opens &= ex.check({"mask_512.u8"}, "mask_512.u8", [&] {
    const Paste paste(readPasteMask(resolveMember(dir, "mask_512.u8"), manifest.crop), manifest.crop,
                      manifest.unsharp);
  });
  // An empty template reads as none; the doctor still says it is unusable.
  if (ex.present("lip_template.v1.json")) {
    const bool lipOk = ex.check({"lip_template.v1.json"}, "lip_template.v1.json", [&] {
      tessera::LipContour::fromTemplateJson(readText(resolveMember(dir, "lip_template.v1.json")), manifest.crop);
    });
    if (!manifest.lipTemplateJson.empty()) opens &= lipOk;
  }

  // Driving video: both forms when both are there, every frame decoded.
  const std::string jpegDir = memberNamed("target_frames", "target_frames");
  const std::string drivingVideo = memberNamed("target_frames_mp4", "target_frames.mp4");
  if (isDir(dir + "/" + jpegDir))
    ex.check({jpegDir}, jpegDir, [&] {
      playAll(driver::openJpgDir(dir + "/" + jpegDir, manifest.NT, manifest.W, manifest.H));
    });
  if (ex.present(drivingVideo))
    ex.check({drivingVideo}, drivingVideo, [&] {
      playAll(driver::openMp4(resolveMember(dir, drivingVideo), manifest.NT, manifest.W, manifest.H));
    });
  if (ex.present(priorVideo))
    ex.check({priorVideo}, priorVideo, [&] {
      playAll(driver::openPriorHevc(resolveMember(dir, priorVideo), manifest.NT, manifest.crop));
    });
  // The driving video the engine itself picks must play.
  opens &= ex.check({jpegDir, drivingVideo}, drivingVideo, [&] { DriverCursor::open(manifest, 1, 0); });

  // Directors: every model file, each loaded with its declared shapes.
  std::vector<std::string> files;
  listFiles(dir, "", files);
  std::sort(files.begin(), files.end());
  for (const std::string& f : files) {
    const std::string key = directorKey(f);
    if (key.empty() || f.find('/') != std::string::npos) continue;
    if (!identity) {
      ex.skip({f}, "not reached: the identity data was refused");
      continue;
    }
    int batch = 0;
    if (ex.check({f}, f, [&] { batch = Renderer(manifest, *identity, key, 1, "").batch(); }))
      report.directors.push_back({key, batch});
  }

  // Speech sources.
  if (ex.present("xs_target.bin"))
    ex.check({"xs_target.bin"}, "xs_target.bin", [&] {
      motion::readTable(resolveMember(dir, "xs_target.bin"), size_t(manifest.NT) * Motion::kValues);
    });
  std::string encoder = options.speechEncoder;
  if (encoder.empty() && std::getenv("W2V_ONNX")) encoder = std::getenv("W2V_ONNX");
  const std::string noEncoder = "not checked: needs a speech encoder (--encoder FILE or $W2V_ONNX)";
  if (ex.present("a2x_meta.json")) {
    const std::vector<std::string> covers(std::begin(kA2xMembers), std::end(kA2xMembers));
    if (encoder.empty()) ex.skip(covers, noEncoder);
    else if (ex.check(covers, "a2x_meta.json", [&] {
               // The stream finds its encoder there, as in any host.
               setenv("W2V_ONNX", encoder.c_str(), 1);
               a2x::Stream::create(dir, 1);
             }))
      report.speech.push_back("a2x");
  }
  if (ex.present("meta.json") &&
      ex.check(std::vector<std::string>(std::begin(kMotionMembers), std::end(kMotionMembers)), "meta.json",
               [&] { const Motion motion(dir, 1, ""); }))
    report.speech.push_back("motion");
  if (ex.present("fca_stream.onnx")) {
    if (encoder.empty()) ex.skip({"fca_stream.onnx"}, noEncoder);
    else if (ex.check({"fca_stream.onnx"}, "fca_stream.onnx",
                      [&] { const FaceCoeffAdapter fca(encoder, resolveMember(dir, "fca_stream.onnx"), 1); }))
      report.speech.push_back("fca");
  }

  // Opens for rendering: what le_create reads, and at least one director.
  report.renders = opens && !report.directors.empty();
}

}  // namespace

BundleReport examineBundle(const std::string& path, const Options& options) {
  const auto start = std::chrono::steady_clock::now();
  BundleReport report;
  report.path = path;
  examineInto(report, options);
  report.milliseconds = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  return report;
}

std::string formatText(const BundleReport& r) {
  std::ostringstream out;
  out << "bundle " << r.path;
  if (!r.dir.empty() && r.dir != r.path) out << " (unpacked at " << r.dir << ")";
  out << "\n";
  size_t width = 0;
  for (const MemberReport& m : r.members) width = std::max(width, m.member.size());
  for (const MemberReport& m : r.members) {
    char head[64];
    std::snprintf(head, sizeof head, "  %-9s ", statusName(m.status));
    out << head << m.member << std::string(width + 2 - m.member.size(), ' ');
    out << (m.present ? std::to_string(m.bytes) + " bytes" : std::string("missing"));
    if (!m.detail.empty()) out << "  " << m.detail;
    out << "\n";
  }
  out << "canvas " << r.width << "x" << r.height << ", crop " << r.crop << ", " << r.loopFrames << " loop frames, "
      << r.driveFrames << " drive frames\n";
  out << "directors:";
  if (r.directors.empty()) out << " none";
  for (const Director& d : r.directors) out << " " << d.key << " (batch " << d.batch << ")";
  out << "\nspeech sources:";
  if (r.speech.empty()) out << " none";
  for (const std::string& s : r.speech) out << " " << s;
  out << "\nteeth: " << (r.teeth ? "yes" : "no") << "\n";
  size_t refused = r.refused().size();
  char tail[160];
  std::snprintf(tail, sizeof tail, "%zu members checked in %.0f ms, %llu bytes in all; %zu refused\n",
                r.members.size(), r.milliseconds, static_cast<unsigned long long>(r.totalBytes), refused);
  out << tail;
  out << (r.renders ? "opens for rendering\n" : "does NOT open for rendering\n");
  return out.str();
}

std::string formatJson(const BundleReport& r) {
  nlohmann::json j;
  j["path"] = r.path;
  j["dir"] = r.dir;
  j["renders"] = r.renders;
  j["members"] = nlohmann::json::array();
  for (const MemberReport& m : r.members)
    j["members"].push_back({{"member", m.member}, {"status", statusName(m.status)}, {"detail", m.detail},
                            {"present", m.present}, {"bytes", m.bytes}});
  j["directors"] = nlohmann::json::array();
  for (const Director& d : r.directors) j["directors"].push_back({{"key", d.key}, {"batch", d.batch}});
  j["speech"] = r.speech;
  j["teeth"] = r.teeth;
  j["canvas"] = {{"width", r.width}, {"height", r.height}, {"crop", r.crop}};
  j["loop_frames"] = r.loopFrames;
  j["drive_frames"] = r.driveFrames;
  j["total_bytes"] = r.totalBytes;
  j["milliseconds"] = r.milliseconds;
  // Messages may carry bytes from the bundle; keep the document valid UTF-8.
  return j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace le::doctor
