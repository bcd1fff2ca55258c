#include "core/render/graph_codec.h"

#include <cstring>
#include <set>
#include <stdexcept>

namespace le {

namespace of = onnxf;

uint64_t GsReader::varint() {
  uint64_t v = 0;
  for (int i = 0; i < 10; ++i) {
    if (cur_ == end_) throw std::runtime_error("onnx: bad varint");
    const uint8_t b = *cur_++;
    v |= uint64_t(b & 0x7f) << (7 * i);
    if (!(b & 0x80)) return v;
  }
  throw std::runtime_error("onnx: bad varint");
}

bool GsReader::next(GsField& f) {
  if (cur_ >= end_) return false;
  const uint8_t* start = cur_;
  const uint64_t tag = varint();
  f.number = static_cast<uint32_t>(tag >> 3);
  f.wire = static_cast<uint32_t>(tag & 7);
  f.varint = 0;
  f.payload = GsSlice{};
  const size_t left = [&] { return static_cast<size_t>(end_ - cur_); }();
  switch (f.wire) {
    case 0:
      f.varint = varint();
      break;
    case 1:
    case 5: {
      const size_t k = f.wire == 1 ? 8 : 4;
      if (left < k) throw std::runtime_error("onnx: truncated");
      f.payload = GsSlice{cur_, k};
      cur_ += k;
      break;
    }
    case 2: {
      const uint64_t len = varint();
      // Compare against what is left so that a huge length cannot wrap.
      if (len > static_cast<uint64_t>(end_ - cur_)) throw std::runtime_error("onnx: truncated");
      f.payload = GsSlice{cur_, static_cast<size_t>(len)};
      cur_ += len;
      break;
    }
    default:
      throw std::runtime_error("onnx: bad wire type");
  }
  f.raw = GsSlice{start, static_cast<size_t>(cur_ - start)};
  return true;
}

GsSlice gsGraphOf(GsSlice model) {
  GsReader r(model);
  GsField f;
  while (r.next(f))
    if (f.number == of::kModelGraph && f.wire == 2) return f.payload;
  return GsSlice{};
}

std::string gsFirstStr(GsSlice msg, uint32_t field) {
  GsReader r(msg);
  GsField f;
  while (r.next(f))
    if (f.number == field && f.wire == 2) return f.payload.str();
  return std::string();
}

void gsAllStr(GsSlice msg, uint32_t field, std::vector<std::string>& out) {
  GsReader r(msg);
  GsField f;
  while (r.next(f))
    if (f.number == field && f.wire == 2) out.push_back(f.payload.str());
}

void gsReadGraph(GsSlice graph, std::vector<GsNodeInfo>& nodes, std::vector<std::string>& inits,
                 std::vector<std::string>& inputs) {
  nodes.clear();
  inits.clear();
  inputs.clear();
  GsReader r(graph);
  GsField f;
  while (r.next(f)) {
    if (f.wire != 2) continue;
    if (f.number == of::kGraphNode) {
      GsNodeInfo n;
      n.raw = f.payload;
      GsReader nr(f.payload);
      GsField nf;
      while (nr.next(nf)) {
        if (nf.wire != 2) continue;
        switch (nf.number) {
          case of::kNodeInput: n.inputs.push_back(nf.payload.str()); break;
          case of::kNodeOutput: n.outputs.push_back(nf.payload.str()); break;
          case of::kNodeName: n.name = nf.payload.str(); break;
          case of::kNodeOp: n.opType = nf.payload.str(); break;
          case of::kNodeDomain: n.domain = nf.payload.str(); break;
          default: break;
        }
      }
      nodes.push_back(std::move(n));
    } else if (f.number == of::kGraphInit) {
      inits.push_back(gsFirstStr(f.payload, of::kTensorName));
    } else if (f.number == of::kGraphInput) {
      inputs.push_back(gsFirstStr(f.payload, 1));
    }
  }
}

std::vector<std::string> gsGraphOutputs(GsSlice graph) {
  std::vector<std::string> out;
  GsReader r(graph);
  GsField f;
  while (r.next(f))
    if (f.number == of::kGraphOutput && f.wire == 2) out.push_back(gsFirstStr(f.payload, 1));
  return out;
}

GsSlice gsFindInitializer(GsSlice graph, const std::string& name) {
  GsReader r(graph);
  GsField f;
  while (r.next(f))
    if (f.number == of::kGraphInit && f.wire == 2 && gsFirstStr(f.payload, of::kTensorName) == name)
      return f.payload;
  return GsSlice{};
}

namespace {

// First length-delimited field `field` of `msg`.
GsSlice firstSub(GsSlice msg, uint32_t field) {
  GsReader r(msg);
  GsField f;
  while (r.next(f))
    if (f.number == field && f.wire == 2) return f.payload;
  return GsSlice{};
}

// Appends every varint of a repeated int field, packed or not.
void readInts(const GsField& f, std::vector<int64_t>& out) {
  if (f.wire == 0) {
    out.push_back(static_cast<int64_t>(f.varint));
  } else if (f.wire == 2) {
    // A packed run is a sequence of bare varints; reuse the reader by
    // decoding them one at a time.
    const uint8_t* p = f.payload.p;
    const uint8_t* e = p + f.payload.n;
    while (p < e) {
      uint64_t v = 0;
      int i = 0;
      for (;; ++i) {
        if (i == 10 || p == e) throw std::runtime_error("onnx: bad varint");
        const uint8_t b = *p++;
        v |= uint64_t(b & 0x7f) << (7 * i);
        if (!(b & 0x80)) break;
      }
      out.push_back(static_cast<int64_t>(v));
    }
  }
}

}  // namespace

bool gsInputDims(GsSlice graph, const std::string& name, std::vector<int64_t>& dims) {
  GsReader r(graph);
  GsField f;
  while (r.next(f)) {
    if (f.number != of::kGraphInput || f.wire != 2 || gsFirstStr(f.payload, 1) != name) continue;
    dims.clear();
    const GsSlice shape = firstSub(firstSub(firstSub(f.payload, 2), 1), 2);
    GsReader sr(shape);
    GsField d;
    while (sr.next(d)) {
      if (d.number != 1 || d.wire != 2) continue;
      int64_t v = -1;
      GsReader dr(d.payload);
      GsField df;
      while (dr.next(df))
        if (df.number == 1 && df.wire == 0) v = static_cast<int64_t>(df.varint);
      dims.push_back(v);
    }
    return true;
  }
  return false;
}

bool gsImportsDomain(GsSlice model, const std::string& domain) {
  GsReader r(model);
  GsField f;
  while (r.next(f))
    if (f.number == of::kModelOpset && f.wire == 2 && gsFirstStr(f.payload, of::kOpsetDomain) == domain)
      return true;
  return false;
}

void gsPutVarint(GsBytes& buf, uint64_t v) {
  while (v >= 0x80) {
    buf.push_back(static_cast<uint8_t>(v | 0x80));
    v >>= 7;
  }
  buf.push_back(static_cast<uint8_t>(v));
}

void gsPutBytes(GsBytes& buf, uint32_t field, GsSlice bytes) {
  gsPutVarint(buf, uint64_t(field) * 8 + 2);
  gsPutVarint(buf, bytes.n);
  if (bytes.n) buf.insert(buf.end(), bytes.p, bytes.p + bytes.n);
}

void gsPutBytes(GsBytes& buf, uint32_t field, const std::string& s) {
  gsPutBytes(buf, field, GsSlice{reinterpret_cast<const uint8_t*>(s.data()), s.size()});
}

void gsPutRaw(GsBytes& buf, GsSlice s) {
  if (s.n) buf.insert(buf.end(), s.p, s.p + s.n);
}

void gsPutVarintField(GsBytes& buf, uint32_t field, uint64_t v) {
  gsPutVarint(buf, uint64_t(field) * 8);
  gsPutVarint(buf, v);
}

void gsPutTensorValueInfo(GsBytes& buf, uint32_t field, const std::string& name, const int64_t* dims,
                          size_t n) {
  GsBytes shape;
  for (size_t i = 0; i < n; ++i) {
    GsBytes dim;
    if (dims && dims[i] > 0)
      gsPutVarintField(dim, 1, static_cast<uint64_t>(dims[i]));
    else
      gsPutBytes(dim, 2, "le_hoist_d" + std::to_string(i));
    gsPutBytes(shape, 1, gsSliceOf(dim));
  }
  GsBytes tensor;
  gsPutVarintField(tensor, 1, 1);  // elem_type float
  gsPutBytes(tensor, 2, gsSliceOf(shape));
  GsBytes type;
  gsPutBytes(type, 1, gsSliceOf(tensor));
  GsBytes vi;
  gsPutBytes(vi, 1, name);
  gsPutBytes(vi, 2, gsSliceOf(type));
  gsPutBytes(buf, field, gsSliceOf(vi));
}

void gsPutOpset(GsBytes& buf, const std::string& domain, int64_t version) {
  GsBytes op;
  gsPutBytes(op, of::kOpsetDomain, domain);
  gsPutVarintField(op, of::kOpsetVersion, static_cast<uint64_t>(version));
  gsPutBytes(buf, of::kModelOpset, gsSliceOf(op));
}

void gsPutModel(GsBytes& out, const GsBytes& graph,
                const std::vector<std::pair<std::string, int64_t>>& opsets) {
  gsPutVarintField(out, 1, 8);
  for (const auto& o : opsets) gsPutOpset(out, o.first, o.second);
  gsPutBytes(out, of::kModelGraph, gsSliceOf(graph));
}

void gsReplaceGraph(const GsBytes& model, const GsBytes& graph, const GsBytes& tail, GsBytes& out) {
  GsBytes res;
  res.reserve(model.size() + graph.size() / 8 + tail.size() + 512);
  GsReader r(gsSliceOf(model));
  GsField f;
  bool done = false;
  while (r.next(f)) {
    if (!done && f.number == of::kModelGraph && f.wire == 2) {
      gsPutBytes(res, of::kModelGraph, gsSliceOf(graph));
      done = true;
    } else {
      gsPutRaw(res, f.raw);
    }
  }
  gsPutRaw(res, gsSliceOf(tail));
  out.swap(res);
}

void gsRebuild(const GsBytes& model, const GsGraphEdit& edit, GsBytes& out) {
  const GsSlice graph = gsGraphOf(gsSliceOf(model));
  GsBytes g;
  g.reserve(graph.n + 256);
  GsReader r(graph);
  GsField f;
  size_t nodeIndex = 0;
  while (r.next(f)) {
    if (f.wire == 2 && f.number == of::kGraphNode) {
      const size_t i = nodeIndex++;
      if (edit.dropNode && i < edit.dropNodeCount && edit.dropNode[i]) continue;
    } else if (f.wire == 2 && f.number == of::kGraphInput) {
      const bool isP = gsFirstStr(f.payload, 1) == kHoistSource;
      if ((edit.keepOnlyPrgbInput && !isP) || (edit.dropPrgbInput && isP)) continue;
    } else if (f.wire == 2 && f.number == of::kGraphOutput) {
      if (edit.dropAllOutputs) continue;
    } else if (f.wire == 2 && f.number == of::kGraphValueInfo) {
      if (!edit.publishName.empty() && gsFirstStr(f.payload, 1) == edit.publishName) continue;
    }
    gsPutRaw(g, f.raw);
  }
  if (!edit.publishName.empty())
    gsPutTensorValueInfo(g, static_cast<uint32_t>(edit.publishField), edit.publishName, edit.publishDims,
                         edit.publishRank);
  gsReplaceGraph(model, g, GsBytes(), out);
}

size_t gsDropUnreadInitializers(GsBytes& model) {
  const GsSlice graph = gsGraphOf(gsSliceOf(model));
  std::vector<GsNodeInfo> nodes;
  std::vector<std::string> inits, inputs;
  gsReadGraph(graph, nodes, inits, inputs);
  std::set<std::string> read(inputs.begin(), inputs.end());
  for (const std::string& o : gsGraphOutputs(graph)) read.insert(o);
  for (const GsNodeInfo& n : nodes) {
    read.insert(n.inputs.begin(), n.inputs.end());
    GsReader r(n.raw);
    GsField f;
    while (r.next(f)) {
      if (f.number != of::kNodeAttr || f.wire != 2) continue;
      GsReader ar(f.payload);
      GsField af;
      while (ar.next(af))
        if (af.wire == 2 && (af.number == of::kAttrG || af.number == of::kAttrGraphs)) return 0;
    }
  }
  size_t dropped = 0;
  for (const std::string& name : inits) dropped += read.count(name) == 0;
  if (!dropped) return 0;
  GsBytes g;
  g.reserve(graph.n);
  GsReader r(graph);
  GsField f;
  while (r.next(f)) {
    if (f.number == of::kGraphInit && f.wire == 2 && !read.count(gsFirstStr(f.payload, of::kTensorName))) continue;
    gsPutRaw(g, f.raw);
  }
  gsReplaceGraph(model, g, GsBytes(), model);
  return dropped;
}

void hcNode(GsBytes& graph, const std::string& op, const std::vector<std::string>& inputs,
            const std::string& output, const std::string& name, const GsBytes& attributes,
            const std::string& domain) {
  GsBytes n;
  for (const auto& in : inputs) gsPutBytes(n, of::kNodeInput, in);
  gsPutBytes(n, of::kNodeOutput, output);
  gsPutBytes(n, of::kNodeName, name);
  gsPutBytes(n, of::kNodeOp, op);
  gsPutRaw(n, gsSliceOf(attributes));
  if (!domain.empty()) gsPutBytes(n, of::kNodeDomain, domain);
  gsPutBytes(graph, of::kGraphNode, gsSliceOf(n));
}

void hcAttrI(GsBytes& attrs, const std::string& name, int64_t v) {
  GsBytes a;
  gsPutBytes(a, of::kAttrName, name);
  gsPutVarintField(a, of::kAttrI, static_cast<uint64_t>(v));
  gsPutVarintField(a, of::kAttrType, 2);
  gsPutBytes(attrs, of::kNodeAttr, gsSliceOf(a));
}

void hcAttrIs(GsBytes& attrs, const std::string& name, const std::vector<int64_t>& values) {
  GsBytes a;
  gsPutBytes(a, of::kAttrName, name);
  for (int64_t v : values) gsPutVarintField(a, of::kAttrInts, static_cast<uint64_t>(v));
  gsPutVarintField(a, of::kAttrType, 7);
  gsPutBytes(attrs, of::kNodeAttr, gsSliceOf(a));
}

void hcAttrS(GsBytes& attrs, const std::string& value) {
  GsBytes a;
  gsPutBytes(a, of::kAttrName, std::string("mode"));
  gsPutBytes(a, of::kAttrS, value);
  gsPutVarintField(a, of::kAttrType, 3);
  gsPutBytes(attrs, of::kNodeAttr, gsSliceOf(a));
}

void hcInit(GsBytes& graph, const std::string& name, int32_t dataType, const std::vector<int64_t>& dims,
            GsSlice bytes) {
  GsBytes t;
  for (int64_t d : dims) gsPutVarintField(t, of::kTensorDims, static_cast<uint64_t>(d));
  gsPutVarintField(t, of::kTensorType, static_cast<uint64_t>(dataType));
  gsPutBytes(t, of::kTensorName, name);
  gsPutBytes(t, of::kTensorRaw, bytes);
  gsPutBytes(graph, of::kGraphInit, gsSliceOf(t));
}

GsSlice hcPayload(const GsNodeInfo& node) { return node.raw; }

GsSlice hcConstValue(GsSlice node) {
  GsReader r(node);
  GsField f;
  while (r.next(f)) {
    if (f.number != of::kNodeAttr || f.wire != 2) continue;
    const GsSlice t = firstSub(f.payload, of::kAttrT);
    if (!t.empty() || gsFirstStr(f.payload, of::kAttrName) == "value") return t;
  }
  return GsSlice{};
}

std::vector<int64_t> hcTensorDims(GsSlice tensor) {
  std::vector<int64_t> dims;
  GsReader r(tensor);
  GsField f;
  while (r.next(f))
    if (f.number == of::kTensorDims) readInts(f, dims);
  return dims;
}

bool hcTensorFloats(GsSlice tensor, std::vector<float>& out) {
  out.clear();
  bool isFloat = false, haveRaw = false;
  GsSlice raw;
  std::vector<float> fd;
  GsReader r(tensor);
  GsField f;
  while (r.next(f)) {
    if (f.number == of::kTensorType && f.wire == 0) {
      isFloat = f.varint == 1;
    } else if (f.number == of::kTensorRaw && f.wire == 2) {
      raw = f.payload;
      haveRaw = true;
    } else if (f.number == of::kTensorFloat && (f.wire == 2 || f.wire == 5)) {
      const size_t k = f.payload.n / 4;
      for (size_t i = 0; i < k; ++i) {
        float v;
        std::memcpy(&v, f.payload.p + 4 * i, 4);
        fd.push_back(v);
      }
    }
  }
  if (!isFloat) return false;
  if (haveRaw) {
    if (raw.n % 4) return false;
    out.resize(raw.n / 4);
    if (raw.n) std::memcpy(out.data(), raw.p, raw.n);
  } else {
    out.swap(fd);
  }
  return true;
}

HcAttrs hcReadAttrs(GsSlice node) {
  HcAttrs a;
  GsReader r(node);
  GsField f;
  while (r.next(f)) {
    if (f.number != of::kNodeAttr || f.wire != 2) continue;
    const std::string name = gsFirstStr(f.payload, of::kAttrName);
    std::string s;
    int64_t i = 0;
    float fl = 0.f;
    bool haveF = false;
    GsReader ar(f.payload);
    GsField af;
    while (ar.next(af)) {
      if (af.number == of::kAttrS && af.wire == 2) s = af.payload.str();
      if (af.number == of::kAttrI && af.wire == 0) i = static_cast<int64_t>(af.varint);
      if (af.number == of::kAttrF && af.wire == 5) {
        std::memcpy(&fl, af.payload.p, 4);
        haveF = true;
      }
    }
    if (name == "mode") a.mode = s;
    else if (name == "coordinate_transformation_mode") a.coordinateTransformationMode = s;
    else if (name == "keep_aspect_ratio_policy") a.keepAspectRatioPolicy = s;
    else if (name == "cubic_coeff_a") {
      a.hasCubicCoeffA = haveF;
      if (haveF) a.cubicCoeffA = fl;
    } else if (name == "exclude_outside") a.excludeOutside = i != 0;
    else if (name == "antialias") a.antialias = i != 0;
    else if (name == "axes") a.hasAxes = true;
  }
  return a;
}

size_t hcAttrCount(GsSlice node) {
  size_t k = 0;
  GsReader r(node);
  GsField f;
  while (r.next(f))
    if (f.number == of::kNodeAttr) ++k;
  return k;
}

}  // namespace le
