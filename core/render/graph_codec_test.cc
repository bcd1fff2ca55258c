#include "core/render/graph_codec.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace le {
namespace {

std::string errorOf(const GsBytes& b) {
  try {
    GsReader r(gsSliceOf(b));
    GsField f;
    while (r.next(f)) {
    }
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

TEST(GsReader, MalformedInputThrowsTheThreeMessages) {
  // Tag of 11 continuation bytes.
  EXPECT_EQ(errorOf(GsBytes(11, 0x80)), "onnx: bad varint");
  // A varint value cut by the end of the buffer.
  EXPECT_EQ(errorOf({0x08, 0x80}), "onnx: bad varint");
  // Ten bytes is still a varint (the 70-bit limit).
  EXPECT_EQ(errorOf({0x08, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}), "");
  // Length-delimited payload running past the end, also with a huge length.
  EXPECT_EQ(errorOf({0x0a, 0x05, 'a', 'b'}), "onnx: truncated");
  EXPECT_EQ(errorOf({0x0a, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01}), "onnx: truncated");
  // Fixed64 and fixed32 short of bytes.
  EXPECT_EQ(errorOf({0x09, 1, 2, 3}), "onnx: truncated");
  EXPECT_EQ(errorOf({0x0d, 1, 2}), "onnx: truncated");
  // Groups and the unused wire types.
  EXPECT_EQ(errorOf({0x0b}), "onnx: bad wire type");
  EXPECT_EQ(errorOf({0x0c}), "onnx: bad wire type");
  EXPECT_EQ(errorOf({0x0e}), "onnx: bad wire type");
  EXPECT_EQ(errorOf({0x0f}), "onnx: bad wire type");
}

TEST(GsReader, FieldsCarryRawSlicesForVerbatimCopies) {
  GsBytes b;
  gsPutVarintField(b, 3, 300);
  gsPutBytes(b, 7, std::string("hello"));
  b.insert(b.end(), {0x2d, 1, 2, 3, 4});  // field 5, fixed32
  GsReader r(gsSliceOf(b));
  GsField f;
  GsBytes copy;
  ASSERT_TRUE(r.next(f));
  EXPECT_EQ(f.number, 3u);
  EXPECT_EQ(f.varint, 300u);
  gsPutRaw(copy, f.raw);
  ASSERT_TRUE(r.next(f));
  EXPECT_EQ(f.number, 7u);
  EXPECT_EQ(f.payload.str(), "hello");
  gsPutRaw(copy, f.raw);
  ASSERT_TRUE(r.next(f));
  EXPECT_EQ(f.wire, 5u);
  EXPECT_EQ(f.payload.n, 4u);
  gsPutRaw(copy, f.raw);
  EXPECT_FALSE(r.next(f));
  EXPECT_EQ(copy, b);
}

TEST(GsWriters, VarintsAndValueInfos) {
  GsBytes b;
  gsPutVarint(b, 0);
  gsPutVarint(b, 127);
  gsPutVarint(b, 128);
  gsPutVarint(b, ~uint64_t(0));
  EXPECT_EQ(b.size(), 1u + 1u + 2u + 10u);
  EXPECT_EQ(b[2], 0x80);
  EXPECT_EQ(b[3], 0x01);

  // A published value: static dims where known, named dynamic ones elsewhere.
  GsBytes g;
  const int64_t dims[4] = {1, -1, 64, 0};
  gsPutTensorValueInfo(g, 11, "tip", dims, 4);
  std::vector<int64_t> back;
  ASSERT_TRUE(gsInputDims(gsSliceOf(g), "tip", back));
  EXPECT_EQ(back, (std::vector<int64_t>{1, -1, 64, -1}));
  EXPECT_NE(std::string(g.begin(), g.end()).find("le_hoist_d1"), std::string::npos);
  EXPECT_NE(std::string(g.begin(), g.end()).find("le_hoist_d3"), std::string::npos);
}

TEST(GsWriters, TensorsReadBackInEveryFloatEncoding) {
  GsBytes g;
  const float v[3] = {1.5f, -2.f, 0.25f};
  hcInit(g, "t", 1, {3}, GsSlice{reinterpret_cast<const uint8_t*>(v), sizeof v});
  const GsSlice t = gsFindInitializer(gsSliceOf(g), "t");
  std::vector<float> out;
  ASSERT_TRUE(hcTensorFloats(t, out));
  EXPECT_EQ(out, (std::vector<float>{1.5f, -2.f, 0.25f}));
  EXPECT_EQ(hcTensorDims(t), (std::vector<int64_t>{3}));

  // float_data, packed and one fixed32 per field.
  GsBytes packed, unpacked;
  gsPutVarintField(packed, 2, 1);
  gsPutBytes(packed, 4, GsSlice{reinterpret_cast<const uint8_t*>(v), sizeof v});
  gsPutVarintField(unpacked, 2, 1);
  for (float x : v) {
    unpacked.push_back(0x25);  // field 4, wire type 5
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&x);
    unpacked.insert(unpacked.end(), p, p + 4);
  }
  ASSERT_TRUE(hcTensorFloats(gsSliceOf(packed), out));
  EXPECT_EQ(out.size(), 3u);
  ASSERT_TRUE(hcTensorFloats(gsSliceOf(unpacked), out));
  EXPECT_EQ(out, (std::vector<float>{1.5f, -2.f, 0.25f}));
  // An int64 tensor is not read as floats.
  GsBytes ints;
  hcInit(ints, "i", 7, {1}, GsSlice{reinterpret_cast<const uint8_t*>(v), 8});
  EXPECT_FALSE(hcTensorFloats(gsFindInitializer(gsSliceOf(ints), "i"), out));
}

// A three-node graph: P_rgb -> a -> b, x -> c, outputs b and c.
GsBytes smallModel() {
  GsBytes g;
  hcNode(g, "Relu", {"P_rgb"}, "a", "n0", GsBytes());
  hcNode(g, "Relu", {"a"}, "b", "n1", GsBytes());
  hcNode(g, "Relu", {"x"}, "c", "n2", GsBytes());
  const int64_t d[4] = {1, 3, 4, 4};
  gsPutTensorValueInfo(g, 11, "P_rgb", d, 4);
  gsPutTensorValueInfo(g, 11, "x", d, 4);
  gsPutTensorValueInfo(g, 12, "b", d, 4);
  gsPutTensorValueInfo(g, 12, "c", d, 4);
  gsPutTensorValueInfo(g, 13, "a", d, 4);
  GsBytes m;
  gsPutVarintField(m, 1, 8);
  gsPutBytes(m, 2, std::string("producer"));
  gsPutModel(m, g, {{"", 17}});
  return m;
}

TEST(GsRebuild, DropsNodesInputsOutputsAndPublishes) {
  const GsBytes m = smallModel();
  const uint8_t drop[3] = {1, 0, 0};
  GsGraphEdit e;
  e.dropNode = drop;
  e.dropNodeCount = 3;
  e.dropPrgbInput = true;
  e.publishName = "a";
  const int64_t d[4] = {1, 3, 4, 4};
  e.publishDims = d;
  e.publishField = 11;
  GsBytes out;
  gsRebuild(m, e, out);
  const GsSlice g = gsGraphOf(gsSliceOf(out));
  std::vector<GsNodeInfo> nodes;
  std::vector<std::string> inits, inputs;
  gsReadGraph(g, nodes, inits, inputs);
  ASSERT_EQ(nodes.size(), 2u);
  EXPECT_EQ(nodes[0].name, "n1");
  EXPECT_EQ(inputs, (std::vector<std::string>{"x", "a"}));
  EXPECT_EQ(gsGraphOutputs(g), (std::vector<std::string>{"b", "c"}));
  size_t valueInfos = 0;
  GsReader r(g);
  GsField f;
  while (r.next(f)) valueInfos += f.number == 13;
  EXPECT_EQ(valueInfos, 0u) << "the old value_info of the published value is gone";
  // Untouched model fields are copied verbatim, in place.
  EXPECT_EQ(gsFirstStr(gsSliceOf(out), 2), "producer");

  GsGraphEdit keep;
  keep.keepOnlyPrgbInput = true;
  keep.dropAllOutputs = true;
  keep.publishName = "a";
  gsRebuild(m, keep, out);
  gsReadGraph(gsGraphOf(gsSliceOf(out)), nodes, inits, inputs);
  EXPECT_EQ(inputs, (std::vector<std::string>{"P_rgb"}));
  EXPECT_EQ(gsGraphOutputs(gsGraphOf(gsSliceOf(out))), (std::vector<std::string>{"a"}));
}

TEST(GsDropUnreadInitializers, KeepsWhatNodesInputsAndOutputsName) {
  // smallModel's graph plus a node reading "w" and five initializers: "w"
  // (read), "x" and "c" (a graph input and a graph output of the same name),
  // "orphan" and "orphan2" (read by nothing).
  const float v[2] = {1.f, 2.f};
  const GsSlice bytes{reinterpret_cast<const uint8_t*>(v), sizeof v};
  GsBytes extra;
  hcNode(extra, "Add", {"b", "w"}, "d", "n3", GsBytes());
  for (const char* name : {"w", "orphan", "x", "c", "orphan2"}) hcInit(extra, name, 1, {2}, bytes);
  const GsBytes base = smallModel();
  const GsSlice g0 = gsGraphOf(gsSliceOf(base));
  GsBytes graph(g0.p, g0.p + g0.n);
  graph.insert(graph.end(), extra.begin(), extra.end());
  GsBytes m;
  gsReplaceGraph(base, graph, GsBytes(), m);

  EXPECT_EQ(gsDropUnreadInitializers(m), 2u);
  std::vector<GsNodeInfo> nodes;
  std::vector<std::string> inits, inputs;
  gsReadGraph(gsGraphOf(gsSliceOf(m)), nodes, inits, inputs);
  EXPECT_EQ(inits, (std::vector<std::string>{"w", "x", "c"}));
  EXPECT_EQ(nodes.size(), 4u);
  EXPECT_EQ(gsFirstStr(gsSliceOf(m), 2), "producer");
  const GsBytes clean = m;
  EXPECT_EQ(gsDropUnreadInitializers(m), 0u);
  EXPECT_EQ(m, clean) << "nothing to drop leaves the bytes alone";

  // A subgraph may read an outer initializer by name: such a graph is kept whole.
  GsBytes attr, a, g2 = graph;
  gsPutBytes(a, onnxf::kAttrName, std::string("then_branch"));
  gsPutBytes(a, onnxf::kAttrG, GsSlice{});
  gsPutBytes(attr, onnxf::kNodeAttr, gsSliceOf(a));
  hcNode(g2, "If", {"c"}, "e", "n4", attr);
  gsReplaceGraph(base, g2, GsBytes(), m);
  const GsBytes withIf = m;
  EXPECT_EQ(gsDropUnreadInitializers(m), 0u);
  EXPECT_EQ(m, withIf);
}

}  // namespace
}  // namespace le
