// One ONNX model of the audio side opened from a file, with its input and
// output names read at load and float tensors fed by position or by name.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstdint>
#include <string>
#include <vector>

namespace le {

class OnnxNet {
 public:
  // Opens `path` in `env` with `options`. Throws "cannot load model <path>:
  // <runtime text>" when the runtime refuses it, and "<path> has <n>
  // input(s) and <m> output(s) where <i> and <o> are expected" when the
  // counts differ (a count of -1 is not checked).
  OnnxNet(Ort::Env& env, const Ort::SessionOptions& options, const std::string& path, int inputs, int outputs);

  const std::string& path() const { return path_; }
  const std::string& inputName(size_t i) const { return inputNames_[i]; }
  const std::string& outputName(size_t i) const { return outputNames_[i]; }
  // Position of an input or output by name; throws "<path> has no input
  // <name>" (or output) when it is absent.
  size_t inputIndex(const std::string& name) const;
  size_t outputIndex(const std::string& name) const;

  // The shape to feed input i with `count` values: its declared shape with
  // one free dimension solved (others taken as 1). Throws "<path>: input
  // <name> takes <shape>, which cannot hold <count> values" otherwise.
  std::vector<int64_t> inputShape(size_t i, size_t count) const;

  // Runs with one float array per input (in input order, each of the size
  // its shape was solved for) and copies output o into outs[o], which must
  // then hold exactly outCounts[o] values ("<path>: output <name> has <n>
  // values where <m> are expected"). Fewer outs than outputs skips the rest.
  void run(const std::vector<const float*>& ins, const std::vector<size_t>& inCounts,
           const std::vector<float*>& outs, const std::vector<size_t>& outCounts);

  // One output to fetch: its position, destination and exact value count.
  struct Out {
    size_t index;
    float* dst;
    size_t count;
  };
  // As run() above, fetching only the listed outputs.
  void run(const std::vector<const float*>& ins, const std::vector<size_t>& inCounts, const std::vector<Out>& outs);

 private:
  std::string path_;
  Ort::Session session_{nullptr};
  Ort::MemoryInfo cpu_{nullptr};
  std::vector<std::string> inputNames_, outputNames_;
  std::vector<std::vector<int64_t>> inputDims_;
  std::vector<std::vector<int64_t>> shapes_;  // solved shapes, cached per input
  std::vector<size_t> shapeCounts_;
};

}  // namespace le
