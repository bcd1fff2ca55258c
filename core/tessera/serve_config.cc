#include "core/tessera/serve_config.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "core/tessera/json.h"

namespace le::tessera {
namespace {

std::string numText(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

// An integer setting in [lo, hi]; values are truncated like the writer's.
int intIn(const json::JVal& block, const char* block_name, const char* key, int lo, int hi) {
  const double v = block.reqNum(key);
  if (!(v >= lo && v < static_cast<double>(hi) + 1.0))
    throw std::runtime_error(std::string("teeth: ") + block_name + "." + key + "=" + numText(v) +
                             " is outside " + std::to_string(lo) + ".." + std::to_string(hi) +
                             " — refusing to serve it");
  return static_cast<int>(v);
}

}  // namespace

ServeConfig ServeConfig::fromHeadMemberJson(const std::string& text) {
  const json::JVal root = json::parse(text);
  const json::JVal* retrieval = root.find("retrieval");
  const json::JVal* temporal = root.find("temporal");
  if (!retrieval || !retrieval->isObj() || !temporal || !temporal->isObj())
    throw std::runtime_error(
        "teeth: tessera_head.v1 config lacks the retrieval/temporal blocks of the v1 schema — refusing to serve "
        "defaults");
  ServeConfig c;
  c.kshort = intIn(*retrieval, "retrieval", "kshort", 1, kMaxList);
  c.aperture_tol = retrieval->reqNum("aperture_tol");
  if (!(c.aperture_tol >= 0 && std::isfinite(c.aperture_tol)))
    throw std::runtime_error("teeth: retrieval.aperture_tol=" + numText(c.aperture_tol) +
                             " is not a finite tolerance >= 0 — refusing to serve it");
  c.cut = intIn(*retrieval, "retrieval", "cut", 1, kMaxList);
  c.K = intIn(*retrieval, "retrieval", "K", 1, kMaxList);
  c.hysteresis = intIn(*temporal, "temporal", "hysteresis", 0, kMaxList);
  c.lookahead = intIn(*temporal, "temporal", "lookahead", 0, kMaxList);
  if (const json::JVal* decode = root.find("decode")) {
    const double env = decode->reqNum("envelope_clamp_255");
    if (!(std::fabs(env - 12.0) <= 1e-6))
      throw std::runtime_error(
          "teeth: member envelope_clamp_255 != the envelope of record (12/255) — the envelope is a gated quantity");
  }
  return c;
}

}  // namespace le::tessera
