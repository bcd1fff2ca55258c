// Arbitrary bytes through the ONNX graph codec and every edit built on it:
// the only acceptable failures are the codec's three messages (or an edit's
// reason string), and an edit that reports no change must leave the bytes
// exactly as they were.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "core/render/graph_codec.h"
#include "core/render/graph_rewrites.h"
#include "core/render/graph_surgery.h"

namespace {

void checkMessage(const std::runtime_error& e) {
  const char* m = e.what();
  if (std::strcmp(m, "onnx: truncated") && std::strcmp(m, "onnx: bad varint") && std::strcmp(m, "onnx: bad wire type"))
    std::abort();
}

template <class Edit>
void tryEdit(const le::GsBytes& in, Edit edit) {
  le::GsBytes m = in;
  try {
    if (!edit(m) && m != in) std::abort();  // "nothing changed" must mean it
  } catch (const std::runtime_error& e) {
    checkMessage(e);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const le::GsBytes in(data, data + size);
  try {
    std::vector<le::GsNodeInfo> nodes;
    std::vector<std::string> inits, inputs;
    le::gsReadGraph(le::gsGraphOf(le::gsSliceOf(in)), nodes, inits, inputs);
    for (const auto& n : nodes) {
      le::hcReadAttrs(n.raw);
      std::vector<float> f;
      le::hcTensorFloats(le::hcConstValue(n.raw), f);
    }
  } catch (const std::runtime_error& e) {
    checkMessage(e);
  }
  le::graphHasBakedGridSampleFast(in);
  tryEdit(in, [](le::GsBytes& m) { return le::rewriteGridSampleToFast(m) != 0; });
  tryEdit(in, [](le::GsBytes& m) { return le::normaliseStudentBlend(m) != 0; });
  tryEdit(in, [](le::GsBytes& m) { return le::rewriteHeadCubicResize(m) != 0; });
  tryEdit(in, [](le::GsBytes& m) {
    std::string reason;
    return le::rewriteWarpBlockToCustomOp(m, reason) != 0;
  });
  tryEdit(in, [](le::GsBytes& m) {
    std::string reason;
    int canvas = 0, batch = 0;
    return le::rewriteBindLipContour(m, reason, canvas, batch);
  });
  tryEdit(in, [](le::GsBytes& m) {
    std::string tip, reason;
    if (le::findSourceConeBoundary(m, tip) != 1) return false;
    le::GsBytes prep, per;
    const int64_t dims[4] = {1, 12, 8, 8};
    le::buildSourceConePrep(m, tip, prep, reason);
    le::buildSourceConePerFrame(m, tip, dims, per, reason);
    return false;
  });
  return 0;
}
