#include "core/tessera/members.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "core/bundle/bundle_path.h"
#include "core/bundle/manifest.h"
#include "core/tessera/carriage.h"
#include "core/tessera/json.h"

namespace le {
namespace {

using tessera::json::JVal;

constexpr std::array<const char*, 12> kStampKeys = {"canvas_w", "canvas_h", "window_x0", "window_y0",
                                                    "window_w", "window_h", "pad",       "band_r0",
                                                    "band_r1",  "band_c0",  "band_c1",   "shift_margin"};

// Numbers as they appear in messages: integral values without a fraction.
std::string numText(double v) {
  char buf[64];
  if (std::isfinite(v) && std::fabs(v) < 9.0e15 && v == std::trunc(v))
    std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(v));
  else
    std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

// Truncates a member number to a 32-bit integer. Values no int32 can hold
// (and NaN) are refused here, since converting them would be undefined.
int32_t truncInt(double v, const std::string& what) {
  double t = std::trunc(v);
  if (!(t >= -2147483648.0 && t <= 2147483647.0))
    throw std::runtime_error("teeth: " + what + " = " + numText(v) + " is not a 32-bit integer");
  return static_cast<int32_t>(t);
}

double numberIn(const JVal& obj, const std::string& key, const std::string& context) {
  const JVal* v = obj.find(key);
  if (!v || !v->isNum()) throw std::runtime_error("teeth: " + context + " lacks numeric '" + key + "'");
  return v->number;
}

std::array<int32_t, 12> readStamp(const JVal& geometry, const std::string& context) {
  std::array<int32_t, 12> s{};
  for (std::size_t i = 0; i < kStampKeys.size(); ++i)
    s[i] = truncInt(numberIn(geometry, kStampKeys[i], context), context + "." + kStampKeys[i]);
  return s;
}

JVal parseMember(const std::string& text, const std::string& path) {
  try {
    return tessera::json::parse(text);
  } catch (const std::exception& e) {
    throw std::runtime_error("teeth: " + path + " is not readable JSON: " + e.what());
  }
}

std::vector<uint8_t> readBytes(const std::string& path) {
  std::string s = tessera::readWholeFile(path);
  return std::vector<uint8_t>(s.begin(), s.end());
}

// A string from the manifest's tessera block, treating "" as absent.
std::string manifestStr(const JVal* tessera, const char* key) {
  return tessera ? tessera->optStr(key, "") : std::string();
}

}  // namespace

const std::array<const char*, 12>& tesseraStampKeys() { return kStampKeys; }

std::string tesseraStampText(const std::array<int32_t, 12>& stamp) {
  std::string s = "{";
  for (std::size_t i = 0; i < kStampKeys.size(); ++i) {
    if (i) s += ", ";
    s += std::string(kStampKeys[i]) + "=" + std::to_string(stamp[i]);
  }
  return s + "}";
}

int64_t TesseraAttachInputs::bandBytes() const {
  if (n_donors <= 0 || band_w <= 0 || band_h <= 0) return 0;
  return static_cast<int64_t>(n_donors) * band_h * band_w * 3;
}

TesseraAttachInputs loadTesseraMembers(const Manifest& manifest) { return loadTesseraMembers(manifest.dir); }

TesseraAttachInputs loadTesseraMembers(const std::string& bundlePath) {
  const std::string dir = resolveBundlePath(bundlePath);
  TesseraCarriage carriage = tesseraCarriage(dir);
  requireTesseraMembers(carriage);

  std::string manifestPath = tessera::manifestPathIn(dir);
  if (manifestPath.empty())
    throw std::runtime_error(dir + " carries no manifest.json or meta.json \xE2\x80\x94 the compose descriptor "
                             "(unified.pi) the pass places its window by lives there, and placing a borrow "
                             "window without it is guessing.");

  TesseraAttachInputs in;
  const std::string& sidecar = carriage.path("bank_sidecar");
  in.manifest_json = tessera::readWholeFile(manifestPath);
  in.head_json = tessera::readWholeFile(carriage.path("head_config"));
  in.head_pt = readBytes(carriage.path("head_weights"));
  std::string sidecarText = tessera::readWholeFile(sidecar);
  in.bank_track_path = carriage.path("bank_track");

  JVal side = parseMember(sidecarText, sidecar);
  JVal manifest = parseMember(in.manifest_json, manifestPath);
  const JVal* mt = manifest.find("tessera");
  if (mt && !mt->isObj()) mt = nullptr;

  JVal fmt = side.find("format") ? *side.find("format") : JVal{};
  if (!fmt.isStr() || fmt.str != "tessera_bank.v1") {
    std::string shown = fmt.isStr() ? fmt.str : (fmt.isNum() ? numText(fmt.number) : std::string());
    throw std::runtime_error(sidecar + " declares format '" + shown +
                             "', not 'tessera_bank.v1' \xE2\x80\x94 this reader does not know that generation "
                             "and will not guess at its keys.");
  }

  const JVal* geometry = side.find("geometry");
  if (!geometry || !geometry->isObj()) throw std::runtime_error(sidecar + " carries no `geometry` stamp");
  in.stamp = readStamp(*geometry, sidecar + ".geometry");

  if (mt) {
    if (const JVal* mg = mt->find("geometry"); mg && mg->isObj()) {
      std::array<int32_t, 12> ms = readStamp(*mg, "manifest.tessera.geometry");
      if (ms != in.stamp)
        throw std::runtime_error(
            "teeth geometry DISAGREES between the manifest and the bank sidecar \xE2\x80\x94 manifest " +
            tesseraStampText(ms) + " vs " + sidecar + " " + tesseraStampText(in.stamp) +
            "; refusing to place a window on a rectangle the two halves of the bundle do not agree on.");
    }
  }

  // Sizes in 64 bits: the stamp is untrusted and int32 arithmetic could wrap.
  int64_t bw = int64_t{in.stamp[10]} - in.stamp[9] + 2 * int64_t{in.stamp[11]};
  int64_t bh = int64_t{in.stamp[8]} - in.stamp[7] + 2 * int64_t{in.stamp[11]};
  if (bw <= 0 || bh <= 0)
    throw std::runtime_error("teeth stamp yields a non-positive stored patch (" + tesseraStampText(in.stamp) + ")");
  if (bw > kTesseraMaxBandSide || bh > kTesseraMaxBandSide)
    throw std::runtime_error("teeth stamp yields a stored patch of " + std::to_string(bw) + "x" +
                             std::to_string(bh) + ", over the " + std::to_string(kTesseraMaxBandSide) +
                             " pixel limit per side (" + tesseraStampText(in.stamp) + ")");
  in.band_w = static_cast<int32_t>(bw);
  in.band_h = static_cast<int32_t>(bh);

  double nd = numberIn(side, "n_donors", sidecar);
  if (std::isnan(nd)) throw std::runtime_error("teeth: " + sidecar + " lacks numeric 'n_donors'");
  double ndt = std::trunc(nd);
  if (ndt < 1) throw std::runtime_error(sidecar + " says n_donors=" + numText(ndt));
  if (ndt > kTesseraMaxDonors)
    throw std::runtime_error(
        sidecar + " carries n_donors=" + numText(ndt) +
        ", over the owner's cap of 1024. This reader REFUSES rather than capping: the selector is the bank's "
        "BUILD-time cap selector, and a second one here would change which donors reach the mouth while every "
        "count-based check stayed green. Rebuild the bank.");
  const int n = static_cast<int>(ndt);
  in.n_donors = n;

  const JVal* order = side.find("track_order");
  const JVal* cent = side.find("cent");
  const JVal* aperture = side.find("aperture");
  const JVal* canon = side.find("c_canon");
  if (!order || !order->isArr() || !cent || !cent->isArr() || !aperture || !aperture->isArr() || !canon ||
      !canon->isArr())
    throw std::runtime_error(sidecar + " lacks one of track_order/cent/aperture/c_canon as an array");
  const std::size_t un = static_cast<std::size_t>(n);
  if (order->arr.size() != un || cent->arr.size() != un || aperture->arr.size() != un)
    throw std::runtime_error(sidecar + " says n_donors=" + std::to_string(n) + " but carries track_order=" +
                             std::to_string(order->arr.size()) + ", cent=" + std::to_string(cent->arr.size()) +
                             ", aperture=" + std::to_string(aperture->arr.size()) +
                             " \xE2\x80\x94 a count mismatch silently mis-orders the donors.");
  if (canon->arr.size() != 2) throw std::runtime_error(sidecar + " c_canon is not a pair");

  std::vector<char> seen(un, 0);
  in.track_order.resize(un);
  for (std::size_t t = 0; t < un; ++t) {
    const JVal& v = order->arr[t];
    if (!v.isNum())
      throw std::runtime_error(sidecar + " track_order[" + std::to_string(t) + "] is not a number");
    double r = std::trunc(v.number);
    if (!(r >= 0 && r < n))
      throw std::runtime_error(sidecar + " track_order[" + std::to_string(t) + "]=" + numText(r) +
                               " is outside [0," + std::to_string(n) + ")");
    int idx = static_cast<int>(r);
    if (seen[static_cast<std::size_t>(idx)])
      throw std::runtime_error(sidecar + " track_order is not a permutation (reference " + std::to_string(idx) +
                               " appears twice) \xE2\x80\x94 the inverse permutation would leave a reference slot "
                               "never written and the pass would blend uninitialised memory into a real mouth.");
    seen[static_cast<std::size_t>(idx)] = 1;
    in.track_order[t] = idx;
  }

  in.cent.resize(2 * un);
  for (std::size_t i = 0; i < un; ++i) {
    const JVal& p = cent->arr[i];
    if (!p.isArr() || p.arr.size() != 2 || !p.arr[0].isNum() || !p.arr[1].isNum())
      throw std::runtime_error(sidecar + " cent[" + std::to_string(i) + "] is not an (x,y) pair");
    in.cent[2 * i] = p.arr[0].number;
    in.cent[2 * i + 1] = p.arr[1].number;
    if (!std::isfinite(in.cent[2 * i]) || !std::isfinite(in.cent[2 * i + 1]))
      throw std::runtime_error(sidecar + " cent[" + std::to_string(i) + "] is not finite");
  }
  in.aperture.resize(un);
  for (std::size_t i = 0; i < un; ++i) {
    const JVal& a = aperture->arr[i];
    if (!a.isNum()) throw std::runtime_error(sidecar + " aperture[" + std::to_string(i) + "] is not a number");
    if (!std::isfinite(a.number)) throw std::runtime_error(sidecar + " aperture[" + std::to_string(i) + "] is not finite");
    in.aperture[i] = a.number;
  }
  for (std::size_t i = 0; i < 2; ++i) {
    if (!canon->arr[i].isNum()) throw std::runtime_error(sidecar + " c_canon is not a pair");
    if (!std::isfinite(canon->arr[i].number)) throw std::runtime_error(sidecar + " c_canon is not finite");
    in.c_canon[i] = canon->arr[i].number;
  }

  const JVal* codec = side.find("codec");
  if (codec && !codec->isObj()) codec = nullptr;
  in.bank_container = manifestStr(mt, "bank_container");
  if (in.bank_container.empty()) in.bank_container = "mp4";
  in.bank_packing = manifestStr(mt, "bank_packing");
  if (in.bank_packing.empty()) in.bank_packing = "rgb24_frames";
  in.bank_codec = manifestStr(mt, "bank_codec");
  if (in.bank_codec.empty() && codec) in.bank_codec = codec->optStr("codec", "");
  in.bank_pix_fmt = manifestStr(mt, "bank_pix_fmt");
  if (in.bank_pix_fmt.empty() && codec) in.bank_pix_fmt = codec->optStr("pix_fmt", "");
  if (in.bank_pix_fmt.empty())
    throw std::runtime_error(
        dir + ": neither manifest.tessera.bank_pix_fmt nor " + sidecar +
        ".codec.pix_fmt states the reference track's pixel format. A decoder handed no format negotiates one, "
        "and the one it settles on is 4:2:0 \xE2\x80\x94 lossy chroma on reference pixels IS the borrow degrading. "
        "Refusing rather than letting it guess.");
  return in;
}

void reorderTrackToDonor(const TesseraAttachInputs& inputs, const uint8_t* src, uint8_t* dst) {
  if (!src || !dst) throw std::runtime_error("teeth: null band buffer");
  if (inputs.n_donors < 0 || inputs.track_order.size() != static_cast<std::size_t>(inputs.n_donors))
    throw std::runtime_error("teeth: track_order does not match n_donors");
  if (inputs.band_w <= 0 || inputs.band_h <= 0) throw std::runtime_error("teeth: zero reference stride");
  const std::size_t stride = static_cast<std::size_t>(inputs.band_w) * static_cast<std::size_t>(inputs.band_h) * 3;
  // The inputs may have been edited since loading: never write outside dst.
  for (int32_t slot : inputs.track_order)
    if (slot < 0 || slot >= inputs.n_donors)
      throw std::runtime_error("teeth: track_order entry " + std::to_string(slot) + " is outside [0," +
                               std::to_string(inputs.n_donors) + ")");
  for (std::size_t t = 0; t < inputs.track_order.size(); ++t)
    std::memcpy(dst + static_cast<std::size_t>(inputs.track_order[t]) * stride, src + t * stride, stride);
}

}  // namespace le
