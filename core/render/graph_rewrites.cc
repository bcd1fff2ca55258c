#include "core/render/graph_rewrites.h"

#include <cmath>
#include <cstring>
#include <map>
#include <set>
#include <stdexcept>

namespace le {

namespace of = onnxf;

namespace {

struct AttrView {
  bool present = false;
  std::string s;
  int64_t i = 0;
};

AttrView findAttr(GsSlice node, const char* name) {
  AttrView v;
  GsReader r(node);
  GsField f;
  while (r.next(f)) {
    if (f.number != of::kNodeAttr || f.wire != 2) continue;
    if (gsFirstStr(f.payload, of::kAttrName) != name) continue;
    v.present = true;
    GsReader ar(f.payload);
    GsField af;
    while (ar.next(af)) {
      if (af.number == of::kAttrS && af.wire == 2) v.s = af.payload.str();
      if (af.number == of::kAttrI && af.wire == 0) v.i = static_cast<int64_t>(af.varint);
    }
  }
  return v;
}

bool defaultDomain(const std::string& d) { return d.empty() || d == "ai.onnx"; }

struct NodeHead {
  std::string op, domain, name;
  size_t inputs = 0, outputs = 0, attrs = 0;
};

NodeHead readHead(GsSlice node) {
  NodeHead h;
  GsReader r(node);
  GsField f;
  while (r.next(f)) {
    switch (f.number) {
      case of::kNodeInput: ++h.inputs; break;
      case of::kNodeOutput: ++h.outputs; break;
      case of::kNodeName: h.name = f.payload.str(); break;
      case of::kNodeOp: h.op = f.payload.str(); break;
      case of::kNodeDomain: h.domain = f.payload.str(); break;
      case of::kNodeAttr: ++h.attrs; break;
      default: break;
    }
  }
  return h;
}

// Re-emits `node` without the fields `skip` returns true for, then `extra`.
void reemitNode(GsBytes& graph, GsSlice node, bool (*skip)(uint32_t), const GsBytes& extra) {
  GsBytes n;
  n.reserve(node.n + extra.size());
  GsReader r(node);
  GsField f;
  while (r.next(f))
    if (!skip(f.number)) gsPutRaw(n, f.raw);
  gsPutRaw(n, gsSliceOf(extra));
  gsPutBytes(graph, of::kGraphNode, gsSliceOf(n));
}

// Rebuilds the graph, re-emitting every node `pick` selects through `emit`.
template <class Pick, class Emit>
void rebuildNodes(const GsBytes& model, Pick pick, Emit emit, GsBytes& graphOut) {
  const GsSlice graph = gsGraphOf(gsSliceOf(model));
  graphOut.reserve(graph.n + 256);
  GsReader r(graph);
  GsField f;
  while (r.next(f)) {
    if (f.number == of::kGraphNode && f.wire == 2 && pick(f.payload))
      emit(graphOut, f.payload);
    else
      gsPutRaw(graphOut, f.raw);
  }
}

// Number of the graph's nodes that `pick` selects.
template <class Pick>
size_t countNodes(GsSlice graph, Pick pick) {
  size_t count = 0;
  GsReader r(graph);
  GsField f;
  while (r.next(f))
    if (f.number == of::kGraphNode && f.wire == 2 && pick(f.payload)) ++count;
  return count;
}

}  // namespace

bool gsIsRewritableGridSample(GsSlice node) {
  const NodeHead h = readHead(node);
  if (h.op != "GridSample" || !defaultDomain(h.domain)) return false;
  const AttrView mode = findAttr(node, "mode");
  if (!mode.present || (mode.s != "bilinear" && mode.s != "linear")) return false;
  const AttrView pad = findAttr(node, "padding_mode");
  if (!pad.present || pad.s != "border") return false;
  const AttrView ac = findAttr(node, "align_corners");
  return !ac.present || ac.i == 0;
}

bool gsIsStudentBlendMatMul(GsSlice node) {
  const NodeHead h = readHead(node);
  return h.name == "/s2/blend" && h.op == "MatMul" && defaultDomain(h.domain) && h.inputs == 2 &&
         h.attrs == 0;
}

bool graphHasBakedGridSampleFast(const GsBytes& model) {
  try {
    std::vector<GsNodeInfo> nodes;
    std::vector<std::string> inits, inputs;
    gsReadGraph(gsGraphOf(gsSliceOf(model)), nodes, inits, inputs);
    for (const auto& n : nodes)
      if (n.opType == "GridSampleFast" && n.domain == kMirelundDomain) return true;
  } catch (const std::runtime_error&) {
  }
  return false;
}

size_t rewriteGridSampleToFast(GsBytes& model) {
  const GsSlice graph = gsGraphOf(gsSliceOf(model));
  const size_t count = countNodes(graph, [](GsSlice n) { return gsIsRewritableGridSample(n); });
  if (!count) return 0;
  const bool imported = gsImportsDomain(gsSliceOf(model), kMirelundDomain);
  GsBytes extra;
  gsPutBytes(extra, of::kNodeOp, std::string("GridSampleFast"));
  gsPutBytes(extra, of::kNodeDomain, std::string(kMirelundDomain));
  GsBytes g;
  rebuildNodes(
      model, [](GsSlice n) { return gsIsRewritableGridSample(n); },
      [&](GsBytes& out, GsSlice n) {
        reemitNode(
            out, n,
            [](uint32_t k) { return k == of::kNodeOp || k == of::kNodeAttr || k == of::kNodeDomain; },
            extra);
      },
      g);
  GsBytes tail;
  if (!imported) gsPutOpset(tail, kMirelundDomain, 1);
  GsBytes out;
  gsReplaceGraph(model, g, tail, out);
  model.swap(out);
  return count;
}

size_t normaliseStudentBlend(GsBytes& model) {
  const GsSlice graph = gsGraphOf(gsSliceOf(model));
  const size_t count = countNodes(graph, [](GsSlice n) { return gsIsStudentBlendMatMul(n); });
  if (!count) return 0;
  GsBytes extra;
  gsPutBytes(extra, of::kNodeOp, std::string("Gemm"));
  GsBytes g;
  rebuildNodes(
      model, [](GsSlice n) { return gsIsStudentBlendMatMul(n); },
      [&](GsBytes& out, GsSlice n) {
        reemitNode(out, n, [](uint32_t k) { return k == of::kNodeOp || k == of::kNodeDomain; }, extra);
      },
      g);
  GsBytes out;
  gsReplaceGraph(model, g, GsBytes(), out);
  model.swap(out);
  return count;
}

void cubicTaps(double t, double a, double w[4]) {
  const double d[4] = {t + 1.0, t, 1.0 - t, 2.0 - t};
  double sum = 0.0;
  for (int k = 0; k < 4; ++k) {
    const double x = d[k];
    w[k] = x <= 1.0 ? ((a + 2.0) * x - (a + 3.0)) * x * x + 1.0 : ((x - 5.0) * x + 8.0) * x * a - 4.0 * a;
    sum += w[k];
  }
  for (int k = 0; k < 4; ++k) w[k] /= sum;
}

size_t rewriteHeadCubicResize(GsBytes& model) {
  const GsSlice graph = gsGraphOf(gsSliceOf(model));
  if (graph.empty()) return 0;
  std::vector<GsNodeInfo> nodes;
  std::vector<std::string> inits, inputs;
  gsReadGraph(graph, nodes, inits, inputs);
  const std::set<std::string> initSet(inits.begin(), inits.end());
  std::map<std::string, size_t> producer;
  for (size_t i = 0; i < nodes.size(); ++i)
    for (const auto& o : nodes[i].outputs)
      if (!o.empty()) producer.emplace(o, i);

  // The tensor behind a value: an initializer, or a Constant node's value.
  auto tensorOf = [&](const std::string& v) -> GsSlice {
    if (initSet.count(v)) return gsFindInitializer(graph, v);
    auto it = producer.find(v);
    if (it != producer.end() && nodes[it->second].opType == "Constant" && nodes[it->second].outputs.size() == 1)
      return hcConstValue(nodes[it->second].raw);
    return GsSlice{};
  };

  size_t found = 0, idx = 0;
  for (size_t i = 0; i < nodes.size(); ++i) {
    const GsNodeInfo& n = nodes[i];
    if (n.opType != "Resize" || !n.domain.empty()) continue;
    const HcAttrs a = hcReadAttrs(n.raw);
    if (a.mode != "cubic" || a.coordinateTransformationMode != "half_pixel") continue;
    if (!a.keepAspectRatioPolicy.empty() && a.keepAspectRatioPolicy != "stretch") continue;
    if (a.excludeOutside || a.antialias || a.hasAxes) continue;
    if (n.inputs.size() != 3 || !n.inputs[1].empty() || n.outputs.size() != 1) continue;
    const GsSlice scales = tensorOf(n.inputs[2]);
    std::vector<float> sv;
    if (scales.empty() || !hcTensorFloats(scales, sv)) continue;
    if (sv.size() != 4 || sv[0] != 1.f || sv[1] != 1.f || sv[2] != 2.f || sv[3] != 2.f) continue;
    ++found;
    idx = i;
  }
  if (found != 1) return 0;
  const GsNodeInfo& rz = nodes[idx];
  const HcAttrs attrs = hcReadAttrs(rz.raw);
  const double A = attrs.hasCubicCoeffA ? attrs.cubicCoeffA : -0.75;

  // The upsample must feed exactly one Conv, whose weights state C.
  const std::string& rzOut = rz.outputs[0];
  size_t consumers = 0, conv = 0;
  for (size_t i = 0; i < nodes.size(); ++i)
    for (const auto& in : nodes[i].inputs)
      if (in == rzOut) {
        ++consumers;
        conv = i;
      }
  if (consumers != 1 || nodes[conv].opType != "Conv" || nodes[conv].inputs.size() < 2) return 0;
  if (!initSet.count(nodes[conv].inputs[1])) return 0;
  const GsSlice weights = gsFindInitializer(graph, nodes[conv].inputs[1]);
  const std::vector<int64_t> wd = hcTensorDims(weights);
  if (wd.size() != 4) return 0;
  // The channel count sizes everything built below, so the weights must
  // hold as many values as their dims state (a byte each at least), not
  // only state them: a few bytes of dims must not size gigabytes.
  double declared = 1;
  for (int64_t d : wd) declared *= static_cast<double>(d);
  if (!(declared >= 1 && declared <= static_cast<double>(weights.n))) return 0;
  const AttrView groupAttr = findAttr(nodes[conv].raw, "group");
  const int64_t group = groupAttr.present ? groupAttr.i : 1;
  if (group < 1 || wd[1] < 1 || wd[1] > 1048576 || group > 1048576) return 0;
  const int64_t C = group * wd[1];
  if (C < 1 || C > 1048576) return 0;

  // A per-channel [k,1,1] constant shortly upstream states the channel count
  // too; a disagreement means this is not the head we know.
  std::string v = rz.inputs[0];
  for (int step = 0; step < 4; ++step) {
    auto it = producer.find(v);
    if (it == producer.end()) break;
    const GsNodeInfo& p = nodes[it->second];
    bool ended = false;
    for (const auto& in : p.inputs) {
      if (!initSet.count(in)) continue;
      const std::vector<int64_t> d = hcTensorDims(gsFindInitializer(graph, in));
      if (d.size() == 3 && d[1] == 1 && d[2] == 1) {
        if (d[0] != C) return 0;
        ended = true;
        break;
      }
    }
    if (ended || p.inputs.empty()) break;
    v = p.inputs[0];
  }

  const std::string base = rz.name.empty() ? std::string("/Resize") : rz.name;
  const std::string prefix = "rz" + std::to_string(idx);
  const std::string pads = prefix + "_pads", dww = prefix + "_dw_w", padout = prefix + "_padout",
                    convout = prefix + "_convout";
  {
    std::set<std::string> names(inits.begin(), inits.end());
    names.insert(inputs.begin(), inputs.end());
    for (const auto& n : nodes) {
      names.insert(n.outputs.begin(), n.outputs.end());
      names.insert(n.inputs.begin(), n.inputs.end());
    }
    for (const auto& nm : {pads, dww, padout, convout})
      if (names.count(nm)) return 0;
  }

  // Weights [4C,1,5,5]: output channel 4c + 2py + px holds the separable
  // cubic filter of phase (py, px), placed at tap start s_p.
  double taps[2][4];
  cubicTaps(0.75, A, taps[0]);
  cubicTaps(0.25, A, taps[1]);
  std::vector<float> w(static_cast<size_t>(C) * 4 * 25, 0.f);
  for (int64_t c = 0; c < C; ++c)
    for (int py = 0; py < 2; ++py)
      for (int px = 0; px < 2; ++px) {
        float* k = &w[static_cast<size_t>(4 * c + 2 * py + px) * 25];
        for (int ty = 0; ty < 4; ++ty)
          for (int tx = 0; tx < 4; ++tx)
            k[(ty + py) * 5 + (tx + px)] = static_cast<float>(taps[py][ty] * taps[px][tx]);
      }
  const int64_t padv[8] = {0, 0, 2, 2, 0, 0, 2, 2};

  GsBytes g;
  g.reserve(graph.n + w.size() * 4 + 512);
  GsReader r(graph);
  GsField f;
  size_t ni = 0;
  while (r.next(f)) {
    if (f.number == of::kGraphNode && f.wire == 2 && ni++ == idx) {
      GsBytes a1, a2, a3;
      hcAttrS(a1, "edge");
      hcNode(g, "Pad", {rz.inputs[0], pads}, padout, base + "/pad", a1);
      hcAttrIs(a2, "dilations", {1, 1});
      hcAttrI(a2, "group", C);
      hcAttrIs(a2, "kernel_shape", {5, 5});
      hcAttrIs(a2, "pads", {0, 0, 0, 0});
      hcAttrIs(a2, "strides", {1, 1});
      hcNode(g, "Conv", {padout, dww}, convout, base + "/dwconv", a2);
      hcAttrI(a3, "blocksize", 2);
      hcAttrS(a3, "CRD");
      hcNode(g, "DepthToSpace", {convout}, rzOut, base + "/d2s", a3);
      continue;
    }
    gsPutRaw(g, f.raw);
  }
  hcInit(g, pads, 7, {8}, GsSlice{reinterpret_cast<const uint8_t*>(padv), sizeof padv});
  hcInit(g, dww, 1, {4 * C, 1, 5, 5},
         GsSlice{reinterpret_cast<const uint8_t*>(w.data()), w.size() * sizeof(float)});
  GsBytes out;
  gsReplaceGraph(model, g, GsBytes(), out);
  gsDropUnreadInitializers(out);  // the Resize's scales, unless something else reads them
  model.swap(out);
  return 1;
}

}  // namespace le
