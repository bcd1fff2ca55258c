#include "core/tessera/lip_contour.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "le/le.h"

namespace le::tessera {
namespace {

using json::JVal;

// Chamfer weights of the 3 x 3 distance transform.
constexpr float kAxial = 0.955f;
constexpr float kDiagonal = 1.3693f;

std::string numText(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

[[noreturn]] void refuse(const std::string& rest) {
  throw std::runtime_error(std::string(LipContour::kTemplateName) + " " + rest);
}

bool isKdRow(const JVal& v) {
  return v.isNum() && v.number >= 0 && v.number < kHostKpRows && v.number == std::trunc(v.number);
}

int clampToInt(double v, int lo, int hi) {
  if (!(v > lo)) return lo;
  if (v > hi) return hi;
  return static_cast<int>(v);
}

}  // namespace

LipContour LipContour::fromTemplateJson(const std::string& text, int canvas) {
  if (canvas < 1 || canvas > UnifiedPi::kMaxCanvas)
    refuse("cannot be served on a canvas of " + std::to_string(canvas));
  JVal t;
  try {
    t = json::parse(text);
  } catch (const std::exception& e) {
    refuse(std::string("is not parseable JSON (") + e.what() + ")");
  }
  const JVal* fmt = t.find("format");
  if (!fmt || !fmt->isStr()) refuse("carries no `format`");
  if (fmt->str != "lip-template-v1")
    refuse("declares format '" + fmt->str + "', not 'lip-template-v1' — this runtime cannot read it");
  const JVal* c = t.find("canvas");
  if (!c || !c->isNum() || c->number != canvas)
    refuse("was baked on a " + (c && c->isNum() ? numText(c->number) : std::string("unstated")) +
           " canvas but this bundle composes on " + std::to_string(canvas) +
           " — refusing to deform a polygon onto a canvas it does not name");
  const JVal* f = t.find("feather_px");
  if (!f || !f->isNum() || !std::isfinite(f->number) || f->number <= 0)
    refuse("feather_px is not a positive number");
  const JVal* u = t.find("u_canon");
  if (!u || !u->isArr() || u->arr.empty()) refuse("u_canon is not a non-empty array — this is not an nv x 2 template");
  if (u->arr.size() > static_cast<std::size_t>(kMaxVertices))
    refuse("u_canon has " + std::to_string(u->arr.size()) + " vertices, more than " + std::to_string(kMaxVertices));
  LipContour lc;
  lc.canvas_ = canvas;
  lc.feather_ = f->number;
  for (std::size_t j = 0; j < u->arr.size(); ++j) {
    const JVal& r = u->arr[j];
    if (!r.isArr() || r.arr.size() != 2 || !r.arr[0].isNum() || !r.arr[1].isNum() ||
        !std::isfinite(r.arr[0].number) || !std::isfinite(r.arr[1].number))
      refuse("u_canon row " + std::to_string(j) + " is not a 2-vector — this is not an nv x 2 template");
    lc.uCanon_.push_back(r.arr[0].number);
    lc.uCanon_.push_back(r.arr[1].number);
  }
  const JVal* li = t.find("lip_idx");
  if (!li || !li->isArr() || li->arr.empty()) refuse("lip_idx is not a non-empty array of rows, and a kd row is 0..20");
  for (std::size_t k = 0; k < li->arr.size(); ++k) {
    if (!isKdRow(li->arr[k]))
      refuse("lip_idx[" + std::to_string(k) + "] is not a row index, and a kd row is 0..20");
    lc.lipIdx_.push_back(static_cast<int>(li->arr[k].number));
  }
  if (const JVal* e = t.find("edge"); e && e->isStr() && e->str != "outward")
    refuse("declares edge '" + e->str +
           "', and the contour feather is OUTWARD — refusing to serve a mask this runtime does not compute");
  if (const JVal* m = t.find("lip_map")) lc.attachMap(*m);
  const std::size_t S = static_cast<std::size_t>(canvas);
  lc.work_.assign(S * S, 0.0f);
  return lc;
}

void LipContour::attachMap(const JVal& m) {
  if (!m.isObj()) refuse("lip_map is not an object");
  std::string schema = m.optStr("schema", "");
  if (schema != "lip-map-v1") refuse("lip_map declares schema '" + schema + "', not 'lip-map-v1'");
  std::string kind = m.optStr("kind", "");
  if (kind != "anchor-linear") refuse("lip_map declares kind '" + kind + "', not 'anchor-linear'");
  const JVal* W = m.find("W");
  const JVal* b = m.find("b");
  if (!W || !W->isArr() || !b || !b->isArr()) refuse("lip_map carries no W/b arrays");
  for (const JVal& r : W->arr) {
    if (!r.isArr()) refuse(": lip_map shape does not match the template");
    for (const JVal& x : r.arr) {
      if (!x.isNum()) refuse(": lip_map shape does not match the template");
      if (!std::isfinite(x.number)) refuse("lip_map carries a non-finite coefficient");
    }
  }
  for (const JVal& x : b->arr) {
    if (!x.isNum()) refuse(": lip_map shape does not match the template");
    if (!std::isfinite(x.number)) refuse("lip_map carries a non-finite coefficient");
  }
  const JVal* li = m.find("lip_idx");
  if (!li || !li->isArr() || li->arr.empty() || li->arr.size() > 8) refuse("lip_map lip_idx is not 1..8 kd rows");
  std::vector<int> idx;
  for (const JVal& r : li->arr) {
    if (!isKdRow(r)) refuse("lip_map lip_idx names a row outside 0..20");
    idx.push_back(static_cast<int>(r.number));
  }
  const std::size_t rows = uCanon_.size();  // 2 * nv
  if (W->arr.size() != rows || b->arr.size() != rows)
    refuse("lip_map W/b have " + std::to_string(W->arr.size() != rows ? W->arr.size() : b->arr.size()) +
           " rows, not 2*nv=" + std::to_string(rows));
  const std::size_t width = 2 * idx.size();
  for (std::size_t i = 0; i < rows; ++i)
    if (W->arr[i].arr.size() != width)
      refuse("lip_map W row " + std::to_string(i) + " is not " + std::to_string(width) + " wide");
  const JVal* c = m.find("canvas");
  if (!c || !c->isNum() || c->number != canvas_) refuse("lip_map was fitted on another canvas than this bundle composes on");
  mapW_.clear();
  mapB_.clear();
  for (const JVal& r : W->arr)
    for (const JVal& x : r.arr) mapW_.push_back(x.number);
  for (const JVal& x : b->arr) mapB_.push_back(x.number);
  mapIdx_ = std::move(idx);
  hasMap_ = true;
}

void LipContour::polygon(const float* kp, std::vector<double>& verts) const {
  const double half = canvas_ / 2.0;
  double gx = 0, gy = 0;
  for (int r : lipIdx_) {
    gx += (kp[3 * r] + 1.0) * half;
    gy += (kp[3 * r + 1] + 1.0) * half;
  }
  gx /= static_cast<double>(lipIdx_.size());
  gy /= static_cast<double>(lipIdx_.size());
  const std::size_t nv = uCanon_.size() / 2;
  verts.resize(2 * nv);
  if (!hasMap_) {
    double sx = 0, sy = 0;
    for (int r : lipIdx_) {
      sx = std::max(sx, std::fabs((kp[3 * r] + 1.0) * half - gx));
      sy = std::max(sy, std::fabs((kp[3 * r + 1] + 1.0) * half - gy));
    }
    sx = std::max(sx, 1e-6);
    sy = std::max(sy, 1e-6);
    for (std::size_t j = 0; j < nv; ++j) {
      verts[2 * j] = uCanon_[2 * j] * sx + gx;
      verts[2 * j + 1] = uCanon_[2 * j + 1] * sy + gy;
    }
    return;
  }
  const std::size_t w = 2 * mapIdx_.size();
  double rel[16];
  for (std::size_t k = 0; k < mapIdx_.size(); ++k) {
    rel[2 * k] = (kp[3 * mapIdx_[k]] + 1.0) * half - gx;
    rel[2 * k + 1] = (kp[3 * mapIdx_[k] + 1] + 1.0) * half - gy;
  }
  for (std::size_t i = 0; i < 2 * nv; ++i) {
    double v = mapB_[i];
    const double* row = &mapW_[i * w];
    for (std::size_t c = 0; c < w; ++c) v += row[c] * rel[c];
    verts[i] = v + ((i & 1) ? gy : gx);
  }
}

PixelBox LipContour::box(const std::vector<double>& verts) const {
  PixelBox b;
  if (verts.empty()) return b;
  double x0 = verts[0], x1 = verts[0], y0 = verts[1], y1 = verts[1];
  for (std::size_t i = 0; i + 1 < verts.size(); i += 2) {
    if (!std::isfinite(verts[i]) || !std::isfinite(verts[i + 1])) return PixelBox{};
    x0 = std::min(x0, verts[i]);
    x1 = std::max(x1, verts[i]);
    y0 = std::min(y0, verts[i + 1]);
    y1 = std::max(y1, verts[i + 1]);
  }
  const double grow = feather_ + 2.0;
  b.x0 = clampToInt(std::floor(x0 - grow), 0, canvas_);
  b.y0 = clampToInt(std::floor(y0 - grow), 0, canvas_);
  b.x1 = clampToInt(std::ceil(x1 + grow) + 1.0, 0, canvas_);
  b.y1 = clampToInt(std::ceil(y1 + grow) + 1.0, 0, canvas_);
  return b;
}

void LipContour::fillScanline(const std::vector<double>& verts, const PixelBox& b, uint8_t* inside) const {
  if (b.empty()) return;
  const int bw = b.width();
  std::memset(inside, 0, static_cast<std::size_t>(bw) * static_cast<std::size_t>(b.height()));
  const std::size_t nv = verts.size() / 2;
  std::vector<double> xs;
  xs.reserve(nv);
  auto mark = [&](int i, int j) {
    if (i >= b.x0 && i < b.x1 && j >= b.y0 && j < b.y1)
      inside[static_cast<std::size_t>(j - b.y0) * static_cast<std::size_t>(bw) + static_cast<std::size_t>(i - b.x0)] = 1;
  };
  for (int j = b.y0; j < b.y1; ++j) {
    const double y = j;
    xs.clear();
    for (std::size_t k = 0; k < nv; ++k) {
      const double ax = verts[2 * k], ay = verts[2 * k + 1];
      const std::size_t n = (k + 1) % nv;
      const double bx = verts[2 * n], by = verts[2 * n + 1];
      // Half-open rule: each crossing is counted once, vertices included.
      if ((ay <= y && y < by) || (by <= y && y < ay)) xs.push_back(ax + (y - ay) * (bx - ax) / (by - ay));
    }
    std::sort(xs.begin(), xs.end());
    uint8_t* row = inside + static_cast<std::size_t>(j - b.y0) * static_cast<std::size_t>(bw);
    for (std::size_t k = 0; k + 1 < xs.size(); k += 2) {
      int i0 = clampToInt(std::ceil(xs[k]), b.x0, b.x1);
      int i1 = clampToInt(std::floor(xs[k + 1]) + 1.0, b.x0, b.x1);
      for (int i = i0; i < i1; ++i) row[i - b.x0] = 1;
    }
  }
  // The half-open rule drops bottom edges and lower vertices; a pixel lying
  // exactly on the outline belongs to the polygon, so mark those as well.
  for (std::size_t k = 0; k < nv; ++k) {
    const double ax = verts[2 * k], ay = verts[2 * k + 1];
    const std::size_t n = (k + 1) % nv;
    const double bx = verts[2 * n], by = verts[2 * n + 1];
    if (ay == by) {
      if (ay != std::floor(ay)) continue;
      int j = clampToInt(ay, b.y0 - 1, b.y1);
      int i0 = clampToInt(std::ceil(std::min(ax, bx)), b.x0, b.x1);
      int i1 = clampToInt(std::floor(std::max(ax, bx)) + 1.0, b.x0, b.x1);
      for (int i = i0; i < i1; ++i) mark(i, j);
      continue;
    }
    int j0 = clampToInt(std::ceil(std::min(ay, by)), b.y0, b.y1);
    int j1 = clampToInt(std::floor(std::max(ay, by)) + 1.0, b.y0, b.y1);
    for (int j = j0; j < j1; ++j) {
      double x = ax + (j - ay) * (bx - ax) / (by - ay);
      double rx = std::nearbyint(x);
      if (std::fabs(x - rx) <= 1e-9) mark(clampToInt(rx, b.x0 - 1, b.x1), j);
    }
  }
}

void LipContour::contourF32(const std::vector<double>& verts, const PixelBox& b, float* out) {
  if (b.empty()) return;
  const std::size_t S = static_cast<std::size_t>(canvas_);
  const int bw = b.width(), bh = b.height();
  const std::size_t n = static_cast<std::size_t>(bw) * static_cast<std::size_t>(bh);
  inside_.resize(n);
  dist_.resize(n);
  fillScanline(verts, b, inside_.data());
  const float inf = std::numeric_limits<float>::infinity();
  for (std::size_t p = 0; p < n; ++p) dist_[p] = inside_[p] ? 0.0f : inf;
  // Forward pass: left, up-left, up, up-right.
  for (int j = 0; j < bh; ++j) {
    float* d = &dist_[static_cast<std::size_t>(j) * static_cast<std::size_t>(bw)];
    const float* up = j > 0 ? d - bw : nullptr;
    for (int i = 0; i < bw; ++i) {
      float v = d[i];
      if (v == 0.0f) continue;
      if (i > 0) v = std::min(v, d[i - 1] + kAxial);
      if (up) {
        v = std::min(v, up[i] + kAxial);
        if (i > 0) v = std::min(v, up[i - 1] + kDiagonal);
        if (i + 1 < bw) v = std::min(v, up[i + 1] + kDiagonal);
      }
      d[i] = v;
    }
  }
  // Backward pass: right, down-right, down, down-left.
  for (int j = bh - 1; j >= 0; --j) {
    float* d = &dist_[static_cast<std::size_t>(j) * static_cast<std::size_t>(bw)];
    const float* dn = j + 1 < bh ? d + bw : nullptr;
    for (int i = bw - 1; i >= 0; --i) {
      float v = d[i];
      if (v == 0.0f) continue;
      if (i + 1 < bw) v = std::min(v, d[i + 1] + kAxial);
      if (dn) {
        v = std::min(v, dn[i] + kAxial);
        if (i + 1 < bw) v = std::min(v, dn[i + 1] + kDiagonal);
        if (i > 0) v = std::min(v, dn[i - 1] + kDiagonal);
      }
      d[i] = v;
    }
  }
  const float invF = static_cast<float>(1.0 / feather_);
  for (int j = 0; j < bh; ++j) {
    const float* d = &dist_[static_cast<std::size_t>(j) * static_cast<std::size_t>(bw)];
    float* o = out + static_cast<std::size_t>(b.y0 + j) * S + static_cast<std::size_t>(b.x0);
    for (int i = 0; i < bw; ++i) {
      float u = 1.0f - d[i] * invF;
      if (d[i] == 0.0f) {
        o[i] = 1.0f;
      } else if (!(u > 0.0f)) {
        o[i] = 0.0f;
      } else {
        u = std::min(u, 1.0f);
        o[i] = (3.0f - 2.0f * u) * u * u;
      }
    }
  }
}

void LipContour::contourF32Canvas(const float* kp, float* out) {
  polygon(kp, verts_);
  PixelBox b = box(verts_);
  const std::size_t S = static_cast<std::size_t>(canvas_);
  std::memset(out, 0, S * S * sizeof(float));
  contourF32(verts_, b, out);
}

bool LipContour::deliveredU8(const float* kp, const UnifiedPi& pi, uint8_t* out) {
  const std::size_t S = static_cast<std::size_t>(canvas_);
  polygon(kp, verts_);
  PixelBox b = box(verts_);
  if (b.empty() || pi.canvas() != canvas_) {
    std::memset(out, 0, S * S);
    return false;
  }
  contourF32(verts_, b, work_.data());
  pi.piU8ShrunkBy(kp, work_.data(), b, out);
  return true;
}

bool LipContour::shrinkU8InPlace(const float* kp, const PixelBox& box, uint8_t* mask) {
  const std::size_t S = static_cast<std::size_t>(canvas_);
  polygon(kp, verts_);
  PixelBox cb = this->box(verts_);
  contourF32(verts_, cb, work_.data());
  const PixelBox b{std::max(box.x0, 0), std::max(box.y0, 0), std::min(box.x1, canvas_), std::min(box.y1, canvas_)};
  for (int j = b.y0; j < b.y1; ++j) {
    uint8_t* m = mask + static_cast<std::size_t>(j) * S;
    const float* c = &work_[static_cast<std::size_t>(j) * S];
    const bool rowIn = j >= cb.y0 && j < cb.y1;
    for (int i = b.x0; i < b.x1; ++i) {
      uint8_t v = (rowIn && i >= cb.x0 && i < cb.x1) ? maskByte(c[i]) : 0;
      m[i] = std::min(m[i], v);
    }
  }
  return !cb.empty();
}

bool LipContour::deliveredU8AndShift(const float* kp, const UnifiedPi& pi, const double* centroid, uint8_t* out,
                                     int& dy, int& dx) {
  if (pi.canvas() != canvas_) return false;
  bool shifted = pi.piU8AndShift(kp, centroid, out, dy, dx);
  bool shrunk = shrinkU8InPlace(kp, pi.supportBox(kp), out);
  return shifted && shrunk;
}

}  // namespace le::tessera
