#include "core/tessera/unified_pi.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "core/tessera/json.h"
#include "le/le.h"

namespace le::tessera {
namespace {

using json::JVal;

inline double smoothstep(double u) { return (3.0 - 2.0 * u) * u * u; }

inline const float* row(const float* kp, int r) { return kp + 3 * r; }

// Pixel coordinate to an int clamped to [lo, hi]; NaN gives lo.
int clampToInt(double v, int lo, int hi) {
  if (!(v > lo)) return lo;
  if (v > hi) return hi;
  return static_cast<int>(v);
}

struct Corpus {
  const char* name;
  double padX, padY, down;
};
constexpr Corpus kCorpus[] = {{"v1", 0.05, 0.08, 0.015}, {"v2", 0.10, 0.08, 0.074}, {"v3", 0.14, 0.08, 0.074}};
constexpr double kCorpusTolerancePx = 8.0;
constexpr double kCorpusAmbiguityPx = 3.0;

std::string fixed2(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2f", v);
  return buf;
}

}  // namespace

PixelBox unite(const PixelBox& a, const PixelBox& b) {
  if (a.empty()) return b;
  if (b.empty()) return a;
  return {std::min(a.x0, b.x0), std::min(a.y0, b.y0), std::max(a.x1, b.x1), std::max(a.y1, b.y1)};
}

uint8_t maskByte(float v) {
  if (!(v > 0.0f)) return 0;  // NaN too
  if (v >= 1.0f) return 255;
  float x = v * 255.0f;
  float r = std::floor(x + 0.5f);
  // Exactly halfway: go to the even neighbour.
  if (r - x == 0.5f && std::fmod(r, 2.0f) != 0.0f) r -= 1.0f;
  return static_cast<uint8_t>(r);
}

UnifiedPi UnifiedPi::fromManifestJson(const std::string& text, int canvas) {
  if (canvas < 1 || canvas > kMaxCanvas)
    throw std::runtime_error("teeth-pi: engine canvas " + std::to_string(canvas) + " is outside 1.." +
                             std::to_string(kMaxCanvas));
  JVal root;
  try {
    root = json::parse(text);
  } catch (const std::exception& e) {
    throw std::runtime_error(std::string("teeth-pi: the manifest is not readable JSON: ") + e.what());
  }
  const JVal* unified = root.find("unified");
  if (!unified || !unified->isObj())
    throw std::runtime_error(
        "teeth-pi: manifest has no `unified` block — this bundle predates the unified compose and cannot state "
        "the pi geometry it was baked with; refusing to guess one");
  const JVal& pi = unified->req("pi");
  UnifiedPi u;
  const JVal& mode = pi.req("mode");
  if (!mode.isStr()) throw std::runtime_error("teeth-pi: unified.pi.mode is not a string");
  if (mode.str != "prop")
    throw std::runtime_error("teeth-pi: unified.pi.mode '" + mode.str +
                             "' is a compose-mask geometry this port cannot name — fail loud, never adapt (the "
                             "stamped-geometry rule)");
  const JVal& corner = pi.req("corner_recovery");
  if (corner.isBool())
    u.cornerRecovery_ = corner.boolean;
  else if (corner.isStr() && corner.str == "lip_landmark_half")
    u.cornerRecovery_ = true;
  else
    throw std::runtime_error(
        "teeth-pi: unknown unified.pi.corner_recovery — a compose-mask geometry a consumer cannot name must never "
        "be guessed");
  if (const JVal* g = pi.find("prop_gate_scale")) {
    if (!g->isNum() || !std::isfinite(g->number) || g->number <= 0)
      throw std::runtime_error("teeth-pi: unified.pi.prop_gate_scale is not a positive number");
    u.propGateScale_ = g->number;
  }
  const JVal& lip = pi.req("lip_idx");
  if (!lip.isArr() || lip.arr.empty())
    throw std::runtime_error("teeth-pi: unified.pi.lip_idx is not a non-empty array");
  for (const JVal& r : lip.arr) {
    // Rows index the keypoint set: anything else would read outside it.
    if (!r.isNum() || !(r.number >= 0 && r.number < kHostKpRows) || r.number != std::trunc(r.number))
      throw std::runtime_error("teeth-pi: unified.pi.lip_idx names a row outside 0..20");
    u.lipIdx_.push_back(static_cast<int>(r.number));
  }
  const JVal& geom = pi.req("lip_geom_params");
  if (!geom.isArr() || geom.arr.size() != 3 || !geom.arr[0].isNum() || !geom.arr[1].isNum() ||
      !geom.arr[2].isNum() || !std::isfinite(geom.arr[0].number) || !std::isfinite(geom.arr[1].number) ||
      !std::isfinite(geom.arr[2].number))
    throw std::runtime_error("teeth-pi: unified.pi.lip_geom_params must be [pad_x, pad_y, down]");
  u.padX_ = geom.arr[0].number;
  u.padY_ = geom.arr[1].number;
  u.down_ = geom.arr[2].number;
  double c = unified->req("crop").reqNum("canvas");
  if (c != canvas) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g", c);
    throw std::runtime_error("teeth-pi: engine renders at canvas " + std::to_string(canvas) +
                             " but unified.crop.canvas is " + buf);
  }
  u.canvas_ = canvas;
  u.gx_.resize(static_cast<std::size_t>(canvas));
  for (int i = 0; i < canvas; ++i) u.gx_[static_cast<std::size_t>(i)] = 2.0f * i / canvas - 1.0f;
  u.gy_ = u.gx_;
  return u;
}

UnifiedPi UnifiedPi::withLipGeom(double padX, double padY, double down) const {
  UnifiedPi u = *this;
  u.padX_ = padX;
  u.padY_ = padY;
  u.down_ = down;
  return u;
}

UnifiedPi UnifiedPi::corpusFromManifestJson(const std::string& text, int canvas, const float* xsTarget, int NT,
                                            const double* cCanon, std::string* geometryOut) {
  if (!xsTarget || NT < 1)
    throw std::runtime_error(
        "teeth-pi: the corpus frame is identified from the bundle's own xs_target and none was supplied — refusing "
        "to fall back to the stamped geometry, which is the GRAPH's compose field");
  if (!cCanon) throw std::runtime_error("teeth-pi: no canonical centroid was supplied for the corpus match");
  UnifiedPi base = fromManifestJson(text, canvas);
  struct Cand {
    const Corpus* corpus;
    double dist;
  };
  std::vector<Cand> cands;
  for (const Corpus& c : kCorpus) {
    UnifiedPi u = base.withLipGeom(c.padX, c.padY, c.down);
    double centroid[2];
    u.canonicalCentroid(xsTarget, NT, centroid);
    cands.push_back({&c, std::hypot(centroid[0] - cCanon[0], centroid[1] - cCanon[1])});
  }
  std::stable_sort(cands.begin(), cands.end(), [](const Cand& a, const Cand& b) { return a.dist < b.dist; });
  std::string list;
  for (const Cand& c : cands) list += std::string(" ") + c.corpus->name + "=" + fixed2(c.dist) + "px";
  if (!(cands[0].dist <= kCorpusTolerancePx))
    throw std::runtime_error("teeth-pi: no corpus pi geometry matches this bank's c_canon (" + fixed2(cCanon[0]) +
                             ", " + fixed2(cCanon[1]) + ") within " + fixed2(kCorpusTolerancePx) + "px —" + list +
                             " — the bank's pi frame is unknown and donors will NOT be placed against a frame "
                             "nobody can name");
  if (cands[1].dist - cands[0].dist < kCorpusAmbiguityPx)
    throw std::runtime_error("teeth-pi: corpus pi geometry is AMBIGUOUS (best two within " +
                             fixed2(kCorpusAmbiguityPx) + "px) —" + list + " — refusing to guess the bank frame");
  if (geometryOut) *geometryOut = cands[0].corpus->name;
  return base.withLipGeom(cands[0].corpus->padX, cands[0].corpus->padY, cands[0].corpus->down);
}

Ellipse UnifiedPi::ellParams(const float* kp, double padX, double padY, double minRx, double minRy, double scale,
                             double down) const {
  double cx = 0, cy = 0;
  for (int r : lipIdx_) {
    cx += row(kp, r)[0];
    cy += row(kp, r)[1];
  }
  cx /= static_cast<double>(lipIdx_.size());
  cy /= static_cast<double>(lipIdx_.size());
  double sx = 0, sy = 0;
  for (int r : lipIdx_) {
    sx = std::max(sx, std::fabs(row(kp, r)[0] - cx));
    sy = std::max(sy, std::fabs(row(kp, r)[1] - cy));
  }
  if (padX != 0) sx += padX;
  if (padY != 0) sy += padY;
  Ellipse e;
  e.rx = std::max(sx, minRx);
  e.ry = std::max(sy, minRy);
  if (scale != 1.0) {
    e.rx *= scale;
    e.ry *= scale;
  }
  e.cx = cx;
  e.cy = cy + down;
  e.sharpness = std::sqrt(e.rx * e.ry) * 256.0;
  return e;
}

float UnifiedPi::ellValue(const Ellipse& e, int i, int j) const {
  double dx = (gx_[static_cast<std::size_t>(i)] - e.cx) / e.rx;
  double dy = (gy_[static_cast<std::size_t>(j)] - e.cy) / e.ry;
  double t = (1.0 - std::sqrt(dx * dx + dy * dy)) * e.sharpness / 10.0;
  if (!(t >= 0)) return 0.0f;
  double u = std::min(t, 1.0);
  return static_cast<float>(smoothstep(u));
}

PixelBox UnifiedPi::ellBox(const Ellipse& e) const {
  const double half = canvas_ / 2.0;
  PixelBox b;
  if (!std::isfinite(e.cx) || !std::isfinite(e.cy) || !std::isfinite(e.rx) || !std::isfinite(e.ry) ||
      !(e.rx > 0) || !(e.ry > 0))
    return b;
  b.x0 = clampToInt(std::floor((e.cx - e.rx + 1.0) * half), 0, canvas_);
  b.x1 = clampToInt(std::ceil((e.cx + e.rx + 1.0) * half) + 1.0, 0, canvas_);
  b.y0 = clampToInt(std::floor((e.cy - e.ry + 1.0) * half), 0, canvas_);
  b.y1 = clampToInt(std::ceil((e.cy + e.ry + 1.0) * half) + 1.0, 0, canvas_);
  return b;
}

void UnifiedPi::ellMask(const float* kp, double padX, double padY, double minRx, double minRy, double scale,
                        double down, float* out) const {
  const std::size_t S = static_cast<std::size_t>(canvas_);
  std::memset(out, 0, S * S * sizeof(float));
  Ellipse e = ellParams(kp, padX, padY, minRx, minRy, scale, down);
  PixelBox b = ellBox(e);
  for (int j = b.y0; j < b.y1; ++j)
    for (int i = b.x0; i < b.x1; ++i) out[static_cast<std::size_t>(j) * S + static_cast<std::size_t>(i)] = ellValue(e, i, j);
}

Ellipse UnifiedPi::lipParams(const float* kp) const {
  Ellipse e = ellParams(kp, padX_, padY_, 0.1, 0.1, 1.0, down_);
  if (!cornerRecovery_) return e;
  // Grow the ellipse until every lip keypoint sits inside with a margin of 5/H.
  double m = 0;
  for (int r : lipIdx_) {
    double dx = (row(kp, r)[0] - e.cx) / e.rx;
    double dy = (row(kp, r)[1] - e.cy) / e.ry;
    m = std::max(m, std::sqrt(dx * dx + dy * dy));
  }
  double scale = std::max(1.0, 5.0 / e.sharpness + m);
  return ellParams(kp, padX_, padY_, 0.1, 0.1, scale, down_);
}

void UnifiedPi::lipMask(const float* kp, float* out) const {
  const std::size_t S = static_cast<std::size_t>(canvas_);
  std::memset(out, 0, S * S * sizeof(float));
  Ellipse e = lipParams(kp);
  PixelBox b = ellBox(e);
  for (int j = b.y0; j < b.y1; ++j)
    for (int i = b.x0; i < b.x1; ++i) out[static_cast<std::size_t>(j) * S + static_cast<std::size_t>(i)] = ellValue(e, i, j);
}

Ellipse UnifiedPi::gateParams(const float* kp, double& gate) const {
  double my = 0;
  for (int r : lipIdx_) my += row(kp, r)[1];
  my /= static_cast<double>(lipIdx_.size());
  double d = 0;
  for (int r : lipIdx_) d = std::max(d, std::fabs(row(kp, r)[1] - my));
  double u = (d - 0.02) / 0.01;
  u = u < 0 ? 0 : (u > 1 ? 1 : u);
  if (!std::isfinite(d)) u = 0;
  gate = smoothstep(u);
  return ellParams(kp, 0, 0, 0.004, 0.004, propGateScale_, 0);
}

void UnifiedPi::propTeethGate(const float* kp, float* out) const {
  const std::size_t S = static_cast<std::size_t>(canvas_);
  std::memset(out, 0, S * S * sizeof(float));
  double g = 0;
  Ellipse e = gateParams(kp, g);
  if (g <= 0) return;
  PixelBox b = ellBox(e);
  for (int j = b.y0; j < b.y1; ++j)
    for (int i = b.x0; i < b.x1; ++i)
      out[static_cast<std::size_t>(j) * S + static_cast<std::size_t>(i)] = static_cast<float>(g * ellValue(e, i, j));
}

PixelBox UnifiedPi::supportBox(const float* kp) const {
  double g = 0;
  Ellipse gate = gateParams(kp, g);
  PixelBox b = ellBox(lipParams(kp));
  return g > 0 ? unite(b, ellBox(gate)) : b;
}

PixelBox UnifiedPi::piU8Boxed(const float* kp, uint8_t* out) const {
  const std::size_t S = static_cast<std::size_t>(canvas_);
  std::memset(out, 0, S * S);
  Ellipse lip = lipParams(kp);
  double g = 0;
  Ellipse gate = gateParams(kp, g);
  PixelBox lb = ellBox(lip);
  PixelBox gb = g > 0 ? ellBox(gate) : PixelBox{};
  PixelBox b = unite(lb, gb);
  const float gf = static_cast<float>(g);
  for (int j = b.y0; j < b.y1; ++j) {
    uint8_t* o = out + static_cast<std::size_t>(j) * S;
    for (int i = b.x0; i < b.x1; ++i) {
      float v = 0.0f;
      if (i >= lb.x0 && i < lb.x1 && j >= lb.y0 && j < lb.y1) v = ellValue(lip, i, j);
      if (i >= gb.x0 && i < gb.x1 && j >= gb.y0 && j < gb.y1) v = std::max(v, gf * ellValue(gate, i, j));
      o[i] = maskByte(v);
    }
  }
  return b;
}

void UnifiedPi::piU8(const float* kp, uint8_t* out) const { piU8Boxed(kp, out); }

bool UnifiedPi::piU8Centroid(const float* kp, uint8_t* out, double& cx, double& cy) const {
  PixelBox b = piU8Boxed(kp, out);
  const std::size_t S = static_cast<std::size_t>(canvas_);
  double sum = 0, sx = 0, sy = 0;
  for (int j = b.y0; j < b.y1; ++j) {
    const uint8_t* o = out + static_cast<std::size_t>(j) * S;
    uint64_t rowSum = 0, rowX = 0;
    for (int i = b.x0; i < b.x1; ++i) {
      rowSum += o[i];
      rowX += static_cast<uint64_t>(o[i]) * static_cast<uint64_t>(i);
    }
    sum += static_cast<double>(rowSum);
    sx += static_cast<double>(rowX);
    sy += static_cast<double>(rowSum) * j;
  }
  if (sum <= 0) return false;
  cx = sx / sum;
  cy = sy / sum;
  return true;
}

void UnifiedPi::piU8ShrunkBy(const float* kp, const float* contour, const PixelBox& box, uint8_t* out) const {
  const std::size_t S = static_cast<std::size_t>(canvas_);
  std::memset(out, 0, S * S);
  PixelBox b{std::max(box.x0, 0), std::max(box.y0, 0), std::min(box.x1, canvas_), std::min(box.y1, canvas_)};
  if (b.empty()) return;
  Ellipse lip = lipParams(kp);
  double g = 0;
  Ellipse gate = gateParams(kp, g);
  PixelBox lb = ellBox(lip);
  PixelBox gb = g > 0 ? ellBox(gate) : PixelBox{};
  const float gf = static_cast<float>(g);
  for (int j = b.y0; j < b.y1; ++j) {
    const std::size_t r = static_cast<std::size_t>(j) * S;
    for (int i = b.x0; i < b.x1; ++i) {
      float v = 0.0f;
      if (i >= lb.x0 && i < lb.x1 && j >= lb.y0 && j < lb.y1) v = ellValue(lip, i, j);
      if (i >= gb.x0 && i < gb.x1 && j >= gb.y0 && j < gb.y1) v = std::max(v, gf * ellValue(gate, i, j));
      out[r + static_cast<std::size_t>(i)] = maskByte(std::min(contour[r + static_cast<std::size_t>(i)], v));
    }
  }
}

bool UnifiedPi::piU8AndShift(const float* kp, const double* centroid, uint8_t* out, int& dy, int& dx) const {
  double cx = 0, cy = 0;
  dy = dx = 0;
  if (!piU8Centroid(kp, out, cx, cy)) return false;
  double ddx = std::round(cx - centroid[0]);
  double ddy = std::round(cy - centroid[1]);
  // A centroid that is not a pixel position (NaN, huge) yields no shift.
  if (!(std::fabs(ddx) <= canvas_) || !(std::fabs(ddy) <= canvas_)) return false;
  dx = static_cast<int>(ddx);
  dy = static_cast<int>(ddy);
  return true;
}

void UnifiedPi::canonicalCentroid(const float* xs, int NT, double* out) const {
  std::vector<uint8_t> mask(static_cast<std::size_t>(canvas_) * static_cast<std::size_t>(canvas_));
  double sx = 0, sy = 0;
  int n = 0;
  for (int t = 0; t < NT; ++t) {
    double cx = 0, cy = 0;
    if (!piU8Centroid(xs + static_cast<std::size_t>(t) * 3 * kHostKpRows, mask.data(), cx, cy)) continue;
    sx += cx;
    sy += cy;
    ++n;
  }
  if (n == 0)
    throw std::runtime_error(
        "teeth-pi: pi is empty on every source frame — cannot derive the canonical centroid this bundle's frame is "
        "identified by");
  out[0] = sx / n;
  out[1] = sy / n;
}

}  // namespace le::tessera
