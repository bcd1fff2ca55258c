// A small codec over the protobuf wire format of ONNX models. It never builds
// an object model: it reads fields as views into the caller's bytes, copies
// untouched fields verbatim and writes new messages with a few writers, so a
// model with hundreds of megabytes of weights is edited by copying ranges.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace le {

using GsBytes = std::vector<uint8_t>;

// A byte range inside a caller-owned buffer.
struct GsSlice {
  const uint8_t* p = nullptr;
  size_t n = 0;
  bool empty() const { return n == 0; }
  std::string str() const { return std::string(reinterpret_cast<const char*>(p), n); }
};

inline GsSlice gsSliceOf(const GsBytes& b) { return GsSlice{b.data(), b.size()}; }

// One decoded field.
struct GsField {
  uint32_t number = 0;
  uint32_t wire = 0;
  uint64_t varint = 0;  // wire type 0
  GsSlice payload;      // wire type 2 (and the 4 or 8 bytes of types 5 and 1)
  GsSlice raw;          // the whole field, tag included
};

// Cursor over a message's fields. Malformed input throws std::runtime_error
// "onnx: bad varint", "onnx: truncated" or "onnx: bad wire type"; nothing is
// ever read outside the slice.
class GsReader {
 public:
  explicit GsReader(GsSlice s) : cur_(s.p), end_(s.p + s.n) {}
  bool next(GsField& f);

 private:
  uint64_t varint();
  const uint8_t* cur_;
  const uint8_t* end_;
};

// One node as read by gsReadGraph.
struct GsNodeInfo {
  GsSlice raw;  // the NodeProto payload
  std::string opType;
  std::string name;
  std::string domain;
  std::vector<std::string> inputs;
  std::vector<std::string> outputs;
};

// What gsRebuild changes in a model's graph.
struct GsGraphEdit {
  const uint8_t* dropNode = nullptr;  // one byte per node; non-zero drops it
  size_t dropNodeCount = 0;
  bool dropPrgbInput = false;
  bool keepOnlyPrgbInput = false;
  bool dropAllOutputs = false;
  std::string publishName;              // empty: publish nothing
  const int64_t* publishDims = nullptr;  // null: every dimension dynamic
  size_t publishRank = 4;
  int publishField = 12;  // 11 = graph input, 12 = graph output
};

// Attributes of a Resize node.
struct HcAttrs {
  std::string mode;
  std::string coordinateTransformationMode;
  std::string keepAspectRatioPolicy;
  bool hasCubicCoeffA = false;
  float cubicCoeffA = -0.75f;
  bool excludeOutside = false;
  bool antialias = false;
  bool hasAxes = false;
};

// Field numbers of the ONNX schema that the edits touch.
namespace onnxf {
constexpr uint32_t kModelGraph = 7, kModelOpset = 8;
constexpr uint32_t kGraphNode = 1, kGraphInit = 5, kGraphInput = 11, kGraphOutput = 12,
                   kGraphValueInfo = 13;
constexpr uint32_t kNodeInput = 1, kNodeOutput = 2, kNodeName = 3, kNodeOp = 4, kNodeAttr = 5,
                   kNodeDoc = 6, kNodeDomain = 7;
constexpr uint32_t kAttrName = 1, kAttrF = 2, kAttrI = 3, kAttrS = 4, kAttrT = 5, kAttrG = 6, kAttrInts = 8,
                   kAttrGraphs = 11, kAttrType = 20;
constexpr uint32_t kTensorDims = 1, kTensorType = 2, kTensorFloat = 4, kTensorName = 8,
                   kTensorRaw = 9;
constexpr uint32_t kOpsetDomain = 1, kOpsetVersion = 2;
}  // namespace onnxf

inline constexpr const char* kMirelundDomain = "com.mirelund";
inline constexpr const char* kHoistSource = "P_rgb";

// Reading.
GsSlice gsGraphOf(GsSlice model);
void gsReadGraph(GsSlice graph, std::vector<GsNodeInfo>& nodes, std::vector<std::string>& inits,
                 std::vector<std::string>& inputs);
std::string gsFirstStr(GsSlice msg, uint32_t field);
void gsAllStr(GsSlice msg, uint32_t field, std::vector<std::string>& out);
// Names of the graph's outputs (field 12), in order.
std::vector<std::string> gsGraphOutputs(GsSlice graph);
// The TensorProto of the initializer called `name` (empty when absent).
GsSlice gsFindInitializer(GsSlice graph, const std::string& name);
// The dims of the graph input called `name`; false when absent. Dynamic
// dimensions come back as -1.
bool gsInputDims(GsSlice graph, const std::string& name, std::vector<int64_t>& dims);
// Whether the model's opset_import lists `domain`.
bool gsImportsDomain(GsSlice model, const std::string& domain);

// Writing.
void gsPutVarint(GsBytes& buf, uint64_t v);
void gsPutBytes(GsBytes& buf, uint32_t field, GsSlice bytes);
void gsPutBytes(GsBytes& buf, uint32_t field, const std::string& s);
void gsPutRaw(GsBytes& buf, GsSlice s);
void gsPutVarintField(GsBytes& buf, uint32_t field, uint64_t v);
void gsPutTensorValueInfo(GsBytes& buf, uint32_t field, const std::string& name, const int64_t* dims,
                          size_t n);
// Appends opset_import { domain, version } as a model field.
void gsPutOpset(GsBytes& buf, const std::string& domain, int64_t version);
// Writes a whole ModelProto (IR version 8) around a GraphProto payload, with
// one opset_import per (domain, version) pair.
void gsPutModel(GsBytes& out, const GsBytes& graph,
                const std::vector<std::pair<std::string, int64_t>>& opsets);
void gsRebuild(const GsBytes& model, const GsGraphEdit& edit, GsBytes& out);
// Drops every initializer that no node reads and that is neither a graph
// input nor a graph output; returns how many. An edit that removes nodes
// calls it so the runtime is not handed weights nothing uses (it warns about
// each one at load). A graph whose nodes carry subgraphs is left alone, since
// a subgraph may read an outer initializer by name.
size_t gsDropUnreadInitializers(GsBytes& model);
// Copies `model` to `out` with its first graph replaced by `graph` (in the old
// one's place) and `tail` appended after the last model field.
void gsReplaceGraph(const GsBytes& model, const GsBytes& graph, const GsBytes& tail, GsBytes& out);

// Node and attribute writers. hcNode appends a NodeProto as graph field 1.
void hcNode(GsBytes& graph, const std::string& op, const std::vector<std::string>& inputs,
            const std::string& output, const std::string& name, const GsBytes& attributes,
            const std::string& domain = std::string());
void hcAttrI(GsBytes& attrs, const std::string& name, int64_t v);
void hcAttrIs(GsBytes& attrs, const std::string& name, const std::vector<int64_t>& values);
void hcAttrS(GsBytes& attrs, const std::string& value);  // always the "mode" attribute
void hcInit(GsBytes& graph, const std::string& name, int32_t dataType, const std::vector<int64_t>& dims,
            GsSlice bytes);

// Node and tensor readers.
GsSlice hcPayload(const GsNodeInfo& node);
GsSlice hcConstValue(GsSlice node);  // the `t` attribute of a Constant node
bool hcTensorFloats(GsSlice tensor, std::vector<float>& out);
std::vector<int64_t> hcTensorDims(GsSlice tensor);
HcAttrs hcReadAttrs(GsSlice node);
// Number of attribute fields on a node.
size_t hcAttrCount(GsSlice node);

}  // namespace le
