#include "core/render/graph_surgery.h"

#include <algorithm>
#include <climits>
#include <map>
#include <set>

#include "core/render/graph_rewrites.h"

namespace le {

namespace of = onnxf;

namespace {

struct Graph {
  GsSlice slice;
  std::vector<GsNodeInfo> nodes;
  std::vector<std::string> inits, inputs;
  std::map<std::string, size_t> producer;  // value -> first node producing it

  bool read(const GsBytes& model) {
    slice = gsGraphOf(gsSliceOf(model));
    if (slice.empty()) return false;
    gsReadGraph(slice, nodes, inits, inputs);
    for (size_t i = 0; i < nodes.size(); ++i)
      for (const auto& o : nodes[i].outputs)
        if (!o.empty()) producer.emplace(o, i);
    return true;
  }
  const GsNodeInfo* producerOf(const std::string& v) const {
    auto it = producer.find(v);
    return it == producer.end() ? nullptr : &nodes[it->second];
  }
  bool isInit(const std::string& v) const { return std::find(inits.begin(), inits.end(), v) != inits.end(); }
  bool isInput(const std::string& v) const { return std::find(inputs.begin(), inputs.end(), v) != inputs.end(); }
};

bool reads(const GsNodeInfo& n, const std::string& v) {
  return std::find(n.inputs.begin(), n.inputs.end(), v) != n.inputs.end();
}

// Indices of the Concat nodes that read P_rgb.
std::vector<size_t> concatsOnSource(const Graph& g) {
  std::vector<size_t> out;
  for (size_t i = 0; i < g.nodes.size(); ++i)
    if (g.nodes[i].opType == "Concat" && reads(g.nodes[i], kHoistSource)) out.push_back(i);
  return out;
}

bool isSampler(const GsNodeInfo& n) { return n.opType == "GridSample" || n.opType == "GridSampleFast"; }

}  // namespace

size_t findSourceConeBoundary(const GsBytes& model, std::string& tip) {
  tip.clear();
  Graph g;
  if (!g.read(model)) return 0;
  const std::vector<size_t> c = concatsOnSource(g);
  if (c.size() == 1 && !g.nodes[c[0]].outputs.empty()) tip = g.nodes[c[0]].outputs[0];
  return c.size();
}

bool gsSourceCone(const std::vector<GsNodeInfo>& nodes, const std::vector<std::string>& inits,
                  const std::vector<std::string>& inputs, const std::string& tip, std::vector<uint8_t>& cone,
                  std::string& reason) {
  std::map<std::string, size_t> producer;
  for (size_t i = 0; i < nodes.size(); ++i)
    for (const auto& o : nodes[i].outputs)
      if (!o.empty()) producer.emplace(o, i);
  const std::set<std::string> initSet(inits.begin(), inits.end()), inputSet(inputs.begin(), inputs.end());
  cone.assign(nodes.size(), 0);
  std::vector<std::string> work{tip};
  std::set<std::string> seen;
  while (!work.empty()) {
    const std::string v = work.back();
    work.pop_back();
    if (v.empty() || v == kHoistSource || initSet.count(v) || !seen.insert(v).second) continue;
    auto it = producer.find(v);
    if (it == producer.end()) {
      reason = inputSet.count(v) ? "cone reads graph input '" + v + "'" : "cone leaf '" + v + "' has no producer";
      return false;
    }
    const GsNodeInfo& p = nodes[it->second];
    if (p.opType == "Constant" || cone[it->second]) continue;
    cone[it->second] = 1;
    work.insert(work.end(), p.inputs.begin(), p.inputs.end());
  }
  std::set<std::string> inner;
  for (size_t i = 0; i < nodes.size(); ++i)
    if (cone[i])
      for (const auto& o : nodes[i].outputs)
        if (!o.empty() && o != tip) inner.insert(o);
  for (size_t i = 0; i < nodes.size(); ++i) {
    if (cone[i]) continue;
    for (const auto& in : nodes[i].inputs) {
      if (in == kHoistSource) {
        reason = "P_rgb is also read outside the cone by " + nodes[i].opType;
        return false;
      }
      if (inner.count(in)) {
        reason = "cone value '" + in + "' escapes to " + nodes[i].opType;
        return false;
      }
    }
  }
  return true;
}

namespace {

// Shared preconditions of the two halves; fills the cone mask.
bool coneOf(const GsBytes& model, const std::string& tip, Graph& g, std::vector<uint8_t>& cone, std::string& reason) {
  if (!g.read(model)) {
    reason = "no graph";
    return false;
  }
  if (!g.isInput(kHoistSource)) {
    reason = "no P_rgb input";
    return false;
  }
  if (!gsSourceCone(g.nodes, g.inits, g.inputs, tip, cone, reason)) return false;
  if (std::find(cone.begin(), cone.end(), 1) == cone.end()) {
    reason = "empty cone";
    return false;
  }
  return true;
}

}  // namespace

bool buildSourceConePrep(const GsBytes& model, const std::string& tip, GsBytes& prep, std::string& reason) {
  Graph g;
  std::vector<uint8_t> cone;
  if (!coneOf(model, tip, g, cone, reason)) return false;
  std::vector<uint8_t> drop(g.nodes.size());
  for (size_t i = 0; i < g.nodes.size(); ++i) drop[i] = !(cone[i] || g.nodes[i].opType == "Constant");
  GsGraphEdit e;
  e.dropNode = drop.data();
  e.dropNodeCount = drop.size();
  e.keepOnlyPrgbInput = true;
  e.dropAllOutputs = true;
  e.publishName = tip;
  e.publishField = of::kGraphOutput;
  gsRebuild(model, e, prep);
  gsDropUnreadInitializers(prep);  // the rest of the director's weights
  return true;
}

bool buildSourceConePerFrame(const GsBytes& model, const std::string& tip, const int64_t dims[4], GsBytes& perFrame,
                             std::string& reason) {
  Graph g;
  std::vector<uint8_t> cone;
  if (!coneOf(model, tip, g, cone, reason)) return false;
  GsGraphEdit e;
  e.dropNode = cone.data();
  e.dropNodeCount = cone.size();
  e.dropPrgbInput = true;
  e.publishName = tip;
  e.publishDims = dims;
  e.publishField = of::kGraphInput;
  gsRebuild(model, e, perFrame);
  gsDropUnreadInitializers(perFrame);  // the cone's kernels
  return true;
}

namespace {

// True when `v` is the constant 1.0: a one-float initializer or Constant.
bool isConstOne(const Graph& g, const std::string& v) {
  GsSlice t;
  if (g.isInit(v)) {
    t = gsFindInitializer(g.slice, v);
  } else if (const GsNodeInfo* p = g.producerOf(v)) {
    if (p->opType == "Constant") t = hcConstValue(p->raw);
  }
  std::vector<float> f;
  return !t.empty() && hcTensorFloats(t, f) && f.size() == 1 && f[0] == 1.f;
}

struct ComposeTail {
  size_t sub = 0, otherMul = 0, alphaProducer = 0;
  std::string alpha;
};

// Matches out = a*X + (1-a)*Y with a = Clip(...) at Add node `add`.
bool matchTail(const Graph& g, const GsNodeInfo& add, ComposeTail& t, std::string& noProducerAlpha) {
  if (add.inputs.size() != 2) return false;
  const GsNodeInfo* m[2];
  for (int k = 0; k < 2; ++k) {
    m[k] = g.producerOf(add.inputs[k]);
    if (!m[k] || m[k]->opType != "Mul" || m[k]->inputs.size() != 2) return false;
  }
  for (int k = 0; k < 2; ++k) {
    const GsNodeInfo& withSub = *m[k];
    const GsNodeInfo& other = *m[1 - k];
    for (const auto& in : withSub.inputs) {
      const GsNodeInfo* sub = g.producerOf(in);
      if (!sub || sub->opType != "Sub" || sub->inputs.size() != 2 || !isConstOne(g, sub->inputs[0])) continue;
      const std::string& alpha = sub->inputs[1];
      const GsNodeInfo* clip = g.producerOf(alpha);
      if (!clip) {
        noProducerAlpha = alpha;
        continue;
      }
      if (clip->opType != "Clip") continue;
      if (std::count(other.inputs.begin(), other.inputs.end(), alpha) != 1) continue;
      t.sub = size_t(sub - g.nodes.data());
      t.otherMul = size_t(&other - g.nodes.data());
      t.alphaProducer = size_t(clip - g.nodes.data());
      t.alpha = alpha;
      return true;
    }
  }
  return false;
}

// Re-emits a node with every input equal to `from` renamed to `to`.
void renameInputs(GsBytes& graph, GsSlice node, const std::string& from, const std::string& to) {
  GsBytes n;
  GsReader r(node);
  GsField f;
  while (r.next(f)) {
    if (f.number == of::kNodeInput && f.wire == 2 && f.payload.str() == from)
      gsPutBytes(n, of::kNodeInput, to);
    else
      gsPutRaw(n, f.raw);
  }
  gsPutBytes(graph, of::kGraphNode, gsSliceOf(n));
}

std::string checkBoundGraph(const GsBytes& model, const std::string& alpha) {
  Graph g;
  g.read(model);
  if (!g.isInput(kLipInputName)) return "self-check: the input did not survive the rebuild";
  size_t shrunkReaders = 0;
  bool stillReads = false;
  size_t mins = 0;
  bool minOk = false;
  for (const auto& n : g.nodes) {
    if (reads(n, kLipShrunkName)) ++shrunkReaders;
    if (n.name == kLipMinName) {
      ++mins;
      minOk = n.inputs == std::vector<std::string>{alpha, kLipInputName};
    } else if (reads(n, alpha)) {
      stillReads = true;
    }
  }
  if (shrunkReaders != 2 || stillReads)
    return "self-check: rewire did not take: " + std::to_string(shrunkReaders) + " consumers of " + kLipShrunkName +
           (stillReads ? ", one still reads the alpha" : "") +
           " \xe2\x80\x94 refusing a graph that would serve the ellipse with the input attached and ignored";
  if (mins != 1 || !minOk) return "self-check: the Min node did not survive the rebuild";
  for (size_t i = 0; i < g.nodes.size(); ++i)
    for (const auto& in : g.nodes[i].inputs) {
      auto it = g.producer.find(in);
      if (it != g.producer.end() && it->second >= i)
        return "self-check: node " + std::to_string(i) + " reads '" + in + "' produced at " +
               std::to_string(it->second) + " \xe2\x80\x94 the rewritten graph is not topologically ordered";
    }
  return "";
}

}  // namespace

bool rewriteBindLipContour(GsBytes& model, std::string& reason, int& canvas, int& batch) {
  Graph g;
  if (!g.read(model)) {
    reason = "no graph";
    return false;
  }
  if (g.isInput(kLipInputName)) {
    reason = "the graph already carries an input named lip_delivery";
    return false;
  }
  const std::vector<std::string> outs = gsGraphOutputs(g.slice);
  std::vector<size_t> adds;
  if (!outs.empty()) {
    std::string v = outs[0];
    for (int k = 0; k < 4; ++k) {
      const GsNodeInfo* p = g.producerOf(v);
      if (!p || (p->opType != "Identity" && p->opType != "Cast") || p->inputs.empty()) break;
      v = p->inputs[0];
    }
    // Depth first over producers, at most 64 nodes.
    std::vector<std::string> stack{v};
    std::set<size_t> visited;
    while (!stack.empty() && visited.size() < 64) {
      const std::string cur = stack.back();
      stack.pop_back();
      auto it = g.producer.find(cur);
      if (it == g.producer.end() || !visited.insert(it->second).second) continue;
      const GsNodeInfo& n = g.nodes[it->second];
      if (n.opType == "Add") adds.push_back(it->second);
      for (auto in = n.inputs.rbegin(); in != n.inputs.rend(); ++in) stack.push_back(*in);
    }
  }
  ComposeTail tail;
  bool found = false;
  std::string noProducerAlpha;
  for (size_t a : adds)
    if ((found = matchTail(g, g.nodes[a], tail, noProducerAlpha))) break;
  if (!found) {
    reason = noProducerAlpha.empty() ? "the graph does not carry the unified compose tail"
                                     : "the compose alpha '" + noProducerAlpha + "' has no producer node";
    return false;
  }

  int64_t side = 0;
  for (const auto& in : g.nodes[tail.alphaProducer].inputs) {
    if (!g.isInit(in)) continue;
    const std::vector<int64_t> d = hcTensorDims(gsFindInitializer(g.slice, in));
    if (d.size() >= 2 && d[d.size() - 1] == d[d.size() - 2]) {
      side = d.back();
      break;
    }
  }
  std::vector<int64_t> pd;
  if (side <= 0 && gsInputDims(g.slice, kHoistSource, pd) && pd.size() == 4 && pd[2] > 0 && pd[2] == pd[3])
    side = pd[3];
  if (side <= 0 || side > INT_MAX) {
    reason = "cannot read the compose canvas off the graph";
    return false;
  }
  int64_t b = 0;
  std::vector<int64_t> dd;
  if (gsInputDims(g.slice, "pooled64", dd) && !dd.empty() && dd[0] > 0)
    b = dd[0];
  else if (gsInputDims(g.slice, "kp_driving", dd) && !dd.empty() && dd[0] > 0)
    b = dd[0];
  if (b > INT_MAX) b = 0;

  GsBytes ng;
  ng.reserve(g.slice.n + 256);
  GsReader r(g.slice);
  GsField f;
  size_t ni = 0;
  while (r.next(f)) {
    if (f.number == of::kGraphNode && f.wire == 2) {
      const size_t i = ni++;
      if (i == tail.sub || i == tail.otherMul) {
        renameInputs(ng, f.payload, tail.alpha, kLipShrunkName);
        continue;
      }
      gsPutRaw(ng, f.raw);
      if (i == tail.alphaProducer) hcNode(ng, "Min", {tail.alpha, kLipInputName}, kLipShrunkName, kLipMinName, GsBytes());
      continue;
    }
    gsPutRaw(ng, f.raw);
  }
  const int64_t dims[4] = {b, 1, side, side};
  gsPutTensorValueInfo(ng, of::kGraphInput, kLipInputName, dims, 4);
  GsBytes out;
  gsReplaceGraph(model, ng, GsBytes(), out);
  const std::string bad = checkBoundGraph(out, tail.alpha);
  if (!bad.empty()) {
    reason = bad;
    return false;
  }
  model.swap(out);
  canvas = static_cast<int>(side);
  batch = static_cast<int>(b);
  return true;
}

namespace {

// Finds the warp block and marks its nodes (sampler and recombination).
int warpBlockOf(const Graph& g, WarpBlock& block, std::string& tip, std::vector<uint8_t>& inBlock,
                std::string& reason) {
  const std::vector<size_t> c = concatsOnSource(g);
  if (c.size() != 1 || g.nodes[c[0]].outputs.empty() || g.nodes[c[0]].outputs[0].empty()) {
    reason = "not one Concat consuming P_rgb";
    return 0;
  }
  tip = g.nodes[c[0]].outputs[0];
  std::vector<size_t> samplers;
  for (size_t i = 0; i < g.nodes.size(); ++i)
    if (isSampler(g.nodes[i]) && reads(g.nodes[i], tip)) samplers.push_back(i);
  if (samplers.empty()) {
    reason = "no GridSample consuming '" + tip + "'";
    return 0;
  }
  if (samplers.size() > 1) {
    reason = "two GridSamples on the cone's tip";
    return 0;
  }
  const GsNodeInfo& s = g.nodes[samplers[0]];
  const bool ok = s.opType == "GridSample" ? gsIsRewritableGridSample(s.raw) : s.domain == kMirelundDomain;
  // The fused op samples the tip itself: it must be the image operand.
  if (!ok || s.inputs.size() != 2 || s.inputs[0] != tip) {
    reason = "the fused GridSample is not bilinear/border/align_corners=0";
    return 0;
  }
  if (s.outputs.empty() || s.outputs[0].empty()) {
    reason = "the fused GridSample has no output";
    return 0;
  }
  inBlock.assign(g.nodes.size(), 0);
  inBlock[samplers[0]] = 1;
  std::set<std::string> values{s.outputs[0]};
  auto grow = [&](auto accept) {
    for (bool changed = true; changed;) {
      changed = false;
      for (size_t i = 0; i < g.nodes.size(); ++i) {
        if (inBlock[i] || !accept(g.nodes[i].opType)) continue;
        bool hit = false;
        for (const auto& in : g.nodes[i].inputs) hit = hit || values.count(in);
        if (!hit) continue;
        inBlock[i] = 1;
        for (const auto& o : g.nodes[i].outputs)
          if (!o.empty()) values.insert(o);
        changed = true;
      }
    }
  };
  grow([](const std::string& op) { return op == "Slice"; });
  grow([](const std::string& op) { return op == "Mul" || op == "Sub" || op == "Add"; });

  std::set<std::string> exits;
  const std::vector<std::string> outs = gsGraphOutputs(g.slice);
  for (const auto& o : outs)
    if (values.count(o)) exits.insert(o);
  for (size_t i = 0; i < g.nodes.size(); ++i)
    if (!inBlock[i])
      for (const auto& in : g.nodes[i].inputs)
        if (values.count(in)) exits.insert(in);
  if (exits.size() != 1) {
    reason = "the recombination has " + std::to_string(exits.size()) + " exits, not 1";
    return 0;
  }
  if (!g.producerOf(s.inputs[1])) {
    reason = "the grid has no producer";
    return 0;
  }
  block.sampler = samplers[0];
  block.grid = s.inputs[1];
  block.exit = *exits.begin();
  block.nodeCount = size_t(std::count(inBlock.begin(), inBlock.end(), 1));
  return 1;
}

}  // namespace

int findWarpBlock(const GsBytes& model, WarpBlock* block, std::string& reason) {
  if (!block) {
    reason = "no out param";
    return 0;
  }
  Graph g;
  if (!g.read(model)) {
    reason = "no graph";
    return 0;
  }
  std::string tip;
  std::vector<uint8_t> inBlock;
  return warpBlockOf(g, *block, tip, inBlock, reason);
}

size_t rewriteWarpBlockToCustomOp(GsBytes& model, std::string& reason) {
  WarpBlock block;
  if (!findWarpBlock(model, &block, reason)) return 0;
  Graph g;
  g.read(model);
  std::string tip;
  std::vector<uint8_t> inBlock;
  WarpBlock again;
  if (!warpBlockOf(g, again, tip, inBlock, reason)) return 0;
  if (again.sampler != block.sampler || block.sampler >= g.nodes.size() || !isSampler(g.nodes[block.sampler])) {
    reason = "the GridSample moved between passes";
    return 0;
  }
  std::vector<uint8_t> cone;
  if (!gsSourceCone(g.nodes, g.inits, g.inputs, tip, cone, reason)) return 0;
  // Dropping the cone also drops the tip: nothing but the sampler may read it.
  for (size_t i = 0; i < g.nodes.size(); ++i)
    if (!cone[i] && !inBlock[i] && reads(g.nodes[i], tip)) {
      reason = "the cone's tip '" + tip + "' is also read by " + g.nodes[i].opType;
      return 0;
    }
  for (const auto& o : gsGraphOutputs(g.slice))
    if (o == tip) {
      reason = "the cone's tip '" + tip + "' is a graph output";
      return 0;
    }

  GsBytes ng;
  ng.reserve(g.slice.n + 256);
  GsReader r(g.slice);
  GsField f;
  size_t ni = 0, removed = 0;
  while (r.next(f)) {
    if (f.number == of::kGraphNode && f.wire == 2) {
      const size_t i = ni++;
      if (i == block.sampler)
        hcNode(ng, "WarpDirector", {kHoistSource, block.grid}, block.exit, "le_warp_director", GsBytes(),
               kMirelundDomain);
      if (cone[i] || inBlock[i]) {
        ++removed;
        continue;
      }
    }
    gsPutRaw(ng, f.raw);
  }
  GsBytes tail;
  if (!gsImportsDomain(gsSliceOf(model), kMirelundDomain)) gsPutOpset(tail, kMirelundDomain, 1);
  GsBytes out;
  gsReplaceGraph(model, ng, tail, out);
  gsDropUnreadInitializers(out);  // the cone's kernels and the recombination's slice bounds
  model.swap(out);
  reason.clear();
  return removed;
}

}  // namespace le
