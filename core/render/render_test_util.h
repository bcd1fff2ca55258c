// Helpers for the render tests and benchmarks: ORT sessions over in-memory
// model bytes, random inputs shaped after a model's graph inputs, and the
// generated director graphs.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstdint>
#include <fstream>
#include <stdexcept>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/render/custom_ops.h"
#include "core/render/graph_codec.h"
#include "tests/test_support.h"

namespace le::rtest {

struct Tensor {
  std::vector<int64_t> shape;
  std::vector<float> data;
};
using Feeds = std::map<std::string, Tensor>;

inline Ort::Env& env() {
  static Ort::Env e(ORT_LOGGING_LEVEL_ERROR, "render_test");
  return e;
}

inline Ort::SessionOptions options(int threads = 1, bool customOps = true) {
  Ort::SessionOptions o;
  o.SetIntraOpNumThreads(threads);
  o.SetInterOpNumThreads(1);
  o.AddConfigEntry("session.intra_op.allow_spinning", "0");
  if (customOps) {
    registerGridSampleFast(o);
    registerInt8ConvVNNI(o);
  }
  return o;
}

inline Ort::Session session(const GsBytes& model, int threads = 1, bool customOps = true) {
  Ort::SessionOptions o = options(threads, customOps);
  return Ort::Session(env(), model.data(), model.size(), o);
}

// Runs `s` on `feeds` and returns every output, in the session's order.
inline std::vector<Tensor> run(Ort::Session& s, const Feeds& feeds) {
  Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  std::vector<std::string> inNames, outNames;
  std::vector<Ort::Value> values;
  Ort::AllocatorWithDefaultOptions alloc;
  for (size_t i = 0; i < s.GetInputCount(); ++i) {
    const std::string n = s.GetInputNameAllocated(i, alloc).get();
    const Tensor& t = feeds.at(n);
    inNames.push_back(n);
    values.push_back(Ort::Value::CreateTensor<float>(mem, const_cast<float*>(t.data.data()), t.data.size(),
                                                     t.shape.data(), t.shape.size()));
  }
  for (size_t i = 0; i < s.GetOutputCount(); ++i) outNames.push_back(s.GetOutputNameAllocated(i, alloc).get());
  std::vector<const char*> ip, op;
  for (auto& n : inNames) ip.push_back(n.c_str());
  for (auto& n : outNames) op.push_back(n.c_str());
  std::vector<Ort::Value> outs = s.Run(Ort::RunOptions{nullptr}, ip.data(), values.data(), ip.size(), op.data(), op.size());
  std::vector<Tensor> res;
  for (auto& v : outs) {
    Tensor t;
    t.shape = v.GetTensorTypeAndShapeInfo().GetShape();
    const float* p = v.GetTensorData<float>();
    t.data.assign(p, p + v.GetTensorTypeAndShapeInfo().GetElementCount());
    res.push_back(std::move(t));
  }
  return res;
}

inline Tensor randomTensor(std::vector<int64_t> shape, uint32_t seed, float lo = -1.f, float hi = 1.f) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(lo, hi);
  Tensor t;
  t.shape = std::move(shape);
  size_t n = 1;
  for (int64_t v : t.shape) n *= static_cast<size_t>(v);
  t.data.resize(n);
  for (auto& x : t.data) x = d(rng);
  return t;
}

// Random values for every float input of the model's graph (static shapes).
inline Feeds randomFeeds(const GsBytes& model, uint32_t seed) {
  Feeds f;
  const GsSlice g = gsGraphOf(gsSliceOf(model));
  std::vector<GsNodeInfo> nodes;
  std::vector<std::string> inits, inputs;
  gsReadGraph(g, nodes, inits, inputs);
  for (const auto& name : inputs) {
    std::vector<int64_t> dims;
    gsInputDims(g, name, dims);
    // Images in 0..1 as the renderer feeds them; everything else centred.
    const bool image = name == "P_rgb" || name == "fs_red";
    f[name] = randomTensor(dims, seed++, image ? 0.f : -1.f, 1.f);
  }
  return f;
}

// The generated director graph `name`. The fixture normally writes them;
// when a test runs before it (ctest cannot order fixtures of tests it
// discovers at run time on the first pass) the generator is run here.
inline GsBytes directorGraph(const std::string& name) {
  const std::string dir = le::test::dataDir() + "/director_graphs";
  const std::string path = dir + "/" + name + ".onnx";
  if (!std::ifstream(path).good()) {
    const std::string cmd = le::test::python() + " " + le::test::sourceDir() + "/tools/director_graphs.py --out " + dir +
                            " > /dev/null";
    if (le::test::runCommand(cmd) != 0) throw std::runtime_error("director graph generator failed: " + cmd);
  }
  const std::vector<unsigned char> b = le::test::readFile(path);
  return GsBytes(b.begin(), b.end());
}

// Initializers of `model` that no node reads, in graph order.
inline std::vector<std::string> unreadInitializers(const GsBytes& model) {
  std::vector<GsNodeInfo> nodes;
  std::vector<std::string> inits, inputs, unread;
  gsReadGraph(gsGraphOf(gsSliceOf(model)), nodes, inits, inputs);
  for (const std::string& name : inits) {
    bool read = false;
    for (const GsNodeInfo& n : nodes)
      for (const std::string& in : n.inputs) read = read || in == name;
    if (!read) unread.push_back(name);
  }
  return unread;
}

inline float maxAbsDiff(const Tensor& a, const Tensor& b) {
  if (a.data.size() != b.data.size()) return 1e30f;
  float m = 0.f;
  for (size_t i = 0; i < a.data.size(); ++i) {
    const float d = std::abs(a.data[i] - b.data[i]);
    if (!(d <= m)) m = d;  // NaN wins
  }
  return m;
}

// A model of one node over float inputs (static shapes) and one float output.
inline GsBytes singleNodeModel(const std::string& op, const std::vector<std::pair<std::string, std::vector<int64_t>>>& ins,
                               const std::vector<int64_t>& outShape, const GsBytes& attrs,
                               const std::string& domain = std::string(), const GsBytes& extraInits = GsBytes()) {
  GsBytes g;
  std::vector<std::string> names;
  for (const auto& i : ins) names.push_back(i.first);
  hcNode(g, op, names, "y", "n0", attrs, domain);
  gsPutBytes(g, 2, std::string("g"));
  gsPutRaw(g, gsSliceOf(extraInits));
  for (const auto& i : ins) gsPutTensorValueInfo(g, 11, i.first, i.second.data(), i.second.size());
  gsPutTensorValueInfo(g, 12, "y", outShape.data(), outShape.size());
  GsBytes m;
  std::vector<std::pair<std::string, int64_t>> ops = {{"", 17}};
  if (!domain.empty()) ops.emplace_back(domain, 1);
  gsPutModel(m, g, ops);
  return m;
}

}  // namespace le::rtest
