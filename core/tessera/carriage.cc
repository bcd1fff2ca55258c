#include "core/tessera/carriage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/bundle/bundle_path.h"
#include "core/bundle/manifest.h"
#include "core/bundle/member_names.h"
#include "core/tessera/json.h"

namespace le {
namespace {

constexpr std::array<const char*, 4> kSlotKeys = {"bank_track", "bank_sidecar", "head_weights", "head_config"};
constexpr std::array<const char*, 4> kDefaultNames = {TesseraSlots::kBankTrack, TesseraSlots::kBankSidecar,
                                                      TesseraSlots::kHeadWeights, TesseraSlots::kHeadConfig};

// Closes a descriptor on every path out.
struct Fd {
  int fd;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

void applyManifest(const std::string& dir, TesseraCarriage& c) {
  std::string mpath = tessera::manifestPathIn(dir);
  if (mpath.empty()) return;
  try {
    tessera::json::JVal root = tessera::json::parse(tessera::readWholeFile(mpath));
    const tessera::json::JVal* t = root.find("tessera");
    if (!t || !t->isObj()) return;
    TesseraCarriage next = c;
    next.declared = true;
    if (const tessera::json::JVal* members = t->find("members"); members && members->isObj()) {
      for (std::size_t i = 0; i < kSlotKeys.size(); ++i) {
        const tessera::json::JVal* name = members->find(kSlotKeys[i]);
        if (name && name->isStr() && !name->str.empty()) next.names[i] = name->str;
      }
    }
    if (const tessera::json::JVal* planes = t->find("planes"); planes && planes->isArr()) {
      for (const auto& p : planes->arr)
        if (p.isStr()) next.planes.push_back(p.str);
    }
    c = std::move(next);
  } catch (const std::exception&) {
    // An unreadable manifest leaves the defaults; loading the members reports it.
  }
}

}  // namespace

const std::array<const char*, 4>& TesseraSlots::names() { return kDefaultNames; }
const std::array<const char*, 4>& tesseraSlotKeys() { return kSlotKeys; }

int tesseraSlotIndex(const std::string& slotKey) {
  for (std::size_t i = 0; i < kSlotKeys.size(); ++i)
    if (slotKey == kSlotKeys[i]) return static_cast<int>(i);
  return -1;
}

const std::string& TesseraCarriage::path(const std::string& slotKey) const {
  int i = tesseraSlotIndex(slotKey);
  if (i < 0) throw std::runtime_error("teeth: no such member slot '" + slotKey + "'");
  return paths[static_cast<std::size_t>(i)];
}

TesseraCarriage tesseraDefaultCarriage() {
  TesseraCarriage c;
  for (std::size_t i = 0; i < kSlotKeys.size(); ++i) {
    c.names[i] = kDefaultNames[i];
    c.missing.push_back(kSlotKeys[i]);
  }
  return c;
}

TesseraCarriage tesseraCarriage(const Manifest& manifest) { return tesseraCarriage(manifest.dir); }

TesseraCarriage tesseraCarriage(const std::string& bundlePath) {
  const std::string dir = resolveBundlePath(bundlePath);
  TesseraCarriage c;
  for (std::size_t i = 0; i < kDefaultNames.size(); ++i) c.names[i] = kDefaultNames[i];
  applyManifest(dir, c);
  for (std::size_t i = 0; i < kSlotKeys.size(); ++i) {
    c.paths[i] = resolveMember(dir, c.names[i]);
    if (!tessera::canOpenForReading(c.paths[i])) c.missing.push_back(kSlotKeys[i]);
  }
  c.complete = c.missing.empty();
  return c;
}

bool requireTesseraMembers(const TesseraCarriage& carriage) {
  if (carriage.complete && carriage.missing.empty()) return true;
  std::string msg = "missing teeth member(s): ";
  for (std::size_t k = 0; k < carriage.missing.size(); ++k) {
    const std::string& key = carriage.missing[k];
    int i = tesseraSlotIndex(key);
    if (k) msg += ", ";
    msg += key + " (" + (i >= 0 ? carriage.names[static_cast<std::size_t>(i)] : std::string("?")) + ")";
  }
  int carried = tesseraSlotCount() - static_cast<int>(carriage.missing.size());
  msg += " \xE2\x80\x94 carries " + std::to_string(carried < 0 ? 0 : carried) + " of 4";
  if (carriage.declared) msg += " and declares a manifest.tessera block the members do not keep";
  msg +=
      ". ONE predicate: all four members present = ARMED on every plane; any missing = REFUSED on every "
      "plane. The borrow is a SWITCH, not a gradient \xE2\x80\x94 there is no rendering mode that proceeds "
      "without them (corvane-2 IS borrowed teeth). Re-stage the bundle with the bank builder.";
  throw MissingTesseraMember(msg, carriage.missing);
}

namespace tessera {

bool canOpenForReading(const std::string& path) {
  Fd f{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};  // a pipe must not block the open
  if (f.fd < 0) return false;
  struct stat st;
  return ::fstat(f.fd, &st) == 0 && S_ISREG(st.st_mode);
}

std::string manifestPathIn(const std::string& dir) {
  std::string m = dir + "/manifest.json";
  if (canOpenForReading(m)) return m;
  std::string meta = dir + "/meta.json";
  if (canOpenForReading(meta)) return meta;
  return "";
}

std::string readWholeFile(const std::string& path) {
  Fd f{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};  // a pipe must not block the open
  struct stat st;
  if (f.fd < 0 || ::fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode))
    throw std::runtime_error("teeth: cannot open " + path);
  std::string out(static_cast<std::size_t>(st.st_size), '\0');
  std::size_t got = 0;
  while (got < out.size()) {
    ssize_t n = ::read(f.fd, &out[got], out.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("teeth: short read " + path);
    got += static_cast<std::size_t>(n);
  }
  return out;
}

}  // namespace tessera
}  // namespace le
