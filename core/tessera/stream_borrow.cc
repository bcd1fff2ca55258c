#include "core/tessera/stream_borrow.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "core/foundation/pool.h"
#include "core/tessera/members.h"

namespace le::tessera {
namespace {

constexpr uint64_t kConvertGrain = 4096;

void requireWindow(int side, const FrameResult& r, const GeometryStamp& s) {
  const std::string problem = StreamBorrow::windowProblem(side, r, s);
  if (!problem.empty()) throw std::runtime_error(problem);
}

}  // namespace

std::string StreamBorrow::windowProblem(int side, const FrameResult& r, const GeometryStamp& s) {
  const size_t need = static_cast<size_t>(s.window_w) * static_cast<size_t>(s.window_h) * 3;
  if (s.window_w < 1 || s.window_h < 1 || r.window.size() != need)
    return "teeth stream: window " + std::to_string(r.window.size()) + " bytes does not match the stamp window " +
           std::to_string(s.window_h) + "x" + std::to_string(s.window_w) + " — refusing to write back";
  if (s.window_x0 < 0 || s.window_y0 < 0 || int64_t{s.window_x0} + s.window_w > side ||
      int64_t{s.window_y0} + s.window_h > side)
    return "teeth stream: stamp window " + s.text() + " escapes the " + std::to_string(side) + "x" +
           std::to_string(side) + " canvas — refusing to write back";
  return {};
}

uint8_t StreamBorrow::quantize(float v) {
  if (!(v > 0.0f)) return 0;  // also NaN
  if (v >= 1.0f) return 255;
  return static_cast<uint8_t>(std::nearbyint(v * 255.0f));
}

StreamBorrow::StreamBorrow(const BankData& bank, const HeadWeights& head, const ServeConfig& config,
                           const UnifiedPi& pi, const std::string& lipTemplateJson)
    : pass_(bank, head, config), pi_(pi) {
  const GeometryStamp& s = pass_.stamp();
  if (pi_.canvas() != s.canvas_w)
    throw std::runtime_error("teeth stream: manifest pi canvas " + std::to_string(pi_.canvas()) +
                             " != bank compose canvas " + std::to_string(s.canvas_w) +
                             " — refusing to compose a mouth on a canvas the stamp does not name");
  if (s.canvas_w != s.canvas_h)
    throw std::runtime_error("teeth stream: non-square compose canvas " + std::to_string(s.canvas_w) + "x" +
                             std::to_string(s.canvas_h) + " — facecore renders a square crop");
  side_ = s.canvas_w;
  canvas_.assign(static_cast<size_t>(side_) * static_cast<size_t>(side_) * 3, 0);
  mask_.assign(static_cast<size_t>(side_) * static_cast<size_t>(side_), 0);
  centroid_[0] = bank.c_canon[0];
  centroid_[1] = bank.c_canon[1];
  if (!lipTemplateJson.empty()) {
    contour_ = std::make_unique<LipContour>(LipContour::fromTemplateJson(lipTemplateJson, side_));
    std::fprintf(stderr,
                 "[borrow] delivery mask: LIP CONTOUR (%d verts, feather %.1f px) — the ellipse is not reachable in "
                 "this session\n",
                 contour_->vertexCount(), contour_->featherPx());
  } else {
    std::fprintf(stderr,
                 "[borrow] !!! delivery mask: ELLIPSE — this bundle carries no %s, so it serves the over-covering "
                 "elliptical mask the contour replaces. BACKFILL IT: models/corvane-2/tools/bake_lip_templates.py\n",
                 LipContour::kTemplateName);
  }
}

bool StreamBorrow::push(const float* planar, const float* kp, FrameResult* out) {
  const size_t plane = static_cast<size_t>(side_) * static_cast<size_t>(side_);
  // Only the part of the crop the pass reads: the rest of canvas_ is never
  // looked at.
  // Plain copies: a lambda may not capture structured bindings in C++17.
  const int y0 = pass_.readRows().first, y1 = pass_.readRows().second;
  const int x0 = pass_.readCols().first, x1 = pass_.readCols().second;
  const size_t S = static_cast<size_t>(side_);
  const auto rows = static_cast<uint64_t>(std::max(0, y1 - y0));
  const uint64_t grain = std::max<uint64_t>(1, kConvertGrain / std::max<uint64_t>(1, static_cast<uint64_t>(x1 - x0)));
  le::pool::parallelRange(rows, grain, [&](uint64_t begin, uint64_t end) {
    for (uint64_t r = begin; r < end; ++r)
      for (size_t i = (static_cast<size_t>(y0) + r) * S + static_cast<size_t>(x0),
                  e = (static_cast<size_t>(y0) + r) * S + static_cast<size_t>(x1);
           i < e; ++i)
        for (size_t c = 0; c < 3; ++c) canvas_[3 * i + c] = quantize(planar[c * plane + i]);
  });
  return pushSynth(kp, out);
}

bool StreamBorrow::pushRgba(const uint8_t* rgba, const float* kp, FrameResult* out) {
  const auto [y0, y1] = pass_.readRows();
  const auto [x0, x1] = pass_.readCols();
  const size_t S = static_cast<size_t>(side_);
  for (int y = y0; y < y1; ++y)
    for (size_t i = static_cast<size_t>(y) * S + static_cast<size_t>(x0), e = static_cast<size_t>(y) * S + static_cast<size_t>(x1);
         i < e; ++i)
      std::copy_n(rgba + 4 * i, 3, canvas_.data() + 3 * i);
  return pushSynth(kp, out);
}

bool StreamBorrow::pushSynth(const float* kp, FrameResult* out) {
  int dy = 0, dx = 0;
  const bool shifted = contour_ ? contour_->deliveredU8AndShift(kp, pi_, centroid_, mask_.data(), dy, dx)
                                : pi_.piU8AndShift(kp, centroid_, mask_.data(), dy, dx);
  const int shift[2] = {dy, dx};
  const bool emitted = pass_.push(counter_, canvas_.data(), mask_.data(), shifted ? shift : nullptr, out);
  ++counter_;
  return emitted;
}

bool StreamBorrow::flush(FrameResult* out) { return pass_.flush(out); }

void StreamBorrow::writeWindowDelta(float* canvas, int side, const FrameResult& r, const GeometryStamp& s) {
  if (r.skipped) return;
  requireWindow(side, r, s);
  const size_t plane = static_cast<size_t>(side) * static_cast<size_t>(side);
  for (int y = 0; y < s.window_h; ++y)
    for (int x = 0; x < s.window_w; ++x) {
      const size_t at = static_cast<size_t>(s.window_y0 + y) * static_cast<size_t>(side) + static_cast<size_t>(s.window_x0 + x);
      const size_t w = (static_cast<size_t>(y) * static_cast<size_t>(s.window_w) + static_cast<size_t>(x)) * 3;
      for (size_t c = 0; c < 3; ++c) {
        float& v = canvas[c * plane + at];
        const float q = quantize(v) / 255.0f;
        v = std::clamp(v + (r.window[w + c] / 255.0f - q), 0.0f, 1.0f);
      }
    }
}

void StreamBorrow::writeWindowDeltaRgba(uint8_t* canvas, int side, const FrameResult& r, const GeometryStamp& s) {
  if (r.skipped) return;
  requireWindow(side, r, s);
  const size_t plane = static_cast<size_t>(side) * static_cast<size_t>(side);
  for (size_t i = 0; i < plane; ++i) canvas[4 * i + 3] = 255;
  for (int y = 0; y < s.window_h; ++y)
    for (int x = 0; x < s.window_w; ++x) {
      const size_t at = static_cast<size_t>(s.window_y0 + y) * static_cast<size_t>(side) + static_cast<size_t>(s.window_x0 + x);
      std::copy_n(r.window.data() + (static_cast<size_t>(y) * static_cast<size_t>(s.window_w) + static_cast<size_t>(x)) * 3, 3,
                  canvas + 4 * at);
    }
}

BankData makeBankData(const uint8_t* bands, int nDonors, const double* cent, const double* cCanon,
                      const double* aperture, const int32_t* stamp) {
  if (!bands || !cent || !cCanon || !aperture || !stamp) throw std::runtime_error("teeth: a bank member is null");
  if (nDonors < 1 || nDonors > kTesseraMaxDonors)
    throw std::runtime_error("teeth: n_donors=" + std::to_string(nDonors) + " is outside 1.." +
                             std::to_string(kTesseraMaxDonors));
  BankData bank;
  bank.stamp = GeometryStamp::fromArray(stamp);
  TeethPass::checkStamp(bank.stamp);
  bank.n = nDonors;
  const size_t bytes = static_cast<size_t>(nDonors) * static_cast<size_t>(bank.stamp.storedH()) *
                       static_cast<size_t>(bank.stamp.storedW()) * 3;
  bank.stored.assign(bands, bands + bytes);
  bank.cent.assign(cent, cent + 2 * static_cast<size_t>(nDonors));
  bank.aperture.assign(aperture, aperture + nDonors);
  bank.c_canon = {cCanon[0], cCanon[1]};
  // A NaN centroid would round to a shift of 0 and place a donor unshifted.
  auto finite = [](double v) { return std::isfinite(v); };
  if (!std::all_of(bank.cent.begin(), bank.cent.end(), finite) || !finite(bank.c_canon[0]) ||
      !finite(bank.c_canon[1]) || !std::all_of(bank.aperture.begin(), bank.aperture.end(), finite))
    throw std::runtime_error("teeth: a bank centroid or aperture is not finite");
  return bank;
}

StreamBorrowBuild makeStreamBorrow(const uint8_t* bands, int nDonors, const double* cent, const double* cCanon,
                                   const double* aperture, const int32_t* stamp, const uint8_t* headPt,
                                   std::size_t headPtLen, const std::string& headJson,
                                   const std::string& manifestJson, const float* xsTarget, int NT,
                                   const std::string& lipTemplateJson) {
  const BankData bank = makeBankData(bands, nDonors, cent, cCanon, aperture, stamp);
  const ServeConfig config = ServeConfig::fromHeadMemberJson(headJson);
  const HeadWeights head = loadHeadPt(headPt, headPtLen);
  StreamBorrowBuild b;
  const UnifiedPi pi =
      UnifiedPi::corpusFromManifestJson(manifestJson, bank.stamp.canvas_w, xsTarget, NT, cCanon, &b.geometry);
  b.borrow = std::make_unique<StreamBorrow>(bank, head, config, pi, lipTemplateJson);
  return b;
}

}  // namespace le::tessera
